// The vector paths of a cascade of second-order sections (CascadeRecord),
// in two arrangements, both software-pipelined: at step t section s works
// on sample t - s, taking the output that section s - 1 produced one step
// earlier, so the sections of one step are independent of one another. The
// first and last steps of the pipeline run only the sections that have a
// sample of 0 .. M-1, and leave the states of the others untouched.
//
//  - Channels in lanes (any kernel mix, column-major or channel-interleaved
//    data): groups of channels side by side with the tiles of lanes-inl.h,
//    all the sections' states held by the group for the whole signal, so
//    that x is read and y written once. All-real sections carry their values
//    and states as doubles (each exactly a single), so that a value is
//    widened once and not again by every section that reads it.
//  - Sections in lanes (all-real sections of a few channels, or in other
//    layouts): one to four channels at a time, the sections side by side in
//    vectors of doubles; a step then costs about one section's chain of
//    dependent operations.
//
// Both form every value by the operations of the one-channel kernels
// (policies.h; the all-real rule written out below for the pipeline).
//
// Included by the translation unit of each instruction set (lanes_sse2.cpp
// and so on), after its group widths.
#pragma once

#include "lanes-inl.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace {

// Doubles to a vector of a channel group's values: half the widest group.
constexpr int kGroupLanes = kWidestGroup / 2;
// Sections in lanes: a few sections go two to a vector (a rounding to single
// and back within 128 bits has a shorter latency than across wider
// registers, and a step of the pipeline is one section's chain of such
// roundings); more sections, whose step is bound by the work rather than the
// chain, go kGroupLanes to a vector.
constexpr int kShortSectionLanes = 2;
// Most vectors of sections in flight; longer pieces run in parts over the
// whole signal, each part after the first in place on the output.
constexpr int kMaxSectionVectors = 4;
// Whether all-real sections of N channels run with sections in lanes rather
// than channels: when a channel group would have many dead lanes (measured).
constexpr bool sectionsInLanesFor(int32_t N) {
    return N < kNarrowestGroup || (N < 2 * kWidestGroup && N % kNarrowestGroup != 0);
}

template <int W>
using DoubleLanes = typename LaneTypes<W>::Doubles;
template <int W>
struct LaneMaskOf {
    typedef long long T __attribute__((vector_size(W * sizeof(long long))));
};
template <int W>
using LaneMask = typename LaneMaskOf<W>::T;

// Rounds each lane to single precision and back (exact both ways but the
// first rounding, to nearest).
template <class D>
inline __attribute__((always_inline)) D roundToSingle(D v) {
    constexpr int W = sizeof(D) / sizeof(double);
#if defined(__AVX512F__)
    if constexpr (W == 8) return reinterpret_cast<D>(_mm512_cvtps_pd(_mm512_cvtpd_ps(reinterpret_cast<__m512d>(v))));
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return reinterpret_cast<D>(_mm256_cvtps_pd(_mm256_cvtpd_ps(reinterpret_cast<__m256d>(v))));
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) {
        return reinterpret_cast<D>(_mm_cvtps_pd(_mm_cvtpd_ps(reinterpret_cast<__m128d>(v))));
    } else
#endif
    {
        using Floats = typename LaneTypes<W>::Floats;
        return __builtin_convertvector(__builtin_convertvector(v, Floats), D);
    }
}

template <std::size_t... I>
DoubleLanes<sizeof...(I)> splat(double v, std::index_sequence<I...>) {
    return DoubleLanes<sizeof...(I)>{(static_cast<void>(I), v)...};
}
// Lane 0 from the last lane of `before`, lanes 1 .. W-1 from lanes 0 .. W-2
// of `v`: each section takes the previous section's output of the step
// before.
template <class D, std::size_t... I>
D shiftIn(D before, D v, std::index_sequence<I...>) {
    constexpr int W = sizeof...(I);
    return __builtin_shufflevector(before, v, (I == 0 ? W - 1 : W + I - 1)...);
}

