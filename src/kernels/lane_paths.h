// The vector paths of the five kernels, one set per instruction set, each
// built in its own translation unit with that set's target flags and living
// in that set's namespace. Each takes the record and returns false, without
// touching anything, when the call is beyond it (a state longer than
// kMaxLaneState, or a layout that is neither column-major nor
// channel-interleaved); the caller then runs a one-channel path. The cascade
// paths (cascadeLanes, cascade_lanes-inl.h) take a piece of at most
// kCascadePiece sections the same way: all-real sections in any layout, and
// every other kernel mix over two channels or more in the two layouts of the
// filter paths.
#pragma once

#include <cstdint>

#include "record.h"

namespace marrowick {

// Longest state a group keeps in its stack tile.
constexpr int32_t kMaxLaneState = 128;

// Most sections the fast cascade paths keep in flight at once; longer
// cascades run in pieces of this many sections, each over the whole signal.
constexpr int32_t kCascadePiece = 32;

// The translation units that define the paths open their own instruction
// set's namespace inline (isa_namespace.h) and skip these declarations.
#ifndef MARROWICK_LANES_DEFINITIONS
namespace sse2 {
template <Kernel K>
bool filterLanes(const FilterRecord<K>& record);
template <Kernel K>
bool cascadeLanes(const CascadeRecord<K>& record);
}  // namespace sse2
namespace avx2 {
template <Kernel K>
bool filterLanes(const FilterRecord<K>& record);
template <Kernel K>
bool cascadeLanes(const CascadeRecord<K>& record);
}  // namespace avx2
namespace avx512 {
template <Kernel K>
bool filterLanes(const FilterRecord<K>& record);
template <Kernel K>
bool cascadeLanes(const CascadeRecord<K>& record);
}  // namespace avx512
#endif

}  // namespace marrowick
