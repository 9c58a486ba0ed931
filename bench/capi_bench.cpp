// The cost of a call through the C library beyond the typed filter call, on
// one sample of one channel with nb = na = 3 (the W7 shape), where the call's
// fixed cost is all there is: the typed call (runFilterCall) on ready
// buffers, marrowick_lfilter with the states in place (zf == zi) and with zf
// NULL (a scratch state), and a streaming object's process. Same run, same
// buffers; the difference is the library's argument checks and dispatch.
//
//   marrowick_capi_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "kernels/paths.h"
#include "marrowick.h"

namespace {

const float kB[3] = {0.25f, 0.5f, 0.25f}, kA[3] = {1.0f, -0.5f, 0.125f};

void TypedCall(benchmark::State& state) {
    float x = 1.0f, y = 0.0f, z[2] = {0.0f, 0.0f};
    marrowick::FilterCall call{};
    call.kernel = marrowick::Kernel::RR;
    call.shape = marrowick::FilterShape{3, 3, 1, 1, 2};
    call.b = kB;
    call.a = kA;
    call.input = &x;
    call.inLayout = marrowick::Layout{1, 1};
    call.output = &y;
    call.outLayout = marrowick::Layout{1, 1};
    call.state = z;
    for (auto _ : state) {
        marrowick::runFilterCall(call);
        benchmark::DoNotOptimize(y);
    }
}

void LibraryCall(benchmark::State& state) {
    float x = 1.0f, y = 0.0f, z[2] = {0.0f, 0.0f};
    for (auto _ : state) {
        if (marrowick_lfilter(MARROWICK_RR, kB, 3, kA, 3, 1, 1, &x, nullptr, &y, nullptr, z, z, nullptr) != 0)
            state.SkipWithError("refused");
        benchmark::DoNotOptimize(y);
    }
}

void LibraryCallScratchState(benchmark::State& state) {
    float x = 1.0f, y = 0.0f, z[2] = {0.0f, 0.0f};
    for (auto _ : state) {
        if (marrowick_lfilter(MARROWICK_RR, kB, 3, kA, 3, 1, 1, &x, nullptr, &y, nullptr, z, nullptr, nullptr) != 0)
            state.SkipWithError("refused");
        benchmark::DoNotOptimize(y);
    }
}

void StreamProcess(benchmark::State& state) {
    float x = 1.0f, y = 0.0f;
    marrowick_filter* f = nullptr;
    if (marrowick_filter_create(&f, MARROWICK_RR, kB, 3, kA, 3, 1, nullptr) != 0) state.SkipWithError("refused");
    for (auto _ : state) {
        marrowick_filter_process(f, 1, &x, nullptr, &y, nullptr);
        benchmark::DoNotOptimize(y);
    }
    marrowick_filter_destroy(f);
}

}  // namespace

BENCHMARK(TypedCall);
BENCHMARK(LibraryCall);
BENCHMARK(LibraryCallScratchState);
BENCHMARK(StreamProcess);
BENCHMARK_MAIN();