// All-real sections over a group of C channels, the values carried from
// section to section and the states held as doubles (each exactly a single),
// K = C / W vectors of doubles per value. The sections are software-
// pipelined: at step t section s works on sample t - s, reading what section
// s - 1 produced the step before (carry), so the sections of a step are
// independent of one another. The first and the last steps run only the
// sections that have a sample of 0 .. M-1.
template <int C, bool Interleaved, bool ApplyGain>
void cascadeGroupReal(const CascadeRecord<Kernel::RR>& r, int32_t j0, int live) {
    constexpr int W = kGroupLanes < C ? kGroupLanes : C;
    constexpr int K = C / W;
    static_assert(K * W == C, "a group is whole vectors of doubles");
    using D = DoubleLanes<W>;
    using Half = typename LaneTypes<W>::Floats;
    using InIO = typename std::conditional<Interleaved, InterleavedIO<C, 1>, ColumnMajorIO<C, 1>>::type;
    const InIO inIO{Interleaved ? r.inLayout.sample : r.inLayout.channel};
    const InIO outIO{Interleaved ? r.outLayout.sample : r.outLayout.channel};
    const auto idx = std::make_index_sequence<W>();

    const int32_t M = r.M;
    const int32_t S = r.sections;
    const int32_t lag = S - 1;
    const float* x = r.input + static_cast<std::ptrdiff_t>(j0) * r.inLayout.channel;
    float* y = r.output + static_cast<std::ptrdiff_t>(j0) * r.outLayout.channel;

    D coef[kCascadePiece][6];
    D z0[kCascadePiece][K], z1[kCascadePiece][K], carry[kCascadePiece][K];
    const std::ptrdiff_t sectionStride = static_cast<std::ptrdiff_t>(r.N) * 2;
    float* states = r.state + static_cast<std::ptrdiff_t>(j0) * 2;
    for (int32_t s = 0; s < S; ++s) {
        const float* c = r.sos + 6 * s;
        // A section without gain multiplies by 1, which leaves every value
        // as it is (a NaN stays a NaN).
        const double g = r.gains[s].applyGain ? static_cast<double>(r.gains[s].gain) : 1.0;
        const double cs[6] = {c[0], c[1], c[2], c[4], c[5], g};
        for (int q = 0; q < 6; ++q) coef[s][q] = splat(cs[q], idx);
        for (int k = 0; k < K; ++k) {
            for (int l = 0; l < W; ++l) {
                const int ch = k * W + l;
                z0[s][k][l] = ch < live ? static_cast<double>(states[s * sectionStride + ch * 2]) : 0.0;
                z1[s][k][l] = ch < live ? static_cast<double>(states[s * sectionStride + ch * 2 + 1]) : 0.0;
                carry[s][k][l] = 0.0;
            }
        }
    }

    // One section on one step: the all-real rule, each stored value in
    // double from single operands and rounded to single once when stored.
    auto section = [&](int32_t s, const D* in, D* out) __attribute__((always_inline)) {
        const D b0 = coef[s][0], b1 = coef[s][1], b2 = coef[s][2], a1 = coef[s][3], a2 = coef[s][4];
        for (int k = 0; k < K; ++k) {
            const D xi = in[k];
            D yi = roundToSingle(xi * b0 + z0[s][k]);
            if constexpr (ApplyGain) yi = roundToSingle(coef[s][5] * yi);
            z0[s][k] = roundToSingle((b1 * xi + z1[s][k]) - yi * a1);
            z1[s][k] = roundToSingle(b2 * xi - a2 * yi);
            out[k] = yi;
        }
    };

    alignas(64) float tileIn[C * C];
    alignas(64) float tileOut[C * C];
    Rows xr{tileIn, C}, yr{tileOut, C};
    const int32_t total = M + lag;
    for (int32_t t = 0; t < total; ++t) {
        const int32_t hi = t < lag ? t : lag;
        const int32_t lo = t - M + 1 > 1 ? t - M + 1 : 1;
        for (int32_t s = hi; s >= lo; --s) section(s, carry[s - 1], carry[s]);
        if (t < M) {
            const int row = static_cast<int>(t % C);
            if (row == 0) xr = inIO.in(x, t, M - t < C ? static_cast<int>(M - t) : C, live, tileIn);
            D xv[K];
            for (int k = 0; k < K; ++k) {
                Half h;
                loadRow(xr.base + row * xr.stride + k * W, h);
                xv[k] = __builtin_convertvector(h, D);
            }
            section(0, xv, carry[0]);
        }
        if (t >= lag) {
            const int32_t i = t - lag;
            const int row = static_cast<int>(i % C);
            if (row == 0) yr = outIO.out(y, i, live, tileOut);
            for (int k = 0; k < K; ++k)
                storeRow(yr.base + row * yr.stride + k * W, __builtin_convertvector(carry[lag][k], Half));
            if (row == C - 1 || i == M - 1) outIO.flush(yr, y, i - row, row + 1, live, tileOut);
        }
    }

    for (int32_t s = 0; s < S; ++s) {
        for (int k = 0; k < K; ++k) {
            for (int l = 0; l < W; ++l) {
                const int ch = k * W + l;
                if (ch >= live) continue;
                states[s * sectionStride + ch * 2] = static_cast<float>(z0[s][k][l]);
                states[s * sectionStride + ch * 2 + 1] = static_cast<float>(z1[s][k][l]);
            }
        }
    }
}

