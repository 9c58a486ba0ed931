// The module and the kernels against the reference filter on many random
// calls: every dispatch row, every nb/na case, the zero-state path, several
// channels, N-dimensional x, non-finite values and the gain edge values.
#include <cstdio>

#include "kernels/kernels.h"
#include "support.h"

namespace ut {
namespace {

struct Sizes {
    int nb, na;
};
const Sizes kSizes[] = {{1, 1},  {1, 2},  {2, 1}, {2, 2}, {3, 3}, {1, 3}, {3, 1},
                        {10, 3}, {3, 10}, {4, 6}, {6, 4}, {5, 5}, {2, 7}, {131, 2}};
// Channel counts below, at and past the widths of vector registers.
const std::vector<mwSize> kChannelShapes[] = {{1}, {3}, {2, 3}, {0}, {1, 2, 2}, {17}, {3, 11}};

// Which of b, a, x and zi are complex, as four bits.
class Complexity : public ::testing::TestWithParam<int> {
protected:
    bool bCx() const { return GetParam() & 1; }
    bool aCx() const { return GetParam() & 2; }
    bool xCx() const { return GetParam() & 4; }
    bool ziCx() const { return GetParam() & 8; }
    Kernel kernel() const { return chooseKernel(bCx() || aCx(), xCx(), ziCx()); }
    // Zero signs are fixed by IEEE rules in the all-real kernel only.
    bool zeroSignOpen() const { return kernel() != Kernel::RR; }
};

std::string complexityName(const ::testing::TestParamInfo<int>& info) {
    std::string s;
    const char* names[] = {"b", "a", "x", "zi"};
    for (int i = 0; i < 4; ++i) s += std::string(names[i]) + ((info.param >> i) & 1 ? "C" : "R");
    return s + "_" + kernelName(chooseKernel((info.param & 3) != 0, info.param & 4, info.param & 8));
}

TEST_P(Complexity, MatchesReferenceBitForBit) {
    Rng rng(1000u + static_cast<unsigned>(GetParam()));
    int calls = 0;
    for (const Sizes& s : kSizes) {
        for (int round = 0; round < 8; ++round) {
            const bool zeroState = round == 7 || (s.nb == 1 && s.na == 1);
            const int M = round == 0 ? 0 : rng.range(1, round < 5 ? 6 : 40);
            const double special = round < 3 ? 0.0 : 0.05;
            const auto& shape = kChannelShapes[rng.range(0, 6)];
            Case c = randomCase(rng, bCx(), aCx(), xCx(), ziCx(), s.nb, s.na, zeroState, M, shape, special);
            const Outputs want = referenceFilter(c.b, c.a, c.x, c.zi);
            const Outputs got = filter(c.b, c.a, c.x, c.zi);
            SCOPED_TRACE(::testing::Message() << "nb=" << s.nb << " na=" << s.na << " M=" << M
                                              << " a0=" << show(c.a.re[0]) << " round " << round);
            ASSERT_TRUE(sameOperand("y", got.y, want.y, zeroSignOpen()));
            ASSERT_TRUE(sameOperand("zf", got.zf, want.zf, zeroSignOpen()));
            ++calls;
        }
    }
    EXPECT_GT(calls, 100);
}

// Filtering in pieces, each piece starting from the previous final states,
// gives the one-piece result bit for bit, zero signs included.
TEST_P(Complexity, PiecesEqualOnePiece) {
    Rng rng(2000u + static_cast<unsigned>(GetParam()));
    for (const Sizes& s : kSizes) {
        const int M = 23;
        Case c = randomCase(rng, bCx(), aCx(), xCx(), ziCx(), s.nb, s.na, false, M, {2, 2}, 0.02);
        const Outputs whole = filter(c.b, c.a, c.x, c.zi);
        const int N = 4;
        const int cuts[] = {0, 1, 1, 8, 9, 20, M};
        Operand zi = c.zi, y = whole.y;
        for (int p = 0; p + 1 < 7; ++p) {
            const int from = cuts[p], len = cuts[p + 1] - cuts[p];
            Operand part{{static_cast<mwSize>(len), 2, 2}, {}, {}, c.x.cx};
            for (int j = 0; j < N; ++j) {
                for (int i = from; i < from + len; ++i) {
                    part.re.push_back(c.x.re[j * M + i]);
                    if (c.x.cx) part.im.push_back(c.x.im[j * M + i]);
                }
            }
            const Outputs r = filter(c.b, c.a, part, zi);
            ASSERT_EQ(r.y.count(), part.count());
            for (int j = 0; j < N; ++j) {
                for (int i = 0; i < len; ++i) {
                    y.re[j * M + from + i] = r.y.re[j * len + i];
                    if (y.cx) y.im[j * M + from + i] = r.y.im[j * len + i];
                }
            }
            zi = r.zf;
        }
        SCOPED_TRACE(::testing::Message() << "nb=" << s.nb << " na=" << s.na);
        EXPECT_TRUE(sameOperand("pieced y", y, whole.y));
        EXPECT_TRUE(sameOperand("last zf", zi, whole.zf));
    }
}

INSTANTIATE_TEST_SUITE_P(AllRows, Complexity, ::testing::Range(0, 16), complexityName);

// The five kernels called directly, with gain and applyGain chosen
// independently (applyGain false with a gain other than 1 must not scale),
// and longer channels.
class DirectKernel : public ::testing::TestWithParam<Kernel> {};

TEST_P(DirectKernel, MatchesReference) {
    using marrowick::ComplexSingle;
    const Kernel kind = GetParam();
    Rng rng(3000u + static_cast<unsigned>(kind));
    for (const Sizes& s : kSizes) {
        for (int round = 0; round < 6; ++round) {
            static const int channels[] = {0, 1, 2, 3, 5, 8, 9, 16, 17, 33};
            const int M = rng.range(0, 70), N = channels[rng.range(0, 9)];
            const int L = (round == 5 || (s.nb == 1 && s.na == 1)) ? 0 : std::max(s.nb, s.na) - 1;
            const double special = round < 3 ? 0.0 : 0.03;
            auto vec = [&](std::size_t n) {
                std::vector<C> v(n);
                for (C& e : v) e = {rng.value(special), rng.value(special)};
                return v;
            };
            std::vector<C> b = vec(s.nb), a = vec(s.na), x = vec(static_cast<std::size_t>(M) * N),
                           z0 = vec(static_cast<std::size_t>(L) * N);
            Gain g{{rng.value(0.1), rng.value(0.1)}, round % 2 == 0};
            if (kind != Kernel::CC && kind != Kernel::CR) g.g.im = 0.0f;
            const bool realCoef = kind == Kernel::RR || kind == Kernel::RC || kind == Kernel::RRZ;
            const bool realX = kind == Kernel::RR || kind == Kernel::CR || kind == Kernel::RRZ;
            auto strip = [](std::vector<C>& v) {
                for (C& e : v) e.im = 0.0f;
            };
            if (realCoef) strip(b), strip(a);
            if (realX) strip(x);
            if (kind == Kernel::RR) strip(z0);

            std::vector<C> wantY(x.size(), C{0, 0}), wantZ = z0;
            referenceKernel(kind, wantY, wantZ, b, a, x, g, s.nb, s.na, M, N, L);

            auto reals = [](const std::vector<C>& v) {
                std::vector<float> r;
                for (const C& e : v) r.push_back(e.re);
                return r;
            };
            auto cs = [](const std::vector<C>& v) {
                std::vector<ComplexSingle> r;
                for (const C& e : v) r.push_back({e.re, e.im});
                return r;
            };
            std::vector<C> gotY(x.size(), C{0, 0}), gotZ = z0;
            const ComplexSingle cg{g.g.re, g.g.im};
            if (kind == Kernel::RR) {
                std::vector<float> y(x.size()), z = reals(z0);
                marrowick::KernelRR(y.data(), z.data(), reals(b).data(), reals(a).data(), reals(x).data(), g.g.re,
                                    g.apply, s.nb, s.na, M, N, L);
                for (std::size_t i = 0; i < y.size(); ++i) gotY[i] = {y[i], 0};
                for (std::size_t i = 0; i < z.size(); ++i) gotZ[i] = {z[i], 0};
            } else {
                std::vector<ComplexSingle> y(x.size(), ComplexSingle{0, 0}), z = cs(z0);
                switch (kind) {
                    case Kernel::CC:
                        marrowick::KernelCC(y.data(), z.data(), cs(b).data(), cs(a).data(), cs(x).data(), cg, g.apply,
                                            s.nb, s.na, M, N, L);
                        break;
                    case Kernel::CR:
                        marrowick::KernelCR(y.data(), z.data(), cs(b).data(), cs(a).data(), reals(x).data(), cg,
                                            g.apply, s.nb, s.na, M, N, L);
                        break;
                    case Kernel::RC:
                        marrowick::KernelRC(y.data(), z.data(), reals(b).data(), reals(a).data(), cs(x).data(), g.g.re,
                                            g.apply, s.nb, s.na, M, N, L);
                        break;
                    default:
                        marrowick::KernelRRZ(y.data(), z.data(), reals(b).data(), reals(a).data(), reals(x).data(),
                                             g.g.re, g.apply, s.nb, s.na, M, N, L);
                }
                for (std::size_t i = 0; i < y.size(); ++i) gotY[i] = {y[i].re, y[i].im};
                for (std::size_t i = 0; i < z.size(); ++i) gotZ[i] = {z[i].re, z[i].im};
            }
            const bool open = kind != Kernel::RR;
            auto part = [](const std::vector<C>& v, bool im) {
                std::vector<float> r;
                for (const C& e : v) r.push_back(im ? e.im : e.re);
                return r;
            };
            SCOPED_TRACE(::testing::Message() << "nb=" << s.nb << " na=" << s.na << " M=" << M << " N=" << N
                                              << " L=" << L << " apply=" << g.apply);
            ASSERT_TRUE(sameFloats("y.re", part(gotY, false), part(wantY, false), open));
            ASSERT_TRUE(sameFloats("y.im", part(gotY, true), part(wantY, true), open));
            ASSERT_TRUE(sameFloats("z.re", part(gotZ, false), part(wantZ, false), open));
            ASSERT_TRUE(sameFloats("z.im", part(gotZ, true), part(wantZ, true), open));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, DirectKernel,
                         ::testing::Values(Kernel::RR, Kernel::CC, Kernel::CR, Kernel::RC, Kernel::RRZ),
                         [](const ::testing::TestParamInfo<Kernel>& i) { return std::string(kernelName(i.param)); });

// With finite values, KernelRC filters real and imaginary parts apart, and
// KernelRRZ's real parts are those of KernelRC on the same real parts.
TEST(RealCoefficientKernels, PartsAreIndependentWithFiniteValues) {
    Rng rng(77);
    for (const Sizes& s : kSizes) {
        if (s.nb == 1 && s.na == 1) continue;
        Case c = randomCase(rng, false, false, true, true, s.nb, s.na, false, 17, {3}, 0.0);
        c.a.re[0] = 0.75f;
        const Outputs base = filter(c.b, c.a, c.x, c.zi);

        Case im = c;  // new imaginary parts, same real parts
        im.x.im = rng.values(im.x.count(), 0.0);
        im.zi.im = rng.values(im.zi.count(), 0.0);
        const Outputs otherIm = filter(im.b, im.a, im.x, im.zi);
        EXPECT_TRUE(sameFloats("y.re", otherIm.y.re, base.y.re, true));
        EXPECT_TRUE(sameFloats("zf.re", otherIm.zf.re, base.zf.re, true));

        Case re = c;  // new real parts, same imaginary parts
        re.x.re = rng.values(re.x.count(), 0.0);
        re.zi.re = rng.values(re.zi.count(), 0.0);
        const Outputs otherRe = filter(re.b, re.a, re.x, re.zi);
        EXPECT_TRUE(sameFloats("y.im", otherRe.y.im, base.y.im, true));
        EXPECT_TRUE(sameFloats("zf.im", otherRe.zf.im, base.zf.im, true));

        Case rrz = c;  // real x: KernelRRZ
        rrz.x = real(c.x.dims, c.x.re);
        const Outputs z = filter(rrz.b, rrz.a, rrz.x, rrz.zi);
        EXPECT_TRUE(sameFloats("RRZ y.re", z.y.re, base.y.re, true)) << "nb=" << s.nb << " na=" << s.na;
        EXPECT_TRUE(sameFloats("RRZ zf.re", z.zf.re, base.zf.re, true));

        rrz.zi.im.assign(rrz.zi.count(), 0.0f);  // no imaginary part anywhere
        const Outputs flat = filter(rrz.b, rrz.a, rrz.x, rrz.zi);
        EXPECT_TRUE(sameFloats("RRZ y.im", flat.y.im, std::vector<float>(flat.y.count(), 0.0f), true));
        EXPECT_TRUE(sameFloats("RRZ zf.im", flat.zf.im, std::vector<float>(flat.zf.count(), 0.0f), true));
    }
}

}  // namespace
}  // namespace ut
