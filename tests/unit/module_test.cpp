// The module through the host's call boundary: shapes, empty calls, output
// counts, the argument contract and the host's reclaiming of scratch.
#include <functional>

#include "support.h"

namespace ut {
namespace {

// The four complexity patterns of b, x and zi that pick rows 1 to 5 (a real).
struct Row {
    const char* kernel;
    bool bCx, xCx, ziCx;
};
const Row kRows[] = {{"CC", true, true, false},
                     {"CR", true, false, true},
                     {"RC", false, true, false},
                     {"RRZ", false, false, true},
                     {"RR", false, false, false}};

TEST(Shapes, ThreeDimensionalDataKeepsItsShape) {
    Rng rng(5);
    for (const Row& r : kRows) {
        const Operand b = rng.operand({3, 1}, r.bCx, 0), a = col({1, 0.25f, -0.5f, 0.125f});
        const Operand x = rng.operand({4, 2, 3}, r.xCx, 0);
        for (const std::vector<mwSize>& ziDims : {std::vector<mwSize>{3, 2, 3}, std::vector<mwSize>{3, 6}}) {
            const Operand zi = rng.operand(ziDims, r.ziCx, 0);
            const Outputs got = filter(b, a, x, zi);
            const Outputs want = referenceFilter(b, a, x, zi);
            EXPECT_EQ(got.y.dims, x.dims) << r.kernel;
            EXPECT_EQ(got.zf.dims, ziDims) << r.kernel;
            EXPECT_TRUE(sameOperand("y", got.y, want.y, true)) << r.kernel;
            EXPECT_TRUE(sameOperand("zf", got.zf, want.zf, true)) << r.kernel;
            // Each channel is filtered on its own: channel (1, 2) alone gives the same.
            const int M = 4, L = 3, j = 1 + 2 * 2;
            Operand x1{{4, 1}, {}, {}, x.cx}, z1{{3, 1}, {}, {}, zi.cx};
            for (int i = 0; i < M; ++i) {
                x1.re.push_back(x.re[j * M + i]);
                if (x.cx) x1.im.push_back(x.im[j * M + i]);
            }
            for (int k = 0; k < L; ++k) {
                z1.re.push_back(zi.re[j * L + k]);
                if (zi.cx) z1.im.push_back(zi.im[j * L + k]);
            }
            const Outputs one = filter(b, a, x1, z1);
            for (int i = 0; i < M; ++i) EXPECT_TRUE(sameBits(one.y.re[i], got.y.re[j * M + i])) << r.kernel;
        }
    }
}

// No samples or no channels: y is empty and shaped like x; zf repeats zi,
// complex with +0 imaginary parts when any input is complex and zi is real.
TEST(Shapes, EmptyDataLeavesStatesAlone) {
    for (const Row& r : kRows) {
        for (const std::vector<mwSize>& xDims : {std::vector<mwSize>{0, 2}, std::vector<mwSize>{5, 0}}) {
            const mwSize N = xDims[1];
            const Operand b = r.bCx ? ccol({1, 2, 3}, {1, 0, -1}) : col({1, 2, 3});
            const Operand x = r.xCx ? cplx(xDims, {}, {}) : real(xDims, {});
            std::vector<float> z(2 * N, -0.0f);
            for (std::size_t i = 0; i < z.size(); i += 2) z[i] = kInf;
            const Operand zi = r.ziCx ? cplx({2, N}, z, z) : real({2, N}, z);
            const Outputs got = filter(b, col({1, 5}), x, zi);
            EXPECT_EQ(got.y.dims, xDims);
            EXPECT_EQ(got.y.count(), 0u);
            Operand want = zi;
            if (r.kernel != std::string("RR") && !zi.cx) want = cplx(zi.dims, z, std::vector<float>(z.size(), 0.0f));
            EXPECT_TRUE(sameOperand("zf", got.zf, want)) << r.kernel;
        }
    }
}

// The host's output list always has room for two; asking for fewer outputs
// still gives y.
TEST(Outputs, FewerRequestedOutputsStillWork) {
    const Operand b = col({1, 1}), a = col({2}), x = col({1, 2, 3}), zi = col({0.5f});
    const Outputs want = referenceFilter(b, a, x, zi);
    for (int nlhs : {0, 1, 2}) {
        const std::size_t before = mxhost::liveArrays();
        {
            const Outcome r = callModule({b, a, x, zi}, nlhs);
            ASSERT_TRUE(r.ok) << r.message;
            ASSERT_EQ(r.outputs.size(), nlhs == 2 ? 2u : 1u);
            EXPECT_TRUE(sameOperand("y", r.outputs[0], want.y));
            if (nlhs == 2) {
                EXPECT_TRUE(sameOperand("zf", r.outputs[1], want.zf));
            }
        }
        EXPECT_EQ(mxhost::liveArrays(), before) << "nlhs " << nlhs;
    }
}

// Calls that break the argument contract are rejected through the host's
// error call, leaving nothing behind. L = 0 with longer coefficients is not a
// breach: it takes the zero-state path.
TEST(Contract, BreachesAreRejectedWithoutLeaks) {
    using mxhost::ArrayPtr;
    auto arr = [](const Operand& o) { return toHost(o); };
    auto withClass = [](mxClassID id) { return mxhost::makeArray({2, 1}, id); };
    struct Breach {
        const char* what;
        std::function<std::vector<ArrayPtr>()> inputs;
        int nlhs;
        bool ok;
    };
    auto four = [&](Operand b, Operand a, Operand x, Operand zi) {
        std::vector<ArrayPtr> v;
        for (const Operand* o : {&b, &a, &x, &zi}) v.push_back(arr(*o));
        return v;
    };
    const Operand b = col({1, 2}), a = col({1, 0.5f, 0.25f}), x = real({4, 3}, std::vector<float>(12, 1));
    const Operand zi = real({2, 3}, std::vector<float>(6, 0));
    const std::vector<Breach> breaches = {
        {"valid", [&] { return four(b, a, x, zi); }, 2, true},
        {"zero state with longer coefficients",
         [&] {
             return four(b, a, x, real({0, 3}, {}));
         },
         2, true},
        {"zero state with complex empty zi",
         [&] {
             return four(b, a, x, cplx({0, 1}, {}, {}));
         },
         2, true},
        {"three inputs",
         [&] {
             auto v = four(b, a, x, zi);
             v.pop_back();
             return v;
         },
         2, false},
        {"five inputs",
         [&] {
             auto v = four(b, a, x, zi);
             v.push_back(arr(zi));
             return v;
         },
         2, false},
        {"no inputs", [&] { return std::vector<ArrayPtr>{}; }, 2, false},
        {"three outputs", [&] { return four(b, a, x, zi); }, 3, false},
        {"empty b",
         [&] {
             return four(real({0, 1}, {}), a, x, zi);
         },
         2, false},
        {"empty a",
         [&] {
             return four(b, real({1, 0}, {}), x, zi);
         },
         2, false},
        {"zi first dimension too small",
         [&] {
             return four(b, a, x, real({1, 3}, std::vector<float>(3)));
         },
         2, false},
        {"zi first dimension too large",
         [&] {
             return four(b, a, x, real({3, 3}, std::vector<float>(9)));
         },
         2, false},
        {"zi element count",
         [&] {
             return four(b, a, x, real({2, 2}, std::vector<float>(4)));
         },
         2, false},
        {"zi columns of zero state",
         [&] {
             return four(col({1}), col({1}), x, real({0, 1}, {}));
         },
         2, true},
    };
    for (int pos = 0; pos < 4; ++pos) {
        for (mxClassID id : {mxDOUBLE_CLASS, mxINT32_CLASS}) {
            std::vector<ArrayPtr> v = four(b, a, x, zi);
            v[pos] = withClass(id);
            const std::size_t before = mxhost::liveArrays();
            std::vector<const mxArray*> raw;
            for (auto& p : v) raw.push_back(p.get());
            const mxhost::CallResult r = mxhost::callModule(moduleEntry(), 2, raw);
            EXPECT_FALSE(r.ok) << "class " << id << " at input " << pos;
            EXPECT_TRUE(r.outputs.empty());
            EXPECT_EQ(mxhost::liveArrays(), before);
        }
    }
    for (const Breach& c : breaches) {
        const std::size_t start = mxhost::liveArrays();
        {
            std::vector<ArrayPtr> v = c.inputs();
            std::vector<const mxArray*> raw;
            for (auto& p : v) raw.push_back(p.get());
            const std::size_t before = mxhost::liveArrays();
            const mxhost::CallResult r = mxhost::callModule(moduleEntry(), c.nlhs, raw);
            EXPECT_EQ(r.ok, c.ok) << c.what << ": " << r.message;
            if (!r.ok) {
                EXPECT_FALSE(r.identifier.empty()) << c.what;
                EXPECT_FALSE(r.message.empty()) << c.what;
                EXPECT_EQ(mxhost::liveArrays(), before) << c.what;
            }
            EXPECT_EQ(mxhost::scratchBlocksAlive(), 0u) << c.what;
        }
        EXPECT_EQ(mxhost::liveArrays(), start) << c.what;
    }
    // A missing (null) input is rejected too.
    ArrayPtr p = arr(b);
    EXPECT_FALSE(mxhost::callModule(moduleEntry(), 2, {p.get(), p.get(), p.get(), nullptr}).ok);
}

// The all-real kernel leaves its scratch to the host, the complex ones free
// their own; either way nothing stays alive after the call.
TEST(Host, ScratchIsReclaimedAfterEveryCall) {
    for (const Row& r : kRows) {
        Rng rng(9);
        const Operand b = rng.operand({3, 1}, r.bCx, 0), a = col({1, 0.5f}), x = rng.operand({6, 2}, r.xCx, 0);
        const Operand zi = rng.operand({2, 2}, r.ziCx, 0);
        const std::size_t live = mxhost::liveArrays(), reclaimed = mxhost::reclaimedTotal();
        const Outputs got = filter(b, a, x, zi);
        EXPECT_EQ(mxhost::liveArrays(), live) << r.kernel;
        if (r.kernel == std::string("RR")) {
            EXPECT_GT(mxhost::reclaimedTotal(), reclaimed);
        } else {
            EXPECT_EQ(mxhost::reclaimedTotal(), reclaimed) << r.kernel << " left scratch to the host";
        }
        EXPECT_EQ(mxhost::scratchBlocksAlive(), 0u) << r.kernel;
    }
}

// The host reclaims what a call allocated when the call ends through the
// error call.
TEST(Host, ErrorCallReclaimsScratch) {
    const std::size_t live = mxhost::liveArrays(), reclaimed = mxhost::reclaimedTotal();
    MexFunction failing = [](int, mxArray* plhs[], int, const mxArray* prhs[]) {
        mxCalloc(100, 4);
        mxDuplicateArray(prhs[0]);
        plhs[0] = mxCreateNumericArray(0, nullptr, mxSINGLE_CLASS, mxCOMPLEX);
        mexErrMsgIdAndTxt("test:fail", "failed after allocating %d blocks", 3);
    };
    mxhost::ArrayPtr in = mxhost::makeReal({2, 1}, {1, 2});
    const mxhost::CallResult r = mxhost::callModule(failing, 2, {in.get()});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.identifier, "test:fail");
    EXPECT_EQ(r.message, "failed after allocating 3 blocks");
    EXPECT_EQ(mxhost::reclaimedTotal() - reclaimed, 3u);
    EXPECT_EQ(mxhost::scratchBlocksAlive(), 0u);
    in.reset();
    EXPECT_EQ(mxhost::liveArrays(), live);
}

}  // namespace
}  // namespace ut