// Complex sections (and real ones over complex data or state) over a group
// of C channels, in the lane arithmetic of lanes-inl.h.
template <Kernel K, int C, bool Interleaved>
void cascadeGroupComplex(const CascadeRecord<K>& r, int32_t j0, int live) {
    constexpr Kernel Later = laterKernel(K);
    using P0 = Policy<K, LaneArith<C>>;
    using P1 = Policy<Later, LaneArith<C>>;
    using Rec = CascadeRecord<K>;
    using In = typename P0::In;
    using Out = typename P0::Out;
    using State = typename P0::State;
    static_assert(std::is_same<typename P1::In, Out>::value && std::is_same<typename P1::Out, Out>::value &&
                      std::is_same<typename P1::State, State>::value,
                  "the later sections read and write what the first writes");
    constexpr int fin = floatsOf<typename Rec::In>();
    constexpr int fout = floatsOf<typename Rec::Out>();
    constexpr int fst = floatsOf<typename Rec::State>();
    using InIO = typename std::conditional<Interleaved, InterleavedIO<C, fin>, ColumnMajorIO<C, fin>>::type;
    using OutIO = typename std::conditional<Interleaved, InterleavedIO<C, fout>, ColumnMajorIO<C, fout>>::type;
    const InIO inIO{(Interleaved ? r.inLayout.sample : r.inLayout.channel) * fin};
    const OutIO outIO{(Interleaved ? r.outLayout.sample : r.outLayout.channel) * fout};

    const int32_t M = r.M;
    const int32_t S = r.sections;
    const FilterShape shape{3, 3, M, r.N, 2};
    const float* x =
        reinterpret_cast<const float*>(r.input) + static_cast<std::ptrdiff_t>(j0) * r.inLayout.channel * fin;
    float* y = reinterpret_cast<float*>(r.output) + static_cast<std::ptrdiff_t>(j0) * r.outLayout.channel * fout;
    SectionGain<typename Rec::Gain> gains[kCascadePiece];
    for (int32_t s = 0; s < S; ++s) gains[s] = r.gains[s];

    alignas(64) float tileIn[C * fin * C];
    alignas(64) float tileOut[C * fout * C];

    // States in and out: element loops, once per group.
    State z[kCascadePiece][2];
    const std::ptrdiff_t sectionStride = static_cast<std::ptrdiff_t>(r.N) * 2 * fst;
    float* states = reinterpret_cast<float*>(r.state) + static_cast<std::ptrdiff_t>(j0) * 2 * fst;
    alignas(64) float lanes[fst * C];
    for (int32_t s = 0; s < S; ++s) {
        for (int k = 0; k < 2; ++k) {
            std::memset(lanes, 0, sizeof lanes);
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < fst; ++p) lanes[p * C + c] = states[s * sectionStride + (c * 2 + k) * fst + p];
            getLane<C>(Rows{lanes, 0}, 0, z[s][k]);
        }
    }

    // Software-pipelined as cascadeGroupReal: at step t section s works on
    // sample t - s, reading what section s - 1 produced the step before.
    const auto* coef = r.sos;  // six per section, b at 6s and a at 6s + 3
    Out carry[kCascadePiece];
    const int32_t lag = S - 1;
    const int32_t total = M + lag;
    Rows xr{tileIn, fin * C}, yr{tileOut, fout * C};
    for (int32_t t = 0; t < total; ++t) {
        const int32_t hi = t < lag ? t : lag;
        const int32_t lo = t - M + 1 > 1 ? t - M + 1 : 1;
        for (int32_t s = hi; s >= lo; --s) {
            const Out u = carry[s - 1];
            carry[s] = SampleStep<P1, 2>::run(u, z[s], coef + 6 * s, coef + 6 * s + 3, gains[s].gain,
                                              gains[s].applyGain, shape);
        }
        if (t < M) {
            const int row = static_cast<int>(t % C);
            if (row == 0) xr = inIO.in(x, t, M - t < C ? static_cast<int>(M - t) : C, live, tileIn);
            In xi;
            getLane<C>(xr, row, xi);
            carry[0] = SampleStep<P0, 2>::run(xi, z[0], coef, coef + 3, gains[0].gain, gains[0].applyGain, shape);
        }
        if (t >= lag) {
            const int32_t i = t - lag;
            const int row = static_cast<int>(i % C);
            if (row == 0) yr = outIO.out(y, i, live, tileOut);
            putLane<C>(yr, row, carry[lag]);
            if (row == C - 1 || i == M - 1) outIO.flush(yr, y, i - row, row + 1, live, tileOut);
        }
    }

    for (int32_t s = 0; s < S; ++s) {
        for (int k = 0; k < 2; ++k) {
            putLane<C>(Rows{lanes, 0}, 0, z[s][k]);
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < fst; ++p) states[s * sectionStride + (c * 2 + k) * fst + p] = lanes[p * C + c];
        }
    }
}

