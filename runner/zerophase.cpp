// marrowick filtfilt and sosfiltfilt: the zero-phase filters of the Python
// package on files of any size, the filters' zero-phase recipe driven over
// blocks of files. For each group of channels: X's two ends for the padding,
// the forward pass over X in blocks, its output written to a temporary beside
// Y; then the backward pass from the temporary's end to its start, Y written
// block by block in reverse. The recipe carries the states from block to
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

// The coefficients as the filters take them, with their storage, and the
// kernel of the forward pass.
struct Design {
    bool complex = false;
    Kernel kernel = Kernel::RR;
    std::vector<std::uint8_t> b, a;
    Sections sos;
    filters::Coefficients c{};
    std::string bPath, aPath;
};

// The design in the precision X's dtype decides, as the kernel for X takes
// it (real coefficients widened where the kernel's are complex).
Design readDesign(const std::vector<std::string>& f, bool sections, const NpyHeader& x) {
    Design d;
    const bool wide = doublePrecisionOf(x);
    d.bPath = f[0];
    if (sections) {
        d.sos = readSections(f[0], wide);
        d.complex = d.sos.complex;
        d.kernel = marrowick::chooseKernel(wide, d.complex, x.complex, d.complex);
        d.sos.prepare(marrowick::kernelFacts(d.kernel).coefComplex);
        d.c = filters::Coefficients{true, nullptr, 0, nullptr, 0, d.sos.values.data(), static_cast<int32_t>(d.sos.n)};
        d.c.doublePrecision = wide;
        d.c.widened = marrowick::kernelFacts(d.kernel).coefComplex && !d.complex;
        return d;
    }
    d.aPath = f[1];
    const NpyArray b = readCoefficients("b", f[0], wide), a = readCoefficients("a", f[1], wide);
    if (mxGetNumberOfElements(b.array.get()) == 0 || mxGetNumberOfElements(a.array.get()) == 0) {
        const bool bEmpty = mxGetNumberOfElements(b.array.get()) == 0;
        die(std::string("input ") + (bEmpty ? "b (" + f[0] : "a (" + f[1]) +
            "): holds no coefficients [marrowick:emptyCoefficients]");
    }
    d.complex = mxIsComplex(b.array.get()) || mxIsComplex(a.array.get());
    d.kernel = marrowick::chooseKernel(wide, d.complex, x.complex, d.complex);
    const bool wantComplex = marrowick::kernelFacts(d.kernel).coefComplex;
    d.b = kernelValues(b.array.get(), wantComplex);
    d.a = kernelValues(a.array.get(), wantComplex);
    d.c = filters::Coefficients{false,
                                d.b.data(),
                                static_cast<int32_t>(mxGetNumberOfElements(b.array.get())),
                                d.a.data(),
                                static_cast<int32_t>(mxGetNumberOfElements(a.array.get())),
                                nullptr,
                                0};
    d.c.doublePrecision = wide;
    d.c.widened = wantComplex && !d.complex;
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
    if (text.empty()) return filters::defaultPadLength(d.c, marrowick::kernelFacts(d.kernel).coefComplex);
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
    std::uint64_t base = 0;  // the first element of the slab of channels (see Geometry)

    Layout layout(std::size_t ns, std::size_t nc) const {
        return cOrder ? Layout{static_cast<std::ptrdiff_t>(nc), 1} : Layout{1, static_cast<std::ptrdiff_t>(ns)};
    }
    // fn(first element in the file, first element in the buffer, elements)
    // for each run of the block.
    template <class Fn>
    void runs(std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc, Fn fn) const {
        if (cOrder && nc == N) {
            fn(base + static_cast<std::uint64_t>(s0) * N, 0, ns * N);
        } else if (cOrder) {
            for (std::size_t r = 0; r < ns; ++r) fn(base + static_cast<std::uint64_t>(s0 + r) * N + c0, r * nc, nc);
        } else {
            for (std::size_t k = 0; k < nc; ++k) fn(base + static_cast<std::uint64_t>(c0 + k) * M + s0, k * ns, ns);
        }
    }
};

