// Instruction microbenchmarks: the time of one instruction of the kinds the
// kernels' paths issue, as throughput (many independent instructions in
// flight) and as latency (one dependent chain). Each benchmark runs an inline
// assembly loop of kBlocks blocks of kPerBlock instructions, so the compiler
// can neither fold nor reorder them; the counter ns_per_insn is CPU time per
// instruction (bench/analysis/bounds turns it into cycles with the clock chains of
// instructions.cpp).
//
// An instruction is written as five pieces, text = A <src> B <dst> C, with
// the register numbers filled in:
//   throughput: src = 15 (a fixed register, never written), dst = 0..11 in
//               turn, so no instruction waits for another (a destructive
//               two-operand form waits only for the one 12 places earlier);
//   latency:    src = dst = 0, so every instruction reads the one before.
// Two instructions alternating (a "pair") use dst 0..5 for the first and
// 6..11 for the second: the time per pair against the sum and the maximum of
// the two single throughputs says whether they compete for the same ports.
// All registers start at zero, so no input is ever subnormal, infinite or
// NaN.
//
// Each translation unit includes this header after its own target flags are
// set and registers its benchmarks (instructions_sse2.cpp, _avx2.cpp,
// _avx512.cpp); instructions.cpp registers only those the CPU can run.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

namespace instr {

constexpr int kPerBlock = 96;
constexpr int kBlocks = 1000;

inline void setCounter(benchmark::State& state, double insnsPerBlock) {
    state.counters["ns_per_insn"] = benchmark::Counter(
        kBlocks * insnsPerBlock / 1e9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

inline void add(const std::string& name, void (*fn)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name.c_str(), fn);
}

}  // namespace instr

// The assembly macros below are laid out by hand.
// clang-format off
#define INSTR_ONE(A, s, B, d, C) A #s B #d C "\n\t"
// 12 instructions, independent of each other.
#define INSTR_THR12(A, B, C)                                                                           \
    INSTR_ONE(A, 15, B, 0, C) INSTR_ONE(A, 15, B, 1, C) INSTR_ONE(A, 15, B, 2, C)                  \
    INSTR_ONE(A, 15, B, 3, C) INSTR_ONE(A, 15, B, 4, C) INSTR_ONE(A, 15, B, 5, C)                  \
    INSTR_ONE(A, 15, B, 6, C) INSTR_ONE(A, 15, B, 7, C) INSTR_ONE(A, 15, B, 8, C)                  \
    INSTR_ONE(A, 15, B, 9, C) INSTR_ONE(A, 15, B, 10, C) INSTR_ONE(A, 15, B, 11, C)
// 12 instructions, one chain.
#define INSTR_LAT12(A, B, C)                                                                           \
    INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C)                     \
    INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C)                     \
    INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C)                     \
    INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(A, 0, B, 0, C)
// 6 pairs of two different instructions, 12 in all, independent.
#define INSTR_PAIR12(A, B, C, D, E, F)                                                                 \
    INSTR_ONE(A, 15, B, 0, C) INSTR_ONE(D, 14, E, 6, F) INSTR_ONE(A, 15, B, 1, C)                  \
    INSTR_ONE(D, 14, E, 7, F) INSTR_ONE(A, 15, B, 2, C) INSTR_ONE(D, 14, E, 8, F)                  \
    INSTR_ONE(A, 15, B, 3, C) INSTR_ONE(D, 14, E, 9, F) INSTR_ONE(A, 15, B, 4, C)                  \
    INSTR_ONE(D, 14, E, 10, F) INSTR_ONE(A, 15, B, 5, C) INSTR_ONE(D, 14, E, 11, F)
// A chain of two different instructions alternating, 12 in all.
#define INSTR_CHAIN2(A, B, C, D, E, F)                                                                 \
    INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(D, 0, E, 0, F) INSTR_ONE(A, 0, B, 0, C)                     \
    INSTR_ONE(D, 0, E, 0, F) INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(D, 0, E, 0, F)                     \
    INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(D, 0, E, 0, F) INSTR_ONE(A, 0, B, 0, C)                     \
    INSTR_ONE(D, 0, E, 0, F) INSTR_ONE(A, 0, B, 0, C) INSTR_ONE(D, 0, E, 0, F)
#define INSTR_X8(X) X X X X X X X X

// The loop around a 96-instruction body; ZERO clears the registers first,
// INSTR_POST (vzeroupper in the AVX units) ends it.
#ifndef INSTR_POST
#define INSTR_POST ""
#endif
#define INSTR_LOOP(ZERO, BODY, CLOBBERS...)                                                           \
    do {                                                                                               \
        long n_ = instr::kBlocks;                                                                      \
        __asm__ __volatile__(ZERO "1:\n\t" BODY "dec %0\n\tjnz 1b\n\t" INSTR_POST : "+r"(n_) : : "cc", CLOBBERS); \
    } while (0)

// Defines a benchmark function NAME running BODY (kPerBlock instructions of
// which INSNS count, e.g. 96, or 48 for pairs counted per pair).
#define INSTR_BENCH(NAME, ZERO, BODY, INSNS, CLOBBERS...)                \
    static void NAME(benchmark::State& state) {                         \
        for (auto _ : state) INSTR_LOOP(ZERO, BODY, CLOBBERS);           \
        instr::setCounter(state, INSNS);                                 \
    }

// Throughput, latency, for one instruction form.
#define INSTR_TL(NAME, ZERO, A, B, C, CLOBBERS...)                                               \
    INSTR_BENCH(NAME##_thr, ZERO, INSTR_X8(INSTR_THR12(A, B, C)), 96, CLOBBERS)                    \
    INSTR_BENCH(NAME##_lat, ZERO, INSTR_X8(INSTR_LAT12(A, B, C)), 96, CLOBBERS)
// Throughput of a pair (time per pair), latency of the two alternating in one
// chain (time per pair).
#define INSTR_PAIR(NAME, ZERO, A, B, C, D, E, F, CLOBBERS...)                                    \
    INSTR_BENCH(NAME##_thr, ZERO, INSTR_X8(INSTR_PAIR12(A, B, C, D, E, F)), 48, CLOBBERS)          \
    INSTR_BENCH(NAME##_lat, ZERO, INSTR_X8(INSTR_CHAIN2(A, B, C, D, E, F)), 48, CLOBBERS)

#define INSTR_REGISTER(PREFIX, NAME)                          \
    instr::add(std::string(PREFIX) + "/throughput", NAME##_thr); \
    instr::add(std::string(PREFIX) + "/latency", NAME##_lat)

// Zeroing of xmm0..xmm15: legacy SSE, or VEX (which clears the whole ymm
// or zmm register).
#define INSTR_ZS(i) "xorps %%xmm" #i ", %%xmm" #i "\n\t"
#define INSTR_ZV(i) "vxorps %%xmm" #i ", %%xmm" #i ", %%xmm" #i "\n\t"
#define INSTR_ZERO16(Z)                                                                                \
    Z(0) Z(1) Z(2) Z(3) Z(4) Z(5) Z(6) Z(7) Z(8) Z(9) Z(10) Z(11) Z(12) Z(13) Z(14) Z(15)
#define INSTR_ZERO_SSE INSTR_ZERO16(INSTR_ZS)
#define INSTR_ZERO_VEX INSTR_ZERO16(INSTR_ZV)

#define INSTR_XMM_CLOBBERS                                                                                   \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", \
        "xmm13", "xmm14", "xmm15"
// clang-format on
