// The five kernels and their gain front ends, the path choice, and the typed
// calls of the fronts beside the host (one filter, and a cascade of
// second-order sections). Each kernel builds the one record of its call
// (column-major input and output) and hands it to the path.
#include "kernels.h"

#include <cstddef>
#include <type_traits>

#include "lane_paths.h"
#include "marrowick/mex.h"
#include "paths.h"
#include "policies.h"
#include "record.h"
#include "recurrence.h"
#include "step.h"

namespace marrowick {

const char* kernelName(Kernel kernel) {
    switch (kernel) {
        case Kernel::CC: return "KernelCC";
        case Kernel::CR: return "KernelCR";
        case Kernel::RC: return "KernelRC";
        case Kernel::RRZ: return "KernelRRZ";
        case Kernel::RR: return "KernelRR";
    }
    return "?";
}

bool pathAvailable(KernelPath path) {
    switch (path) {
        case KernelPath::Definition:
        case KernelPath::OneChannelFast:
        case KernelPath::Sse2: return true;
        case KernelPath::Avx2: return __builtin_cpu_supports("avx2");
        case KernelPath::Avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
    }
    return false;
}

// One channel keeps a one-channel path: its recurrence is latency bound
// either way, and it needs no transposes.
KernelPath choosePath(const FilterShape& shape) {
    if (shape.N < 2 || shape.M < 1) return KernelPath::OneChannelFast;
    if (pathAvailable(KernelPath::Avx512)) return KernelPath::Avx512;
    if (pathAvailable(KernelPath::Avx2)) return KernelPath::Avx2;
    return KernelPath::Sse2;
}

const char* pathName(KernelPath path) {
    switch (path) {
        case KernelPath::Definition: return "definition";
        case KernelPath::OneChannelFast: return "one-channel";
        case KernelPath::Sse2: return "sse2";
        case KernelPath::Avx2: return "avx2";
        case KernelPath::Avx512: return "avx512";
    }
    return "?";
}

// The vector path of the chosen instruction set when it takes the call, else
// the fast one-channel path.
template <Kernel K>
void runOnPath(KernelPath path, const FilterRecord<K>& record) {
    bool done = false;
    switch (path) {
        case KernelPath::Definition: filterDefinition(record); return;
        case KernelPath::OneChannelFast: break;
        case KernelPath::Sse2: done = sse2::filterLanes(record); break;
        case KernelPath::Avx2: done = avx2::filterLanes(record); break;
        case KernelPath::Avx512: done = avx512::filterLanes(record); break;
    }
    if (!done) filterOneChannelFast(record);
}

template void runOnPath<Kernel::CC>(KernelPath, const FilterRecord<Kernel::CC>&);
template void runOnPath<Kernel::CR>(KernelPath, const FilterRecord<Kernel::CR>&);
template void runOnPath<Kernel::RC>(KernelPath, const FilterRecord<Kernel::RC>&);
template void runOnPath<Kernel::RRZ>(KernelPath, const FilterRecord<Kernel::RRZ>&);
template void runOnPath<Kernel::RR>(KernelPath, const FilterRecord<Kernel::RR>&);

namespace {

// The record a kernel builds from its argument list: column-major input and
// output.
template <Kernel K>
FilterRecord<K> columnMajorRecord(typename KernelTypes<K>::Out* output, typename KernelTypes<K>::State* state,
                                  const typename KernelTypes<K>::Num* b, const typename KernelTypes<K>::Den* a,
                                  const typename KernelTypes<K>::In* input, typename KernelTypes<K>::Gain gain,
                                  bool applyGain, FilterShape shape) {
    const Layout layout{1, shape.M};
    return FilterRecord<K>{shape, gain, applyGain, output, layout, state, b, a, input, layout};
}

template <Kernel K>
void runChosenPath(const FilterRecord<K>& record) {
    runOnPath(choosePath(record.shape), record);
}

RealGain gainOf(const float* a) { return realGain(a[0]); }
ComplexGain gainOf(const ComplexSingle* a) { return complexGain(a[0]); }

// The typed call: the record of the call's kernel, its gain from a[0].
template <Kernel K>
void runTyped(const FilterCall& c, KernelPath path) {
    using T = KernelTypes<K>;
    const auto* a = static_cast<const typename T::Den*>(c.a);
    const auto g = gainOf(a);
    const FilterRecord<K> record{c.shape,
                                 g.gain,
                                 g.applyGain,
                                 static_cast<typename T::Out*>(c.output),
                                 c.outLayout,
                                 static_cast<typename T::State*>(c.state),
                                 static_cast<const typename T::Num*>(c.b),
                                 a,
                                 static_cast<const typename T::In*>(c.input),
                                 c.inLayout};
    runOnPath(path, record);
}

}  // namespace

void runFilterCall(const FilterCall& call, KernelPath path) {
    switch (call.kernel) {
        case Kernel::CC: runTyped<Kernel::CC>(call, path); return;
        case Kernel::CR: runTyped<Kernel::CR>(call, path); return;
        case Kernel::RC: runTyped<Kernel::RC>(call, path); return;
        case Kernel::RRZ: runTyped<Kernel::RRZ>(call, path); return;
        case Kernel::RR: runTyped<Kernel::RR>(call, path); return;
    }
}

void runFilterCall(const FilterCall& call) { runFilterCall(call, choosePath(call.shape)); }

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
        for (int32_t s = 0; s < n; ++s) gains[s] = sectionGain(first + 6 * s);
        auto* z = state + static_cast<std::ptrdiff_t>(s0) * c.N * 2;
        if (s0 == 0) {
            run(CascadeRecord<K>{n, c.M, c.N, first, gains, out, c.outLayout, z,
                                 static_cast<const typename T::In*>(c.input), c.inLayout});
        } else {
            run(CascadeRecord<Later>{n, c.M, c.N, first, gains, out, c.outLayout, z, out, c.outLayout});
        }
    }
}