// One group of channels: all-real sections in doubles, the others in the
// lane arithmetic.
template <Kernel K, int C, bool Interleaved>
void cascadeGroup(const CascadeRecord<K>& r, int32_t j0, int live) {
    if constexpr (K == Kernel::RR) {
        bool anyGain = false;
        for (int32_t s = 0; s < r.sections; ++s) anyGain = anyGain || r.gains[s].applyGain;
        if (anyGain) {
            cascadeGroupReal<C, Interleaved, true>(r, j0, live);
        } else {
            cascadeGroupReal<C, Interleaved, false>(r, j0, live);
        }
    } else {
        cascadeGroupComplex<K, C, Interleaved>(r, j0, live);
    }
}

template <Kernel K, bool Interleaved>
void cascadeGroupsOnce(const CascadeRecord<K>& r) {
    constexpr int Wide = kWidestGroup;
    constexpr int Narrow = kNarrowestGroup;
    const int32_t N = r.N;
    int32_t j = 0;
    for (; N - j >= Wide; j += Wide) cascadeGroup<K, Wide, Interleaved>(r, j, Wide);
    const int rest = static_cast<int>(N - j);
    if (rest == 0) return;
    if constexpr (Narrow < Wide) {
        if (rest <= Narrow) {
            cascadeGroup<K, Narrow, Interleaved>(r, j, rest);
            return;
        }
    }
    cascadeGroup<K, Wide, Interleaved>(r, j, rest);
}

