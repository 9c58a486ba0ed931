// marrowick sosfilt: the cascade of second-order sections on the tiles of X,
// through the kernels' typed cascade call as the Python package runs it,
// each tile's final states starting the next tile of its channels, so the
// result is that of the package's sosfilt on the whole of X (axis 0), bit
// for bit.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "filters/filters.h"
#include "host.h"
#include "kernels/cascade.h"
#include "npy.h"
#include "runner.h"
#include "stream.h"

namespace runner {
namespace {

using marrowick::ComplexSingle;
using marrowick::Kernel;

}  // namespace

Sections readSections(const std::string& path) {
    const NpyArray sos = readWhole("sos", path, true);
    if (sos.shape.size() != 2 || sos.shape[1] != 6 || sos.shape[0] < 1) {
        die("input sos (" + path + "): shape " + shapeText(sos.shape) +
            " is not (n_sections, 6) with n_sections >= 1, rows b0 b1 b2 a0 a1 a2 [marrowick:sosShape]");
    }
    Sections s;
    s.n = sos.shape[0];
    s.complex = mxIsComplex(sos.array.get());
    const std::size_t item = s.complex ? 8 : 4;
    s.values.resize(s.n * 6 * item);
    const float* re = static_cast<const float*>(mxGetData(sos.array.get()));
    const float* im = static_cast<const float*>(mxGetImagData(sos.array.get()));
    for (std::size_t r = 0; r < s.n; ++r) {
        for (std::size_t c = 0; c < 6; ++c) {  // column-major host array, row-major sections
            std::uint8_t* to = &s.values[(6 * r + c) * item];
            std::memcpy(to, &re[r + s.n * c], 4);
            if (s.complex) std::memcpy(to + 4, &im[r + s.n * c], 4);
        }
    }
    return s;
}

namespace {

// The cascade on one tile at a time; the states of every channel, section s
// and channel j at (s * N + j) * 2, carried between the tiles.
class CascadeTiles : public TileFilter {
public:
    CascadeTiles(const Sections& sos, Kernel first, std::size_t N) : sos_(sos), first_(first), N_(N) {
        stateItem_ = first == Kernel::RR ? 4 : 8;
        states_.assign(sos.n * N * 2 * stateItem_, 0);
    }

    bool acrossChannels() const override { return true; }

    void run(const Tile& t) override {
        // Every channel in order works on the carried states in place; any
        // other tile on a copy of its channels' states.
        const bool whole = t.gc == N_ && std::is_sorted(t.columns.begin(), t.columns.end());
        std::uint8_t* state = whole ? states_.data() : gather(t);
        marrowick::CascadeCall call{};
        call.first = first_;
        call.sections = static_cast<int32_t>(sos_.n);
        call.M = static_cast<int32_t>(t.si);
        call.N = static_cast<int32_t>(t.gc);
        call.sos = sos_.values.data();
        call.input = t.in;
        call.inLayout = {static_cast<std::ptrdiff_t>(t.rowStride), static_cast<std::ptrdiff_t>(t.colStride)};
        call.output = t.out;
        call.outLayout = call.inLayout;
        call.state = state;
        marrowick::runCascadeCall(call);
        if (!whole) marrowick::filters::scatterStates(group(t), gathered_.data(), states_.data());
    }

    // The states from and to ZI's layout: a column-major host array of
    // shape (n, 2, channels...), element (s, k, j) at s + n * (k + 2 * j);
    // a real zi is widened where the states are complex.
    void load(const mxArray* zi) {
        const float* re = static_cast<const float*>(mxGetData(zi));
        const float* im = static_cast<const float*>(mxGetImagData(zi));
        for (std::size_t e = 0; e < states_.size() / stateItem_; ++e) {
            const std::size_t h = hostIndex(e);
            const float v[2] = {re[h], im != nullptr ? im[h] : 0.0f};
            std::memcpy(&states_[e * stateItem_], v, stateItem_);
        }
    }
    void store(mxArray* zf) const {
        float* re = static_cast<float*>(mxGetData(zf));
        float* im = static_cast<float*>(mxGetImagData(zf));
        for (std::size_t e = 0; e < states_.size() / stateItem_; ++e) {
            const std::size_t h = hostIndex(e);
            std::memcpy(&re[h], &states_[e * stateItem_], 4);
            if (im != nullptr) std::memcpy(&im[h], &states_[e * stateItem_ + 4], 4);
        }
    }

private:
    marrowick::filters::StateGroup group(const Tile& t) const {
        return {stateItem_,       static_cast<int64_t>(sos_.n), static_cast<int64_t>(N_), 0,
                t.columns.data(), static_cast<int64_t>(t.gc)};
    }
    std::uint8_t* gather(const Tile& t) {
        gathered_.resize(sos_.n * t.gc * 2 * stateItem_);
        marrowick::filters::gatherStates(group(t), states_.data(), gathered_.data());
        return gathered_.data();
    }

    // The host index of state e = (s * N + j) * 2 + k.
    std::size_t hostIndex(std::size_t e) const {
        const std::size_t k = e % 2, j = e / 2 % N_, s = e / 2 / N_;
        return s + sos_.n * (k + 2 * j);
    }

