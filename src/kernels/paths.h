// The code paths of the kernels, and the typed filter call that the fronts
// beside the host use. Every path computes bit for bit what the definition
// (recurrence.h with policies.h) computes; they differ only in speed. The
// kernels of kernels.h pick a path on each call from what the CPU offers;
// runOnPath takes an explicit one, for tests and benchmarks.
#pragma once

#include <cstdint>

#include "marrowick/complex_ops.h"
#include "record.h"

namespace marrowick {

enum class KernelPath {
    Definition,      // one channel at a time, the definition of the arithmetic
    OneChannelFast,  // one channel at a time, short states kept in registers
    Sse2,            // channels in lanes, baseline x86-64
    Avx2,
    Avx512,
};

// Whether this CPU can run the path (asked of the CPU on every call).
bool pathAvailable(KernelPath path);
// The path the kernels take for a call of this shape on this CPU.
KernelPath choosePath(const FilterShape& shape);
const char* pathName(KernelPath path);

// Runs the record on an explicit path, which must be available. The lane
// paths take column-major and channel-interleaved layouts with states of up
// to their tiles' length; any other call runs the fast one-channel path.
template <Kernel K>
void runOnPath(KernelPath path, const FilterRecord<K>& record);

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
void runFilterCall(const FilterCall& call);
void runFilterCall(const FilterCall& call, KernelPath path);

// One call through n second-order sections. Section s has coefficients
// sos[6*s .. 6*s+5] = b0 b1 b2 a0 a1 a2 (float when the sections are real,
// ComplexSingle when complex). `first` is the kernel of the first section by
// the dispatch table (chooseKernel of coef/data/state complexity); the later
// sections run the kernel a chain of calls produces (CR->CC, RRZ->RC, else the
// same). State: 2 per section and channel; section s, channel j at
// (s * N + j) * 2, float when first == RR, ComplexSingle otherwise; read and
// written in place. Input of the first kernel's In type; output of its Out
// type. Every section computes bit for bit what a call of the typed filter
// call with that section's b, a and states on the previous section's output
// computes, its gain derived from its own a0. The input and the output may
// be the same buffer in the same layout when their types agree.
struct CascadeCall {
    Kernel first;
    int32_t sections;
    int32_t M;  // samples
    int32_t N;  // channels
    const void* sos;
    const void* input;
    Layout inLayout;
    void* output;
    Layout outLayout;
    void* state;
};
void runCascadeCall(const CascadeCall& call);                   // chooses the path
void runCascadeCall(const CascadeCall& call, KernelPath path);  // explicit path (tests/bench)
// The path runCascadeCall(call) takes on this CPU.
KernelPath chooseCascadePath(const CascadeCall& call);

}  // namespace marrowick
