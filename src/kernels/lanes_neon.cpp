// The vector paths for NEON (Advanced SIMD): groups of 4 channels, 4x4 tile
// transposes, two doubles to a vector. Advanced SIMD with doubles is part of
// baseline AArch64, so this path runs on every such CPU.
#define MARROWICK_ISA neon
namespace marrowick {
inline namespace neon {
namespace {
constexpr int kWidestGroup = 4;
constexpr int kNarrowestGroup = 4;
}  // namespace
}  // namespace neon
}  // namespace marrowick

#include "cascade_lanes-inl.h"
#include "double_lanes-inl.h"
#include "filter_lanes-inl.h"

namespace marrowick {
inline namespace neon {

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

}  // namespace neon
}  // namespace marrowick
