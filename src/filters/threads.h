// Channels shared among threads, the calling one included.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace marrowick::filters {

// The thread count `workers` stands for, for every front (the package, Dask,
// the C library): one per core for -1, else itself, at most four per core
// (more only queue on the cores and cost a stack each).
inline int64_t workerCount(int64_t workers) {
    if (workers != -1 && workers <= 1) return 1;  // without asking for the cores, which costs a system call
    const unsigned online = std::thread::hardware_concurrency();
    const int64_t cores = online > 0 ? online : 1;
    if (workers == -1) return cores;
    return std::max<int64_t>(1, std::min(workers, 4 * cores));
}

// Runs run(j0, n) over the N channels on `workers` threads (-1: one per
// core): whole shares of 16 channels where there are enough of them. An
// exception on any thread is rethrown here once all have finished.
template <class Run>
void onThreads(int64_t N, int64_t workers, const Run& run) {
    workers = std::max<int64_t>(1, std::min(workerCount(workers), N));
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
        for (int64_t j = share; j < N; j += share) threads.emplace_back(guarded, j, std::min(share, N - j));
    } catch (...) {
        for (std::thread& th : threads) th.join();
        throw;
    }
    guarded(0, std::min(share, N));
    for (std::thread& th : threads) th.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace marrowick::filters
