#include "run.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>
#include <vector>

#include "kernels/cascade.h"
#include "kernels/kernels.h"

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
            call.input = t.io.inputAt(i0, jg);
            call.inLayout = t.io.inLayout;
            call.output = t.io.outputAt(i0, jg);
            call.outLayout = t.io.outLayout;
            call.state = t.io.state + jg * t.L * static_cast<int64_t>(t.io.stateItem);
            runFilterCall(call);
        }
    }
}

// The most bytes of states one group of channels gathers.
constexpr int64_t kGatherBytes = int64_t{1} << 20;

// Channels [j0, j0 + n) of the cascade, in groups and pieces within the
// limit. The states of a group are (s * ng + j) * 2 in the call; unless the
// group is every channel, they are gathered into a buffer (of at most
// kGatherBytes, whole lane tiles of 16 channels) and scattered back.
void runCascadeChannels(const CascadeTask& t, int64_t j0, int64_t n, int64_t limit) {
    const int64_t rowBytes = 2 * static_cast<int64_t>(t.io.stateItem);  // one section's states of one channel
    int64_t group = std::max<int64_t>(1, std::min({n, limit, limit / (2 * static_cast<int64_t>(t.sections))}));
    if (group < t.N) group = std::min(group, std::max<int64_t>(16, kGatherBytes / (t.sections * rowBytes) / 16 * 16));
    std::vector<char> buffer;
    for (int64_t jg = j0; jg < j0 + n; jg += group) {
        const int64_t ng = std::min(group, j0 + n - jg);
        const bool whole = ng == t.N;
        char* state = t.io.state;
        if (!whole) {
            buffer.resize(static_cast<std::size_t>(t.sections * ng * rowBytes));
            state = buffer.data();
            for (int64_t s = 0; s < t.sections; ++s)
                std::memcpy(state + s * ng * rowBytes, t.io.state + (s * t.N + jg) * rowBytes,
                            static_cast<std::size_t>(ng * rowBytes));
        }
        const int64_t piece = std::max<int64_t>(1, std::min(t.M, limit / ng));
        for (int64_t i0 = 0; i0 < t.M; i0 += piece) {
            const int64_t m = std::min(piece, t.M - i0);
            CascadeCall call{};
            call.first = t.first;
            call.sections = t.sections;
            call.M = static_cast<int32_t>(m);
            call.N = static_cast<int32_t>(ng);
            call.sos = t.sos;
            call.input = t.io.inputAt(i0, jg);
            call.inLayout = t.io.inLayout;
            call.output = t.io.outputAt(i0, jg);
            call.outLayout = t.io.outLayout;
            call.state = state;
            runCascadeCall(call);
        }
        if (!whole)
            for (int64_t s = 0; s < t.sections; ++s)
                std::memcpy(t.io.state + (s * t.N + jg) * rowBytes, state + s * ng * rowBytes,
                            static_cast<std::size_t>(ng * rowBytes));
    }
}

// Runs run(j0, n) over the N channels on `workers` threads, the calling one
// included: whole shares of 16 channels where there are enough of them. An
// exception on any thread is rethrown here once all have finished.
template <class Run>
void onThreads(int64_t N, int64_t workers, const Run& run) {
    workers = std::max<int64_t>(1, std::min(workers, N));
    if (workers == 1) {
        run(0, N);
        return;
    }
    int64_t share = (N + workers - 1) / workers;
    if (N >= 16 * workers) share = (share + 15) / 16 * 16;
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>((N + share - 1) / share));
    auto guarded = [&run, &errors, share](int64_t j, int64_t n) {
        try {
            run(j, n);
        } catch (...) {
            errors[static_cast<std::size_t>(j / share)] = std::current_exception();
        }
    };
    try {
        for (int64_t j = share; j < N; j += share) {
            const int64_t n = std::min(share, N - j);
            threads.emplace_back(guarded, j, n);
        }
    } catch (...) {
        for (std::thread& th : threads) th.join();
        throw;
    }
    guarded(0, std::min(share, N));
    for (std::thread& th : threads) th.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace

void runTask(const Task& t, int64_t workers) {
    if (t.M == 0 || t.N == 0) return;
    const int64_t limit = gPieceLimit.load();
    onThreads(t.N, workers, [&t, limit](int64_t j0, int64_t n) { runChannels(t, j0, n, limit); });
}

void runCascadeTask(const CascadeTask& t, int64_t workers) {
    if (t.M == 0 || t.N == 0) return;
    const int64_t limit = gPieceLimit.load();
    onThreads(t.N, workers, [&t, limit](int64_t j0, int64_t n) { runCascadeChannels(t, j0, n, limit); });
}

int64_t setPieceLimit(int64_t limit) { return gPieceLimit.exchange(limit); }

}  // namespace marrowick::python
