// The code paths of the kernels and the choice among them. Every path
// computes bit for bit what the definition (recurrence.h with policies.h)
// computes; they differ only in speed. The kernels of kernels.h and the
// typed calls pick a path on each call from what the CPU offers; runOnPath
// takes an explicit one, for tests and benchmarks.
#pragma once

#include "record.h"

namespace marrowick {

enum class KernelPath {
    Definition,      // one channel at a time, the definition of the arithmetic
    OneChannelFast,  // one channel at a time, short states kept in registers
    Sse2,            // channels in lanes, baseline x86-64
    Avx2,
    Avx512,
    Neon,  // channels in lanes, baseline AArch64
};

// Every path in the order of the one list (paths.cpp): the instruction sets
// widest first, then the one-channel paths, the definition last.
constexpr int kPathCount = 6;
KernelPath pathAt(int i);

// Whether this CPU can run the path (asked of the CPU on every call).
bool pathAvailable(KernelPath path);
// "avx512", "avx2", "sse2", "neon", "one-channel" or "definition".
const char* pathName(KernelPath path);
// The widest instruction set's path this CPU has; the fast one-channel path
// on a target without lane paths.
KernelPath widestLanePath();
// The path the kernels take for a call of this shape on this CPU.
KernelPath choosePath(const FilterShape& shape);

// Runs the record on an explicit path, which must be available. The lane
// paths take column-major and channel-interleaved layouts with states of up
// to their tiles' length; any other call runs the fast one-channel path.
template <Kernel K>
void runOnPath(KernelPath path, const FilterRecord<K>& record);

}  // namespace marrowick
