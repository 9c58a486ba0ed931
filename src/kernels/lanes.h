// The vector paths of one instruction set as the path choice sees them: a
// table of entry points, a filter and a cascade path per kernel, which the
// translation unit of each instruction set (lanes_<isa>.cpp, one for each
// instruction set's row of the list of paths in paths.cpp) fills with its own
// paths, built with its own target flags. Each entry takes the record and
// returns false, without touching anything, when the call is beyond it (a
// state longer than kMaxLaneState, or a layout that is neither column-major
// nor channel-interleaved); the caller then runs a one-channel path. The
// cascade entries take a piece of at most kCascadePiece sections the same
// way: all-real sections in any layout, and every other kernel mix over two
// channels or more in the two layouts of the filter paths.
#pragma once

#include <cstdint>

#include "paths.h"
#include "record.h"

namespace marrowick {

// Longest state a group keeps in its stack tile.
constexpr int32_t kMaxLaneState = 128;

// Most sections the fast cascade paths keep in flight at once; longer
// cascades run in pieces of this many sections, each over the whole signal.
constexpr int32_t kCascadePiece = 32;

template <Kernel K>
struct LaneEntries {
    bool (*filter)(const FilterRecord<K>& record);
    bool (*cascade)(const CascadeRecord<K>& record);
};

// The vector paths of one instruction set, the kernels in the order of
// Kernel. Each translation unit defines its own as `kLaneTable` in its
// instruction set's namespace, with constants only, so that nothing of a
// wider instruction set runs before the CPU has been asked.
struct LaneTable {
    LaneEntries<Kernel::CC> cc;
    LaneEntries<Kernel::CR> cr;
    LaneEntries<Kernel::RC> rc;
    LaneEntries<Kernel::RRZ> rrz;
    LaneEntries<Kernel::RR> rr;
    LaneEntries<Kernel::DRR> drr;
    LaneEntries<Kernel::DCC> dcc;
    LaneEntries<Kernel::DCR> dcr;
};

// Kernel K's vector paths on an instruction set's path (which must be
// available); null for the one-channel paths.
template <Kernel K>
const LaneEntries<K>* laneEntries(KernelPath path);

}  // namespace marrowick
