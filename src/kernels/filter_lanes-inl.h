// The vector path of the filter: the recurrence of recurrence.h run on
// groups of channels side by side, one channel per lane, in the tiles and
// lane arithmetic of lanes-inl.h. The states of a group are held in a stack
// tile for the whole channel length, so the state length is bounded by
// kMaxLaneState; longer filters, and other layouts, take a one-channel path.
//
// Included by the translation unit of each instruction set (lanes_sse2.cpp
// and so on), after its group widths.
#pragma once

#include "lanes-inl.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace {

// Blocks of samples ahead of the one a group works on that it asks for
// in column-major data, when its channels have at most kPrefetchedSamples
// samples.
constexpr int kPrefetchBlocks = 2;
constexpr int32_t kPrefetchedSamples = 4096;

// G groups of C channels side by side, from j0 on, through all M samples, on
// the lanes of one vector each; only the last group may have fewer than C
// live channels (`live`). The groups' recurrences are independent, so with
// G = 2 one group's chain of dependent operations runs while the other's
// waits. FixedL > 0 keeps the states in registers (see step.h); Interleaved
// picks the tile I/O of the layout.
template <Kernel K, int C, int FixedL, bool Interleaved, int G = 1>
void filterGroup(const FilterRecord<K>& r, int32_t j0, int live) {
    using P = Policy<K, LaneArith<C>>;
    using Rec = FilterRecord<K>;
    using In = typename P::In;
    using Out = typename P::Out;
    using State = typename P::State;
    constexpr int fin = floatsOf<typename Rec::In>();
    constexpr int fout = floatsOf<typename Rec::Out>();
    constexpr int fst = floatsOf<typename Rec::State>();
    using InIO = typename std::conditional<Interleaved, InterleavedIO<C, fin>, ColumnMajorIO<C, fin>>::type;
    using OutIO = typename std::conditional<Interleaved, InterleavedIO<C, fout>, ColumnMajorIO<C, fout>>::type;
    const InIO inIO{(Interleaved ? r.inLayout.sample : r.inLayout.channel) * fin};
    const OutIO outIO{(Interleaved ? r.outLayout.sample : r.outLayout.channel) * fout};

    // Copies, so that no store of an output (which might alias the record as
    // far as the compiler knows) makes it read them again.
    const FilterShape shape = r.shape;
    const typename Rec::Gain gain = r.gain;
    const bool applyGain = r.applyGain;
    const int32_t M = shape.M;
    const int32_t L = shape.L;
    const float* x[G];
    float* y[G];
    int lives[G];
    for (int g = 0; g < G; ++g) {
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(j0) + g * C;
        x[g] = reinterpret_cast<const float*>(r.input) + j * r.inLayout.channel * fin;
        y[g] = reinterpret_cast<float*>(r.output) + j * r.outLayout.channel * fout;
        lives[g] = g == G - 1 ? live : C;
    }

    alignas(64) float tileIn[G][C * fin * C];
    alignas(64) float tileOut[G][C * fout * C];

    State z[G][FixedL > 0 ? FixedL : kMaxLaneState];
    const int32_t stateLength = FixedL > 0 ? FixedL : L;
    if (L > 0) {
        // States in: element loops, once per group.
        alignas(64) float lanes[fst * C];
        for (int g = 0; g < G; ++g) {
            const float* s =
                reinterpret_cast<const float*>(r.state) + (static_cast<std::ptrdiff_t>(j0) + g * C) * L * fst;
            for (int32_t k = 0; k < stateLength; ++k) {
                std::memset(lanes, 0, sizeof lanes);
                for (int c = 0; c < lives[g]; ++c)
                    for (int p = 0; p < fst; ++p)
                        lanes[p * C + c] = s[(static_cast<std::ptrdiff_t>(c) * L + k) * fst + p];
                getLane<C>(Rows{lanes, 0}, 0, z[g][k]);
            }
        }
    }

    // Column-major data of short channels: each block of samples reads a
    // line or two of every channel of the groups, a channel length apart,
    // which the hardware does not fetch ahead, so every block would wait for
    // memory. The block kPrefetchBlocks ahead is asked for instead (the
    // first blocks of the channels after the groups', near their end).
    // Channel-interleaved data is read row after row, which the hardware
    // fetches ahead by itself (asking as well measured slower).
    const int32_t N = shape.N;
    const int32_t next = j0 + G * C;
    const bool ahead = !Interleaved && M <= kPrefetchedSamples;
    auto prefetchAhead = [&](int32_t i0) __attribute__((always_inline)) {
        if (!ahead) return;
        int32_t v = i0 + kPrefetchBlocks * C;
        int32_t first = j0;
        if (v >= M) {
            v -= M;
            first = next;
            if (next >= N || v >= M) return;
        }
        const int channels = static_cast<int>(N - first < G * C ? N - first : G * C);
        const std::ptrdiff_t dx = static_cast<std::ptrdiff_t>(first - j0) * r.inLayout.channel * fin;
        const std::ptrdiff_t dy = static_cast<std::ptrdiff_t>(first - j0) * r.outLayout.channel * fout;
        inIO.template prefetch<false>(x[0] + dx, v, channels);
        outIO.template prefetch<true>(y[0] + dy, v, channels);
    };

    // All-real policies take the coefficients widened to double once here, so
    // that no update converts its coefficients again (the values are exact).
    auto samples = [&](const auto* bc, const auto* ac) {
        for (int32_t i0 = 0; i0 < M; i0 += C) {
            const int n = (M - i0 < C) ? static_cast<int>(M - i0) : C;
            prefetchAhead(i0);
            Rows xr[G], yr[G];
            for (int g = 0; g < G; ++g) {
                xr[g] = inIO.in(x[g], i0, n, lives[g], tileIn[g]);
                yr[g] = outIO.out(y[g], i0, lives[g], tileOut[g]);
            }

            if (L == 0) {
                // Zero-state path: chosen by L alone, whatever nb and na are.
                for (int t = 0; t < n; ++t) {
                    for (int g = 0; g < G; ++g) {
                        In xi;
                        getLane<C>(xr[g], t, xi);
                        Out yi = P::zeroStateOutput(bc[0], xi);
                        if (applyGain) yi = P::scaleByGain(yi, gain);
                        putLane<C>(yr[g], t, yi);
                    }
                }
            } else {
                for (int t = 0; t < n; ++t) {
                    for (int g = 0; g < G; ++g) {
                        In xi;
                        getLane<C>(xr[g], t, xi);
                        const Out yi = SampleStep<P, FixedL>::run(xi, z[g], bc, ac, gain, applyGain, shape);
                        putLane<C>(yr[g], t, yi);
                    }
                }
            }

            for (int g = 0; g < G; ++g) outIO.flush(yr[g], y[g], i0, n, lives[g], tileOut[g]);
        }
    };
    if constexpr (P::kWideCoefficients) {
        WideCoef<C> bw[kMaxLaneState + 1];
        WideCoef<C> aw[kMaxLaneState + 1];
        for (int32_t k = 0; k < shape.nb && k <= kMaxLaneState; ++k)
            for (int c = 0; c < C; ++c) bw[k].v[c] = r.b[k];
        for (int32_t k = 0; k < shape.na && k <= kMaxLaneState; ++k)
            for (int c = 0; c < C; ++c) aw[k].v[c] = r.a[k];
        samples(bw, aw);
    } else {
        samples(r.b, r.a);
    }

    if (L > 0) {
        alignas(64) float lanes[fst * C];
        for (int g = 0; g < G; ++g) {
            float* s = reinterpret_cast<float*>(r.state) + (static_cast<std::ptrdiff_t>(j0) + g * C) * L * fst;
            for (int32_t k = 0; k < stateLength; ++k) {
                putLane<C>(Rows{lanes, 0}, 0, z[g][k]);
                for (int c = 0; c < lives[g]; ++c)
                    for (int p = 0; p < fst; ++p)
                        s[(static_cast<std::ptrdiff_t>(c) * L + k) * fst + p] = lanes[p * C + c];
            }
        }
    }
}