// Column-major data runs each group through the whole signal, every channel
// one sequential stream; channel-interleaved data runs all groups through one
// block of rows at a time (forInterleavedBlocks), the states waiting in their
// buffer between blocks.
template <Kernel K, bool Interleaved>
void cascadeGroups(const CascadeRecord<K>& r) {
    if constexpr (!Interleaved) {
        cascadeGroupsOnce<K, false>(r);
    } else {
        using Rec = CascadeRecord<K>;
        constexpr std::ptrdiff_t in = sizeof(typename Rec::In), out = sizeof(typename Rec::Out);
        forInterleavedBlocks(r.M, r.input, r.inLayout.sample * in, r.N * in, r.output, r.outLayout.sample * out,
                             r.N * out, [&r](int32_t i0, int32_t rows) {
                                 Rec part = r;
                                 part.M = rows;
                                 part.input += static_cast<std::ptrdiff_t>(i0) * r.inLayout.sample;
                                 part.output += static_cast<std::ptrdiff_t>(i0) * r.outLayout.sample;
                                 cascadeGroupsOnce<K, true>(part);
                             });
    }
}

// One channel's buffers for the sections in lanes.
struct SectionChannel {
    const float* x;
    float* y;
    float* state;  // section s's two states at s * stateStride
};

// Ch channels (one or two, side by side: their chains overlap) of samples
// through up to V * W all-real sections. The sections sit in the last S of
// the V * W lanes; the lanes before them pass their input on unchanged, so a
// channel's output is always the last lane of the last vector, V * W - 1
// steps after its input entered lane 0.
template <int Ch, int W, int V, bool ApplyGain, bool Pass>
void sectionsInLanes(int32_t S, const float* sos, const SectionGain<float>* gains, const SectionChannel* channels,
                     std::ptrdiff_t stateStride, std::ptrdiff_t xs, std::ptrdiff_t ys, int32_t M) {
    using D = DoubleLanes<W>;
    using Mask = LaneMask<W>;
    constexpr int lanes = V * W;
    constexpr int lag = lanes - 1;
    const auto idx = std::make_index_sequence<W>();
    const int offset = lanes - S;
    D b0[V], b1[V], b2[V], a1[V], a2[V], g[V], z0[Ch][V], z1[Ch][V], yv[Ch][V];
    Mask laneOf[V];
    Mask pass{};
    const float* x[Ch];
    float* y[Ch];
    for (int c = 0; c < Ch; ++c) x[c] = channels[c].x, y[c] = channels[c].y;
    for (int v = 0; v < V; ++v) {
        for (int l = 0; l < W; ++l) {
            const int lane = v * W + l;
            const int s = lane - offset;
            laneOf[v][l] = lane;
            const bool live = s >= 0;
            if (v == 0) pass[l] = live ? 0 : -1;
            const float* c = sos + 6 * (live ? s : 0);
            b0[v][l] = live ? c[0] : 0.0;
            b1[v][l] = live ? c[1] : 0.0;
            b2[v][l] = live ? c[2] : 0.0;
            a1[v][l] = live ? c[4] : 0.0;
            a2[v][l] = live ? c[5] : 0.0;
            // A section without gain multiplies by 1, which leaves every
            // value as it is (a NaN stays a NaN).
            g[v][l] = live && gains[s].applyGain ? static_cast<double>(gains[s].gain) : 1.0;
            for (int ch = 0; ch < Ch; ++ch) {
                const float* z = channels[ch].state;
                z0[ch][v][l] = live ? static_cast<double>(z[s * stateStride]) : 0.0;
                z1[ch][v][l] = live ? static_cast<double>(z[s * stateStride + 1]) : 0.0;
                yv[ch][v][l] = 0.0;
            }
        }
    }

    // One step: each channel's new sample enters lane 0; with Masked, only
    // the lanes with a sample of 0 .. M-1 at this step update their states.
    auto step = [&](auto masked, int32_t t, const double* xin) __attribute__((always_inline)) {
        for (int ch = 0; ch < Ch; ++ch) {
            D xv[V];
            xv[0] = shiftIn(splat(xin[ch], idx), yv[ch][0], idx);
            for (int v = 1; v < V; ++v) xv[v] = shiftIn(yv[ch][v - 1], yv[ch][v], idx);
            for (int v = 0; v < V; ++v) {
                const D xi = xv[v];
                // The all-real rule: each stored value in double from single
                // operands, rounded to single once when stored.
                D yi = roundToSingle(xi * b0[v] + z0[ch][v]);
                if constexpr (ApplyGain) yi = roundToSingle(g[v] * yi);
                if constexpr (Pass) {
                    if (v == 0) yi = pass ? xi : yi;
                }
                const D n0 = roundToSingle((b1[v] * xi + z1[ch][v]) - yi * a1[v]);
                const D n1 = roundToSingle(b2[v] * xi - a2[v] * yi);
                if constexpr (decltype(masked)::value) {
                    const Mask active = (laneOf[v] <= t) & (laneOf[v] > static_cast<long long>(t) - M);
                    z0[ch][v] = active ? n0 : z0[ch][v];
                    z1[ch][v] = active ? n1 : z1[ch][v];
                } else {
                    z0[ch][v] = n0;
                    z1[ch][v] = n1;
                }
                yv[ch][v] = yi;
            }
        }
    };

    const int32_t total = M + lag;
    const int32_t fillEnd = lag < total ? lag : total;
    double xin[Ch];
    int32_t t = 0;
    for (; t < fillEnd; ++t) {
        for (int ch = 0; ch < Ch; ++ch) xin[ch] = t < M ? static_cast<double>(x[ch][t * xs]) : 0.0;
        step(std::true_type(), t, xin);
        for (int ch = 0; ch < Ch && t >= lag; ++ch) y[ch][(t - lag) * ys] = static_cast<float>(yv[ch][V - 1][W - 1]);
    }
    for (; t < M; ++t) {
        for (int ch = 0; ch < Ch; ++ch) xin[ch] = static_cast<double>(x[ch][t * xs]);
        step(std::false_type(), t, xin);
        for (int ch = 0; ch < Ch; ++ch) y[ch][(t - lag) * ys] = static_cast<float>(yv[ch][V - 1][W - 1]);
    }
    for (int ch = 0; ch < Ch; ++ch) xin[ch] = 0.0;
    for (; t < total; ++t) {
        step(std::true_type(), t, xin);
        for (int ch = 0; ch < Ch; ++ch) y[ch][(t - lag) * ys] = static_cast<float>(yv[ch][V - 1][W - 1]);
    }

    for (int ch = 0; ch < Ch; ++ch) {
        float* z = channels[ch].state;
        for (int v = 0; v < V; ++v) {
            for (int l = 0; l < W; ++l) {
                const int s = v * W + l - offset;
                if (s < 0) continue;
                z[s * stateStride] = static_cast<float>(z0[ch][v][l]);
                z[s * stateStride + 1] = static_cast<float>(z1[ch][v][l]);
            }
        }
    }
}

