// The blocks of X and Y, their order and their progress; the checks and the
// publishing every command that filters files shares.
#include "stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host.h"

namespace runner {
namespace {

// Host-array bytes of x per block. A block's file images of X and Y take at
// most twice this (one buffer when their items are alike); each tile takes
// a quarter of a block's elements, x and states counted.
constexpr std::size_t kBlockBytes = 32u << 20;
// B, A, SOS and ZI are read whole, up to this many bytes of data each.
constexpr std::uint64_t kWholeInputBytes = 16u << 20;
// C-order tiles hold up to this many rows.
constexpr std::size_t kTileRows = 64;

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::size_t blockElements(bool doublePrecision) {
    std::size_t bytes = kBlockBytes;
    if (const char* env = std::getenv("MARROWICK_BLOCK_BYTES"); env != nullptr && *env != '\0') {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(env, &end, 10);
        if (*end != '\0' || v < 8 || v > kBlockBytes)
            die(std::string("MARROWICK_BLOCK_BYTES is not a size from 8 to ") + std::to_string(kBlockBytes) + ": '" +
                env + "'");
        bytes = static_cast<std::size_t>(v);
    }
    return std::max<std::size_t>(1, bytes / (doublePrecision ? 16 : 8));
}

std::size_t samplesOf(const NpyHeader& h) { return h.shape.empty() ? 1 : h.shape[0]; }
std::size_t channelsOf(const NpyHeader& h) { return samplesOf(h) == 0 ? 0 : h.count / samplesOf(h); }

Geometry geometryOf(const NpyHeader& h, std::size_t axis) {
    Geometry g;
    g.fortran = h.fortran;
    if (h.shape.empty()) return g;
    std::size_t before = 1, after = 1;
    for (std::size_t k = 0; k < h.shape.size(); ++k) {
        if (k < axis) before *= h.shape[k];
        if (k > axis) after *= h.shape[k];
        if (k != axis) g.others.push_back(h.shape[k]);
    }
    g.samples = h.shape[axis];
    g.outer = before * after == 0 ? 0 : h.fortran ? after : before;
    g.inner = before * after == 0 ? 0 : h.fortran ? before : after;
    return g;
}

// In Fortran order file channels are already counted column-major; in C
// order they are counted with the last dimension fastest.
void Geometry::columns(std::size_t f0, std::size_t count, std::vector<std::size_t>& out) const {
    out.resize(count);
    const std::size_t nd = others.size();
    if (fortran || nd < 2) {
        for (std::size_t c = 0; c < count; ++c) out[c] = f0 + c;
        return;
    }
    std::vector<std::size_t> index(nd, 0), stride(nd, 1);
    for (std::size_t k = 1; k < nd; ++k) stride[k] = stride[k - 1] * others[k - 1];
    std::size_t rest = f0, j = 0;
    for (std::size_t k = nd; k-- > 0;) index[k] = rest % others[k], rest /= others[k], j += index[k] * stride[k];
    for (std::size_t c = 0; c < count; ++c) {
        out[c] = j;
        for (std::size_t k = nd; k-- > 0;) {  // last index fastest
            j += stride[k];
            if (++index[k] < others[k]) break;
            j -= stride[k] * others[k];
            index[k] = 0;
        }
    }
}

std::size_t axisOf(const std::string& text, bool given, const NpyHeader& x, const std::string& xPath) {
    if (!given) return 0;
    const long long nd = static_cast<long long>(x.shape.size());
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    const bool number =
        !text.empty() && text.find_first_not_of("+-0123456789") == std::string::npos && *end == '\0' && errno == 0;
    if (!number || v < -nd || v >= nd) {
        die("--axis must be an integer from " + std::to_string(-nd) + " to " + std::to_string(nd - 1) + " for x (" +
            xPath + ") of shape " + shapeText(x.shape) + ", got '" + text + "' [marrowick:badAxis]");
    }
    return static_cast<std::size_t>(v < 0 ? v + nd : v);
}

NpyArray moveStateAxis(const mxArray* v, const std::vector<std::size_t>& shape, std::size_t lead, std::size_t axis,
                       bool back) {
    std::size_t A = 1, P = 1, Q = 1;
    for (std::size_t k = 0; k < lead; ++k) A *= shape[k];
    const std::size_t from = lead + (back ? 0 : axis), to = lead + (back ? axis : 0), K = shape[from];
    std::vector<std::size_t> moved = shape;
    moved.erase(moved.begin() + static_cast<std::ptrdiff_t>(from));
    moved.insert(moved.begin() + static_cast<std::ptrdiff_t>(to), K);
    for (std::size_t k = lead + 1; k < lead + 1 + axis; ++k) P *= back ? shape[k] : moved[k];
    for (std::size_t k = lead + 1 + axis; k < shape.size(); ++k) Q *= shape[k];
    const bool complex = mxIsComplex(v), doubles = mxGetClassID(v) == mxDOUBLE_CLASS;
    const std::size_t item = doubles ? 8 : 4;
    NpyArray out = zeros(moved, complex, doubles);
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        const auto* f = static_cast<const std::uint8_t*>(part == 0 ? mxGetData(v) : mxGetImagData(v));
        auto* t = static_cast<std::uint8_t*>(part == 0 ? mxGetData(out.array.get()) : mxGetImagData(out.array.get()));
        // Element (a, p, k, q): at a + A * (p + P * (k + K * q)) with the
        // axis in its place, at a + A * (k + K * (p + P * q)) moved.
        for (std::size_t q = 0; q < Q; ++q)
            for (std::size_t k = 0; k < K; ++k)
                for (std::size_t p = 0; p < P; ++p) {
                    const std::size_t placed = A * (p + P * (k + K * q)), first = A * (k + K * (p + P * q));
                    std::memcpy(&t[(back ? placed : first) * item], &f[(back ? first : placed) * item], A * item);
                }
    }
    return out;
}

Stream::Stream(NpyReader& x, OutputFile& y, const Geometry& g, bool outComplex, std::size_t stateRows,
               TileFilter& filter)
    : x_(x),
      y_(y),
      filter_(filter),
      g_(g),
      stateRows_(stateRows),
      outComplex_(outComplex),
      doubles_(doublePrecisionOf(x.header())) {
    M_ = g.samples;
    cOrder_ = g.inner > 1;
    N_ = cOrder_ ? g.inner : g.outer;
    slabs_ = cOrder_ ? g.outer : 1;
}

BlockPlan Stream::plan(std::size_t elements) const {
    // C order: blocks of whole rows when a block holds enough of them for
    // the filter to work on long runs of each channel; else tiles of rows
    // and channels, which a pipe cannot take.
    const std::size_t tileRows = std::min(M_, kTileRows);
    const bool pipe = !x_.seekable() || !y_.seekable();
    if (cOrder_ && N_ <= elements && (elements / N_ >= tileRows || pipe)) return {elements / N_, N_, elements};
    if (cOrder_ && pipe) {
        die("input x (" + x_.path() + "): one row of " + std::to_string(N_) + " channels is larger than a block of " +
            std::to_string(elements) + " elements, and " + (x_.seekable() ? "Y" : "X") +
            " is not seekable; store X in Fortran order or use files");
    }
    if (cOrder_) return {tileRows, std::max<std::size_t>(1, elements / tileRows), elements};
    // Fortran order: several whole channels per block, or each channel in
    // pieces.
    if (M_ <= elements) return {M_, elements / M_, elements};
    return {elements, 1, elements};
}

void Stream::run(const BlockPlan& plan, bool showProgress) {
    const NpyHeader& h = x_.header();
    callElements_ = std::max<std::size_t>(1, plan.elements / 4);
    const std::vector<std::uint8_t> header = encodeNpyHeader(outComplex_, h.shape, h.fortran, doubles_);
    y_.writeAt(0, header.data(), header.size());
    yData_ = header.size();

    // Slab after slab, down the rows of a group of channels, then the next
    // group.
    Progress progress(h.dataBytes, showProgress);
    std::uint64_t done = 0;
    for (std::size_t o = 0; o < slabs_; ++o) {
        for (std::size_t c0 = 0; c0 < N_; c0 += plan.group) {
            const std::size_t nc = std::min(plan.group, N_ - c0);
            for (std::size_t s0 = 0; s0 < M_; s0 += plan.rows) {
                const std::size_t ns = std::min(plan.rows, M_ - s0);
                block(o, s0, ns, c0, nc);
                progress.update(done += static_cast<std::uint64_t>(ns) * nc * h.itemSize);
            }
        }
    }
    progress.finish("", h.dataBytes);
}

// Samples [s0, s0 + ns) of channels [c0, c0 + nc) of slab o in file order:
// in C order whole rows (one run of the file) or a tile of rows (one run per
// row); in Fortran order whole channels (ns = M) or a piece of one channel
// (nc = 1), one run either way.
void Stream::block(std::size_t o, std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc) {
    const std::size_t fi = x_.header().itemSize, xi = xItem(), yi = yItem(), n = ns * nc;
    const bool oneRun = !cOrder_ || nc == N_;
    const std::size_t runs = oneRun ? 1 : ns, run = n / runs;
    const std::uint64_t slab = static_cast<std::uint64_t>(o) * M_ * N_;
    // The first element of run r, counted from the start of the data.
    const auto runStart = [&](std::size_t r) -> std::uint64_t {
        return slab +
               (cOrder_ ? static_cast<std::uint64_t>(s0 + r) * N_ + c0 : static_cast<std::uint64_t>(c0) * M_ + s0);
    };
    in_.resize(n * xi);
    std::string error;
    for (std::size_t r = 0; r < runs; ++r) {
        if (!x_.readData(runStart(r) * fi, &in_[r * run * fi], run * fi, error)) die("input x: " + error);
    }
    // Integers widened in place to their precision's type.
    if (fi != xi) convertItems(x_.header(), in_.data(), n, in_.data());
    // Y's items are as large as X's unless only X is real: then Y gets a
    // buffer of its own, else it takes each tile's place in X's.
    std::vector<std::uint8_t>& image = yi == xi ? in_ : out_;
    image.resize(n * yi);
    const std::size_t rowStride = cOrder_ ? nc : 1, colStride = cOrder_ ? 1 : ns;
    // Long runs of a few channels, or every channel of the block in shorter
    // runs where the filter works best across channels.
    std::size_t sub = std::min(ns, callElements_);
    if (filter_.acrossChannels()) sub = std::min(ns, std::max<std::size_t>(1, callElements_ / nc));
    const std::size_t group = std::min(nc, std::max<std::size_t>(1, callElements_ / (sub + stateRows_)));
    for (std::size_t k0 = 0; k0 < nc; k0 += group) {
        const std::size_t gc = std::min(group, nc - k0);
        g_.columns(o * N_ + c0 + k0, gc, columns_);
        for (std::size_t i0 = 0; i0 < ns; i0 += sub) {
            const std::size_t at = i0 * rowStride + k0 * colStride;
            filter_.run(
                Tile{&in_[at * xi], &image[at * yi], rowStride, colStride, std::min(sub, ns - i0), gc, columns_});
        }
    }
    for (std::size_t r = 0; r < runs; ++r) y_.writeAt(yData_ + runStart(r) * yi, &image[r * run * yi], run * yi);
}

Progress::Progress(std::uint64_t total, bool always)
    : total_(total),
      terminal_(isatty(STDERR_FILENO) == 1),
      always_(always),
      shown_(terminal_ || always),
      started_(secondsNow()) {}

Progress::~Progress() {
    if (drawn_ && terminal_) std::fputs("\r\033[K", stderr);
}

void Progress::stage(const std::string& name, std::uint64_t total) {
    stage_ = name;
    total_ = total;
}

void Progress::update(std::uint64_t done) {
    if (!shown_) return;
    const double now = secondsNow();
    if (now - started_ < 1.0 || now - last_ < (terminal_ ? 0.25 : 5.0)) return;
    last_ = now;
    draw(done, false);
}

void Progress::finish(const std::string& name, std::uint64_t total) {
    if (!shown_ || !(always_ || drawn_)) return;
    stage_ = name;
    total_ = total;
    draw(total, true);
    drawn_ = false;
}

void Progress::draw(std::uint64_t done, bool closing) {
    drawn_ = true;
    const double percent = total_ == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total_);
    char line[160];
    std::snprintf(line, sizeof line, "marrowick: filtering: %s%s%.0f%% of %.1f MiB", stage_.c_str(),
                  stage_.empty() ? "" : ": ", percent, static_cast<double>(total_) / 1048576.0);
    std::string text = line;
    if (closing) {
        std::snprintf(line, sizeof line, " in %.1f s", secondsNow() - started_);
        text += line;
    }
    if (terminal_) std::fprintf(stderr, "\r%s\033[K%s", text.c_str(), closing ? "\n" : "");
    else std::fprintf(stderr, "%s\n", text.c_str());
}

