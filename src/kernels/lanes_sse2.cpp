// The vector paths for SSE2: groups of 4 channels, 4x4 tile transposes.
// SSE2 is part of baseline x86-64, so this path runs on every CPU.
#define MARROWICK_ISA sse2
namespace marrowick {
inline namespace sse2 {
namespace {
constexpr int kWidestGroup = 4;
constexpr int kNarrowestGroup = 4;
}  // namespace
}  // namespace sse2
}  // namespace marrowick

#include "cascade_lanes-inl.h"
#include "double_lanes-inl.h"
#include "filter_lanes-inl.h"

namespace marrowick {
inline namespace sse2 {

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

}  // namespace sse2
}  // namespace marrowick
