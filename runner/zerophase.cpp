// marrowick filtfilt and sosfiltfilt: the zero-phase filters of the Python
// package on files of any size, through the filters' own steps (padding,
// the states each pass starts from, passes over pieces). For each group of
// channels: the padding from X's two ends, the forward pass over the front
// padding, X in blocks and the back padding, its output written to a
// temporary beside Y; then the backward pass from the temporary's end to its
// start, Y written block by block in reverse. The states carry from block to
// block, so the bits are those of one in-memory call on the whole of X.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

using marrowick::Kernel;
using marrowick::Layout;
namespace filters = marrowick::filters;

// The coefficients as the filters take them, with their storage.
struct Design {
    bool complex = false;
    std::vector<std::uint8_t> b, a;
    Sections sos;
    filters::Coefficients c{};
    std::string bPath, aPath;
};

// A host vector's values as the kernels take them: float, or interleaved
// ComplexSingle (a real vector widened).
std::vector<std::uint8_t> kernelValues(const mxArray* v, bool complex) {
    const std::size_t n = mxGetNumberOfElements(v), item = complex ? 8 : 4;
    const float* re = static_cast<const float*>(mxGetData(v));
    const float* im = static_cast<const float*>(mxGetImagData(v));
    std::vector<std::uint8_t> out(n * item);
    for (std::size_t e = 0; e < n; ++e) {
        std::memcpy(&out[e * item], &re[e], 4);
        if (complex) {
            const float i = im != nullptr ? im[e] : 0.0f;
            std::memcpy(&out[e * item + 4], &i, 4);
        }
    }
    return out;
}

Design readDesign(const std::vector<std::string>& f, bool sections) {
    Design d;
    if (sections) {
        d.sos = readSections(f[0]);
        d.complex = d.sos.complex;
        d.c = filters::Coefficients{true, nullptr, 0, nullptr, 0, d.sos.values.data(), static_cast<int32_t>(d.sos.n)};
        d.bPath = f[0];
        return d;
    }
    d.bPath = f[0];
    d.aPath = f[1];
    const NpyArray b = readCoefficients("b", f[0]), a = readCoefficients("a", f[1]);
    if (mxGetNumberOfElements(b.array.get()) == 0 || mxGetNumberOfElements(a.array.get()) == 0) {
        const bool bEmpty = mxGetNumberOfElements(b.array.get()) == 0;
        die(std::string("input ") + (bEmpty ? "b (" + f[0] : "a (" + f[1]) +
            "): holds no coefficients [marrowick:emptyCoefficients]");
    }
    d.complex = mxIsComplex(b.array.get()) || mxIsComplex(a.array.get());
    d.b = kernelValues(b.array.get(), d.complex);
    d.a = kernelValues(a.array.get(), d.complex);
    d.c = filters::Coefficients{false,
                                d.b.data(),
                                static_cast<int32_t>(mxGetNumberOfElements(b.array.get())),
                                d.a.data(),
                                static_cast<int32_t>(mxGetNumberOfElements(a.array.get())),
                                nullptr,
                                0};
    return d;
}

// One of the filters' refusals, after its context.
[[noreturn]] void refuse(filters::Status status, const std::string& context) {
    const filters::Refusal& r = filters::refusalOf(status);
    die(context + ": " + r.text + " [" + r.identifier + "]");
}

[[noreturn]] void refuseSteady(const filters::Result& r, const Design& d) {
    const std::string s = std::to_string(r.section);
    const bool zero = r.status == filters::Status::ZeroLeadingCoefficient;
    refuse(r.status, d.c.sections ? "input sos (" + d.bPath + "): sos[" + s + (zero ? ", 3]" : ", 3:]")
                                  : "input a (" + d.aPath + (zero ? "): a[0]" : "): a"));
}

filters::PadType padTypeOf(const std::string& text) {
    if (text.empty() || text == "odd") return filters::PadType::Odd;
    if (text == "even") return filters::PadType::Even;
    if (text == "constant") return filters::PadType::Constant;
    if (text == "none") return filters::PadType::None;
    refuse(filters::Status::PadType, "--padtype '" + text + "'");
}

int64_t padLengthOf(const std::string& text, const Design& d) {
    if (text.empty()) return filters::defaultPadLength(d.c, d.complex);
    if (text.find_first_not_of("0123456789") != std::string::npos)
        refuse(filters::Status::PadLength, "--padlen '" + text + "' is not a whole number");
    // Beyond 2^62 no X is longer: taken as that, refused against X's length.
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    return errno == ERANGE || v > (1ull << 62) ? int64_t{1} << 62 : static_cast<int64_t>(v);
}

// The blocks of one file image of X's shape and order (X, or the forward
// pass's output), samples [s0, s0 + ns) of channels [c0, c0 + nc): buffer
// element (i, k) at i * nc + k in C order, k * ns + i in Fortran order.
struct Blocks {
    std::size_t M, N;
    bool cOrder;