void prepareOutputs(OutputFile& y, OutputFile& zf, const std::string& pathY, const std::string& pathZf,
                    const std::vector<std::pair<const char*, std::string>>& inputs) {
    if (pathY.empty() || pathZf.empty()) die("an output file name is empty");
    // (A device such as /dev/null may take both.)
    struct stat st {};
    const bool device = stat(pathY.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    if (!device && sameFile(pathY, pathZf)) die("Y and ZF name the same file: " + pathY);
    y.prepare(pathY, "Y");
    zf.prepare(pathZf, "ZF");
    for (const auto& [name, in] : inputs) {
        if ((!y.direct() && sameFile(in, pathY)) || (!zf.direct() && sameFile(in, pathZf))) {
            die(std::string("input ") + name + " (" + in + ") is also named as an output");
        }
    }
}

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    bool options = true;
    const std::string command = argv[1];
    const bool zeroPhase = command == "filtfilt" || command == "sosfiltfilt";
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--progress") {
            line.progress = true;
        } else if (options && arg.compare(0, 7, "--axis=") == 0) {
            line.axisGiven = true;
            line.axis = arg.substr(7);
        } else if (options && zeroPhase && arg.compare(0, 10, "--padtype=") == 0) {
            line.padtype = arg.substr(10);
            if (line.padtype.empty()) die("--padtype needs a value [marrowick:padType]: odd, even, constant or none");
        } else if (options && zeroPhase && arg.compare(0, 9, "--padlen=") == 0) {
            line.padlen = arg.substr(9);
            if (line.padlen.empty()) die("--padlen needs a value [marrowick:padLength]: an integer 0 or more");
        } else if (options && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            die("unknown option '" + arg + "' of " + argv[1] + " (see 'marrowick help " + argv[1] + "')");
        } else {
            line.files.push_back(arg);
        }
    }
    return line;
}

