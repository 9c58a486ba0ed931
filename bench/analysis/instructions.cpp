// The instruction microbenchmarks (instructions.h): registers those of every
// instruction set this CPU has, and the clock chains bench/analysis/bounds converts
// times to cycles with: a dependent chain of integer additions (1 cycle each
// on every x86-64 core) and one of integer multiplications (3 cycles), and
// the memory bandwidth (memcpy, memset of 64 MiB).
//
//   marrowick_instructions [benchmark options]
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "instructions.h"

namespace instr {
void registerSse2();
void registerAvx2();
void registerAvx512();

namespace {

#define ADD_CHAIN12                                                                        \
    INSTR_X8(                                                                              \
        "add %%rdx, %%rax\n\tadd %%rdx, %%rax\n\tadd %%rdx, %%rax\n\tadd %%rdx, %%rax\n\t" \
        "add %%rdx, %%rax\n\tadd %%rdx, %%rax\n\tadd %%rdx, %%rax\n\tadd %%rdx, %%rax\n\t" \
        "add %%rdx, %%rax\n\tadd %%rdx, %%rax\n\tadd %%rdx, %%rax\n\tadd %%rdx, %%rax\n\t")
#define IMUL_CHAIN12                                                                           \
    INSTR_X8(                                                                                  \
        "imul %%rdx, %%rax\n\timul %%rdx, %%rax\n\timul %%rdx, %%rax\n\timul %%rdx, %%rax\n\t" \
        "imul %%rdx, %%rax\n\timul %%rdx, %%rax\n\timul %%rdx, %%rax\n\timul %%rdx, %%rax\n\t" \
        "imul %%rdx, %%rax\n\timul %%rdx, %%rax\n\timul %%rdx, %%rax\n\timul %%rdx, %%rax\n\t")
INSTR_BENCH(add_chain, "mov $1, %%edx\n\txor %%eax, %%eax\n\t", ADD_CHAIN12, 96, "rax", "rdx")
INSTR_BENCH(imul_chain, "mov $3, %%edx\n\tmov $1, %%eax\n\t", IMUL_CHAIN12, 96, "rax", "rdx")

// Memory bandwidth, for the kernels that stream more data than the caches
// hold: memcpy and memset of 64 MiB (ns per byte copied or set).
constexpr std::size_t kStreamBytes = std::size_t{64} << 20;

void memcpyStream(benchmark::State& state) {
    std::vector<char> src(kStreamBytes, 1), dst(kStreamBytes, 2);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kStreamBytes);
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_byte"] = benchmark::Counter(
        kStreamBytes / 1e9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void memsetStream(benchmark::State& state) {
    std::vector<char> dst(kStreamBytes, 2);
    for (auto _ : state) {
        std::memset(dst.data(), 0, kStreamBytes);
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_byte"] = benchmark::Counter(
        kStreamBytes / 1e9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace
}  // namespace instr

int main(int argc, char** argv) {
    instr::add("clock/add/latency", instr::add_chain);
    instr::add("clock/imul/latency", instr::imul_chain);
    instr::add("memory/memcpy", instr::memcpyStream);
    instr::add("memory/memset", instr::memsetStream);
    instr::registerSse2();
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) instr::registerAvx2();
    if (__builtin_cpu_supports("avx512f")) instr::registerAvx512();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