    Layout layout(std::size_t ns, std::size_t nc) const {
        return cOrder ? Layout{static_cast<std::ptrdiff_t>(nc), 1} : Layout{1, static_cast<std::ptrdiff_t>(ns)};
    }
    // fn(first element in the file, first element in the buffer, elements)
    // for each run of the block.
    template <class Fn>
    void runs(std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc, Fn fn) const {
        if (cOrder && nc == N) {
            fn(static_cast<std::uint64_t>(s0) * N, 0, ns * N);
        } else if (cOrder) {
            for (std::size_t r = 0; r < ns; ++r) fn(static_cast<std::uint64_t>(s0 + r) * N + c0, r * nc, nc);
        } else {
            for (std::size_t k = 0; k < nc; ++k) fn(static_cast<std::uint64_t>(c0 + k) * M + s0, k * ns, ns);
        }
    }
};

}  // namespace

int zeroPhaseFiles(int argc, char** argv, bool sections) {
    const CommandLine line = parseCommandLine(argc, argv);
    const std::vector<std::string>& f = line.files;
    const std::string name = sections ? "sosfiltfilt" : "filtfilt";
    const std::size_t inputs = sections ? 2 : 3;
    if (f.size() != inputs + 1) {
        die(name + " takes " + std::to_string(inputs + 1) + " file names: " +
            (sections ? "SOS.npy X.npy Y.npy" : "B.npy A.npy X.npy Y.npy") + " (see 'marrowick help " + name + "')");
    }
    OutputFile y;
    y.prepare(f.back(), "Y");
    const char* const names[] = {sections ? "sos" : "b", sections ? "x" : "a", "x"};
    for (std::size_t k = 0; k < inputs; ++k) {
        if (!y.direct() && sameFile(f[k], f.back()))
            die(std::string("input ") + names[k] + " (" + f[k] + ") is also named as an output");
    }
    const std::size_t elements = blockElements();
    const filters::PadType padType = padTypeOf(line.padtype);
    const Design d = readDesign(f, sections);
    NpyReader x;
    std::string error;
    const std::string& xPath = f[inputs - 1];
    if (!x.open(xPath, error)) die("input x: " + error);
    const NpyHeader& h = x.header();
    const std::size_t M = samplesOf(h), N = channelsOf(h);
    const int64_t edge = padType == filters::PadType::None ? 0 : padLengthOf(line.padlen, d);
    if (static_cast<int64_t>(M) <= edge) {
        refuse(filters::Status::PadLength, "input x (" + xPath + "): " + std::to_string(M) +
                                               " samples along its first dimension, padlen " +
                                               (line.padlen.empty() ? std::to_string(edge) : line.padlen));
    }
    const Kernel forward = marrowick::chooseKernel(d.complex, h.complex, d.complex);
    const Kernel backward = marrowick::laterKernel(forward);
    filters::PassStart start;
    const filters::Result r = filters::passStart(forward, d.c, start);
    if (r.status != filters::Status::Ok) refuseSteady(r, d);
    if (!x.seekable()) {
        die("input x (" + xPath + "): " + name +
            " reads the ends of X before its middle: X must be a file, not a pipe");
    }

    const bool outComplex = forward != Kernel::RR;
    const std::size_t xi = h.itemSize, yi = outComplex ? 8 : 4;
    const std::vector<std::uint8_t> header = encodeNpyHeader(outComplex, h.shape, h.fortran);
    const std::uint64_t yData = header.size();
    y.open();
    // The forward pass's output, Y's data without a header, in a scratch
    // file beside Y (or, for a device, in the temporary directory) that has
    // no name anyone else could take first.
    OutputFile forwardOut;
    if (M > 0 && N > 0) {
        const char* tmp = std::getenv("TMPDIR");
        forwardOut.openScratch(y.direct() ? (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") : y.directory(),
                               "the forward pass's temporary");
    }

    // Channels per group and samples per block: whole rows of C-order
    // channels where a block holds 64 of them, whole Fortran-order channels
    // where a block holds one; the padding of both ends of a group held.
    const Blocks blocks{M, N, !h.fortran && N > 1};
    const std::size_t rowsWanted = std::min<std::size_t>(M, 64);
    std::size_t group = 1, rows = 1;
    if (blocks.cOrder) {
        group = std::max<std::size_t>(1, elements / std::max<std::size_t>(1, rowsWanted));
    } else if (M <= elements) {
        group = std::max<std::size_t>(1, elements / std::max<std::size_t>(1, M));
    }
    // The states of a group are held to a block's size too: many sections
    // over many channels make fewer channels per group.
    const std::size_t L = static_cast<std::size_t>(filters::stateLength(d.c));
    group = std::min({group, std::max<std::size_t>(1, N),
                      std::max<std::size_t>(1, elements / (static_cast<std::size_t>(edge) + 1)),
                      std::max<std::size_t>(1, elements / std::max<std::size_t>(1, L))});
    rows = std::max<std::size_t>(1, std::min(M, elements / group));

    const std::size_t E = static_cast<std::size_t>(edge);
    std::vector<std::uint8_t> piece((E + 1) * group * xi), left(E * group * xi), right(E * group * xi);
    std::vector<std::uint8_t> tail(E * group * yi), state(std::max<std::size_t>(1, L * group) * yi);
    std::vector<std::uint8_t> in(rows * group * xi), out(rows * group * yi);
    const auto readX = [&](std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc, std::uint8_t* to) {
        blocks.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
            if (!x.readData(file * xi, to + buffer * xi, count * xi, error)) die("input x: " + error);
        });
    };
    const auto pass = [&](Kernel k, std::size_t m, std::size_t nc, const void* from, Layout fromLayout, void* to,
                          Layout toLayout) {
        filters::runPass(filters::Pass{k, d.c, static_cast<int64_t>(m), static_cast<int64_t>(nc), from, fromLayout, to,
                                       toLayout, state.data()},
                         1);
    };
    // Where the backward pass writes: Y, or, when Y takes its data only in
    // order, back into the temporary, copied to Y at the end.
    const bool inPlace = !y.seekable();

    Progress progress(2 * static_cast<std::uint64_t>(M) * N * yi, line.progress);
    std::uint64_t done = 0;
    const bool xComplex = h.complex;
    for (std::size_t c0 = 0; c0 < N && M > 0; c0 += group) {
        const std::size_t nc = std::min(group, N - c0);
        const Layout padLayout{1, static_cast<std::ptrdiff_t>(E)};
        if (E > 0) {
            readX(0, E + 1, c0, nc, piece.data());
            filters::padEnd(padType, xComplex, piece.data(), blocks.layout(E + 1, nc), edge, nc, false, left.data());
            readX(M - 1 - E, E + 1, c0, nc, piece.data());
            filters::padEnd(padType, xComplex, piece.data(), blocks.layout(E + 1, nc), edge, nc, true, right.data());
            filters::startStates(start, state.data(), nc, left.data(), padLayout, xComplex, 0);
            pass(forward, E, nc, left.data(), padLayout, tail.data(), padLayout);
        }
        std::size_t last = 0;  // samples in the last block
        for (std::size_t s0 = 0; s0 < M; s0 += rows) {
            const std::size_t ns = std::min(rows, M - s0);
            const Layout layout = blocks.layout(ns, nc);
            readX(s0, ns, c0, nc, in.data());
            if (E == 0 && s0 == 0) filters::startStates(start, state.data(), nc, in.data(), layout, xComplex, 0);
            pass(forward, ns, nc, in.data(), layout, out.data(), layout);
            blocks.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
                forwardOut.writeAt(file * yi, &out[buffer * yi], count * yi);
            });
            last = ns;
            progress.update(done += static_cast<std::uint64_t>(ns) * nc * yi);
        }
        // The backward pass starts from the last sample of the forward
        // pass: of the back padding, or of X's last block.
        if (E > 0) {
            pass(forward, E, nc, right.data(), padLayout, tail.data(), padLayout);
            filters::startStates(start, state.data(), nc, tail.data(), padLayout, outComplex, edge - 1);
            std::uint8_t* tailEnd = tail.data() + (E - 1) * yi;
            const Layout tailBack{-1, static_cast<std::ptrdiff_t>(E)};
            pass(backward, E, nc, tailEnd, tailBack, tailEnd, tailBack);
        } else {
            filters::startStates(start, state.data(), nc, out.data(), blocks.layout(last, nc), outComplex,
                                 static_cast<int64_t>(last) - 1);
        }
        for (std::size_t s1 = M; s1 > 0;) {
            const std::size_t ns = std::min(rows, s1), s0 = s1 - ns;
            const Layout layout = blocks.layout(ns, nc);
            blocks.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
                forwardOut.readAt(file * yi, &out[buffer * yi], count * yi);
            });
            std::uint8_t* lastSample = out.data() + (ns - 1) * static_cast<std::size_t>(layout.sample) * yi;
            const Layout back{-layout.sample, layout.channel};
            pass(backward, ns, nc, lastSample, back, lastSample, back);
            blocks.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
                if (inPlace) forwardOut.writeAt(file * yi, &out[buffer * yi], count * yi);
                else y.writeAt(yData + file * yi, &out[buffer * yi], count * yi);
            });
            s1 = s0;
            progress.update(done += static_cast<std::uint64_t>(ns) * nc * yi);
        }
    }
    if (!x.finishData(error)) die("input x: " + error);
    // The header last, once nothing but a failing write can stop the run: a
    // pipe Y gets nothing from a run that fails.
    y.writeAt(0, header.data(), header.size());
    if (inPlace && M > 0 && N > 0) {
        const std::uint64_t bytes = static_cast<std::uint64_t>(M) * N * yi;
        for (std::uint64_t at = 0; at < bytes; at += out.size()) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), bytes - at));
            forwardOut.readAt(at, out.data(), n);
            y.writeAt(yData + at, out.data(), n);
        }
    }
    y.finish();
    publish(&y, nullptr);
    return 0;
}

}  // namespace runner
