// Every path of every kernel, in every memory layout, against the definition
// on column-major data, bit for bit (any NaN equals any NaN): all filter
// shapes (nb against na, the zero-state path, states longer than the vector
// tiles), channel counts and lengths around the lane and tile sizes, and data
// with infinities, NaNs, signed zeros and subnormals. Paths this CPU lacks
// are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "kernels/paths.h"
#include "kernels/record.h"
#include "marrowick.h"

namespace marrowick {
namespace {

const KernelPath kFastPaths[] = {KernelPath::OneChannelFast, KernelPath::Sse2, KernelPath::Avx2, KernelPath::Avx512,
                                 KernelPath::Neon};

// Memory layouts of x and y: column-major (each channel contiguous), channel-
// interleaved (a C-order samples x channels array) and a strided view with
// gaps between samples and between channels, which the lane paths hand to the
// one-channel path.
enum class Order { ColumnMajor, Interleaved, Strided };
const Order kOrders[] = {Order::ColumnMajor, Order::Interleaved, Order::Strided};
const char* orderName(Order o) {
    switch (o) {
        case Order::ColumnMajor: return "column-major";
        case Order::Interleaved: return "interleaved";
        case Order::Strided: return "strided";
    }
    return "?";
}
Layout layoutOf(Order o, int32_t M, int32_t N) {
    switch (o) {
        case Order::ColumnMajor: return Layout{1, M};
        case Order::Interleaved: return Layout{N, 1};
        case Order::Strided: return Layout{2, 2 * static_cast<std::ptrdiff_t>(M) + 3};
    }
    return Layout{1, M};
}
std::size_t offsetOf(Layout l, int32_t i, int32_t j) { return static_cast<std::size_t>(i * l.sample + j * l.channel); }
// Elements a buffer of that layout spans.
std::size_t spanOf(Layout l, int32_t M, int32_t N) {
    if (M == 0 || N == 0) return 0;
    return static_cast<std::size_t>((M - 1) * l.sample + (N - 1) * l.channel + 1);
}

struct Shape {
    int32_t nb, na, L;
};
// Every case of the state updates: zero-state (with and without extra
// coefficients), nb below, above and equal to na, short and long tails, and
// states past the vector tiles.
const Shape kShapes[] = {{1, 1, 0}, {3, 2, 0},    {1, 2, 1},     {2, 1, 1},    {2, 2, 1},  {1, 3, 2},
                         {3, 1, 2}, {3, 3, 2},    {5, 5, 4},     {10, 3, 9},   {3, 10, 9}, {64, 1, 63},
                         {4, 7, 6}, {12, 12, 11}, {129, 2, 128}, {2, 131, 130}};

struct Size {
    int32_t M, N;
};
// Channel counts around 4, 8, 16 and 32 lanes and lengths around the 4-, 8-
// and 16-sample tiles.
const Size kSizes[] = {{0, 5}, {7, 0},   {1, 1},   {1, 2},   {5, 3},  {16, 4},  {17, 5},  {3, 7},   {31, 8},
                       {9, 9}, {33, 15}, {16, 16}, {15, 17}, {4, 31}, {20, 32}, {18, 33}, {47, 40}, {6, 65}};

enum class Data { Finite, Special };

// Infinities, a NaN, signed zeros, subnormals, the largest finite value.
template <class E = float>
E special(std::mt19937& rng) {
    using Lim = std::numeric_limits<E>;
    static const E values[] = {Lim::infinity(),   -Lim::infinity(), Lim::quiet_NaN(), E(0), -E(0),
                               Lim::denorm_min(), -Lim::min() / 3,  Lim::max(),       E(1)};
    return values[rng() % (sizeof values / sizeof values[0])];
}

// Values in [-1, 1], with one in eight replaced by a special value in the
// Special mode.
template <class E = float>
std::vector<E> values(std::mt19937& rng, std::size_t n, Data data, E scale = E(1)) {
    std::uniform_real_distribution<E> uniform(E(-1), E(1));
    std::vector<E> v(n);
    for (E& f : v) f = (data == Data::Special && rng() % 8 == 0) ? special<E>(rng) : scale * uniform(rng);
    return v;
}

template <class E>
bool sameBits(E p, E q) {
    if (std::isnan(p) && std::isnan(q)) return true;
    return std::memcmp(&p, &q, sizeof(E)) == 0;
}

// Compares two buffers of floats or doubles; reports the first difference.
template <class E>
::testing::AssertionResult sameBuffers(const std::vector<E>& expected, const std::vector<E>& actual, const char* what) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (!sameBits(expected[i], actual[i])) {
            return ::testing::AssertionFailure()
                   << what << " element " << i << ": scalar " << expected[i] << ", vector " << actual[i];
        }
    }
    return ::testing::AssertionSuccess();
}

