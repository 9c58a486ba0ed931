// marrowick filter: in single precision the module called on the tiles of X
// as a host calls it; in double precision (by X's dtype) the filters' pass
// of the double-precision kernels, the module's arguments checked by the
// module as before. Each tile's final states start the next tile of its
// channels, so the result is that of one call on the whole of X, bit for
// bit.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "filters/filters.h"
#include "host.h"
#include "npy.h"
#include "runner.h"
#include "stream.h"

namespace runner {
namespace {

namespace filters = marrowick::filters;
using marrowick::Kernel;

struct FilterInputs {
    std::string bPath, aPath, xPath, ziPath;
    NpyArray b, a, zi;  // of the computing precision; zi with X's time axis first
    bool wide = false;  // double precision
    NpyReader x;
    MexFunction fn = nullptr;
    std::size_t axis = 0;
    std::vector<std::size_t> ziShape;  // of the ZI file

    // ZF in ZI's shape from the states with the time axis first.
    std::vector<std::uint8_t> zfImage(const mxArray* states) const {
        if (axis == 0) return encodeNpy(states, ziShape);
        return encodeNpy(moveStateAxis(states, zi.shape, 0, axis, true).array.get(), ziShape);
    }
};

// A call the module refused: its message and identifier, and for a zi that
// does not fit, the files at fault.
[[noreturn]] void refused(const mxhost::CallResult& r, const FilterInputs& in) {
    std::string message = r.message + " [" + r.identifier + "]";
    if (r.identifier == "marrowick:ziLength") {
        message += "; L comes from B (" + in.bPath + ", " + std::to_string(mxGetNumberOfElements(in.b.array.get())) +
                   " coefficients) and A (" + in.aPath + ", " +
                   std::to_string(mxGetNumberOfElements(in.a.array.get())) + "), ZI (" + in.ziPath + ") has shape " +
                   shapeText(in.ziShape);
    } else if (r.identifier == "marrowick:ziSize") {
        message += "; ZI (" + in.ziPath + ") has shape " + shapeText(in.ziShape) + ", X (" + in.xPath + ") " +
                   shapeText(in.x.header().shape) +
                   (in.axis == 0 ? ": x is filtered along its first dimension: save it as samples x channels, or "
                                   "name its time axis with --axis=N"
                                 : ": x is filtered along axis " + std::to_string(in.axis));
    }
    die(message);
}

// Copies a tile of si samples of gc channels between a file image, whose
// element (i, k) starts at byte (i * rowStride + k * colStride) * item (the
// real part, then the imaginary part of a complex item), and a column-major
// host array's parts (im null for real data). A few channels at a time, so
// that both sides are walked in runs.
template <bool kToHost, class Byte>
void copyTile(Byte* image, std::size_t item, const Tile& t, float* re, float* im) {
    constexpr std::size_t kChannels = 16;
    const std::size_t si = t.si;
    for (std::size_t k0 = 0; k0 < t.gc; k0 += kChannels) {
        const std::size_t k1 = std::min(t.gc, k0 + kChannels);
        for (std::size_t i = 0; i < si; ++i) {
            for (std::size_t k = k0; k < k1; ++k) {
                Byte* e = image + (i * t.rowStride + k * t.colStride) * item;
                if constexpr (kToHost) {
                    std::memcpy(&re[k * si + i], e, 4);
                    if (im != nullptr) std::memcpy(&im[k * si + i], e + 4, 4);
                } else {
                    std::memcpy(e, &re[k * si + i], 4);
                    if (im != nullptr) std::memcpy(e + 4, &im[k * si + i], 4);
                }
            }
        }
    }
}

// The module on one tile at a time; the states of every channel, L x N in
// the host's channel order and of zf's type, carried between the tiles.
class ModuleTiles : public TileFilter {
public:
    ModuleTiles(const FilterInputs& in, mxhost::ArrayPtr state)
        : in_(in), xComplex_(in.x.header().complex), state_(std::move(state)) {
        L_ = mxGetM(state_.get());
        outComplex_ = mxIsComplex(state_.get());
    }