// Groups of C lanes that run in flight for kernel K with FixedL states in
// registers (0: the states in the stack tile), as measured on each width:
// two all-real groups, whose sample chains are long (each stored value is
// rounded to single and widened again) and overlap, when their states and
// coefficients stay in registers: up to 4 states on 4 and 8 lanes, up to 2
// on 16 (4 measured slower there). The complex kernels are bound by their
// arithmetic rather than a chain, and pairs of them measured slower.
template <Kernel K, int C, int FixedL>
constexpr int groupsInFlight() {
    if (K != Kernel::RR || FixedL == 0) return 1;
    return FixedL <= (C >= 16 ? 2 : 4) ? 2 : 1;
}

// Channel groups: as many of the widest group as fit, G at a time where
// that runs faster (groupsInFlight); the last few channels go into the
// narrowest group that holds them all, with dead lanes.
template <Kernel K, bool Interleaved>
void filterGroupsOnce(const FilterRecord<K>& r) {
    constexpr int Wide = kWidestGroup;
    constexpr int Narrow = kNarrowestGroup;
    const int32_t N = r.shape.N;
    int32_t j = 0;
    if (N >= Wide) {
        withFixedState(r.shape, [&](auto fixed) {
            constexpr int FL = decltype(fixed)::value;
            constexpr int G = groupsInFlight<K, Wide, FL>();
            if constexpr (G > 1) {
                for (; N - j >= G * Wide; j += G * Wide) filterGroup<K, Wide, FL, Interleaved, G>(r, j, Wide);
            }
            for (; N - j >= Wide; j += Wide) filterGroup<K, Wide, FL, Interleaved>(r, j, Wide);
        });
    }
    const int rest = static_cast<int>(N - j);
    if (rest == 0) return;
    if constexpr (Narrow < Wide) {
        if (rest <= Narrow) {
            filterGroup<K, Narrow, 0, Interleaved>(r, j, rest);
            return;
        }
    }
    filterGroup<K, Wide, 0, Interleaved>(r, j, rest);
}