using marrowick::Kernel;
// One problem: the operands as floats or doubles (complex ones interleaved).
template <class E>
struct ProblemOf {
    Kernel kernel;
    Shape shape;
    Size size;
    std::vector<E> b, a, x, zi;
};
using Problem = ProblemOf<float>;

bool complexCoef(Kernel k) { return kernelFacts(k).coefComplex; }
bool complexIn(Kernel k) { return kernelFacts(k).inComplex; }
bool complexOut(Kernel k) { return kernelFacts(k).outComplex; }

// a0 is the real part of a[0]; its imaginary part is a0im when given, else
// 0 or (with special data) a special value.
template <class E>
ProblemOf<E> makeProblemOf(Kernel kernel, Shape shape, Size size, Data data, E a0, uint32_t seed,
                           const E* a0im = nullptr) {
    std::mt19937 rng(seed);
    ProblemOf<E> p{kernel, shape, size, {}, {}, {}, {}};
    const std::size_t cc = complexCoef(kernel) ? 2 : 1;
    p.b = values<E>(rng, cc * shape.nb, data);
    // Small feedback coefficients keep most finite runs finite.
    p.a = values<E>(rng, cc * shape.na, data, E(0.4) / static_cast<E>(shape.na));
    p.a[0] = a0;
    if (cc == 2) p.a[1] = a0im ? *a0im : (data == Data::Special) ? special<E>(rng) : E(0);
    p.x = values<E>(rng, (complexIn(kernel) ? 2 : 1) * static_cast<std::size_t>(size.M) * size.N, data);
    p.zi = values<E>(rng, (complexOut(kernel) ? 2 : 1) * static_cast<std::size_t>(shape.L) * size.N, data);
    return p;
}
Problem makeProblem(Kernel kernel, Shape shape, Size size, Data data, float a0, uint32_t seed) {
    return makeProblemOf<float>(kernel, shape, size, data, a0, seed);
}

// Runs the problem on one path with x and y in the given layout; y and zf
// come back column-major.
template <class E>
void run(const ProblemOf<E>& p, KernelPath path, Order order, std::vector<E>& y, std::vector<E>& zf) {
    const int32_t M = p.size.M, N = p.size.N;
    const Layout layout = layoutOf(order, M, N);
    const std::size_t fin = complexIn(p.kernel) ? 2 : 1, fout = complexOut(p.kernel) ? 2 : 1;
    std::vector<E> x(fin * spanOf(layout, M, N) + 1, E(0)), out(fout * spanOf(layout, M, N) + 1, E(0));
    for (int32_t j = 0; j < N; ++j)
        for (int32_t i = 0; i < M; ++i)
            for (std::size_t q = 0; q < fin; ++q)
                x[fin * offsetOf(layout, i, j) + q] = p.x[fin * (static_cast<std::size_t>(j) * M + i) + q];
    zf = p.zi;
    FilterCall call{p.kernel,   FilterShape{p.shape.nb, p.shape.na, M, N, p.shape.L},
                    p.b.data(), p.a.data(),
                    x.data(),   layout,
                    out.data(), layout,
                    zf.data()};
    runFilterCall(call, path);
    y.assign(fout * static_cast<std::size_t>(M) * N, E(0));
    for (int32_t j = 0; j < N; ++j)
        for (int32_t i = 0; i < M; ++i)
            for (std::size_t q = 0; q < fout; ++q)
                y[fout * (static_cast<std::size_t>(j) * M + i) + q] = out[fout * offsetOf(layout, i, j) + q];
}

