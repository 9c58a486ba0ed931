// The five filter kernels and their gain front ends. Every kernel takes the
// output buffer, the state buffer (read and written in place), b, a, the
// input, gain, applyGain, nb, na, M, N and L; every front end takes the five
// buffers and nb, na, M, L, N, derives gain and applyGain from a[0] and runs
// its kernel. Also here: the typed filter call, which the fronts beside the
// host use.
#pragma once

#include <cstdint>

#include "marrowick/complex_ops.h"
#include "paths.h"
#include "record.h"

namespace marrowick {

// Real coefficients, data and state.
void KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,
              bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L);
// Complex coefficients over complex data.
void KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
              int32_t N, int32_t L);
// Complex coefficients over real data.
void KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L);
// Real coefficients over complex data.
void KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const ComplexSingle* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L);
// Real coefficients and data with a complex state.
void KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
               float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L);

// Gain rules, shared by the front ends.
struct RealGain {
    float gain;
    bool applyGain;
};
RealGain realGain(float a0);
struct ComplexGain {
    ComplexSingle gain;
    bool applyGain;
};
ComplexGain complexGain(ComplexSingle a0);

void computeGain(float* output, float* state, const float* b, const float* a, const float* input, int32_t nb,
                 int32_t na, int32_t M, int32_t L, int32_t N);
void computeGain(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
                 const ComplexSingle* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N);
void computeGain(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
                 const float* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N);
void computeGain(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
                 const ComplexSingle* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N);
void computeGain(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
                 int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N);

// The typed filter call: the kernel of the dispatch table on buffers of its
// own types (float, or interleaved ComplexSingle), the input and output in any
// layout, the state L x N with channel j's states at j * L. The gain is
// derived from a[0] exactly as the kernels' front ends derive it.
struct FilterCall {
    Kernel kernel;
    FilterShape shape;
    const void* b;
    const void* a;
    const void* input;
    Layout inLayout;
    void* output;
    Layout outLayout;
    void* state;
};
void runFilterCall(const FilterCall& call);                   // chooses the path
void runFilterCall(const FilterCall& call, KernelPath path);  // explicit path (tests/bench)

}  // namespace marrowick