NpyArray readWhole(const char* name, const std::string& path, bool doublePrecision) {
    NpyArray array;
    std::string error;
    if (!readNpy(path, array, error, kWholeInputBytes, doublePrecision))
        die(std::string("input ") + name + ": " + error);
    return array;
}

mxhost::ArrayPtr singleCopy(const mxArray* array) {
    const bool complex = mxIsComplex(array);
    mxhost::ArrayPtr out = mxhost::makeArray(shapeOf(array), mxSINGLE_CLASS, complex);
    const std::size_t n = mxGetNumberOfElements(array);
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        const void* from = part == 0 ? mxGetData(array) : mxGetImagData(array);
        float* to = static_cast<float*>(part == 0 ? mxGetData(out.get()) : mxGetImagData(out.get()));
        for (std::size_t e = 0; e < n; ++e)
            to[e] = mxGetClassID(array) == mxDOUBLE_CLASS ? static_cast<float>(static_cast<const double*>(from)[e])
                                                          : static_cast<const float*>(from)[e];
    }
    return out;
}

NpyArray zeros(const std::vector<std::size_t>& shape, bool complex, bool doublePrecision) {
    std::vector<mwSize> dims(shape.begin(), shape.end());
    while (dims.size() < 2) dims.push_back(1);
    return NpyArray{shape, mxhost::makeArray(dims, doublePrecision ? mxDOUBLE_CLASS : mxSINGLE_CLASS, complex)};
}