template <Kernel K>
void runCascadeTyped(const CascadeCall& c, KernelPath path) {
    if (c.sections < 1 || c.M < 1 || c.N < 1) return;
    cascadePieces<K>(c, [path](const auto& piece) {
        bool done = false;
        switch (path) {
            case KernelPath::Definition: cascadeDefinition(piece); return;
            case KernelPath::OneChannelFast: break;
            case KernelPath::Sse2: done = sse2::cascadeLanes(piece); break;
            case KernelPath::Avx2: done = avx2::cascadeLanes(piece); break;
            case KernelPath::Avx512: done = avx512::cascadeLanes(piece); break;
        }
        if (!done) cascadeOneChannel(piece);
    });
}

}  // namespace

KernelPath chooseCascadePath(const CascadeCall& call) {
    if (call.N < 1 || call.M < 1) return KernelPath::OneChannelFast;
    if (pathAvailable(KernelPath::Avx512)) return KernelPath::Avx512;
    if (pathAvailable(KernelPath::Avx2)) return KernelPath::Avx2;
    return KernelPath::Sse2;
}

void runCascadeCall(const CascadeCall& call, KernelPath path) {
    switch (call.first) {
        case Kernel::CC: runCascadeTyped<Kernel::CC>(call, path); return;
        case Kernel::CR: runCascadeTyped<Kernel::CR>(call, path); return;
        case Kernel::RC: runCascadeTyped<Kernel::RC>(call, path); return;
        case Kernel::RRZ: runCascadeTyped<Kernel::RRZ>(call, path); return;
        case Kernel::RR: runCascadeTyped<Kernel::RR>(call, path); return;
    }
}

void runCascadeCall(const CascadeCall& call) { runCascadeCall(call, chooseCascadePath(call)); }

void KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,
              bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::RR>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
              int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::CC>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::CR>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const ComplexSingle* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::RC>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
               float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::RRZ>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

// gain = 1 / a[0] in double, rounded to single; the multiply is skipped only
// when the double quotient is exactly 1, i.e. a[0] == 1.
RealGain realGain(float a0) {
    const double q = 1.0 / static_cast<double>(a0);
    RealGain g{static_cast<float>(q), true};
    if (!mxIsNaN(q) && q == 1.0) g.applyGain = false;
    return g;
}

// gain = (1 + 0i) / a[0] in single; the multiply is skipped exactly when the
// delivered gain is 1 + 0i or 1 - 0i. The tests run in this order and stop at
// the first that fails.
ComplexGain complexGain(ComplexSingle a0) {
    ComplexGain g{complexReciprocal(a0), true};
    if (g.gain.im == 0.0f && !mxIsNaN(static_cast<double>(g.gain.re)) && g.gain.re == 1.0f) g.applyGain = false;
    return g;
}

void computeGain(float* output, float* state, const float* b, const float* a, const float* input, int32_t nb,
                 int32_t na, int32_t M, int32_t L, int32_t N) {
    const RealGain g = realGain(a[0]);
    KernelRR(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
                 const ComplexSingle* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const ComplexGain g = complexGain(a[0]);
    KernelCC(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
                 const float* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const ComplexGain g = complexGain(a[0]);
    KernelCR(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
                 const ComplexSingle* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const RealGain g = realGain(a[0]);
    KernelRC(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
                 int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const RealGain g = realGain(a[0]);
    KernelRRZ(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

}  // namespace marrowick