    void run(const Tile& t) override {
        mxhost::ArrayPtr xa = mxhost::makeArray({t.si, t.gc}, mxSINGLE_CLASS, xComplex_);
        copyTile<true>(t.in, xComplex_ ? 8 : 4, t, static_cast<float*>(mxGetData(xa.get())),
                       static_cast<float*>(mxGetImagData(xa.get())));
        mxhost::ArrayPtr zi = mxhost::makeArray({L_, t.gc}, mxSINGLE_CLASS, outComplex_);
        moveStates(zi.get(), state_.get(), t.columns, false);
        mxhost::CallResult r =
            mxhost::callModule(in_.fn, 2, {in_.b.array.get(), in_.a.array.get(), xa.get(), zi.get()});
        xa.reset();
        zi.reset();
        if (!r.ok) refused(r, in_);
        const mxArray* ya = r.outputs[0].get();
        const mxArray* zf = r.outputs[1].get();
        if (mxIsComplex(ya) != outComplex_ || mxIsComplex(zf) != outComplex_) {
            die("the module returned y or zf of an unexpected type");
        }
        copyTile<false>(t.out, outComplex_ ? 8 : 4, t, static_cast<float*>(mxGetData(ya)),
                        static_cast<float*>(mxGetImagData(ya)));
        moveStates(state_.get(), zf, t.columns, true);
    }

    const mxArray* state() const { return state_.get(); }

private:
    // Copies the states of the tile's columns from the carried states into
    // a call's zi (L x columns), or from a call's zf back.
    void moveStates(mxArray* to, const mxArray* from, const std::vector<std::size_t>& columns, bool back) const {
        if (L_ == 0) return;
        const std::size_t bytes = L_ * 4;
        for (int part = 0; part < (outComplex_ ? 2 : 1); ++part) {
            float* t = static_cast<float*>(part == 0 ? mxGetData(to) : mxGetImagData(to));
            const float* f = static_cast<const float*>(part == 0 ? mxGetData(from) : mxGetImagData(from));
            for (std::size_t k = 0; k < columns.size(); ++k) {
                const std::size_t j = columns[k];
                std::memcpy(back ? t + L_ * j : t + L_ * k, back ? f + L_ * k : f + L_ * j, bytes);
            }
        }
    }

    const FilterInputs& in_;
    bool xComplex_, outComplex_ = false;
    std::size_t L_ = 0;
    mxhost::ArrayPtr state_;
};

// The double-precision kernels on one tile at a time, through the filters'
// pass, as the Python package's filter runs them: b and a as given (divided
// by a[0] in the kernel), the states of every channel (channel j's L at
// j * L, of the kernel's state type) carried between the tiles.
class PassTiles : public TileFilter {
public:
    PassTiles(const FilterInputs& in, Kernel kernel, const mxArray* start) : kernel_(kernel) {
        const marrowick::KernelFacts f = marrowick::kernelFacts(kernel);
        b_ = kernelValues(in.b.array.get(), f.coefComplex);
        a_ = kernelValues(in.a.array.get(), f.coefComplex);
        c_ = filters::Coefficients{false,
                                   b_.data(),
                                   static_cast<int32_t>(mxGetNumberOfElements(in.b.array.get())),
                                   a_.data(),
                                   static_cast<int32_t>(mxGetNumberOfElements(in.a.array.get())),
                                   nullptr,
                                   0};
        // A zi of no states is the module's zero-state call, y = b[0] x / a[0].
        L_ = mxGetM(start);
        c_.zeroState = L_ == 0;
        c_.doublePrecision = true;
        row_ = L_ * f.outItem;
        states_ = kernelValues(start, f.outComplex);
    }

    std::size_t stateLength() const { return L_; }

    void run(const Tile& t) override {
        gathered_.resize(t.gc * row_);
        for (std::size_t k = 0; k < t.gc; ++k) std::memcpy(&gathered_[k * row_], &states_[t.columns[k] * row_], row_);
        const marrowick::Layout layout{static_cast<std::ptrdiff_t>(t.rowStride),
                                       static_cast<std::ptrdiff_t>(t.colStride)};
        const filters::Pass pass{
            kernel_,         c_, static_cast<int64_t>(t.si), static_cast<int64_t>(t.gc), t.in, layout, t.out, layout,
            gathered_.data()};
        filters::runPass(pass, 1);
        for (std::size_t k = 0; k < t.gc; ++k) std::memcpy(&states_[t.columns[k] * row_], &gathered_[k * row_], row_);
    }