template <int Ch, int W, int V>
void sectionsInLanesOf(int32_t S, const float* sos, const SectionGain<float>* gains, const SectionChannel* channels,
                       std::ptrdiff_t stateStride, std::ptrdiff_t xs, std::ptrdiff_t ys, int32_t M) {
    bool anyGain = false;
    for (int32_t s = 0; s < S; ++s) anyGain = anyGain || gains[s].applyGain;
    const bool pass = S != V * W;
    auto run = [&](auto g, auto p) {
        sectionsInLanes<Ch, W, V, decltype(g)::value, decltype(p)::value>(S, sos, gains, channels, stateStride, xs, ys,
                                                                          M);
    };
    if (anyGain) {
        pass ? run(std::true_type(), std::true_type()) : run(std::true_type(), std::false_type());
    } else {
        pass ? run(std::false_type(), std::true_type()) : run(std::false_type(), std::false_type());
    }
}

template <int Ch, int W>
void sectionsInVectors(int32_t S, const float* sos, const SectionGain<float>* gains, const SectionChannel* channels,
                       std::ptrdiff_t stateStride, std::ptrdiff_t xs, std::ptrdiff_t ys, int32_t M) {
    switch ((S + W - 1) / W) {
        case 1: sectionsInLanesOf<Ch, W, 1>(S, sos, gains, channels, stateStride, xs, ys, M); return;
        case 2: sectionsInLanesOf<Ch, W, 2>(S, sos, gains, channels, stateStride, xs, ys, M); return;
        case 3: sectionsInLanesOf<Ch, W, 3>(S, sos, gains, channels, stateStride, xs, ys, M); return;
        default: sectionsInLanesOf<Ch, W, 4>(S, sos, gains, channels, stateStride, xs, ys, M); return;
    }
}

