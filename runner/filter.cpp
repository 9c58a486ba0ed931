// marrowick filter: X is read and Y written in blocks of samples, the module
// called once per block with each block's final states starting the next, so
// memory stays bounded whatever the size of the files and the result is that
// of one call, bit for bit.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host.h"
#include "npy.h"
#include "runner.h"

namespace runner {

using mxhost::NpyReader;
namespace {

// Host-array bytes of x per block (8 per element, real or complex); the
// MARROWICK_BLOCK_BYTES environment variable shrinks it for tests. A block's
// file images of X and Y take at most twice this (one buffer when their items
// are alike); each module call takes a quarter of a block's elements, x and
// states counted, so that the call's own copies stay small.
constexpr std::size_t kBlockBytes = 32u << 20;
// B, A and ZI are read whole, up to this many bytes of data each.
constexpr std::uint64_t kWholeInputBytes = 16u << 20;

std::size_t blockElements() {
    std::size_t bytes = kBlockBytes;
    if (const char* env = std::getenv("MARROWICK_BLOCK_BYTES"); env != nullptr && *env != '\0') {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(env, &end, 10);
        if (*end != '\0' || v < 8 || v > kBlockBytes)
            die(std::string("MARROWICK_BLOCK_BYTES is not a size from 8 to ") + std::to_string(kBlockBytes) + ": '" +
                env + "'");
        bytes = static_cast<std::size_t>(v);
    }
    return bytes / 8;
}

// Progress on a terminal, for runs longer than a second; nothing otherwise.
class Progress {
public:
    explicit Progress(std::uint64_t total) : total_(total), shown_(isatty(STDERR_FILENO) == 1) {}
    ~Progress() {
        if (drawn_) std::fputs("\r\033[K", stderr);
    }
    void update(std::uint64_t done) {
        if (!shown_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        drawn_ = true;
        std::fprintf(stderr, "\rmarrowick: filtering: %3.0f%% of %.1f MiB", 100.0 * done / total_, total_ / 1048576.0);
    }

private:
    std::uint64_t total_;
    bool shown_, drawn_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), last_;
};

// A call the module refused: its message and identifier, and for a zi that
// does not fit x a hint at the usual cause.
[[noreturn]] void refused(const mxhost::CallResult& r) {
    std::string message = r.message + " [" + r.identifier + "]";
    if (r.identifier == "marrowick:ziLength" || r.identifier == "marrowick:ziSize") {
        message += "; x is filtered along its first dimension: save it as samples x channels";
    }
    die(message);
}

// Copies a tile of si samples of gc channels between a file image, whose
// element (i, k) starts at byte (i * rowStride + k * colStride) * item (the
// real part, then the imaginary part of a complex item), and a column-major
// host array's parts (im null for real data). A few channels at a time, so
// that both sides are walked in runs.
template <bool kToHost>
void copyTile(std::uint8_t* image, std::size_t item, std::size_t rowStride, std::size_t colStride, std::size_t si,
              std::size_t gc, float* re, float* im) {
    constexpr std::size_t kChannels = 16;
    for (std::size_t k0 = 0; k0 < gc; k0 += kChannels) {
        const std::size_t k1 = std::min(gc, k0 + kChannels);
        for (std::size_t i = 0; i < si; ++i) {
            for (std::size_t k = k0; k < k1; ++k) {
                std::uint8_t* e = image + (i * rowStride + k * colStride) * item;
                if (kToHost) {
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

// X streamed into Y, which is stored in X's order. A block is read from X
// and written to Y in the files' own order: in Fortran order whole channels,
// or a piece of one, with one read and one write; in C order whole rows of
// every channel, with one read and one write, or, when a block would hold
// only a few such rows, a tile of up to 64 rows of a group of channels, with
// one read and one write per row. Within a block the module is called on
// tiles of channels and samples small enough that each call's own copies
// stay small, every channel's states carried from tile to tile.
struct Stream {
    MexFunction fn;
    const mxArray* b;
    const mxArray* a;
    NpyReader& x;
    OutputFile& y;
    std::size_t M, N, L;
    bool cOrder;  // rows of channels, more than one channel
    bool outComplex;
    std::size_t callElements;        // x and state elements per call
    std::uint64_t yData;             // offset of Y's data
    mxhost::ArrayPtr state;          // L x N, host channel order, the type of zf
    std::vector<std::size_t> shape;  // X's
    std::vector<std::uint8_t> in, out;
    std::vector<std::size_t> columns;

    std::size_t xItem() const { return x.header().itemSize; }
    std::size_t yItem() const { return outComplex ? 8 : 4; }

    // The host columns of count channels from position p0 of a C-order row
    // on: a row lists the channels in C order of the trailing dimensions,
    // the host numbers them in column-major order.
    void hostColumns(std::size_t p0, std::size_t count) {
        const std::size_t nd = shape.size();
        std::vector<std::size_t> index(nd, 0), stride(nd, 1);
        for (std::size_t k = 2; k < nd; ++k) stride[k] = stride[k - 1] * shape[k - 1];
        std::size_t rest = p0, j = 0;
        for (std::size_t k = nd; k-- > 1;) index[k] = rest % shape[k], rest /= shape[k], j += index[k] * stride[k];
        columns.resize(count);
        for (std::size_t c = 0; c < count; ++c) {
            columns[c] = j;
            for (std::size_t k = nd; k-- > 1;) {  // last index fastest
                j += stride[k];
                if (++index[k] < shape[k]) break;
                j -= stride[k] * shape[k];
                index[k] = 0;
            }
        }
    }

    // Samples [s0, s0 + ns) of channels [c0, c0 + nc) in file order: in C
    // order whole rows (one run of the file) or a tile of rows (one run per
    // row); in Fortran order whole channels (ns = M) or a piece of one
    // channel (nc = 1), one run either way.
    void block(std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc) {
        const std::size_t xi = xItem(), yi = yItem(), n = ns * nc;
        const bool rows = !cOrder || nc == N;  // the block is one run
        const std::size_t runs = rows ? 1 : ns, run = n / runs;
        // The first element of run r, counted from the start of the data.
        const auto runStart = [&](std::size_t r) -> std::uint64_t {
            return cOrder ? static_cast<std::uint64_t>(s0 + r) * N + c0 : static_cast<std::uint64_t>(c0) * M + s0;
        };
        in.resize(n * xi);
        std::string error;
        for (std::size_t r = 0; r < runs; ++r) {
            if (!x.readData(runStart(r) * xi, &in[r * run * xi], run * xi, error)) die("input x: " + error);
        }
        // Y's items are as large as X's unless only X is real: then Y gets a
        // buffer of its own, else it takes each tile's place in X's.
        std::vector<std::uint8_t>& image = yi == xi ? in : out;
        image.resize(n * yi);
        const std::size_t rowStride = cOrder ? nc : 1, colStride = cOrder ? 1 : ns;

        const bool xComplex = x.header().complex, stateComplex = mxIsComplex(state.get());
        const std::size_t sub = std::min(ns, callElements);
        const std::size_t group = std::min(nc, std::max<std::size_t>(1, callElements / (sub + L)));
        const bool permuted = cOrder && shape.size() > 2;
        for (std::size_t k0 = 0; k0 < nc; k0 += group) {
            const std::size_t gc = std::min(group, nc - k0);
            if (permuted) {
                hostColumns(c0 + k0, gc);
            } else {
                columns.resize(gc);
                for (std::size_t k = 0; k < gc; ++k) columns[k] = c0 + k0 + k;
            }
            for (std::size_t i0 = 0; i0 < ns; i0 += sub) {
                const std::size_t si = std::min(sub, ns - i0);
                mxhost::ArrayPtr xa = mxhost::makeArray({si, gc}, mxSINGLE_CLASS, xComplex);
                copyTile<true>(&in[(i0 * rowStride + k0 * colStride) * xi], xi, rowStride, colStride, si, gc,
                               static_cast<float*>(mxGetData(xa.get())), static_cast<float*>(mxGetImagData(xa.get())));
                mxhost::ArrayPtr zi = mxhost::makeArray({L, gc}, mxSINGLE_CLASS, stateComplex);
                moveStates(zi.get(), state.get(), false);
                mxhost::CallResult r = mxhost::callModule(fn, 2, {b, a, xa.get(), zi.get()});
                xa.reset();
                zi.reset();
                if (!r.ok) refused(r);
                const mxArray* ya = r.outputs[0].get();
                const mxArray* zf = r.outputs[1].get();
                if (mxIsComplex(ya) != outComplex || mxIsComplex(zf) != stateComplex) {
                    die("the module returned y or zf of an unexpected type");
                }
                copyTile<false>(&image[(i0 * rowStride + k0 * colStride) * yi], yi, rowStride, colStride, si, gc,
                                static_cast<float*>(mxGetData(ya)), static_cast<float*>(mxGetImagData(ya)));
                moveStates(state.get(), zf, true);
            }
        }
        for (std::size_t r = 0; r < runs; ++r) y.writeAt(yData + runStart(r) * yi, &image[r * run * yi], run * yi);
    }

    // Copies the states of the current columns from the carried states into
    // a call's zi (L x columns), or from a call's zf back.
    void moveStates(mxArray* to, const mxArray* from, bool back) const {
        if (L == 0) return;
        const std::size_t bytes = L * 4;
        const int parts = mxIsComplex(to) ? 2 : 1;
        for (int part = 0; part < parts; ++part) {
            float* t = static_cast<float*>(part == 0 ? mxGetData(to) : mxGetImagData(to));
            const float* f = static_cast<const float*>(part == 0 ? mxGetData(from) : mxGetImagData(from));
            for (std::size_t k = 0; k < columns.size(); ++k) {
                const std::size_t j = columns[k];
                std::memcpy(back ? t + L * j : t + L * k, back ? f + L * k : f + L * j, bytes);
            }
        }
    }
};

mxhost::NpyArray readWhole(const char* name, const std::string& path) {
    mxhost::NpyArray array;
    std::string error;
    if (!mxhost::readNpy(path, array, error, kWholeInputBytes)) die(std::string("input ") + name + ": " + error);
    return array;
}

void writeImage(OutputFile& file, const std::vector<std::uint8_t>& bytes) {
    file.writeAt(0, bytes.data(), bytes.size());
}

}  // namespace

int filterFiles(int argc, char** argv) {
    if (argc != 8)
        die("filter takes 6 file names: B.npy A.npy X.npy ZI.npy Y.npy ZF.npy (see 'marrowick help filter')");
    const char* names[4] = {"b", "a", "x", "zi"};
    const std::string pathY = argv[6], pathZf = argv[7];
    if (pathY.empty() || pathZf.empty()) die("an output file name is empty");
    // (A device such as /dev/null may take both.)
    struct stat st {};
    const bool device = stat(pathY.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    if (!device && sameFile(pathY, pathZf)) die("Y and ZF name the same file: " + pathY);
    OutputFile y, zf;
    y.prepare(pathY, "Y");
    zf.prepare(pathZf, "ZF");
    for (int i = 0; i < 4; ++i) {
        const std::string in = argv[2 + i];
        if ((!y.direct() && sameFile(in, pathY)) || (!zf.direct() && sameFile(in, pathZf))) {
            die(std::string("input ") + names[i] + " (" + in + ") is also named as an output");
        }
    }
    const std::size_t elements = blockElements();
    mxhost::NpyArray b = readWhole("b", argv[2]), a = readWhole("a", argv[3]);
    NpyReader x;
    std::string error;
    if (!x.open(argv[4], error)) die("input x: " + error);
    mxhost::NpyArray zi = readWhole("zi", argv[5]);
    const MexFunction fn = loadModule();
    const mxhost::NpyHeader& xh = x.header();

    // The call the module would get for the whole of X, with no samples:
    // it checks the arguments before anything is written. When X holds no
    // data at all, it is the whole call.
    std::vector<mwSize> dims(xh.shape.begin(), xh.shape.end());
    while (dims.size() < 2) dims.push_back(1);
    if (xh.count != 0) dims[0] = 0;
    const bool fortranY = xh.fortran;
    {
        mxhost::ArrayPtr empty = mxhost::makeArray(dims, mxSINGLE_CLASS, xh.complex);
        mxhost::CallResult r = mxhost::callModule(fn, 2, {b.array.get(), a.array.get(), empty.get(), zi.array.get()});
        if (!r.ok) refused(r);
        if (xh.count == 0) {
            if (!x.finishData(error)) die("input x: " + error);
            y.open();
            zf.open();
            writeImage(y, mxhost::encodeNpyHeader(mxIsComplex(r.outputs[0].get()), xh.shape, fortranY));
            y.finish();
            writeImage(zf, mxhost::encodeNpy(r.outputs[1].get(), zi.shape));
            zf.finish();
            publish(&y, &zf);
            return 0;
        }
    }
    const std::size_t M = xh.shape.empty() ? 1 : xh.shape[0];
    const std::size_t N = xh.count / M;
    const std::size_t L = mxGetNumberOfElements(zi.array.get()) / N;
    const bool cOrder = !xh.fortran && N > 1;
    y.open();
    zf.open();
    // C order: blocks of whole rows when a block holds enough of them for
    // the module to work on long runs of each channel; else tiles of rows
    // and channels, which a pipe cannot take.
    const std::size_t tileRows = std::min<std::size_t>(M, 64);
    const bool wholeRows = cOrder && N <= elements && (elements / N >= tileRows || !x.seekable() || !y.seekable());
    if (cOrder && !wholeRows && (!x.seekable() || !y.seekable())) {
        die("input x (" + std::string(argv[4]) + "): one row of " + std::to_string(N) +
            " channels is larger than a block of " + std::to_string(elements) + " elements, and " +
            (x.seekable() ? "Y" : "X") + " is not seekable; store X in Fortran order or use files");
    }

    const bool outComplex =
        mxIsComplex(b.array.get()) || mxIsComplex(a.array.get()) || xh.complex || mxIsComplex(zi.array.get());
    // The carried states, of zf's type from the start (a real zi widened).
    mxhost::ArrayPtr state = mxhost::makeArray({L, N}, mxSINGLE_CLASS, outComplex);
    if (L * N != 0) {
        std::memcpy(mxGetData(state.get()), mxGetData(zi.array.get()), L * N * 4);
        if (outComplex) {
            float* im = static_cast<float*>(mxGetImagData(state.get()));
            if (mxIsComplex(zi.array.get())) std::memcpy(im, mxGetImagData(zi.array.get()), L * N * 4);
            else std::memset(im, 0, L * N * 4);
        }
    }
    zi.array.reset();
    Stream s{fn,
             b.array.get(),
             a.array.get(),
             x,
             y,
             M,
             N,
             L,
             cOrder,
             outComplex,
             std::max<std::size_t>(1, elements / 4),
             0,
             std::move(state),
             xh.shape,
             {},
             {},
             {}};

    const std::vector<std::uint8_t> header = mxhost::encodeNpyHeader(outComplex, xh.shape, fortranY);
    writeImage(y, header);
    s.yData = header.size();

    Progress progress(xh.dataBytes);
    std::uint64_t done = 0;
    if (wholeRows) {
        // Whole rows, as many as a block holds.
        const std::size_t rows = elements / N;
        for (std::size_t s0 = 0; s0 < M; s0 += rows) {
            const std::size_t ns = std::min(rows, M - s0);
            s.block(s0, ns, 0, N);
            progress.update(done += static_cast<std::uint64_t>(ns) * N * xh.itemSize);
        }
    } else if (cOrder) {
        // Tiles: a group of channels down the rows, then the next group.
        const std::size_t group = std::max<std::size_t>(1, elements / tileRows);
        for (std::size_t c = 0; c < N; c += group) {
            const std::size_t nc = std::min(group, N - c);
            for (std::size_t s0 = 0; s0 < M; s0 += tileRows) {
                const std::size_t ns = std::min(tileRows, M - s0);
                s.block(s0, ns, c, nc);
                progress.update(done += static_cast<std::uint64_t>(ns) * nc * xh.itemSize);
            }
        }
    } else if (M <= elements) {
        // Several whole channels per block.
        const std::size_t group = elements / M;
        for (std::size_t c = 0; c < N; c += group) {
            const std::size_t nc = std::min(group, N - c);
            s.block(0, M, c, nc);
            progress.update(done += static_cast<std::uint64_t>(M) * nc * xh.itemSize);
        }
    } else {
        // Each channel in pieces.
        for (std::size_t c = 0; c < N; ++c) {
            for (std::size_t s0 = 0; s0 < M; s0 += elements) {
                const std::size_t ns = std::min(elements, M - s0);
                s.block(s0, ns, c, 1);
                progress.update(done += static_cast<std::uint64_t>(ns) * xh.itemSize);
            }
        }
    }
    if (!x.finishData(error)) die("input x: " + error);
    y.finish();
    writeImage(zf, mxhost::encodeNpy(s.state.get(), zi.shape));
    zf.finish();
    publish(&y, &zf);
    return 0;
}

}  // namespace runner