NpyArray restStates(const std::vector<std::size_t>& shape, bool doublePrecision) {
    std::uint64_t count = 1;
    for (std::size_t d : shape) count *= d;
    if (count * (doublePrecision ? 8 : 4) > kWholeInputBytes) {
        die("the states of shape " + shapeText(shape) + " from rest take more than " +
            std::to_string(kWholeInputBytes >> 20) + " MiB, the limit of a ZI file");
    }
    return zeros(shape, false, doublePrecision);
}

std::string shapeText(const std::vector<std::size_t>& shape) {
    std::string text = "(";
    for (std::size_t k = 0; k < shape.size(); ++k) text += (k ? ", " : "") + std::to_string(shape[k]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

void publishBoth(NpyReader& x, OutputFile& y, OutputFile& zf, const std::vector<std::uint8_t>& zfImage) {
    std::string error;
    if (!x.finishData(error)) die("input x: " + error);
    y.finish();
    zf.writeAt(0, zfImage.data(), zfImage.size());
    zf.finish();
    publish(&y, &zf);
}

void publishEmpty(NpyReader& x, OutputFile& y, OutputFile& zf, bool outComplex,
                  const std::vector<std::uint8_t>& zfImage) {
    std::string error;
    if (!x.finishData(error)) die("input x: " + error);
    y.open();
    zf.open();
    const NpyHeader& h = x.header();
    const std::vector<std::uint8_t> header = encodeNpyHeader(outComplex, h.shape, h.fortran, doublePrecisionOf(h));
    y.writeAt(0, header.data(), header.size());
    y.finish();
    zf.writeAt(0, zfImage.data(), zfImage.size());
    zf.finish();
    publish(&y, &zf);
}

}  // namespace runner
