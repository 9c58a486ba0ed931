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
// MARROWICK_BLOCK_BYTES environment variable shrinks it for tests. X, the
// module's y and their file images make about four times this.
constexpr std::size_t kBlockBytes = 32u << 20;
// B, A and ZI are read whole, up to this many bytes of data each.
constexpr std::uint64_t kWholeInputBytes = 16u << 20;

std::size_t blockElements() {
    std::size_t bytes = kBlockBytes;
    if (const char* env = std::getenv("MARROWICK_BLOCK_BYTES"); env != nullptr && *env != '\0') {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(env, &end, 10);
        if (*end != '\0' || v < 8 || v > kBlockBytes) die(std::string("MARROWICK_BLOCK_BYTES is not a size from 8 to ") +
                                                          std::to_string(kBlockBytes) + ": '" + env + "'");
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
        std::fprintf(stderr, "\rmarrowick: filtering: %3.0f%% of %.1f MiB", 100.0 * done / total_,
                     total_ / 1048576.0);
    }

private:
    std::uint64_t total_;
    bool shown_, drawn_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), last_;
};

// The part of the run that streams X into Y.
struct Stream {
    MexFunction fn;
    const mxArray* b;
    const mxArray* a;
    NpyReader& x;
    OutputFile& y;
    std::size_t M, N, L;
    bool outComplex;
    std::uint64_t yData;  // offset of Y's data
    mxhost::ArrayPtr state;  // L x N, the states between blocks

    std::vector<std::uint8_t> raw, out;

    std::size_t xItem() const { return x.header().itemSize; }
    std::size_t yItem() const { return outComplex ? 8 : 4; }

    // Samples [s0, s0 + ns) of channels [c0, c0 + nc).
    void block(std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc) {
        const mxhost::NpyHeader& h = x.header();
        const std::size_t item = xItem(), n = ns * nc;
        raw.resize(n * item);
        std::string error;
        const bool fortranLike = h.fortran || N == 1;
        if (!fortranLike) {
            // C order: whole rows, one after another.
            if (!x.readData(static_cast<std::uint64_t>(s0) * N * item, raw.data(), raw.size(), error)) {
                die("input x: " + error);
            }
        } else if (ns == M) {
            if (!x.readData(static_cast<std::uint64_t>(c0) * M * item, raw.data(), raw.size(), error)) {
                die("input x: " + error);
            }
        } else {
            for (std::size_t k = 0; k < nc; ++k) {
                if (!x.readData((static_cast<std::uint64_t>(c0 + k) * M + s0) * item, &raw[k * ns * item], ns * item,
                                error)) {
                    die("input x: " + error);
                }
            }
        }
        mxhost::ArrayPtr xa = mxhost::makeArray({ns, nc}, mxSINGLE_CLASS, h.complex);
        float* re = static_cast<float*>(mxGetData(xa.get()));
        float* im = static_cast<float*>(mxGetImagData(xa.get()));
        if (fortranLike) {
            for (std::size_t i = 0; i < n; ++i) {
                std::memcpy(&re[i], &raw[i * item], 4);
                if (im != nullptr) std::memcpy(&im[i], &raw[i * item + 4], 4);
            }
        } else {
            // A row lists the channels in C order of the trailing dimensions;
            // the host numbers them in column-major order.
            const std::vector<std::size_t>& shape = h.shape;
            const std::size_t nd = shape.size();
            std::vector<std::size_t> colStride(nd, 1), index(nd, 0);
            for (std::size_t k = 2; k < nd; ++k) colStride[k] = colStride[k - 1] * shape[k - 1];
            for (std::size_t i = 0; i < ns; ++i) {
                std::fill(index.begin(), index.end(), 0);
                std::size_t j = 0;
                for (std::size_t p = 0; p < N; ++p) {
                    const std::uint8_t* from = &raw[(i * N + p) * item];
                    std::memcpy(&re[j * ns + i], from, 4);
                    if (im != nullptr) std::memcpy(&im[j * ns + i], from + 4, 4);
                    for (std::size_t k = nd; k-- > 1;) {  // last index fastest
                        j += colStride[k];
                        if (++index[k] < shape[k]) break;
                        j -= colStride[k] * shape[k];
                        index[k] = 0;
                    }
                }
            }
        }
        raw.clear();
        raw.shrink_to_fit();

        // This block's initial states: columns c0.. of the carried states.
        mxhost::ArrayPtr zi = mxhost::makeArray({L, nc}, mxSINGLE_CLASS, mxIsComplex(state.get()));
        copyColumns(zi.get(), 0, state.get(), c0, nc);
        mxhost::CallResult r = mxhost::callModule(fn, 2, {b, a, xa.get(), zi.get()});
        xa.reset();
        if (!r.ok) die(r.message + " [" + r.identifier + "]");
        const mxArray* ya = r.outputs[0].get();
        if (mxIsComplex(ya) != outComplex) die("the module returned y of an unexpected type");

        // Y is Fortran order: each channel's samples are contiguous.
        const std::size_t yi = yItem();
        out.resize(n * yi);
        const auto* yre = static_cast<const std::uint8_t*>(mxGetData(ya));
        const auto* yim = static_cast<const std::uint8_t*>(mxGetImagData(ya));
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(&out[i * yi], yre + 4 * i, 4);
            if (outComplex) std::memcpy(&out[i * yi + 4], yim + 4 * i, 4);
        }
        r.outputs[0].reset();
        if (ns == M) {
            y.writeAt(yData + static_cast<std::uint64_t>(c0) * M * yi, out.data(), out.size());
        } else {
            for (std::size_t k = 0; k < nc; ++k) {
                y.writeAt(yData + (static_cast<std::uint64_t>(c0 + k) * M + s0) * yi, &out[k * ns * yi], ns * yi);
            }
        }
        out.clear();
        out.shrink_to_fit();