// Channels per group and samples per block: whole rows of C-order channels
// where a block holds 64 of them, whole Fortran-order channels where a block
// holds one; the padding of both ends and the states of a group held to a
// block's size too (many sections over many channels make fewer channels
// per group).
struct GroupPlan {
    std::size_t group, rows;
};
GroupPlan planGroups(const Blocks& blocks, std::size_t elements, std::size_t edge, std::size_t L) {
    const std::size_t M = blocks.M, N = blocks.N;
    const std::size_t rowsWanted = std::min<std::size_t>(M, 64);
    std::size_t group = 1;
    if (blocks.cOrder) group = std::max<std::size_t>(1, elements / std::max<std::size_t>(1, rowsWanted));
    else if (M <= elements) group = std::max<std::size_t>(1, elements / std::max<std::size_t>(1, M));
    group = std::min({group, std::max<std::size_t>(1, N), std::max<std::size_t>(1, elements / (edge + 1)),
                      std::max<std::size_t>(1, elements / std::max<std::size_t>(1, L))});
    return GroupPlan{group, std::max<std::size_t>(1, std::min(M, elements / group))};
}

// The file handling around the filters' zero-phase recipe: X read in blocks
// of a group of channels, the forward output to a temporary, the backward
// output to Y (or back into the temporary when Y takes data only in order).
class ZeroPhaseFiles {
public:
    ZeroPhaseFiles(const filters::ZeroPhasePlan& plan, NpyReader& x, OutputFile& y, OutputFile& temporary,
                   const Blocks& blocks, std::size_t slabs, const GroupPlan& groups, std::uint64_t yData, bool progress)
        : plan_(plan),
          x_(x),
          y_(y),
          temporary_(temporary),
          blocks_(blocks),
          slabs_(slabs),
          groups_(groups),
          yData_(yData),
          fi_(x.header().itemSize),
          xi_(convertedItem(x.header())),
          yi_(marrowick::kernelFacts(plan.forwardKernel()).outItem),
          piece_((static_cast<std::size_t>(plan.edge()) + 1) * groups.group * xi_),
          in_(groups.rows * groups.group * xi_),
          out_(groups.rows * groups.group * yi_),
          progress_(0, progress) {}

    void run() {
        for (std::size_t o = 0; o < slabs_; ++o) {
            blocks_.base = static_cast<std::uint64_t>(o) * blocks_.M * blocks_.N;
            for (std::size_t c0 = 0; c0 < blocks_.N && blocks_.M > 0; c0 += groups_.group)
                runGroup(o * blocks_.N + c0, c0, std::min(groups_.group, blocks_.N - c0));
        }
        std::string error;
        if (!x_.finishData(error)) die("input x: " + error);
    }
    // Y's data from the temporary, when the backward pass wrote it there.
    void copyToY() {
        const std::uint64_t bytes = static_cast<std::uint64_t>(blocks_.M) * blocks_.N * slabs_ * yi_;
        for (std::uint64_t at = 0; at < bytes; at += out_.size()) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out_.size(), bytes - at));
            temporary_.readAt(at, out_.data(), n);
            y_.writeAt(yData_ + at, out_.data(), n);
        }
    }

private:
    // Integers are read as they are stored and widened in place.
    void readX(std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc, std::uint8_t* to) {
        std::string error;
        blocks_.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
            if (!x_.readData(file * fi_, to + buffer * fi_, count * fi_, error)) die("input x: " + error);
        });
        if (fi_ != xi_) convertItems(x_.header(), to, ns * nc, to);
    }
    // Progress: each pass over each group of channels counts its own bytes,
    // named by the pass (and by the channels, when there are several groups).
    void stage(std::size_t f0, std::size_t nc, int k) {
        const std::string pass = "pass " + std::to_string(k) + " of 2";
        const std::size_t all = blocks_.N * slabs_;
        const bool oneGroup = slabs_ == 1 && groups_.group >= blocks_.N;
        const std::string channels = nc == 1 ? "channel " + std::to_string(f0 + 1)
                                             : "channels " + std::to_string(f0 + 1) + "-" + std::to_string(f0 + nc);
        progress_.stage(oneGroup ? pass : channels + " of " + std::to_string(all) + ", " + pass,
                        static_cast<std::uint64_t>(blocks_.M) * nc * yi_);
        done_ = 0;
    }

