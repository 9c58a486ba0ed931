// The vector paths for AVX2: groups of 8 channels (4 for the last few),
// 8x8 tile transposes.
// Built with this instruction set's target flags; called only when the CPU
// has it.
#define MARROWICK_ISA avx2
namespace marrowick {
inline namespace avx2 {
namespace {
constexpr int kWidestGroup = 8;
constexpr int kNarrowestGroup = 4;
}  // namespace
}  // namespace avx2
}  // namespace marrowick

#include "lane_paths-inl.h"