        const mxArray* zf = r.outputs[1].get();
        if (mxIsComplex(zf) && !mxIsComplex(state.get())) {
            mxhost::ArrayPtr wider = mxhost::makeArray({L, N}, mxSINGLE_CLASS, true);
            if (L * N != 0) std::memcpy(mxGetData(wider.get()), mxGetData(state.get()), L * N * 4);
            state = std::move(wider);
        }
        copyColumns(state.get(), c0, zf, 0, nc);
    }

    // Copies nc columns of L states; a real source into a complex target
    // has zero imaginary parts.
    void copyColumns(mxArray* to, std::size_t toColumn, const mxArray* from, std::size_t fromColumn,
                     std::size_t nc) const {
        const std::size_t bytes = L * nc * 4;
        if (bytes == 0) return;
        std::memcpy(static_cast<float*>(mxGetData(to)) + L * toColumn,
                    static_cast<const float*>(mxGetData(from)) + L * fromColumn, bytes);
        if (mxIsComplex(to)) {
            float* toIm = static_cast<float*>(mxGetImagData(to)) + L * toColumn;
            if (mxIsComplex(from)) std::memcpy(toIm, static_cast<const float*>(mxGetImagData(from)) + L * fromColumn, bytes);
            else std::memset(toIm, 0, bytes);
        }
    }
};

mxhost::NpyArray readWhole(const char* name, const std::string& path) {
    mxhost::NpyArray array;
    std::string error;
    if (!mxhost::readNpy(path, array, error, kWholeInputBytes)) die(std::string("input ") + name + ": " + error);
    return array;
}

void writeImage(OutputFile& file, const std::vector<std::uint8_t>& bytes) { file.writeAt(0, bytes.data(), bytes.size()); }

}  // namespace