// Column-major data runs each group through all its samples: every channel is
// one sequential stream. Channel-interleaved data would then be read one
// cache line per row, rows apart, for every group; so it runs all groups
// through one block of samples before the next block, and memory is read row
// after row. The states wait in the state buffer between blocks, and the
// pieces give the bits of one pass, as chained calls do.
template <Kernel K, bool Interleaved>
void filterGroups(const FilterRecord<K>& r) {
    if constexpr (!Interleaved) {
        filterGroupsOnce<K, false>(r);
    } else {
        using Rec = FilterRecord<K>;
        constexpr std::ptrdiff_t in = sizeof(typename Rec::In), out = sizeof(typename Rec::Out);
        forInterleavedBlocks(r.shape.M, r.input, r.inLayout.sample * in, r.shape.N * in, r.output,
                             r.outLayout.sample * out, r.shape.N * out, [&r](int32_t i0, int32_t rows) {
                                 Rec part = r;
                                 part.shape.M = rows;
                                 part.input += static_cast<std::ptrdiff_t>(i0) * r.inLayout.sample;
                                 part.output += static_cast<std::ptrdiff_t>(i0) * r.outLayout.sample;
                                 filterGroupsOnce<K, true>(part);
                             });
    }
}

// Runs the record and returns true, or returns false without touching
// anything when the call is beyond the groups (see lanes.h).
template <Kernel K>
bool filterLanes(const FilterRecord<K>& r) {
    const FilterShape& s = r.shape;
    // Longer states, and coefficient vectors longer than the tiles hold (only
    // possible on the zero-state path), take a one-channel path.
    if (s.L > kMaxLaneState || s.nb > kMaxLaneState + 1 || s.na > kMaxLaneState + 1) return false;
    switch (laneLayout(r.inLayout, r.outLayout)) {
        case LaneLayout::ColumnMajor: filterGroups<K, false>(r); return true;
        case LaneLayout::Interleaved: filterGroups<K, true>(r); return true;
        case LaneLayout::Other: return false;
    }
    return false;
}

}  // namespace
}  // namespace MARROWICK_ISA
}  // namespace marrowick
