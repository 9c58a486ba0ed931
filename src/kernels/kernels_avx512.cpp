// The vector paths for AVX512: groups of 16 channels (8 for the last few),
// 16x16 tile transposes. Built with this instruction set's target flags;
// called only when the CPU has it.
#define MARROWICK_LANES_NS avx512
namespace marrowick {
namespace simd {
namespace avx512 {
namespace {
constexpr int kWidestGroup = 16;
constexpr int kNativeWidth = 16;
constexpr int kNarrowestGroup = 8;
}  // namespace
}  // namespace avx512
}  // namespace simd
}  // namespace marrowick

#include "lanes.h"
