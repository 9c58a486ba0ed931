// The vector paths for AVX-512: groups of 16 channels (8 for the last few),
// 16x16 tile transposes.
// Built with this instruction set's target flags; called only when the CPU
// has it.
#define MARROWICK_ISA avx512
namespace marrowick {
inline namespace avx512 {
namespace {
constexpr int kWidestGroup = 16;
constexpr int kNarrowestGroup = 8;
}  // namespace
}  // namespace avx512
}  // namespace marrowick

#include "lane_paths-inl.h"