// All-real sections of each channel in parts of up to kMaxSectionVectors
// vectors of sections, each part over the whole channel. A few sections run
// up to four channels at a time, whose chains then overlap.
void cascadeSectionsInLanes(const CascadeRecord<Kernel::RR>& r) {
    constexpr int32_t shortPart = kMaxSectionVectors * kShortSectionLanes;
    constexpr int32_t part = kMaxSectionVectors * kGroupLanes;
    const std::ptrdiff_t stateStride = static_cast<std::ptrdiff_t>(r.N) * 2;
    const std::ptrdiff_t ys = r.outLayout.sample;
    const bool few = r.sections <= shortPart;
    for (int32_t j = 0; j < r.N;) {
        const int batch = !few ? 1 : r.N - j >= 4 ? 4 : r.N - j >= 2 ? 2 : 1;
        SectionChannel channels[4];
        for (int c = 0; c < batch; ++c)
            channels[c] = {r.input + static_cast<std::ptrdiff_t>(j + c) * r.inLayout.channel,
                           r.output + static_cast<std::ptrdiff_t>(j + c) * r.outLayout.channel,
                           r.state + 2 * static_cast<std::ptrdiff_t>(j + c)};
        std::ptrdiff_t xs = r.inLayout.sample;
        for (int32_t s0 = 0; s0 < r.sections; s0 += part) {
            const int32_t n = r.sections - s0 < part ? r.sections - s0 : part;
            const float* sos = r.sos + 6 * s0;
            const SectionGain<float>* gains = r.gains + s0;
            SectionChannel at[4];
            for (int c = 0; c < batch; ++c)
                at[c] = {channels[c].x, channels[c].y, channels[c].state + s0 * stateStride};
            if (batch == 4) {
                sectionsInVectors<4, kGroupLanes>(n, sos, gains, at, stateStride, xs, ys, r.M);
            } else if (batch == 2) {
                sectionsInVectors<2, kGroupLanes>(n, sos, gains, at, stateStride, xs, ys, r.M);
            } else if (few) {
                sectionsInVectors<1, kShortSectionLanes>(n, sos, gains, at, stateStride, xs, ys, r.M);
            } else {
                sectionsInVectors<1, kGroupLanes>(n, sos, gains, at, stateStride, xs, ys, r.M);
            }
            for (int c = 0; c < batch; ++c) channels[c].x = channels[c].y;
            xs = ys;
        }
        j += batch;
    }
}

// Runs the piece and returns true, or returns false without touching
// anything when the call is beyond these paths (see lanes.h).
template <Kernel K>
bool cascadeLanes(const CascadeRecord<K>& r) {
    const LaneLayout layout = laneLayout(r.inLayout, r.outLayout);
    if constexpr (K == Kernel::RR) {
        if (layout == LaneLayout::Other || sectionsInLanesFor(r.N)) {
            cascadeSectionsInLanes(r);
            return true;
        }
    }
    if (r.N < 2) return false;
    switch (layout) {
        case LaneLayout::ColumnMajor: cascadeGroups<K, false>(r); return true;
        case LaneLayout::Interleaved: cascadeGroups<K, true>(r); return true;
        case LaneLayout::Other: return false;
    }
    return false;
}

}  // namespace
}  // namespace MARROWICK_ISA
}  // namespace marrowick
