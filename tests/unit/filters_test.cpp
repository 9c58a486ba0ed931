// The filters of src/filters on their own: the zero-phase recipe driven in
// blocks of every size gives the bits of the whole-array call, and the steady
// states and their refusals against a table of filters whose states are
// exact in double precision.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "filters/filters.h"
#include "support.h"

namespace {

using marrowick::Kernel;
using marrowick::Layout;
namespace filters = marrowick::filters;

struct RecipeCase {
    Kernel kernel;
    bool sections;
    filters::PadType padType;
    int64_t padLength;
};

std::string caseName(const ::testing::TestParamInfo<RecipeCase>& info) {
    const char* pads[] = {"none", "odd", "even", "constant"};
    return std::string(marrowick::kernelName(info.param.kernel)) + (info.param.sections ? "_sos_" : "_ba_") +
           pads[static_cast<int>(info.param.padType)] + std::to_string(info.param.padLength);
}

class Recipe : public ::testing::TestWithParam<RecipeCase> {};

// M samples of N channels, column-major; every block size from 1 to M, the
// backward blocks reversed in time as a front hands them.
TEST_P(Recipe, BlocksOfEverySizeGiveTheWholeCall) {
    const RecipeCase rc = GetParam();
    const bool coefComplex = rc.kernel == Kernel::CC || rc.kernel == Kernel::CR;
    const bool xComplex = rc.kernel == Kernel::CC || rc.kernel == Kernel::RC;
    const int64_t M = 11, N = 3, xw = xComplex ? 2 : 1, yw = rc.kernel == Kernel::RR ? 1 : 2;
    std::vector<float> b = {0.25f, 0.5f, 0.25f}, a = {1.0f, -0.5f, 0.125f};
    std::vector<float> sos = {0.25f, 0.5f, 0.25f, 1.0f, -0.5f, 0.125f, 1.0f, -1.0f, 0.5f, 2.0f, 0.25f, 0.0f};
    if (coefComplex) {  // the same values with imaginary parts
        auto widen = [](const std::vector<float>& v) {
            std::vector<float> w;
            for (std::size_t k = 0; k < v.size(); ++k) w.insert(w.end(), {v[k], k % 3 == 1 ? 0.125f : 0.0f});
            return w;
        };
        b = widen(b), a = widen(a), sos = widen(sos);
    }
    const filters::Coefficients c{rc.sections, b.data(), 3, a.data(), 3, sos.data(), 2};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    std::vector<float> x(static_cast<std::size_t>(M * N * xw));
    for (float& v : x) v = value(rng);

    const Layout column{1, M};
    std::vector<float> whole(static_cast<std::size_t>(M * N * yw));
    const filters::Result r = filters::runZeroPhase(
        filters::ZeroPhase{rc.kernel, c, M, N, x.data(), column, whole.data(), column, rc.padType, rc.padLength}, 1);
    ASSERT_EQ(r.status, filters::Status::Ok);

    const filters::ZeroPhasePlan plan(rc.kernel, c, rc.padType, rc.padLength);
    const int64_t edge = plan.edge();
    const std::size_t xi = static_cast<std::size_t>(xw) * 4, yi = static_cast<std::size_t>(yw) * 4;
    for (int64_t block = 1; block <= M; ++block) {
        std::vector<float> y(whole.size());
        char* const yb = reinterpret_cast<char*>(y.data());
        const char* const xb = reinterpret_cast<const char*>(x.data());
        filters::ZeroPhaseGroup group(plan, N);
        group.padFront(xb, column);
        group.padBack(xb + (M - 1 - edge) * xi, column);
        for (int64_t s0 = 0; s0 < M; s0 += block)
            group.forward(std::min(block, M - s0), xb + s0 * xi, column, yb + s0 * yi, column);
        group.turn(yb + (M - 1) * yi, column);
        for (int64_t s1 = M; s1 > 0; s1 -= block) {
            const int64_t m = std::min(block, s1);
            group.backward(m, yb + (s1 - 1) * yi, Layout{-1, M});
        }
        EXPECT_TRUE(ut::sameFloats(("blocks of " + std::to_string(block)).c_str(), y, whole));
    }
}

INSTANTIATE_TEST_SUITE_P(KernelsAndPaddings, Recipe,
                         ::testing::Values(RecipeCase{Kernel::RR, false, filters::PadType::Odd, 4},
                                           RecipeCase{Kernel::RR, true, filters::PadType::Even, 10},
                                           RecipeCase{Kernel::RR, false, filters::PadType::None, 4},
                                           RecipeCase{Kernel::RC, true, filters::PadType::Constant, 3},
                                           RecipeCase{Kernel::CR, false, filters::PadType::Odd, 1},
                                           RecipeCase{Kernel::CC, true, filters::PadType::Odd, 0},
                                           RecipeCase{Kernel::CC, false, filters::PadType::Even, 6}),
                         caseName);

// Filters whose steady states are exact: H = sum(b) / sum(a) and each state
// sum over j > k of (b[j] - a[j] * H) involve no rounding.
TEST(SteadyStates, MatchTheTable) {
    struct Row {
        std::vector<float> b, a;
        filters::Status status;
        std::vector<double> z;
    };
    const Row rows[] = {
        {{1.0f, 0.0f}, {1.0f, -0.5f}, filters::Status::Ok, {1.0}},
        {{0.25f, 0.5f, 0.25f}, {1.0f, -0.5f, 0.5f}, filters::Status::Ok, {0.75, -0.25}},
        {{2.0f, 1.0f}, {4.0f}, filters::Status::Ok, {1.0}},
        {{1.0f, 1.0f}, {0.0f, 1.0f}, filters::Status::ZeroLeadingCoefficient, {}},
        {{1.0f, 1.0f}, {1.0f, -1.0f}, filters::Status::NoSteadyState, {}},
    };
    for (const Row& row : rows) {
        const std::size_t L = std::max(row.b.size(), row.a.size()) - 1;
        std::vector<double> z(L, -7.0);
        const filters::Result r =
            filters::steadyState(false, row.b.data(), static_cast<int32_t>(row.b.size()), row.a.data(),
                                 static_cast<int32_t>(row.a.size()), z.data(), nullptr);
        EXPECT_EQ(r.status, row.status) << "b[0] " << row.b[0] << " a[0] " << row.a[0];
        if (r.status == filters::Status::Ok) {
            EXPECT_EQ(z, row.z) << "b[0] " << row.b[0] << " a[0] " << row.a[0];
        }
    }
    // Sections: each row times the gains at DC of the sections before it; a
    // refusal names its section.
    const float sos[] = {1.0f, 0.0f, 0.0f, 1.0f, -0.5f, 0.0f, 0.5f, 0.5f, 0.0f, 1.0f, 0.0f, 0.0f};
    std::vector<double> zi(4);
    ASSERT_EQ(filters::sectionsSteadyState(false, sos, 2, zi.data()).status, filters::Status::Ok);
    EXPECT_EQ(zi, (std::vector<double>{1.0, 0.0, 1.0, 0.0}));
    const float pole[] = {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, -2.0f, 1.0f};
    const filters::Result r = filters::sectionsSteadyState(false, pole, 2, zi.data());
    EXPECT_EQ(r.status, filters::Status::NoSteadyState);
    EXPECT_EQ(r.section, 1);
}

}  // namespace
