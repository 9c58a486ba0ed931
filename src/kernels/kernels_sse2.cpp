// The vector paths for SSE2: groups of 4 channels (4 for the last few),
// 4x4 tile transposes. Built with this instruction set's target flags;
// called only when the CPU has it.
#define MARROWICK_LANES_NS sse2
namespace marrowick {
namespace simd {
namespace sse2 {
namespace {
constexpr int kWidestGroup = 4;
constexpr int kNativeWidth = 4;
constexpr int kNarrowestGroup = 4;
}  // namespace
}  // namespace sse2
}  // namespace simd
}  // namespace marrowick

#include "lanes.h"