    // The final states into `into` (the start states' host array), which
    // is returned.
    const mxArray* states(mxArray* into) const {
        const std::size_t n = mxGetNumberOfElements(into);
        auto* re = static_cast<std::uint8_t*>(mxGetData(into));
        auto* im = static_cast<std::uint8_t*>(mxGetImagData(into));
        const std::size_t item = im != nullptr ? 16 : 8;
        for (std::size_t e = 0; e < n; ++e) {
            std::memcpy(re + e * 8, &states_[e * item], 8);
            if (im != nullptr) std::memcpy(im + e * 8, &states_[e * item + 8], 8);
        }
        return into;
    }

private:
    Kernel kernel_;
    filters::Coefficients c_{};
    std::size_t L_ = 0, row_ = 0;
    std::vector<std::uint8_t> b_, a_, states_, gathered_;
};

}  // namespace

NpyArray readCoefficients(const char* name, const std::string& path, bool doublePrecision) {
    NpyArray c = readWhole(name, path, doublePrecision);
    if (std::count_if(c.shape.begin(), c.shape.end(), [](std::size_t d) { return d > 1; }) > 1) {
        die(std::string("input ") + name + " (" + path + "): shape " + shapeText(c.shape) +
            " has more than one row and column, but b and a are vectors; for second-order sections (n x 6) use "
            "'marrowick sosfilt'");
    }
    return c;
}

namespace {

void readInputs(FilterInputs& in, const std::vector<std::string>& files, const CommandLine& line) {
    in.bPath = files[0];
    in.aPath = files[1];
    in.xPath = files[2];
    in.ziPath = files[3];
    std::string error;
    if (!in.x.open(in.xPath, error)) die("input x: " + error);
    // X's dtype decides the precision of everything else.
    in.wide = doublePrecisionOf(in.x.header());
    in.b = readCoefficients("b", in.bPath, in.wide);
    in.a = readCoefficients("a", in.aPath, in.wide);
    in.axis = axisOf(line.axis, line.axisGiven, in.x.header(), in.xPath);
    const std::vector<std::size_t>& xShape = in.x.header().shape;
    if (in.ziPath == kRest) {
        // From rest: zeros of L rows, one column per channel of x.
        const std::size_t n =
            std::max(mxGetNumberOfElements(in.b.array.get()), mxGetNumberOfElements(in.a.array.get()));
        std::vector<std::size_t> shape = xShape;
        if (shape.empty()) shape.push_back(1);
        shape[in.axis] = n > 0 ? n - 1 : 0;
        in.zi = restStates(shape, in.wide);
    } else {
        in.zi = readWhole("zi", in.ziPath, in.wide);
    }
    in.ziShape = in.zi.shape;
    if (in.axis != 0) {
        // Along another axis ZI is X's shape but for its length there; the
        // states are carried with that axis first.
        bool fits = in.zi.shape.size() == xShape.size();
        for (std::size_t k = 0; fits && k < xShape.size(); ++k) fits = k == in.axis || in.zi.shape[k] == xShape[k];
        if (!fits) {
            die("input zi (" + in.ziPath + "): shape " + shapeText(in.zi.shape) + " is not that of X (" + in.xPath +
                ") " + shapeText(xShape) + " with L states along axis " + std::to_string(in.axis) +
                " [marrowick:ziSize]");
        }
        in.zi = moveStateAxis(in.zi.array.get(), in.zi.shape, 0, in.axis, false);
    }
    in.fn = loadModule();
}

// The carried states, L x N of zf's type from the start (a real zi widened),
// of the computing precision.
mxhost::ArrayPtr initialStates(const mxArray* zi, std::size_t N, bool outComplex) {
    const std::size_t n = mxGetNumberOfElements(zi), part = mxGetClassID(zi) == mxDOUBLE_CLASS ? 8 : 4;
    const std::size_t L = N == 0 ? 0 : n / N;
    mxhost::ArrayPtr state = mxhost::makeArray({L, N}, mxGetClassID(zi), outComplex);
    if (n == 0) return state;
    std::memcpy(mxGetData(state.get()), mxGetData(zi), n * part);
    if (outComplex && mxIsComplex(zi)) std::memcpy(mxGetImagData(state.get()), mxGetImagData(zi), n * part);
    return state;
}

// The call the module would get for the whole of X, with no samples: it
// checks the arguments before anything is written (in double precision on
// copies rounded to single, whose shapes are the same). When X holds no data
// at all, it is the whole call, and its outputs are published (in double
// precision zf is zi, of zf's type). Returns whether anything is left to
// stream.
bool checkCall(FilterInputs& in, OutputFile& y, OutputFile& zf) {
    const NpyHeader& h = in.x.header();
    std::vector<mwSize> dims(h.shape.begin(), h.shape.end());
    if (in.axis != 0)
        std::rotate(dims.begin(), dims.begin() + static_cast<std::ptrdiff_t>(in.axis),
                    dims.begin() + static_cast<std::ptrdiff_t>(in.axis) + 1);
    while (dims.size() < 2) dims.push_back(1);
    if (h.count != 0) dims[0] = 0;
    mxhost::ArrayPtr empty = mxhost::makeArray(dims, mxSINGLE_CLASS, h.complex);
    mxhost::ArrayPtr b, a, zi;
    if (in.wide) b = singleCopy(in.b.array.get()), a = singleCopy(in.a.array.get()), zi = singleCopy(in.zi.array.get());
    mxhost::CallResult r =
        mxhost::callModule(in.fn, 2,
                           {in.wide ? b.get() : in.b.array.get(), in.wide ? a.get() : in.a.array.get(), empty.get(),
                            in.wide ? zi.get() : in.zi.array.get()});
    if (!r.ok) refused(r, in);
    if (h.count != 0) return true;
    const bool outComplex = mxIsComplex(r.outputs[0].get());
    publishEmpty(
        in.x, y, zf, outComplex,
        in.zfImage(in.wide ? initialStates(in.zi.array.get(), geometryOf(h, in.axis).channels(), outComplex).get()
                           : r.outputs[1].get()));
    return false;
}

}  // namespace

int filterFiles(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv);
    const std::vector<std::string>& f = line.files;
    if (f.size() != 6)
        die("filter takes 6 file names: B.npy A.npy X.npy ZI.npy Y.npy ZF.npy (see 'marrowick help filter')");
    OutputFile y, zf;
    std::vector<std::pair<const char*, std::string>> inputs = {{"b", f[0]}, {"a", f[1]}, {"x", f[2]}};
    if (f[3] != kRest) inputs.emplace_back("zi", f[3]);
    prepareOutputs(y, zf, f[4], f[5], inputs);
    FilterInputs in;
    readInputs(in, f, line);
    const std::size_t elements = blockElements(in.wide);
    if (!checkCall(in, y, zf)) return 0;

    const bool coefComplex = mxIsComplex(in.b.array.get()) || mxIsComplex(in.a.array.get());
    const bool outComplex = coefComplex || in.x.header().complex || mxIsComplex(in.zi.array.get());
    y.open();
    zf.open();
    const Geometry g = geometryOf(in.x.header(), in.axis);
    mxhost::ArrayPtr start = initialStates(in.zi.array.get(), g.channels(), outComplex);
    in.zi.array.reset();
    if (in.wide) {
        const Kernel kernel =
            marrowick::chooseKernel(true, coefComplex, in.x.header().complex, mxIsComplex(start.get()));
        PassTiles tiles(in, kernel, start.get());
        Stream stream(in.x, y, g, outComplex, tiles.stateLength(), tiles);
        stream.run(stream.plan(elements), line.progress);
        publishBoth(in.x, y, zf, in.zfImage(tiles.states(start.get())));
        return 0;
    }
    ModuleTiles tiles(in, std::move(start));
    Stream stream(in.x, y, g, outComplex, mxGetM(tiles.state()), tiles);
    stream.run(stream.plan(elements), line.progress);
    publishBoth(in.x, y, zf, in.zfImage(tiles.state()));
    return 0;
}

}  // namespace runner