struct Case {
    Kernel kernel;
    Data data;
};

class FastPaths : public ::testing::TestWithParam<Case> {};

// The leading denominator coefficients that steer the gain: 1 (no gain),
// 2, -1, and in the Special mode 0 and infinity too.
TEST_P(FastPaths, MatchTheDefinitionInEveryLayout) {
    const Case c = GetParam();
    std::vector<float> a0s = {1.0f, 2.0f, -1.0f};
    if (c.data == Data::Special) {
        a0s.push_back(0.0f);
        a0s.push_back(std::numeric_limits<float>::infinity());
    }
    int compared = 0;
    uint32_t seed = 1;
    for (const Shape& shape : kShapes) {
        for (const Size& size : kSizes) {
            const float a0 = a0s[seed % a0s.size()];
            const Problem p = makeProblem(c.kernel, shape, size, c.data, a0, seed++);
            std::vector<float> y0, zf0;
            run(p, KernelPath::Definition, Order::ColumnMajor, y0, zf0);
            for (KernelPath path : kFastPaths) {
                if (!pathAvailable(path)) continue;
                for (Order order : kOrders) {
                    std::vector<float> y, zf;
                    run(p, path, order, y, zf);
                    SCOPED_TRACE(std::string(pathName(path)) + " " + orderName(order) +
                                 " nb=" + std::to_string(shape.nb) + " na=" + std::to_string(shape.na) +
                                 " L=" + std::to_string(shape.L) + " M=" + std::to_string(size.M) +
                                 " N=" + std::to_string(size.N) + " a0=" + std::to_string(a0));
                    ASSERT_TRUE(sameBuffers(y0, y, "y"));
                    ASSERT_TRUE(sameBuffers(zf0, zf, "zf"));
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 0);
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return std::string(kernelName(info.param.kernel)) + (info.param.data == Data::Finite ? "_finite" : "_special");
}

INSTANTIATE_TEST_SUITE_P(AllKernels, FastPaths,
                         ::testing::Values(Case{Kernel::RR, Data::Finite}, Case{Kernel::RR, Data::Special},
                                           Case{Kernel::CC, Data::Finite}, Case{Kernel::CC, Data::Special},
                                           Case{Kernel::CR, Data::Finite}, Case{Kernel::CR, Data::Special},
                                           Case{Kernel::RC, Data::Finite}, Case{Kernel::RC, Data::Special},
                                           Case{Kernel::RRZ, Data::Finite}, Case{Kernel::RRZ, Data::Special}),
                         caseName);

// Cascades of second-order sections: every path against the definition (the
// chain of single-section calls, run section after section), bit for bit,
// over section counts (one piece and more than one), first kernels (which
// fix the later sections' kernels), sizes around the lane counts and the
// pipeline's length, layouts and in-place calls.
template <class E>
struct CascadeOf {
    Kernel first;
    int32_t sections;
    Size size;
    std::vector<E> sos, x, zi;
};
using Cascade = CascadeOf<float>;

// Complex designs take a complex a0 in one section of four.
template <class E>
CascadeOf<E> makeCascadeOf(Kernel first, int32_t sections, Size size, Data data, uint32_t seed) {
    std::mt19937 rng(seed);
    CascadeOf<E> c{first, sections, size, {}, {}, {}};
    const std::size_t cc = complexCoef(first) ? 2 : 1;
    const E a0s[] = {E(1), E(2), E(-1), E(0), std::numeric_limits<E>::infinity()};
    for (int32_t s = 0; s < sections; ++s) {
        std::vector<E> b = values<E>(rng, 3 * cc, data), a = values<E>(rng, 3 * cc, data, E(0.3));
        // Mostly a0 = 1, as designs give; zero and infinite gains with special data.
        a[0] = (rng() % 2 == 0) ? E(1) : a0s[rng() % (data == Data::Special ? 5 : 3)];
        if (cc == 2) a[1] = (data == Data::Special && rng() % 4 == 0) ? special<E>(rng) : E(0);
        if (cc == 2 && std::is_same<E, double>::value && rng() % 4 == 0) a[1] = E(0.5);
        c.sos.insert(c.sos.end(), b.begin(), b.end());
        c.sos.insert(c.sos.end(), a.begin(), a.end());
    }
    c.x = values<E>(rng, (complexIn(first) ? 2 : 1) * static_cast<std::size_t>(size.M) * size.N, data);
    c.zi = values<E>(rng, (complexOut(first) ? 2 : 1) * static_cast<std::size_t>(sections) * 2 * size.N, data);
    return c;
}
Cascade makeCascade(Kernel first, int32_t sections, Size size, Data data, uint32_t seed) {
    return makeCascadeOf<float>(first, sections, size, data, seed);
}

// Runs the cascade on one path in the given layout (in place: x given in the
// output buffer); y and zf come back column-major.
template <class E>
void runCascade(const CascadeOf<E>& c, KernelPath path, Order order, bool inPlace, std::vector<E>& y,
                std::vector<E>& zf) {
    const int32_t M = c.size.M, N = c.size.N;
    const Layout layout = layoutOf(order, M, N);
    const std::size_t fin = complexIn(c.first) ? 2 : 1, fout = complexOut(c.first) ? 2 : 1;
    std::vector<E> x(fin * spanOf(layout, M, N) + 1, E(0)), out(fout * spanOf(layout, M, N) + 1, E(0));
    std::vector<E>& in = inPlace ? out : x;
    for (int32_t j = 0; j < N; ++j)
        for (int32_t i = 0; i < M; ++i)
            for (std::size_t q = 0; q < fin; ++q)
                in[fin * offsetOf(layout, i, j) + q] = c.x[fin * (static_cast<std::size_t>(j) * M + i) + q];
    zf = c.zi;
    const CascadeCall call{c.first, c.sections, M, N, c.sos.data(), in.data(), layout, out.data(), layout, zf.data()};
    runCascadeCall(call, path);
    y.assign(fout * static_cast<std::size_t>(M) * N, E(0));
    for (int32_t j = 0; j < N; ++j)
        for (int32_t i = 0; i < M; ++i)
            for (std::size_t q = 0; q < fout; ++q)
                y[fout * (static_cast<std::size_t>(j) * M + i) + q] = out[fout * offsetOf(layout, i, j) + q];
}

// The same cascade as a chain of typed filter calls on the definition path.
void runChain(const Cascade& c, std::vector<float>& y, std::vector<float>& zf) {
    const int32_t M = c.size.M, N = c.size.N;
    const std::size_t cc = complexCoef(c.first) ? 2 : 1, fst = complexOut(c.first) ? 2 : 1;
    std::vector<float> in = c.x;
    Kernel kernel = c.first;
    zf = c.zi;
    for (int32_t s = 0; s < c.sections; ++s) {
        y.assign(fst * static_cast<std::size_t>(M) * N, 0.0f);
        const float* sec = c.sos.data() + 6 * cc * s;
        std::vector<float> z(zf.begin() + fst * 2 * N * s, zf.begin() + fst * 2 * N * (s + 1));
        const Layout layout{1, M};
        FilterCall call{kernel,  FilterShape{3, 3, M, N, 2}, sec, sec + 3 * cc, in.data(), layout, y.data(), layout,
                        z.data()};
        runFilterCall(call, KernelPath::Definition);
        std::copy(z.begin(), z.end(), zf.begin() + fst * 2 * N * s);
        in = y;
        // The next section's data is this output: complex unless all-real.
        if (complexOut(c.first)) kernel = chooseKernel(complexCoef(c.first), true, true);
    }
}

struct CascadeCase {
    Kernel first;
    Data data;
};
class CascadePaths : public ::testing::TestWithParam<CascadeCase> {};

TEST_P(CascadePaths, MatchTheDefinitionInEveryLayout) {
    const CascadeCase cc = GetParam();
    const int32_t kSections[] = {1, 2, 3, 8, 17, 24, 40};
    const Size kCascadeSizes[] = {{0, 3}, {1, 1},  {5, 1},   {40, 1}, {100, 2}, {17, 3},
                                  {3, 6}, {33, 5}, {20, 16}, {9, 17}, {70, 33}};
    const bool sameTypes = complexIn(cc.first) == complexOut(cc.first);
    int compared = 0;
    uint32_t seed = 7;
    for (int32_t sections : kSections) {
        for (const Size& size : kCascadeSizes) {
            const Cascade c = makeCascade(cc.first, sections, size, cc.data, seed++);
            std::vector<float> y0, zf0, yc, zfc;
            runCascade(c, KernelPath::Definition, Order::ColumnMajor, false, y0, zf0);
            const std::string what = " sections=" + std::to_string(sections) + " M=" + std::to_string(size.M) +
                                     " N=" + std::to_string(size.N);
            if (size.M > 0) {
                runChain(c, yc, zfc);
                SCOPED_TRACE("chain of calls" + what);
                ASSERT_TRUE(sameBuffers(yc, y0, "y"));
                ASSERT_TRUE(sameBuffers(zfc, zf0, "zf"));
            }
            for (KernelPath path : kFastPaths) {
                if (!pathAvailable(path)) continue;
                for (Order order : kOrders) {
                    for (bool inPlace : {false, true}) {
                        if (inPlace && (!sameTypes || order == Order::Strided)) continue;
                        std::vector<float> y, zf;
                        runCascade(c, path, order, inPlace, y, zf);
                        SCOPED_TRACE(std::string(pathName(path)) + " " + orderName(order) +
                                     (inPlace ? " in place" : "") + what);
                        ASSERT_TRUE(sameBuffers(y0, y, "y"));
                        ASSERT_TRUE(sameBuffers(zf0, zf, "zf"));
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 0);
}

std::string cascadeCaseName(const ::testing::TestParamInfo<CascadeCase>& info) {
    return std::string(kernelName(info.param.first)) + (info.param.data == Data::Finite ? "_finite" : "_special");
}

INSTANTIATE_TEST_SUITE_P(
    AllFirstKernels, CascadePaths,
    ::testing::Values(CascadeCase{Kernel::RR, Data::Finite}, CascadeCase{Kernel::RR, Data::Special},
                      CascadeCase{Kernel::CC, Data::Finite}, CascadeCase{Kernel::CC, Data::Special},
                      CascadeCase{Kernel::CR, Data::Finite}, CascadeCase{Kernel::CR, Data::Special},
                      CascadeCase{Kernel::RC, Data::Finite}, CascadeCase{Kernel::RC, Data::Special},
                      CascadeCase{Kernel::RRZ, Data::Finite}, CascadeCase{Kernel::RRZ, Data::Special}),
    cascadeCaseName);

// The double-precision kernels: every path against their definition, bit
// for bit, over the same shapes, sizes and layouts, with a[0] of 1, 2, -1 and
// complex ones (|a0|^2 of exactly 1, whose division is left out, and not),
// and with special values 0 and infinity too.
class DoubleFastPaths : public ::testing::TestWithParam<Case> {};

TEST_P(DoubleFastPaths, MatchTheDefinitionInEveryLayout) {
    const Case c = GetParam();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<std::pair<double, double>> a0s = {{1.0, 0.0}, {2.0, 0.0}, {-1.0, 0.0}};
    if (complexCoef(c.kernel)) a0s.insert(a0s.end(), {{0.0, 1.0}, {0.5, -2.0}});
    if (c.data == Data::Special) a0s.insert(a0s.end(), {{0.0, 0.0}, {inf, 0.0}});
    int compared = 0;
    uint32_t seed = 1;
    for (const Shape& shape : kShapes) {
        for (const Size& size : kSizes) {
            const auto a0 = a0s[seed % a0s.size()];
            const ProblemOf<double> p =
                makeProblemOf<double>(c.kernel, shape, size, c.data, a0.first, seed++, &a0.second);
            std::vector<double> y0, zf0;
            run(p, KernelPath::Definition, Order::ColumnMajor, y0, zf0);
            for (KernelPath path : kFastPaths) {
                if (!pathAvailable(path)) continue;
                for (Order order : kOrders) {
                    std::vector<double> y, zf;
                    run(p, path, order, y, zf);
                    SCOPED_TRACE(std::string(pathName(path)) + " " + orderName(order) +
                                 " nb=" + std::to_string(shape.nb) + " na=" + std::to_string(shape.na) +
                                 " L=" + std::to_string(shape.L) + " M=" + std::to_string(size.M) +
                                 " N=" + std::to_string(size.N) + " a0=" + std::to_string(a0.first) + "," +
                                 std::to_string(a0.second));
                    ASSERT_TRUE(sameBuffers(y0, y, "y"));
                    ASSERT_TRUE(sameBuffers(zf0, zf, "zf"));
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 0);
}

INSTANTIATE_TEST_SUITE_P(DoubleKernels, DoubleFastPaths,
                         ::testing::Values(Case{Kernel::DRR, Data::Finite}, Case{Kernel::DRR, Data::Special},
                                           Case{Kernel::DCC, Data::Finite}, Case{Kernel::DCC, Data::Special},
                                           Case{Kernel::DCR, Data::Finite}, Case{Kernel::DCR, Data::Special}),
                         caseName);

// Double-precision cascades: every path against the one-channel cascade
// (their definition), over section counts around the lanes and the pieces,
// one channel (sections in lanes) and more, both layouts, in place.
class DoubleCascadePaths : public ::testing::TestWithParam<CascadeCase> {};

TEST_P(DoubleCascadePaths, MatchTheDefinitionInEveryLayout) {
    const CascadeCase cc = GetParam();
    const int32_t kSections[] = {1, 2, 3, 5, 8, 9, 17, 33, 40};
    const Size kCascadeSizes[] = {{0, 3}, {1, 1},  {5, 1},   {40, 1}, {100, 2}, {17, 3},
                                  {3, 6}, {33, 5}, {20, 16}, {9, 17}, {70, 37}};
    const bool sameTypes = complexIn(cc.first) == complexOut(cc.first);
    int compared = 0;
    uint32_t seed = 7;
    for (int32_t sections : kSections) {
        for (const Size& size : kCascadeSizes) {
            const CascadeOf<double> c = makeCascadeOf<double>(cc.first, sections, size, cc.data, seed++);
            std::vector<double> y0, zf0;
            runCascade(c, KernelPath::Definition, Order::ColumnMajor, false, y0, zf0);
            const std::string what = " sections=" + std::to_string(sections) + " M=" + std::to_string(size.M) +
                                     " N=" + std::to_string(size.N);
            for (KernelPath path : kFastPaths) {
                if (!pathAvailable(path)) continue;
                for (Order order : kOrders) {
                    for (bool inPlace : {false, true}) {
                        if (inPlace && (!sameTypes || order == Order::Strided)) continue;
                        std::vector<double> y, zf;
                        runCascade(c, path, order, inPlace, y, zf);
                        SCOPED_TRACE(std::string(pathName(path)) + " " + orderName(order) +
                                     (inPlace ? " in place" : "") + what);
                        ASSERT_TRUE(sameBuffers(y0, y, "y"));
                        ASSERT_TRUE(sameBuffers(zf0, zf, "zf"));
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 0);
}

INSTANTIATE_TEST_SUITE_P(
    DoubleKernels, DoubleCascadePaths,
    ::testing::Values(CascadeCase{Kernel::DRR, Data::Finite}, CascadeCase{Kernel::DRR, Data::Special},
                      CascadeCase{Kernel::DCC, Data::Finite}, CascadeCase{Kernel::DCC, Data::Special},
                      CascadeCase{Kernel::DCR, Data::Finite}, CascadeCase{Kernel::DCR, Data::Special}),
    cascadeCaseName);

// The kernels of kernels.h pick a path by themselves; whatever they pick, the
// result is the definition's.
TEST(ChosenPath, IsAvailableAndMatches) {
    const KernelPath chosen = choosePath(FilterShape{5, 5, 64, 40, 4});
    EXPECT_TRUE(pathAvailable(chosen));
    // Several channels take the target's lane path: NEON on every AArch64 CPU.
#if defined(__aarch64__)
    EXPECT_EQ(chosen, KernelPath::Neon);
#elif defined(__x86_64__)
    EXPECT_NE(chosen, KernelPath::OneChannelFast);
    EXPECT_NE(chosen, KernelPath::Neon);
#endif
    const Problem p = makeProblem(Kernel::RR, Shape{5, 5, 4}, Size{64, 40}, Data::Finite, 2.0f, 99);
    std::vector<float> y0, zf0;
    run(p, KernelPath::Definition, Order::ColumnMajor, y0, zf0);
    std::vector<float> y(y0.size()), zf = p.zi;
    const RealGain g = realGain(p.a[0]);
    KernelRR(y.data(), zf.data(), p.b.data(), p.a.data(), p.x.data(), g.gain, g.applyGain, 5, 5, 64, 40, 4);
    EXPECT_TRUE(sameBuffers(y0, y, "y"));
    EXPECT_TRUE(sameBuffers(zf0, zf, "zf"));
}

// The list of paths: every path once under its own name, and the choice the
// first available instruction set of the list, widest first.
TEST(PathList, NamesAndLadder) {
    std::vector<std::string> names;
    KernelPath firstLanes = KernelPath::OneChannelFast;
    for (int i = 0; i < kPathCount; ++i) {
        const KernelPath path = pathAt(i);
        names.push_back(pathName(path));
        const bool lanes = path != KernelPath::OneChannelFast && path != KernelPath::Definition;
        if (lanes && pathAvailable(path) && firstLanes == KernelPath::OneChannelFast) firstLanes = path;
    }
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(names, (std::vector<std::string>{"avx512", "avx2", "sse2", "neon", "one-channel", "definition"}));
    EXPECT_EQ(widestLanePath(), firstLanes);
#if defined(__x86_64__)
    EXPECT_TRUE(pathAvailable(KernelPath::Sse2));
    EXPECT_FALSE(pathAvailable(KernelPath::Neon));
#elif defined(__aarch64__)
    EXPECT_EQ(widestLanePath(), KernelPath::Neon);
    EXPECT_FALSE(pathAvailable(KernelPath::Sse2));
#endif
}

// The dispatch table: the first matching row.
TEST(ChooseKernel, FirstMatchingRow) {
    struct Row {
        bool coef, data, state;
        Kernel kernel;
    };
    const Row rows[] = {{true, true, false, Kernel::CC},   {true, true, true, Kernel::CC},
                        {true, false, false, Kernel::CR},  {true, false, true, Kernel::CR},
                        {false, true, false, Kernel::RC},  {false, true, true, Kernel::RC},
                        {false, false, true, Kernel::RRZ}, {false, false, false, Kernel::RR}};
    for (const Row& r : rows) EXPECT_EQ(chooseKernel(r.coef, r.data, r.state), r.kernel);
}

// The C library's header picks the kind with its own inline function; it
// agrees with the dispatch table for every combination.
TEST(ChooseKernel, CLibraryKindAgrees) {
    const std::pair<marrowick_kind, Kernel> kinds[] = {{MARROWICK_RR, Kernel::RR},
                                                       {MARROWICK_RRZ, Kernel::RRZ},
                                                       {MARROWICK_RC, Kernel::RC},
                                                       {MARROWICK_CR, Kernel::CR},
                                                       {MARROWICK_CC, Kernel::CC}};
    for (int combination = 0; combination < 8; ++combination) {
        const bool coef = combination & 4, data = combination & 2, state = combination & 1;
        const marrowick_kind kind = marrowick_kind_for(coef, data, state);
        const auto* match =
            std::find_if(std::begin(kinds), std::end(kinds),
                         [kind](const std::pair<marrowick_kind, Kernel>& k) { return k.first == kind; });
        ASSERT_NE(match, std::end(kinds)) << combination;
        EXPECT_EQ(match->second, chooseKernel(coef, data, state)) << combination;
    }
}

}  // namespace
}  // namespace marrowick
