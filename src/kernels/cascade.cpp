// The cascade of second-order sections: its typed call, its definition (the
// chain of calls itself), its fast one-channel path, and the pieces of at
// most kCascadePiece sections that every path runs in turn; the vector
// paths are those of cascade_lanes-inl.h, reached through the table of
// lanes.h.
#include "cascade.h"

#include <cstddef>
#include <type_traits>

#include "double_recurrence.h"
#include "kernels.h"
#include "lanes.h"
#include "paths.h"
#include "policies.h"
#include "record.h"
#include "recurrence.h"
#include "step.h"

namespace marrowick {

namespace {

SectionGain<float> sectionGain(const float* section) {
    const RealGain g = realGain(section[3]);
    return {g.gain, g.applyGain};
}
SectionGain<ComplexSingle> sectionGain(const ComplexSingle* section) {
    const ComplexGain g = complexGain(section[3]);
    return {g.gain, g.applyGain};
}

// The record of one section of a cascade as a call of its own kernel: nb =
// na = 3, two states per channel, the input and output in the cascade's
// layouts.
template <Kernel S, class Piece>
FilterRecord<S> sectionRecord(const Piece& r, int32_t s, const typename KernelTypes<S>::In* input, Layout inLayout) {
    const auto* section = r.sos + 6 * static_cast<std::ptrdiff_t>(s);
    return FilterRecord<S>{FilterShape{3, 3, r.M, r.N, 2},
                           r.gains[s].gain,
                           r.gains[s].applyGain,
                           r.output,
                           r.outLayout,
                           r.state + static_cast<std::ptrdiff_t>(s) * r.N * 2,
                           section,
                           section + 3,
                           input,
                           inLayout};
}

// The definition of a cascade: the chain of calls itself, section after
// section over the whole signal, each later section reading the output that
// the one before it stored (in place in the output buffer).
template <Kernel K>
void cascadeDefinition(const CascadeRecord<K>& r) {
    constexpr Kernel Later = laterKernel(K);
    filterDefinition(sectionRecord<K>(r, 0, r.input, r.inLayout));
    for (int32_t s = 1; s < r.sections; ++s) filterDefinition(sectionRecord<Later>(r, s, r.output, r.outLayout));
}

// The fast one-channel cascade: channel after channel, each sample through
// every section before the next sample, the states of the piece in a local
// array. The sections of one sample depend on one another, but a section of
// the next sample only on its own states, so the processor overlaps them.
template <Kernel K>
void cascadeOneChannel(const CascadeRecord<K>& r) {
    using P0 = Policy<K, ScalarArith>;
    using P1 = Policy<laterKernel(K), ScalarArith>;
    using State = typename P0::State;
    const FilterShape shape{3, 3, r.M, r.N, 2};
    const int32_t S = r.sections;
    const auto* sos = r.sos;
    SectionGain<typename P0::Gain> gains[kCascadePiece];
    for (int32_t s = 0; s < S; ++s) gains[s] = r.gains[s];
    for (int32_t j = 0; j < r.N; ++j) {
        State z[kCascadePiece][2];
        State* zs = r.state + static_cast<std::ptrdiff_t>(j) * 2;
        const std::ptrdiff_t zStride = static_cast<std::ptrdiff_t>(r.N) * 2;
        for (int32_t s = 0; s < S; ++s) z[s][0] = zs[s * zStride], z[s][1] = zs[s * zStride + 1];
        const typename P0::In* x = r.input + static_cast<std::ptrdiff_t>(j) * r.inLayout.channel;
        typename P0::Out* y = r.output + static_cast<std::ptrdiff_t>(j) * r.outLayout.channel;
        const std::ptrdiff_t xs = r.inLayout.sample, ys = r.outLayout.sample;
        for (int32_t i = 0; i < r.M; ++i) {
            const typename P0::In xi = x[i * xs];
            typename P0::Out v =
                SampleStep<P0, 2>::run(xi, z[0], sos, sos + 3, gains[0].gain, gains[0].applyGain, shape);
            for (int32_t s = 1; s < S; ++s) {
                const typename P1::In u = v;
                v = SampleStep<P1, 2>::run(u, z[s], sos + 6 * s, sos + 6 * s + 3, gains[s].gain, gains[s].applyGain,
                                           shape);
            }
            y[i * ys] = v;
        }
        for (int32_t s = 0; s < S; ++s) zs[s * zStride] = z[s][0], zs[s * zStride + 1] = z[s][1];
    }
}

// Runs a cascade in pieces of at most kCascadePiece sections, each with its
// sections' gains: the first piece reads the input, the later ones (of the
// later kernel) the output in place.
template <Kernel K, class Run>
void cascadePieces(const CascadeCall& c, Run&& run) {
    using T = KernelTypes<K>;
    constexpr Kernel Later = laterKernel(K);
    static_assert(std::is_same<typename KernelTypes<Later>::In, typename T::Out>::value, "a section reads the last");
    static_assert(std::is_same<typename KernelTypes<Later>::Out, typename T::Out>::value, "one output type");
    static_assert(std::is_same<typename KernelTypes<Later>::Num, typename T::Num>::value, "one coefficient type");
    SectionGain<typename T::Gain> gains[kCascadePiece];
    const auto* sos = static_cast<const typename T::Num*>(c.sos);
    auto* out = static_cast<typename T::Out*>(c.output);
    auto* state = static_cast<typename T::State*>(c.state);
    for (int32_t s0 = 0; s0 < c.sections; s0 += kCascadePiece) {
        const int32_t n = c.sections - s0 < kCascadePiece ? c.sections - s0 : kCascadePiece;
        const auto* first = sos + 6 * static_cast<std::ptrdiff_t>(s0);
        // The double-precision sections form their own coefficients: no gain.
        const SectionGain<typename T::Gain>* g = nullptr;
        if constexpr (!isDoubleKernel(K)) {
            for (int32_t s = 0; s < n; ++s) gains[s] = sectionGain(first + 6 * s);
            g = gains;
        }
        auto* z = state + static_cast<std::ptrdiff_t>(s0) * c.N * 2;
        if (s0 == 0) {
            run(CascadeRecord<K>{n, c.M, c.N, first, g, out, c.outLayout, z,
                                 static_cast<const typename T::In*>(c.input), c.inLayout});
        } else {
            run(CascadeRecord<Later>{n, c.M, c.N, first, g, out, c.outLayout, z, out, c.outLayout});
        }
    }
}

// One piece on the path: the vector path of the instruction set when it
// takes the piece, else the fast one-channel path.
template <Kernel K>
void runPiece(KernelPath path, const CascadeRecord<K>& piece) {
    if (path == KernelPath::Definition) {
        cascadeDefinition(piece);
        return;
    }
    const LaneEntries<K>* lanes = laneEntries<K>(path);
    if (lanes == nullptr || !lanes->cascade(piece)) cascadeOneChannel(piece);
}

template <Kernel K>
void runCascadeTyped(const CascadeCall& c, KernelPath path) {
    if (c.sections < 1 || c.M < 1 || c.N < 1) return;
    cascadePieces<K>(c, [path](const auto& piece) { runPiece(path, piece); });
}

// The double-precision cascade: the same pieces; each section forms its own
// coefficients (no gain), and a chain of
// sections over the whole signal gives the bits of one sample through all
// of them, so the one-channel path is also the definition.
template <Kernel K>
void runDoublePiece(KernelPath path, const CascadeRecord<K>& piece) {
    const LaneEntries<K>* lanes = path == KernelPath::Definition ? nullptr : laneEntries<K>(path);
    if (lanes == nullptr || !lanes->cascade(piece)) dbl::cascadeOneChannel(piece);
}

template <Kernel K>
void runCascadeDouble(const CascadeCall& c, KernelPath path) {
    if (c.sections < 1 || c.M < 1 || c.N < 1) return;
    cascadePieces<K>(c, [path](const auto& piece) { runDoublePiece(path, piece); });
}

}  // namespace

// One channel takes the lanes too: its sections sit side by side in them.
KernelPath chooseCascadePath(const CascadeCall& call) {
    if (call.N < 1 || call.M < 1) return KernelPath::OneChannelFast;
    return widestLanePath();
}

void runCascadeCall(const CascadeCall& call, KernelPath path) {
    switch (call.first) {
        case Kernel::CC: runCascadeTyped<Kernel::CC>(call, path); return;
        case Kernel::CR: runCascadeTyped<Kernel::CR>(call, path); return;
        case Kernel::RC: runCascadeTyped<Kernel::RC>(call, path); return;
        case Kernel::RRZ: runCascadeTyped<Kernel::RRZ>(call, path); return;
        case Kernel::RR: runCascadeTyped<Kernel::RR>(call, path); return;
        case Kernel::DRR: runCascadeDouble<Kernel::DRR>(call, path); return;
        case Kernel::DCC: runCascadeDouble<Kernel::DCC>(call, path); return;
        case Kernel::DCR: runCascadeDouble<Kernel::DCR>(call, path); return;
    }
}

void runCascadeCall(const CascadeCall& call) { runCascadeCall(call, chooseCascadePath(call)); }

}  // namespace marrowick
