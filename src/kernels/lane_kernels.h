// The vector paths of the five kernels, one set per instruction set, each
// built in its own translation unit with that set's target flags. They take
// the kernel arguments and return false, without touching anything, when the
// call is beyond them (a state longer than kMaxLaneState); the caller then
// runs the one-channel path.
#pragma once

#include <cstdint>

#include "marrowick/complex_ops.h"

namespace marrowick {
namespace simd {

// Longest state a group keeps in its stack tile.
constexpr int32_t kMaxLaneState = 128;

#define MARROWICK_DECLARE_LANE_KERNELS(ns)                                                                         \
    namespace ns {                                                                                                  \
    bool KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,     \
                  bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L);                        \
    bool KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,      \
                  const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na,          \
                  int32_t M, int32_t N, int32_t L);                                                                \
    bool KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,      \
                  const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,       \
                  int32_t N, int32_t L);                                                                           \
    bool KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,                     \
                  const ComplexSingle* input, float gain, bool applyGain, int32_t nb, int32_t na, int32_t M,       \
                  int32_t N, int32_t L);                                                                           \
    bool KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input, \
                   float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L);           \
    }

MARROWICK_DECLARE_LANE_KERNELS(sse2)
MARROWICK_DECLARE_LANE_KERNELS(avx2)
MARROWICK_DECLARE_LANE_KERNELS(avx512)

#undef MARROWICK_DECLARE_LANE_KERNELS

}  // namespace simd
}  // namespace marrowick
