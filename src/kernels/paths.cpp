// The path choice: the one list of paths (each one's name, whether this CPU
// has it, and the table of vector paths its instruction set's translation
// unit exports, lanes.h), from which the ladder of instruction sets, the
// names and the lookups all follow.
#include "paths.h"

#include <cstddef>

#include "double_recurrence.h"
#include "lanes.h"
#include "record.h"
#include "recurrence.h"

namespace marrowick {

// The table of each instruction set, defined in its own translation unit.
// The build compiles the x86 units only for x86-64 and the NEON unit only for
// AArch64 (CMakeLists.txt's MARROWICK_LANE_ISAS, which it checks against the
// list below); these are referenced only on their target.
namespace sse2 {
extern const LaneTable kLaneTable;
}
namespace avx2 {
extern const LaneTable kLaneTable;
}
namespace avx512 {
extern const LaneTable kLaneTable;
}
namespace neon {
extern const LaneTable kLaneTable;
}

namespace {

bool always() { return true; }

#if defined(__x86_64__)
bool cpuHasAvx2() { return __builtin_cpu_supports("avx2"); }
bool cpuHasAvx512() { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2"); }
// The table and the CPU's test of an x86-64 instruction set's path; none on
// another target, where the path is never available.
#define MARROWICK_X86_64_LANES(isa, test) &isa::kLaneTable, test
#else
#define MARROWICK_X86_64_LANES(isa, test) nullptr, nullptr
#endif
#if defined(__aarch64__)
#define MARROWICK_AARCH64_LANES(isa, test) &isa::kLaneTable, test
#else
#define MARROWICK_AARCH64_LANES(isa, test) nullptr, nullptr
#endif

struct PathRow {
    KernelPath path;
    const char* name;
    const LaneTable* lanes;  // null for the one-channel paths and another target's
    bool (*available)();     // null for another target's instruction set
};

// Every path, the instruction sets widest first (the ladder the choice walks
// down), then the one-channel paths. SSE2 is baseline x86-64 and Advanced
// SIMD with doubles baseline AArch64, so neither asks the CPU.
constexpr PathRow kPaths[] = {
    {KernelPath::Avx512, "avx512", MARROWICK_X86_64_LANES(avx512, cpuHasAvx512)},
    {KernelPath::Avx2, "avx2", MARROWICK_X86_64_LANES(avx2, cpuHasAvx2)},
    {KernelPath::Sse2, "sse2", MARROWICK_X86_64_LANES(sse2, always)},
    {KernelPath::Neon, "neon", MARROWICK_AARCH64_LANES(neon, always)},
    {KernelPath::OneChannelFast, "one-channel", nullptr, always},
    {KernelPath::Definition, "definition", nullptr, always},
};
static_assert(sizeof kPaths / sizeof kPaths[0] == kPathCount, "kPathCount counts the rows of kPaths");

const PathRow* row(KernelPath path) {
    for (const PathRow& r : kPaths) {
        if (r.path == path) return &r;
    }
    return nullptr;
}

}  // namespace

KernelPath pathAt(int i) { return kPaths[i].path; }

bool pathAvailable(KernelPath path) {
    const PathRow* r = row(path);
    return r != nullptr && r->available != nullptr && r->available();
}

const char* pathName(KernelPath path) {
    const PathRow* r = row(path);
    return r != nullptr ? r->name : "?";
}

KernelPath widestLanePath() {
    for (const PathRow& r : kPaths) {
        if (r.lanes != nullptr && r.available()) return r.path;
    }
    return KernelPath::OneChannelFast;
}

// One channel keeps a one-channel path: its recurrence is latency bound
// either way, and it needs no transposes.
KernelPath choosePath(const FilterShape& shape) {
    if (shape.N < 2 || shape.M < 1) return KernelPath::OneChannelFast;
    return widestLanePath();
}

template <Kernel K>
const LaneEntries<K>* laneEntries(KernelPath path) {
    const PathRow* r = row(path);
    const LaneTable* t = r != nullptr ? r->lanes : nullptr;
    if (t == nullptr) return nullptr;
    if constexpr (K == Kernel::CC) {
        return &t->cc;
    } else if constexpr (K == Kernel::CR) {
        return &t->cr;
    } else if constexpr (K == Kernel::RC) {
        return &t->rc;
    } else if constexpr (K == Kernel::RRZ) {
        return &t->rrz;
    } else if constexpr (K == Kernel::RR) {
        return &t->rr;
    } else if constexpr (K == Kernel::DRR) {
        return &t->drr;
    } else if constexpr (K == Kernel::DCC) {
        return &t->dcc;
    } else {
        return &t->dcr;
    }
}

// The vector path of the chosen instruction set when it takes the call, else
// the fast one-channel path.
template <Kernel K>
void runOnPath(KernelPath path, const FilterRecord<K>& record) {
    if constexpr (isDoubleKernel(K)) {
        if (path == KernelPath::Definition) {
            dbl::filterDefinition(record);
            return;
        }
        const LaneEntries<K>* lanes = laneEntries<K>(path);
        if (lanes == nullptr || !lanes->filter(record)) dbl::filterOneChannelFast(record);
    } else {
        if (path == KernelPath::Definition) {
            filterDefinition(record);
            return;
        }
        const LaneEntries<K>* lanes = laneEntries<K>(path);
        if (lanes == nullptr || !lanes->filter(record)) filterOneChannelFast(record);
    }
}

template const LaneEntries<Kernel::CC>* laneEntries<Kernel::CC>(KernelPath);
template const LaneEntries<Kernel::CR>* laneEntries<Kernel::CR>(KernelPath);
template const LaneEntries<Kernel::RC>* laneEntries<Kernel::RC>(KernelPath);
template const LaneEntries<Kernel::RRZ>* laneEntries<Kernel::RRZ>(KernelPath);
template const LaneEntries<Kernel::RR>* laneEntries<Kernel::RR>(KernelPath);
template void runOnPath<Kernel::CC>(KernelPath, const FilterRecord<Kernel::CC>&);
template void runOnPath<Kernel::CR>(KernelPath, const FilterRecord<Kernel::CR>&);
template void runOnPath<Kernel::RC>(KernelPath, const FilterRecord<Kernel::RC>&);
template void runOnPath<Kernel::RRZ>(KernelPath, const FilterRecord<Kernel::RRZ>&);
template void runOnPath<Kernel::RR>(KernelPath, const FilterRecord<Kernel::RR>&);
template const LaneEntries<Kernel::DRR>* laneEntries<Kernel::DRR>(KernelPath);
template const LaneEntries<Kernel::DCC>* laneEntries<Kernel::DCC>(KernelPath);
template const LaneEntries<Kernel::DCR>* laneEntries<Kernel::DCR>(KernelPath);
template void runOnPath<Kernel::DRR>(KernelPath, const FilterRecord<Kernel::DRR>&);
template void runOnPath<Kernel::DCC>(KernelPath, const FilterRecord<Kernel::DCC>&);
template void runOnPath<Kernel::DCR>(KernelPath, const FilterRecord<Kernel::DCR>&);

}  // namespace marrowick
