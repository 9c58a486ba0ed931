// The vector paths of the double-precision kernels: groups of channels side
// by side, one channel per lane of doubles, forming every value by the
// arithmetic of double_step.h. Each entry returns false, without touching
// anything, for a call beyond it; the caller then runs the one-channel path.
//
// Included by the translation unit of each instruction set (lanes_sse2.cpp
// and so on), after its group widths.
#pragma once

#include "double_recurrence.h"
#include "lanes-inl.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace {

template <Kernel K>
bool doubleFilterLanes(const FilterRecord<K>&) {
    return false;
}

template <Kernel K>
bool doubleCascadeLanes(const CascadeRecord<K>&) {
    return false;
}

}  // namespace
}  // namespace MARROWICK_ISA
}  // namespace marrowick