    const Sections& sos_;
    Kernel first_;
    std::size_t N_, stateItem_;
    std::vector<std::uint8_t> states_, gathered_;
};

// ZI along another axis than the first: the word rest or an empty file for
// rest, else a file of shape (n,) + X's shape with 2 along the axis; the
// states returned with the axis after the sections.
NpyArray readSectionStatesAlong(const std::string& path, std::size_t n, const NpyHeader& x, std::size_t axis) {
    std::vector<std::size_t> shape = {n};
    shape.insert(shape.end(), x.shape.begin(), x.shape.end());
    shape[1 + axis] = 2;
    if (path == kRest) return moveStateAxis(restStates(shape).array.get(), shape, 1, axis, false);
    NpyArray zi = readWhole("zi", path);
    if (mxGetNumberOfElements(zi.array.get()) == 0)
        return moveStateAxis(restStates(shape).array.get(), shape, 1, axis, false);
    if (zi.shape != shape) {
        die("input zi (" + path + "): shape " + shapeText(zi.shape) + " does not fit: two states per section of SOS (" +
            std::to_string(n) + ") and channel of X " + shapeText(x.shape) + " along axis " + std::to_string(axis) +
            " make " + shapeText(shape) + " [marrowick:ziSize]");
    }
    return moveStateAxis(zi.array.get(), shape, 1, axis, false);
}

// ZI: the word rest or an empty file for rest, else a file of shape
// (n, 2, ...) holding two states per section and channel of X.
NpyArray readSectionStates(const std::string& path, std::size_t n, const NpyHeader& x) {
    std::vector<std::size_t> shape = {n, 2};
    if (x.shape.size() > 1) shape.insert(shape.end(), x.shape.begin() + 1, x.shape.end());
    if (path == kRest) return restStates(shape);
    NpyArray zi = readWhole("zi", path);
    if (mxGetNumberOfElements(zi.array.get()) == 0) return restStates(shape);
    // Exactly that shape: the channel dimensions in X's order, so that each
    // channel gets its own states.
    if (zi.shape != shape) {
        die("input zi (" + path + "): shape " + shapeText(zi.shape) + " does not fit: two states per section of SOS (" +
            std::to_string(n) + ") and channel of X " + shapeText(x.shape) + " make " + shapeText(shape) +
            "; x is filtered along its first dimension: save it as samples x channels [marrowick:ziSize]");
    }
    return zi;
}

// The states after the cascade, in ZI's shape (shape, with the time axis
// after the sections: their axis moved back): complex unless everything is
// real.
std::vector<std::uint8_t> finalStates(CascadeTiles& tiles, const std::vector<std::size_t>& shape, bool complex,
                                      std::size_t axis) {
    NpyArray zf = zeros(shape, complex);
    tiles.store(zf.array.get());
    if (axis == 0) return encodeNpy(zf.array.get(), shape);
    const NpyArray placed = moveStateAxis(zf.array.get(), shape, 1, axis, true);
    return encodeNpy(placed.array.get(), placed.shape);
}

}  // namespace

int sosfiltFiles(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv);
    const std::vector<std::string>& f = line.files;
    if (f.size() != 5)
        die("sosfilt takes 5 file names: SOS.npy X.npy ZI.npy Y.npy ZF.npy (see 'marrowick help sosfilt')");
    OutputFile y, zf;
    std::vector<std::pair<const char*, std::string>> inputs = {{"sos", f[0]}, {"x", f[1]}};
    if (f[2] != kRest) inputs.emplace_back("zi", f[2]);
    prepareOutputs(y, zf, f[3], f[4], inputs);
    const std::size_t elements = blockElements();
    const Sections sos = readSections(f[0]);
    NpyReader x;
    std::string error;
    if (!x.open(f[1], error)) die("input x: " + error);
    const std::size_t axis = axisOf(line.axis, line.axisGiven, x.header(), f[1]);
    NpyArray zi =
        axis == 0 ? readSectionStates(f[2], sos.n, x.header()) : readSectionStatesAlong(f[2], sos.n, x.header(), axis);

    const Kernel first = marrowick::chooseKernel(sos.complex, x.header().complex, mxIsComplex(zi.array.get()));
    const bool outComplex = first != Kernel::RR;
    const std::size_t N = mxGetNumberOfElements(zi.array.get()) / (2 * sos.n);  // also where X has no samples
    CascadeTiles tiles(sos, first, N);
    tiles.load(zi.array.get());
    zi.array.reset();
    if (x.header().count == 0) {
        publishEmpty(x, y, zf, outComplex, finalStates(tiles, zi.shape, outComplex, axis));
        return 0;
    }
    y.open();
    zf.open();
    const Geometry g = geometryOf(x.header(), axis);
    Stream stream(x, y, g, outComplex, 2 * sos.n, tiles);
    stream.run(stream.plan(elements), line.progress);
    publishBoth(x, y, zf, finalStates(tiles, zi.shape, outComplex, axis));
    return 0;
}

}  // namespace runner
