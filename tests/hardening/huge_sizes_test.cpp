// Arrays too large for the module's 32-bit sizes are refused before the
// module allocates or touches anything. The huge host arrays come from
// lazily zeroed memory and are never written, so they cost address space but
// hardly any resident memory; empty arrays with a huge dimension cost none.
#include <gtest/gtest.h>
#include "../common/process.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "host.h"
#include "load_module.h"

namespace {

constexpr mwSize k2to31 = mwSize{1} << 31;

using testproc::residentBytes;

struct HugeCase {
    const char* name;
    std::vector<mwSize> b, a, x, zi;
    const char* identifier;
};

void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.name; }

class HugeSizes : public ::testing::TestWithParam<HugeCase> {};

TEST_P(HugeSizes, RefusedBeforeAnyAllocation) {
    const HugeCase& c = GetParam();
    const std::size_t residentBefore = residentBytes();
    mxhost::ArrayPtr b = mxhost::makeArray(c.b), a = mxhost::makeArray(c.a), x = mxhost::makeArray(c.x),
                     zi = mxhost::makeArray(c.zi);
    const std::size_t arraysBefore = mxhost::liveArrays();
    const std::size_t reclaimedBefore = mxhost::reclaimedTotal();

    const mxhost::CallResult r = mxhost::callModule(loadMarrowickModule(), 2, {b.get(), a.get(), x.get(), zi.get()});

    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.identifier, c.identifier) << r.message;
    // Nothing was made for the host to reclaim, and nothing is left.
    EXPECT_EQ(mxhost::reclaimedTotal(), reclaimedBefore);
    EXPECT_EQ(mxhost::liveArrays(), arraysBefore);
    EXPECT_EQ(mxhost::scratchBlocksAlive(), 0u);
    // The gigabytes of the inputs were never touched.
    EXPECT_LT(residentBytes(), residentBefore + (std::size_t{256} << 20));
}

// b and a are kept at one coefficient unless a case is about them; x and zi
// are consistent unless a case is about their sizes.
INSTANTIATE_TEST_SUITE_P(
    Boundary, HugeSizes,
    ::testing::Values(
        // 2^31 elements: one more than a 32-bit signed count holds.
        HugeCase{"b_2to31_elements", {k2to31, 1}, {1, 1}, {4, 1}, {0, 1}, "marrowick:tooLarge"},
        HugeCase{"a_2to31_elements", {1, 1}, {1, k2to31}, {4, 1}, {0, 1}, "marrowick:tooLarge"},
        HugeCase{"x_2to31_samples", {1, 1}, {1, 1}, {k2to31, 1}, {0, 1}, "marrowick:tooLarge"},
        // Each dimension fits in 32 bits, their product does not.
        HugeCase{"x_product_past_2to31", {1, 1}, {1, 1}, {65536, 32769}, {0, 32769}, "marrowick:tooLarge"},
        // zi's count L*N overflows 32 bits while x is empty.
        HugeCase{"zi_count_past_2to31", {3, 1}, {1, 1}, {0, 1u << 30}, {2, 1u << 30}, "marrowick:tooLarge"},
        // Empty arrays whose dimensions do not fit: no memory at all.
        HugeCase{"x_empty_2to31_channels", {1, 1}, {1, 1}, {0, k2to31}, {0, k2to31}, "marrowick:tooLarge"},
        HugeCase{"x_empty_2to31_samples", {1, 1}, {1, 1}, {k2to31, 0}, {0, 0}, "marrowick:tooLarge"},
        HugeCase{"x_empty_channels_past_2to64",
                 {1, 1},
                 {1, 1},
                 {0, mwSize{1} << 32, mwSize{1} << 32},
                 {0, 0},
                 "marrowick:tooLarge"},
        HugeCase{"zi_empty_2to31_rows", {1, 1}, {1, 1}, {4, 1}, {k2to31, 0}, "marrowick:ziLength"},
        HugeCase{"zi_rows_wrap_to_expected", {3, 1}, {1, 1}, {4, 1}, {(mwSize{1} << 32) + 2, 0}, "marrowick:ziLength"}),
    [](const ::testing::TestParamInfo<HugeCase>& info) { return std::string(info.param.name); });

}  // namespace
