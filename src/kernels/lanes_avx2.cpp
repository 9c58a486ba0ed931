// The vector paths for AVX2: groups of 8 channels (4 for the last few),
// 8x8 tile transposes.
// Built with this instruction set's target flags; its table is used only
// when the CPU has it.
#define MARROWICK_ISA avx2
namespace marrowick {
inline namespace avx2 {
namespace {
constexpr int kWidestGroup = 8;
constexpr int kNarrowestGroup = 4;
}  // namespace
}  // namespace avx2
}  // namespace marrowick

#include "cascade_lanes-inl.h"
#include "double_lanes-inl.h"
#include "filter_lanes-inl.h"

namespace marrowick {
inline namespace avx2 {

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

}  // namespace avx2
}  // namespace marrowick