public:
    // The closing line at 100 %.
    void finishProgress() {
        progress_.finish("pass 2 of 2", static_cast<std::uint64_t>(blocks_.M) * blocks_.N * slabs_ * yi_);
    }

private:
    // Channels [c0, c0 + nc) of the current slab (f0: the first's number in X).
    void runGroup(std::size_t f0, std::size_t c0, std::size_t nc) {
        const std::size_t M = blocks_.M, E = static_cast<std::size_t>(plan_.edge());
        filters::ZeroPhaseGroup group(plan_, static_cast<int64_t>(nc));
        stage(f0, nc, 1);
        if (E > 0) {
            readX(0, E + 1, c0, nc, piece_.data());
            group.padFront(piece_.data(), blocks_.layout(E + 1, nc));
            readX(M - 1 - E, E + 1, c0, nc, piece_.data());
            group.padBack(piece_.data(), blocks_.layout(E + 1, nc));
        }
        std::size_t last = 0;  // samples in the last block
        for (std::size_t s0 = 0; s0 < M; s0 += groups_.rows) {
            last = std::min(groups_.rows, M - s0);
            const Layout layout = blocks_.layout(last, nc);
            readX(s0, last, c0, nc, in_.data());
            group.forward(static_cast<int64_t>(last), in_.data(), layout, out_.data(), layout);
            blocks_.runs(s0, last, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
                temporary_.writeAt(file * yi_, &out_[buffer * yi_], count * yi_);
            });
            progress_.update(done_ += static_cast<std::uint64_t>(last) * nc * yi_);
        }
        stage(f0, nc, 2);
        const Layout lastLayout = blocks_.layout(last, nc);
        group.turn(out_.data() + (last - 1) * static_cast<std::size_t>(lastLayout.sample) * yi_, lastLayout);
        for (std::size_t s1 = M; s1 > 0;) {
            const std::size_t ns = std::min(groups_.rows, s1), s0 = s1 - ns;
            const Layout layout = blocks_.layout(ns, nc);
            blocks_.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
                temporary_.readAt(file * yi_, &out_[buffer * yi_], count * yi_);
            });
            group.backward(static_cast<int64_t>(ns),
                           out_.data() + (ns - 1) * static_cast<std::size_t>(layout.sample) * yi_,
                           Layout{-layout.sample, layout.channel});
            blocks_.runs(s0, ns, c0, nc, [&](std::uint64_t file, std::size_t buffer, std::size_t count) {
                if (!y_.seekable()) temporary_.writeAt(file * yi_, &out_[buffer * yi_], count * yi_);
                else y_.writeAt(yData_ + file * yi_, &out_[buffer * yi_], count * yi_);
            });
            s1 = s0;
            progress_.update(done_ += static_cast<std::uint64_t>(ns) * nc * yi_);
        }
    }

    const filters::ZeroPhasePlan& plan_;
    NpyReader& x_;
    OutputFile &y_, &temporary_;
    Blocks blocks_;
    const std::size_t slabs_;
    const GroupPlan groups_;
    const std::uint64_t yData_;
    const std::size_t fi_, xi_, yi_;  // X's items in the file and converted, Y's
    std::vector<std::uint8_t> piece_, in_, out_;
    Progress progress_;
    std::uint64_t done_ = 0;
};

