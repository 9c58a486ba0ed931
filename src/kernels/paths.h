// The code paths of the kernels. Every path computes bit for bit what the
// one-channel path (recurrence.h with policies.h) computes; they differ only
// in speed. The kernels of kernels.h pick a path on each call from what the
// CPU offers; the overloads here take an explicit path, for tests and
// benchmarks.
#pragma once

#include <cstdint>

#include "marrowick/complex_ops.h"

namespace marrowick {

enum class KernelPath {
    Scalar,      // one channel at a time, the definition of the arithmetic
    OneChannel,  // one channel at a time, short states kept in registers
    Sse2,        // channels in lanes, baseline x86-64
    Avx2,
    Avx512,
};

// Whether this CPU can run the path (asked of the CPU on every call).
bool pathAvailable(KernelPath path);
// The path the kernels take for a call of this shape on this CPU.
KernelPath choosePath(int32_t M, int32_t N);
const char* pathName(KernelPath path);

// The kernels on an explicit path, which must be available. A path that
// cannot take the call (a state longer than its tiles) runs the one-channel
// path instead.
void KernelRR(KernelPath path, float* output, float* state, const float* b, const float* a, const float* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L);
void KernelCC(KernelPath path, ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b,
              const ComplexSingle* a, const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb,
              int32_t na, int32_t M, int32_t N, int32_t L);
void KernelCR(KernelPath path, ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b,
              const ComplexSingle* a, const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na,
              int32_t M, int32_t N, int32_t L);
void KernelRC(KernelPath path, ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
              const ComplexSingle* input, float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L);
void KernelRRZ(KernelPath path, ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
               const float* input, float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
               int32_t L);

}  // namespace marrowick
