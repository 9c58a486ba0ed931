// Hand-worked calls with exact expected bits: the rounding of each kernel,
// the gain at the edges of the floating-point range, the signed zeros the
// kernels write themselves, and the case split on nb against na.
#include "support.h"

namespace ut {
namespace {

const float e23 = p2(-23);
const float xr = 1.0f + 3.0f * e23;  // (1 + 2^-23) * xr = 1 + 2^-21 + 3*2^-46
Operand none(mwSize n = 1) { return real({0, n}, {}); }

struct Example {
    const char* name;
    Operand b, a, x, zi, y, zf;
    bool zeroSignOpen;  // complex kernels: a zero's sign inside complex operations is open
};

std::vector<Example> examples() {
    const Operand cz = ccol({0.0f}, {0.0f});
    return {
        // All-real kernel: one rounding per stored value, in double.
        {"RR_FirstOrder", col({1}), col({1, -0.5f}), col({1, 0, 0}), col({0}), col({1, 0.5f, 0.25f}), col({0.125f}),
         false},
        {"RR_ScaledByTwo", col({2}), col({2, -1}), col({1, 0, 0}), col({0}), col({1, 0.5f, 0.25f}), col({0.25f}),
         false},
        {"RR_ZeroStateIgnoresTail", col({3, 7, 9}), col({2, 5}), col({1, -2, 0}), none(), col({1.5f, -3, 0}), none(),
         false},
        {"RR_ProductNotRoundedBeforeSum", col({1 + e23, 0}), col({1}), col({xr}), col({-1}), col({p2(-21) + p2(-44)}),
         col({0}), false},
        {"RR_SharedRangeOneRounding", col({1, 0, 1 + e23}), col({1, 1 + e23, 1}), col({xr}), col({0, 1}), col({xr}),
         col({-(p2(-21) + p2(-44)), e23 + 3 * p2(-46)}), false},
        {"RR_SumNotRoundedBeforeDifference", col({1, 1, 0}), col({1, 1, 0}), col({1}), col({0, p2(-24)}), col({1}),
         col({p2(-24), 0}), false},
        {"RR_SharedRangeSumInDouble", col({1, 1, 0}), col({1, 1, 0}), col({1}), col({0, p2(-60)}), col({1}),
         col({0, 0}), false},
        {"RR_NegatedGainKeepsZeroSign", col({2}), col({-1}), col({0, 1}), none(), col({-0.0f, -2}), none(), false},
        {"RR_ZeroA0ZeroSumIsNaN", col({1, 1}), col({0, 1}), col({0, 0}), col({0}), col({kNaN, kNaN}), col({kNaN}),
         false},
        // Real coefficients over complex data or state: every operation rounds.
        {"RC_ProductRoundedBeforeSum", col({1 + e23, 0}), col({1}), ccol({xr}, {0}), col({-1}), ccol({p2(-21)}, {0}),
         ccol({0}, {0}), true},
        {"RRZ_ProductRoundedBeforeSum", col({1 + e23, 0}), col({1}), col({xr}), ccol({-1}, {0}), ccol({p2(-21)}, {0}),
         ccol({0}, {0}), true},
        {"RRZ_EqualLengthsUpdate", col({0, 1 + e23}), col({1, -3}), col({xr}), ccol({1}, {2}), ccol({1}, {2}),
         ccol({4 + p2(-21)}, {6}), true},
        {"RC_ZeroStateGainTwo", col({1 + e23, 5, 6}), col({2, 7, 8, 9}), ccol({xr}, {-xr}), none(),
         ccol({0.5f + p2(-22)}, {-(0.5f + p2(-22))}), cplx({0, 1}, {}, {}), true},
        {"RC_RealStateComesBackComplex", col({1, 2}), col({1, 0.5f}), ccol({1}, {3}), col({4}), ccol({5}, {3}),
         ccol({-0.5f}, {4.5f}), true},
        // Complex coefficients: each of the four operations of a state update
        // is rounded.
        {"CC_SharedRangeFourRoundings", ccol({1, 0, 1 + e23}, {0, 0, 0}), ccol({1, 1 + e23, 1}, {0, 0, 0}),
         ccol({xr}, {0}), ccol({0, 1}, {0, 0}), ccol({xr}, {0}), ccol({-p2(-21), e23}, {0, 0}), true},
        {"CR_SharedRangeFourRoundings", ccol({1, 0, 1 + e23}, {0, 0, 0}), col({1, 1 + e23, 1}), col({xr}), col({0, 1}),
         ccol({xr}, {0}), ccol({-p2(-21), e23}, {0, 0}), true},
        {"CC_SumRoundedBeforeDifference", ccol({1, 1, 0}, {0, 0, 0}), col({1, 1, 0}), ccol({1}, {0}), col({0, p2(-24)}),
         ccol({1}, {0}), ccol({0, 0}, {0, 0}), true},
        {"CR_InfiniteCoefficientScaledPartwise", ccol({1}, {kInf}), col({1}), col({2}), none(), ccol({2}, {kInf}),
         cplx({0, 1}, {}, {}), false},
        {"CR_RealCoefficientTimesInfiniteSample", col({1}), ccol({1}, {0}), col({kInf}), none(), ccol({kInf}, {kNaN}),
         cplx({0, 1}, {}, {}), true},
        {"CR_UnitGainKeepsMinusZero", ccol({3}, {-0.0f}), ccol({1}, {0}), col({2}), none(), ccol({6}, {-0.0f}),
         cplx({0, 1}, {}, {}), false},
        {"CR_UnitGainMinusZeroKeepsMinusZero", ccol({3}, {-0.0f}), ccol({1}, {-0.0f}), col({2}), none(),
         ccol({6}, {-0.0f}), cplx({0, 1}, {}, {}), false},
        {"CR_UnitGainKeepsInfiniteSum", ccol({kInf, 0}, {1, 0}), ccol({1}, {-0.0f}), col({2}), cz, ccol({kInf}, {2}),
         ccol({0}, {0}), true},
        {"CR_MinusOneAppliesGain", ccol({2}, {3}), ccol({-1}, {0}), col({1}), none(), ccol({-2}, {-3}),
         cplx({0, 1}, {}, {}), true},
        {"CR_TinyImaginaryPartAppliesGain", ccol({2}, {0}), ccol({1}, {p2(-30)}), col({1}), none(),
         ccol({2}, {-p2(-29)}), cplx({0, 1}, {}, {}), true},
        {"CR_NaNPartAppliesGain", ccol({2}, {0}), ccol({1}, {kNaN}), col({1}), none(), ccol({kNaN}, {kNaN}),
         cplx({0, 1}, {}, {}), true},
    };
}

class Worked : public ::testing::TestWithParam<Example> {};

TEST_P(Worked, ExactBits) {
    const Example& e = GetParam();
    const Outputs got = filter(e.b, e.a, e.x, e.zi);
    EXPECT_TRUE(sameOperand("y", got.y, e.y, e.zeroSignOpen));
    EXPECT_TRUE(sameOperand("zf", got.zf, e.zf, e.zeroSignOpen));
    // The reference agrees with every hand-worked example.
    const Outputs ref = referenceFilter(e.b, e.a, e.x, e.zi);
    EXPECT_TRUE(sameOperand("reference y", ref.y, e.y, e.zeroSignOpen));
    EXPECT_TRUE(sameOperand("reference zf", ref.zf, e.zf, e.zeroSignOpen));
}

INSTANTIATE_TEST_SUITE_P(Examples, Worked, ::testing::ValuesIn(examples()),
                         [](const ::testing::TestParamInfo<Example>& i) { return std::string(i.param.name); });

// The real gain at the edges: b = [2], L = 0, so the unscaled sums are
// 3, 0, -0, inf and -2.
TEST(RealGain, EdgeValuesOfLeadingCoefficient) {
    const Operand x = col({1.5f, 0.0f, -0.0f, kInf, -1.0f});
    struct Row {
        float a0;
        std::vector<float> y;
    };
    const float tiny = p2(-130);  // 1/a0 is finite in double but overflows single
    const Row rows[] = {
        {1.0f, {3, 0, -0.0f, kInf, -2}},           {-1.0f, {-3, -0.0f, 0, -kInf, 2}},
        {2.0f, {1.5f, 0, -0.0f, kInf, -1}},        {0.0f, {kInf, kNaN, kNaN, kInf, -kInf}},
        {-0.0f, {-kInf, kNaN, kNaN, -kInf, kInf}}, {kInf, {0, 0, -0.0f, kNaN, -0.0f}},
        {-kInf, {-0.0f, -0.0f, 0, kNaN, 0}},       {kNaN, {kNaN, kNaN, kNaN, kNaN, kNaN}},
        {tiny, {kInf, kNaN, kNaN, kInf, -kInf}},   {-tiny, {-kInf, kNaN, kNaN, -kInf, kInf}},
    };
    for (const Row& r : rows) {
        for (const Operand& xs : {x, ccol(x.re, std::vector<float>(5, 0.0f))}) {
            const Outputs got = filter(col({2}), col({r.a0, 9}), xs, none());
            EXPECT_TRUE(sameFloats("y.re", got.y.re, r.y, xs.cx)) << "a0 = " << show(r.a0) << " complex " << xs.cx;
        }
    }
}

// KernelRRZ on its zero-state path writes +0 imaginary parts, which the gain
// then scales: -1 gives -0, 0 gives NaN.
TEST(RealGain, ZeroStatePathOfComplexStateKernel) {
    const Operand b = col({1 + e23, 4}), x = col({xr, -2});
    struct Row {
        float a0;
        std::vector<float> re, im;
    };
    const Row rows[] = {
        {1.0f, {1 + p2(-21), -2 - 2 * e23}, {0.0f, 0.0f}},
        {-1.0f, {-(1 + p2(-21)), 2 + 2 * e23}, {-0.0f, -0.0f}},
        {2.0f, {0.5f + p2(-22), -1 - e23}, {0.0f, 0.0f}},
        {0.0f, {kInf, -kInf}, {kNaN, kNaN}},
    };
    for (const Row& r : rows) {
        const Outputs got = filter(b, col({r.a0, 3, 3}), x, cplx({0, 1}, {}, {}));
        EXPECT_TRUE(sameOperand("y", got.y, ccol(r.re, r.im))) << "a0 = " << r.a0;
    }
}

// The last state element when nb < na is a subtraction from +0: a zero
// denominator product of either sign leaves +0 in both parts, in every kernel.
TEST(SignedZeros, ShorterNumeratorLeavesPlusZero) {
    for (int row = 0; row < 5; ++row) {
        for (float a1 : {3.0f, -3.0f}) {
            for (float s : {0.0f, -0.0f}) {
                const bool cxCoef = row < 2, cxX = row == 0 || row == 2, cxZ = row == 3;
                Operand b = cxCoef ? ccol({s}, {s}) : col({s});
                Operand a = cxCoef ? ccol({1, a1, -a1}, {0, s, s}) : col({1, a1, -a1});
                Operand x = cxX ? ccol({s, -s}, {-s, s}) : col({s, -s});
                Operand zi = cxZ ? ccol({s, -s}, {-s, s}) : col({s, -s});
                const Outputs got = filter(b, a, x, zi);
                SCOPED_TRACE(::testing::Message() << "row " << row << " a1 " << a1 << " zero " << show(s));
                ASSERT_EQ(got.zf.count(), 2u);
                EXPECT_EQ(bits(got.zf.re[1]), 0u);
                if (got.zf.cx) {
                    EXPECT_EQ(bits(got.zf.im[1]), 0u);
                }
            }
        }
    }
}

// KernelRRZ with nb > na writes the last state element's imaginary part as +0
// after every sample, whatever zi held there and whatever the gain.
TEST(SignedZeros, LongerNumeratorWritesPlusZeroImaginaryPart) {
    for (float a0 : {1.0f, -1.0f, 0.0f, 2.0f}) {
        for (int M = 1; M <= 3; ++M) {
            const Operand zi = cplx({3, 2}, {1, 2, 3, 4, 5, 6}, {-1, -0.0f, kNaN, 7, -kInf, -0.0f});
            const Operand x = real({static_cast<mwSize>(M), 2}, std::vector<float>(2 * M, -1.5f));
            const Outputs got = filter(col({1, -2, 3, 0.5f}), col({a0, -0.5f}), x, zi);
            ASSERT_TRUE(got.zf.cx);
            EXPECT_EQ(bits(got.zf.im[2]), 0u) << "a0 " << a0 << " M " << M;
            EXPECT_EQ(bits(got.zf.im[5]), 0u) << "a0 " << a0 << " M " << M;
        }
    }
}

// The case split on nb against na, with small integers so every operation is
// exact: after two samples, z[k] = b[k+1] x + z[k+1] - a[k+1] y with missing
// coefficients taken as 0 and z[L] = 0, in every kernel.
TEST(CaseSplit, StateUpdatesCoverEveryElementOnce) {
    const std::pair<int, int> sizes[] = {{10, 3}, {3, 10}, {1, 3}, {3, 1}, {2, 2}, {3, 3}, {4, 2}, {2, 5}};
    for (auto [nb, na] : sizes) {
        const int L = std::max(nb, na) - 1;
        std::vector<float> b(nb), a(na), zi(L);
        for (int k = 0; k < nb; ++k) b[k] = static_cast<float>(k % 3 + 1);
        for (int k = 0; k < na; ++k) a[k] = k == 0 ? 1.0f : static_cast<float>(-(k % 2) - 1);
        for (int k = 0; k < L; ++k) zi[k] = static_cast<float>(4 * k + 1);
        const float xs[2] = {1.0f, -2.0f};
        std::vector<float> z = zi, y;
        for (float x : xs) {
            const float yi = b[0] * x + z[0];
            for (int k = 0; k < L; ++k) {
                const float nk = k + 1 < nb ? b[k + 1] : 0.0f, ak = k + 1 < na ? a[k + 1] : 0.0f;
                z[k] = nk * x + (k + 1 < L ? z[k + 1] : 0.0f) - ak * yi;
            }
            y.push_back(yi);
        }
        for (int row = 0; row < 5; ++row) {
            const std::vector<float> zeros2(2, 0.0f), zerosL(L, 0.0f), zerosB(nb, 0.0f), zerosA(na, 0.0f);
            const Operand bo = row < 2 ? ccol(b, zerosB) : col(b);
            const Operand ao = row == 1 ? ccol(a, zerosA) : col(a);
            const Operand xo = row == 0 || row == 2 ? ccol({xs[0], xs[1]}, zeros2) : col({xs[0], xs[1]});
            const Operand zo = row == 3 ? ccol(zi, zerosL) : col(zi);
            const Outputs got = filter(bo, ao, xo, zo);
            SCOPED_TRACE(::testing::Message() << "nb=" << nb << " na=" << na << " row " << row);
            EXPECT_TRUE(sameFloats("y", got.y.re, y, true));
            EXPECT_TRUE(sameFloats("zf", got.zf.re, z, true));
        }
    }
}

}  // namespace
}  // namespace ut
