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

}  // namespace marrowick