int filterFiles(int argc, char** argv) {
    if (argc != 8) die("filter takes 6 file names: B.npy A.npy X.npy ZI.npy Y.npy ZF.npy (see 'marrowick help filter')");
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

    if (xh.count <= elements) {
        // Small enough for one call on the arrays as they are.
        std::vector<std::uint8_t> data(static_cast<std::size_t>(xh.dataBytes));
        if (!x.readData(0, data.data(), data.size(), error) || !x.finishData(error)) die("input x: " + error);
        std::vector<mwSize> dims(xh.shape.begin(), xh.shape.end());
        while (dims.size() < 2) dims.push_back(1);
        mxhost::ArrayPtr xa = mxhost::makeArray(dims, mxSINGLE_CLASS, xh.complex);
        mxhost::decodeNpyData(xh, data.data(), static_cast<float*>(mxGetData(xa.get())),
                              static_cast<float*>(mxGetImagData(xa.get())));
        mxhost::CallResult r = mxhost::callModule(fn, 2, {b.array.get(), a.array.get(), xa.get(), zi.array.get()});
        if (!r.ok) die(r.message + " [" + r.identifier + "]");
        y.open();
        zf.open();
        writeImage(y, mxhost::encodeNpy(r.outputs[0].get(), xh.shape));
        y.finish();
        writeImage(zf, mxhost::encodeNpy(r.outputs[1].get(), zi.shape));
        zf.finish();
        publish(&y, &zf);
        return 0;
    }

    // The call the module would get for the whole of X, with no samples:
    // it checks the arguments before anything is written.
    std::vector<mwSize> emptyDims(xh.shape.begin(), xh.shape.end());
    while (emptyDims.size() < 2) emptyDims.push_back(1);
    emptyDims[0] = 0;
    {
        mxhost::ArrayPtr empty = mxhost::makeArray(emptyDims, mxSINGLE_CLASS, xh.complex);
        const mxhost::CallResult r =
            mxhost::callModule(fn, 2, {b.array.get(), a.array.get(), empty.get(), zi.array.get()});
        if (!r.ok) die(r.message + " [" + r.identifier + "]");
    }
    const std::size_t M = xh.shape.empty() ? 1 : xh.shape[0];
    const std::size_t N = xh.count / M;
    const std::size_t L = N == 0 ? 0 : mxGetNumberOfElements(zi.array.get()) / N;
    const bool fortranLike = xh.fortran || N == 1;
    if (!fortranLike && N > elements) {
        die("input x (" + std::string(argv[4]) + "): one row of " + std::to_string(N) +
            " channels is larger than a block of " + std::to_string(elements) +
            " elements; store X in Fortran order to filter it");
    }

    Stream s{fn, b.array.get(), a.array.get(), x, y, M, N, L,
             mxIsComplex(b.array.get()) || mxIsComplex(a.array.get()) || xh.complex || mxIsComplex(zi.array.get()),
             0, mxhost::makeArray({L, N}, mxSINGLE_CLASS, mxIsComplex(zi.array.get())), {}, {}};
    s.copyColumns(s.state.get(), 0, zi.array.get(), 0, N);
    zi.array.reset();

    y.open();
    zf.open();
    if (!fortranLike && !y.seekable()) {
        die("Y (" + pathY + ") is not seekable, and Y from X in C order is written out of order; "
            "write Y to a file or store X in Fortran order");
    }
    const std::vector<std::uint8_t> header = mxhost::encodeNpyHeader(s.outComplex, xh.shape);
    writeImage(y, header);
    s.yData = header.size();

    Progress progress(xh.dataBytes);
    std::uint64_t done = 0;
    if (fortranLike) {
        // Channel by channel: several whole channels per block when they
        // fit, else the same channel in pieces. Both files are read and
        // written front to back.
        if (M <= elements) {
            const std::size_t group = elements / M;
            for (std::size_t c = 0; c < N; c += group) {
                const std::size_t nc = std::min(group, N - c);
                s.block(0, M, c, nc);
                progress.update(done += static_cast<std::uint64_t>(M) * nc * xh.itemSize);
            }
        } else {
            for (std::size_t c = 0; c < N; ++c) {
                for (std::size_t s0 = 0; s0 < M; s0 += elements) {
                    const std::size_t ns = std::min(elements, M - s0);
                    s.block(s0, ns, c, 1);
                    progress.update(done += static_cast<std::uint64_t>(ns) * xh.itemSize);
                }
            }
        }
    } else {
        const std::size_t rows = elements / N;
        for (std::size_t s0 = 0; s0 < M; s0 += rows) {
            const std::size_t ns = std::min(rows, M - s0);
            s.block(s0, ns, 0, N);
            progress.update(done += static_cast<std::uint64_t>(ns) * N * xh.itemSize);
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