// Checks the names and the outputs' directories before reading anything.
void checkNames(const std::vector<std::string>& f, bool sections, OutputFile& y) {
    const std::string name = sections ? "sosfiltfilt" : "filtfilt";
    const std::size_t inputs = sections ? 2 : 3;
    if (f.size() != inputs + 1) {
        die(name + " takes " + std::to_string(inputs + 1) + " file names: " +
            (sections ? "SOS.npy X.npy Y.npy" : "B.npy A.npy X.npy Y.npy") + " (see 'marrowick help " + name + "')");
    }
    y.prepare(f.back(), "Y");
    const char* const names[] = {sections ? "sos" : "b", sections ? "x" : "a", "x"};
    for (std::size_t k = 0; k < inputs; ++k) {
        if (!y.direct() && sameFile(f[k], f.back()))
            die(std::string("input ") + names[k] + " (" + f[k] + ") is also named as an output");
    }
}

}  // namespace

int zeroPhaseFiles(int argc, char** argv, bool sections) {
    const CommandLine line = parseCommandLine(argc, argv);
    const std::vector<std::string>& f = line.files;
    OutputFile y;
    checkNames(f, sections, y);
    const filters::PadType padType = padTypeOf(line.padtype);
    NpyReader x;
    std::string error;
    const std::string& xPath = f[f.size() - 2];
    if (!x.open(xPath, error)) die("input x: " + error);
    const NpyHeader& h = x.header();
    // X's dtype decides the precision of everything else.
    const std::size_t elements = blockElements(doublePrecisionOf(h));
    const Design d = readDesign(f, sections, h);
    const std::size_t axis = axisOf(line.axis, line.axisGiven, h, xPath);
    const Geometry g = geometryOf(h, axis);
    const std::size_t M = g.samples, N = g.channels();
    const int64_t edge = padType == filters::PadType::None ? 0 : padLengthOf(line.padlen, d);
    const filters::ZeroPhasePlan plan(d.kernel, d.c, padType, edge);
    if (plan.acceptsLength(static_cast<int64_t>(M)).status != filters::Status::Ok) {
        refuse(filters::Status::PadLength,
               "input x (" + xPath + "): " + std::to_string(M) + " samples along " +
                   (axis == 0 ? std::string("its first dimension") : "axis " + std::to_string(axis)) + ", padlen " +
                   (line.padlen.empty() ? std::to_string(edge) : line.padlen));
    }
    if (plan.status().status != filters::Status::Ok) refuseSteady(plan.status(), d);
    if (!x.seekable()) {
        die("input x (" + xPath + "): " + (sections ? "sosfiltfilt" : "filtfilt") +
            " reads the ends of X before its middle: X must be a file, not a pipe");
    }
    const marrowick::KernelFacts facts = marrowick::kernelFacts(plan.forwardKernel());
    const std::vector<std::uint8_t> header =
        encodeNpyHeader(facts.outComplex, h.shape, h.fortran, facts.doublePrecision);
    y.open();
    // The forward pass's output, Y's data without a header, in a scratch
    // file beside Y (or, for a device, in the temporary directory) that has
    // no name anyone else could take first.
    OutputFile temporary;
    if (M > 0 && N > 0) {
        const char* tmp = std::getenv("TMPDIR");
        temporary.openScratch(y.direct() ? (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") : y.directory(),
                              "the forward pass's temporary");
    }
    // C order: the channels of one slab at a time (see Geometry).
    const Blocks blocks{M, g.inner > 1 ? g.inner : g.outer, g.inner > 1};
    const std::size_t slabs = blocks.cOrder ? g.outer : 1;
    const GroupPlan groups = planGroups(blocks, elements, static_cast<std::size_t>(edge),
                                        static_cast<std::size_t>(filters::stateLength(d.c)));
    ZeroPhaseFiles files(plan, x, y, temporary, blocks, slabs, groups, header.size(), line.progress);
    files.run();
    // The header last, once nothing but a failing write can stop the run: a
    // pipe Y gets nothing from a run that fails.
    y.writeAt(0, header.data(), header.size());
    if (!y.seekable() && M > 0 && N > 0) files.copyToY();
    files.finishProgress();
    y.finish();
    publish(&y, nullptr);
    return 0;
}

}  // namespace runner
