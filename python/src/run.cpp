#include "run.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "kernels/paths.h"

namespace marrowick::python {
namespace {

std::atomic<int64_t> gPieceLimit{std::numeric_limits<int32_t>::max()};

// Channels [j0, j0 + n) of the task, in groups and pieces within the limit.
void runChannels(const Task& t, int64_t j0, int64_t n, int64_t limit) {
    const int64_t group = std::max<int64_t>(1, std::min({n, limit, limit / std::max<int64_t>(t.L, 1)}));
    for (int64_t jg = j0; jg < j0 + n; jg += group) {
        const int64_t ng = std::min(group, j0 + n - jg);
        const int64_t piece = std::max<int64_t>(1, std::min(t.M, limit / ng));
        for (int64_t i0 = 0; i0 < t.M; i0 += piece) {
            const int64_t m = std::min(piece, t.M - i0);
            FilterCall call{};
            call.kernel = t.kernel;
            call.shape = FilterShape{t.nb, t.na, static_cast<int32_t>(m), static_cast<int32_t>(ng), t.L};
            call.b = t.b;
            call.a = t.a;
            call.input = t.input + (i0 * t.inLayout.sample + jg * t.inLayout.channel) * static_cast<int64_t>(t.inItem);
            call.inLayout = t.inLayout;
            call.output =
                t.output + (i0 * t.outLayout.sample + jg * t.outLayout.channel) * static_cast<int64_t>(t.outItem);
            call.outLayout = t.outLayout;
            call.state = t.state + jg * t.L * static_cast<int64_t>(t.stateItem);
            runFilterCall(call);
        }
    }
}

}  // namespace

void runTask(const Task& t, int64_t workers) {
    if (t.M == 0 || t.N == 0) return;
    const int64_t limit = gPieceLimit.load();
    workers = std::max<int64_t>(1, std::min(workers, t.N));
    if (workers == 1) {
        runChannels(t, 0, t.N, limit);
        return;
    }
    int64_t share = (t.N + workers - 1) / workers;
    if (t.N >= 16 * workers) share = (share + 15) / 16 * 16;
    std::vector<std::thread> threads;
    try {
        for (int64_t j = share; j < t.N; j += share) {
            const int64_t n = std::min(share, t.N - j);
            threads.emplace_back([&t, j, n, limit] { runChannels(t, j, n, limit); });
        }
    } catch (...) {
        for (std::thread& th : threads) th.join();
        throw;
    }
    runChannels(t, 0, std::min(share, t.N), limit);
    for (std::thread& th : threads) th.join();
}

int64_t setPieceLimit(int64_t limit) { return gPieceLimit.exchange(limit); }

}  // namespace marrowick::python
