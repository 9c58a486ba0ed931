// The vector paths for AVX-512: groups of 16 channels (8 for the last few),
// 16x16 tile transposes.
// Built with this instruction set's target flags; its table is used only
// when the CPU has it.
#define MARROWICK_ISA avx512
namespace marrowick {
inline namespace avx512 {
namespace {
constexpr int kWidestGroup = 16;
constexpr int kNarrowestGroup = 8;
}  // namespace
}  // namespace avx512
}  // namespace marrowick

#include "cascade_lanes-inl.h"
#include "double_lanes-inl.h"
#include "filter_lanes-inl.h"

namespace marrowick {
inline namespace avx512 {

extern const LaneTable kLaneTable;
const LaneTable kLaneTable = {
    {filterLanes<Kernel::CC>, cascadeLanes<Kernel::CC>},
    {filterLanes<Kernel::CR>, cascadeLanes<Kernel::CR>},
    {filterLanes<Kernel::RC>, cascadeLanes<Kernel::RC>},
    {filterLanes<Kernel::RRZ>, cascadeLanes<Kernel::RRZ>},
    {filterLanes<Kernel::RR>, cascadeLanes<Kernel::RR>},
    {doubleFilterLanes<Kernel::DRR>, doubleCascadeLanes<Kernel::DRR>},
    {doubleFilterLanes<Kernel::DCC>, doubleCascadeLanes<Kernel::DCC>},
    {doubleFilterLanes<Kernel::DCR>, doubleCascadeLanes<Kernel::DCR>},
};

}  // namespace avx512
}  // namespace marrowick
