// The path choice: which paths this CPU has, the one ladder of instruction
// sets, and the table of vector paths each instruction set's translation unit
// exports (lanes.h), looked up once per call.
#include "paths.h"

#include "double_recurrence.h"
#include "lanes.h"
#include "record.h"
#include "recurrence.h"

namespace marrowick {

// The table of each instruction set of the target, defined in its own
// translation unit. The build compiles the x86 units only for x86-64 and the
// NEON unit only for AArch64; any other target has the one-channel paths.
#if defined(__x86_64__)
namespace sse2 {
extern const LaneTable kLaneTable;
}
namespace avx2 {
extern const LaneTable kLaneTable;
}
namespace avx512 {
extern const LaneTable kLaneTable;
}
#elif defined(__aarch64__)
namespace neon {
extern const LaneTable kLaneTable;
}
#endif

bool pathAvailable(KernelPath path) {
    switch (path) {
        case KernelPath::Definition:
        case KernelPath::OneChannelFast: return true;
#if defined(__x86_64__)
        case KernelPath::Sse2: return true;
        case KernelPath::Avx2: return __builtin_cpu_supports("avx2");
        case KernelPath::Avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
        case KernelPath::Neon: return false;
#elif defined(__aarch64__)
        // Advanced SIMD with doubles is part of baseline AArch64.
        case KernelPath::Neon: return true;
        case KernelPath::Sse2:
        case KernelPath::Avx2:
        case KernelPath::Avx512: return false;
#else
        case KernelPath::Sse2:
        case KernelPath::Avx2:
        case KernelPath::Avx512:
        case KernelPath::Neon: return false;
#endif
    }
    return false;
}

const char* pathName(KernelPath path) {
    switch (path) {
        case KernelPath::Definition: return "definition";
        case KernelPath::OneChannelFast: return "one-channel";
        case KernelPath::Sse2: return "sse2";
        case KernelPath::Avx2: return "avx2";
        case KernelPath::Avx512: return "avx512";
        case KernelPath::Neon: return "neon";
    }
    return "?";
}

KernelPath widestLanePath() {
#if defined(__x86_64__)
    if (pathAvailable(KernelPath::Avx512)) return KernelPath::Avx512;
    if (pathAvailable(KernelPath::Avx2)) return KernelPath::Avx2;
    return KernelPath::Sse2;
#elif defined(__aarch64__)
    return KernelPath::Neon;
#else
    return KernelPath::OneChannelFast;
#endif
}

// One channel keeps a one-channel path: its recurrence is latency bound
// either way, and it needs no transposes.
KernelPath choosePath(const FilterShape& shape) {
    if (shape.N < 2 || shape.M < 1) return KernelPath::OneChannelFast;
    return widestLanePath();
}

namespace {

const LaneTable* laneTable(KernelPath path) {
    switch (path) {
        case KernelPath::Definition:
        case KernelPath::OneChannelFast: return nullptr;
#if defined(__x86_64__)
        case KernelPath::Sse2: return &sse2::kLaneTable;
        case KernelPath::Avx2: return &avx2::kLaneTable;
        case KernelPath::Avx512: return &avx512::kLaneTable;
        case KernelPath::Neon: return nullptr;
#elif defined(__aarch64__)
        case KernelPath::Neon: return &neon::kLaneTable;
        case KernelPath::Sse2:
        case KernelPath::Avx2:
        case KernelPath::Avx512: return nullptr;
#else
        case KernelPath::Sse2:
        case KernelPath::Avx2:
        case KernelPath::Avx512:
        case KernelPath::Neon: return nullptr;
#endif
    }
    return nullptr;
}

}  // namespace

template <Kernel K>
const LaneEntries<K>* laneEntries(KernelPath path) {
    const LaneTable* t = laneTable(path);
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
