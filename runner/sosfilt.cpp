// marrowick sosfilt: the cascade of second-order sections on the tiles of X,
// through the kernels' typed cascade call as the Python package runs it (in
// single or double precision, by X's dtype), each tile's final states
// starting the next tile of its channels, so the result is that of the
// package's sosfilt on the whole of X, bit for bit.
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

std::vector<std::uint8_t> kernelValues(const mxArray* v, bool wantComplex, std::size_t rows) {
    const bool doubles = mxGetClassID(v) == mxDOUBLE_CLASS;
    const std::size_t n = mxGetNumberOfElements(v), part = doubles ? 8 : 4, item = part * (wantComplex ? 2 : 1);
    const std::size_t columns = rows == 0 ? 1 : n / rows;
    const auto* re = static_cast<const std::uint8_t*>(mxGetData(v));
    const auto* im = static_cast<const std::uint8_t*>(mxGetImagData(v));
    std::vector<std::uint8_t> out(n * item, 0);  // all bits clear: +0 imaginary parts
    for (std::size_t e = 0; e < n; ++e) {
        const std::size_t to = rows == 0 ? e : (e % rows) * columns + e / rows;
        std::memcpy(&out[to * item], re + e * part, part);
        if (wantComplex && im != nullptr) std::memcpy(&out[to * item + part], im + e * part, part);
    }
    return out;
}

Sections readSections(const std::string& path, bool doublePrecision) {
    Sections s;
    s.array = readWhole("sos", path, doublePrecision);
    if (s.array.shape.size() != 2 || s.array.shape[1] != 6 || s.array.shape[0] < 1) {
        die("input sos (" + path + "): shape " + shapeText(s.array.shape) +
            " is not (n_sections, 6) with n_sections >= 1, rows b0 b1 b2 a0 a1 a2 [marrowick:sosShape]");
    }
    s.n = s.array.shape[0];
    s.complex = mxIsComplex(s.array.array.get());
    return s;
}

void Sections::prepare(bool wantComplex) { values = kernelValues(array.array.get(), wantComplex, n); }

namespace {

// The cascade on one tile at a time; the states of every channel, section s
// and channel j at (s * N + j) * 2, carried between the tiles.
class CascadeTiles : public TileFilter {
public:
    CascadeTiles(const Sections& sos, Kernel first, std::size_t N) : sos_(sos), first_(first), N_(N) {
        stateItem_ = marrowick::kernelFacts(first).outItem;
        part_ = marrowick::kernelFacts(first).doublePrecision ? 8 : 4;
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
        const auto* re = static_cast<const std::uint8_t*>(mxGetData(zi));
        const auto* im = static_cast<const std::uint8_t*>(mxGetImagData(zi));
        std::fill(states_.begin(), states_.end(), 0);
        for (std::size_t e = 0; e < states_.size() / stateItem_; ++e) {
            const std::size_t h = hostIndex(e);
            std::memcpy(&states_[e * stateItem_], re + h * part_, part_);
            if (im != nullptr) std::memcpy(&states_[e * stateItem_ + part_], im + h * part_, part_);
        }
    }
    void store(mxArray* zf) const {
        auto* re = static_cast<std::uint8_t*>(mxGetData(zf));
        auto* im = static_cast<std::uint8_t*>(mxGetImagData(zf));
        for (std::size_t e = 0; e < states_.size() / stateItem_; ++e) {
            const std::size_t h = hostIndex(e);
            std::memcpy(re + h * part_, &states_[e * stateItem_], part_);
            if (im != nullptr) std::memcpy(im + h * part_, &states_[e * stateItem_ + part_], part_);
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
    std::size_t N_, stateItem_, part_;
    std::vector<std::uint8_t> states_, gathered_;
};

// ZI along another axis than the first: the word rest or an empty file for
// rest, else a file of shape (n,) + X's shape with 2 along the axis; the
// states returned with the axis after the sections.
NpyArray readSectionStatesAlong(const std::string& path, std::size_t n, const NpyHeader& x, std::size_t axis) {
    const bool wide = doublePrecisionOf(x);
    std::vector<std::size_t> shape = {n};
    shape.insert(shape.end(), x.shape.begin(), x.shape.end());
    shape[1 + axis] = 2;
    if (path == kRest) return moveStateAxis(restStates(shape, wide).array.get(), shape, 1, axis, false);
    NpyArray zi = readWhole("zi", path, wide);
    if (mxGetNumberOfElements(zi.array.get()) == 0)
        return moveStateAxis(restStates(shape, wide).array.get(), shape, 1, axis, false);
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
    const bool wide = doublePrecisionOf(x);
    if (path == kRest) return restStates(shape, wide);
    NpyArray zi = readWhole("zi", path, wide);
    if (mxGetNumberOfElements(zi.array.get()) == 0) return restStates(shape, wide);
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
// real, of the computing precision.
std::vector<std::uint8_t> finalStates(CascadeTiles& tiles, const std::vector<std::size_t>& shape, bool complex,
                                      bool doublePrecision, std::size_t axis) {
    NpyArray zf = zeros(shape, complex, doublePrecision);
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
    NpyReader x;
    std::string error;
    if (!x.open(f[1], error)) die("input x: " + error);
    // X's dtype decides the precision of everything else.
    const bool wide = doublePrecisionOf(x.header());
    const std::size_t elements = blockElements(wide);
    Sections sos = readSections(f[0], wide);
    const std::size_t axis = axisOf(line.axis, line.axisGiven, x.header(), f[1]);
    NpyArray zi =
        axis == 0 ? readSectionStates(f[2], sos.n, x.header()) : readSectionStatesAlong(f[2], sos.n, x.header(), axis);

    const Kernel first = marrowick::chooseKernel(wide, sos.complex, x.header().complex, mxIsComplex(zi.array.get()));
    sos.prepare(marrowick::kernelFacts(first).coefComplex);
    const bool outComplex = marrowick::kernelFacts(first).outComplex;
    const std::size_t N = mxGetNumberOfElements(zi.array.get()) / (2 * sos.n);  // also where X has no samples
    CascadeTiles tiles(sos, first, N);
    tiles.load(zi.array.get());
    zi.array.reset();
    if (x.header().count == 0) {
        publishEmpty(x, y, zf, outComplex, finalStates(tiles, zi.shape, outComplex, wide, axis));
        return 0;
    }
    y.open();
    zf.open();
    const Geometry g = geometryOf(x.header(), axis);
    Stream stream(x, y, g, outComplex, 2 * sos.n, tiles);
    stream.run(stream.plan(elements), line.progress);
    publishBoth(x, y, zf, finalStates(tiles, zi.shape, outComplex, wide, axis));
    return 0;
}

}  // namespace runner
