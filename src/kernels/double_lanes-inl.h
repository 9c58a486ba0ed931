// The vector paths of the double-precision kernels: groups of channels side
// by side, one channel per lane of doubles (AVX-512 8, AVX2 4, SSE2 and NEON
// 2), forming every value by the arithmetic of double_step.h. Each entry
// returns false, without touching anything, for a call beyond it; the caller
// then runs the one-channel path.
//
//  - b/a (doubleFilterLanes): column-major or channel-interleaved data, the
//    coefficients padded and normalised once per call as the definition
//    forms each of them, states of up to kMaxLaneState per channel (short
//    ones in registers). The division by |a0|^2 of a complex filter is left
//    out where |a0|^2 is exactly 1: the quotient is then the dividend.
//  - Sections (doubleCascadeLanes): channels in lanes in the same two
//    layouts, software-pipelined across sections as the single-precision
//    cascade is (at step t section s works on sample t - s), which changes
//    no value. Complex products are the written-out formula. All-real
//    sections of one channel, or of any other layout, run with the sections
//    side by side in the lanes instead.
//
// Data moves through tiles of W samples of W channels, one row of W doubles
// per sample (two rows, real parts first, for a complex sample), as the
// single-precision paths move floats (lanes-inl.h): column-major data is
// transposed (TransposeDoubles), channel-interleaved data read where it lies.
//
// Included by the translation unit of each instruction set (lanes_sse2.cpp
// and so on), after its group widths.
#pragma once

#include "double_recurrence.h"
#include "lanes-inl.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace {
namespace dlanes {

#define MARROWICK_DLANE inline __attribute__((always_inline))

// Doubles to a vector: half the widest group of floats.
constexpr int kLanes = kWidestGroup / 2;
using D = typename LaneTypes<kLanes>::Doubles;
using Cd = dbl::Cx<D>;
typedef long long DMask __attribute__((vector_size(kLanes * sizeof(long long))));

template <std::size_t... I>
MARROWICK_DLANE D splatOf(double v, std::index_sequence<I...>) {
    return D{(static_cast<void>(I), v)...};
}
MARROWICK_DLANE D splat(double v) { return splatOf(v, std::make_index_sequence<kLanes>()); }
MARROWICK_DLANE Cd splat(ComplexDouble v) { return Cd{splat(v.re), splat(v.im)}; }

// The lane value of an item type, and the doubles an item takes.
template <class T>
struct LaneOf;
template <>
struct LaneOf<double> {
    using type = D;
};
template <>
struct LaneOf<ComplexDouble> {
    using type = Cd;
};
template <class T>
using Lane = typename LaneOf<T>::type;
template <class T>
constexpr int partsOf() {
    return static_cast<int>(sizeof(T) / sizeof(double));
}

// Real data of a complex operation: a +0 imaginary part in every lane.
MARROWICK_DLANE Cd asComplex(const D& v) { return Cd{v, D{}}; }
MARROWICK_DLANE Cd asComplex(const Cd& v) { return v; }

// Rows of lanes: sample t's lanes start at base + t * stride (real parts;
// the imaginary parts of a complex sample follow kLanes doubles later).
struct DRows {
    double* base;
    std::ptrdiff_t stride;
};
MARROWICK_DLANE void get(const DRows& r, int t, D& v) { std::memcpy(&v, r.base + t * r.stride, sizeof(D)); }
MARROWICK_DLANE void get(const DRows& r, int t, Cd& v) {
    std::memcpy(&v.re, r.base + t * r.stride, sizeof(D));
    std::memcpy(&v.im, r.base + t * r.stride + kLanes, sizeof(D));
}
MARROWICK_DLANE void put(const DRows& r, int t, const D& v) { std::memcpy(r.base + t * r.stride, &v, sizeof(D)); }
MARROWICK_DLANE void put(const DRows& r, int t, const Cd& v) {
    std::memcpy(r.base + t * r.stride, &v.re, sizeof(D));
    std::memcpy(r.base + t * r.stride + kLanes, &v.im, sizeof(D));
}

// Column-major tile I/O of one group: `live` channel rows from base, row
// stride `stride` doubles, a segment of `count` (<= kLanes) doubles per row,
// transposed into or out of the tile rows 0 .. kLanes - 1.
struct DTile {
    static void load(const double* base, std::ptrdiff_t stride, int live, int count, double* tile) {
        if (live == kLanes && count == kLanes) {
            TransposeDoubles<kLanes>::run(base, stride, tile, kLanes);
            return;
        }
        alignas(64) double rows[kLanes * kLanes];
        std::memset(rows, 0, sizeof rows);
        for (int r = 0; r < live; ++r)
            std::memcpy(rows + r * kLanes, base + static_cast<std::ptrdiff_t>(r) * stride,
                        static_cast<std::size_t>(count) * sizeof(double));
        TransposeDoubles<kLanes>::run(rows, kLanes, tile, kLanes);
    }
    static void store(const double* tile, double* base, std::ptrdiff_t stride, int live, int count) {
        if (live == kLanes && count == kLanes) {
            TransposeDoubles<kLanes>::run(tile, kLanes, base, stride);
            return;
        }
        alignas(64) double rows[kLanes * kLanes];
        TransposeDoubles<kLanes>::run(tile, kLanes, rows, kLanes);
        for (int r = 0; r < live; ++r)
            std::memcpy(base + static_cast<std::ptrdiff_t>(r) * stride, rows + r * kLanes,
                        static_cast<std::size_t>(count) * sizeof(double));
    }
};

// `n` samples, from sample i0 on, of a group's `live` channels between a
// buffer and the rows the arithmetic reads and writes (as ColumnMajorIO and
// InterleavedIO of lanes-inl.h, in doubles). Parts is 1 for real items, 2
// for complex ones; `base` is the group's first channel.
template <int Parts>
struct DColumnIO {
    std::ptrdiff_t channel;  // doubles between the starts of adjacent channels

    DRows in(const double* base, int32_t i0, int n, int live, double* tile) const {
        for (int q = 0; q < Parts; ++q)
            DTile::load(base + static_cast<std::ptrdiff_t>(i0) * Parts + q * kLanes, channel, live,
                        clampCount(n * Parts - q * kLanes, kLanes), tile + q * kLanes * kLanes);
        return DRows{tile, Parts * kLanes};
    }
    DRows out(double*, int32_t, int, double* tile) const { return DRows{tile, Parts * kLanes}; }
    void flush(const DRows&, double* base, int32_t i0, int n, int live, const double* tile) const {
        for (int q = 0; q < Parts; ++q)
            DTile::store(tile + q * kLanes * kLanes, base + static_cast<std::ptrdiff_t>(i0) * Parts + q * kLanes,
                         channel, live, clampCount(n * Parts - q * kLanes, kLanes));
    }
};

template <int Parts>
struct DInterleavedIO {
    std::ptrdiff_t sample;  // doubles between the starts of adjacent samples

    DRows in(const double* base, int32_t i0, int n, int live, double* tile) const {
        const double* first = base + static_cast<std::ptrdiff_t>(i0) * sample;
        if (Parts == 1 && live == kLanes) return DRows{const_cast<double*>(first), sample};
        for (int t = 0; t < n; ++t) {
            const double* src = first + t * sample;
            double* row = tile + t * Parts * kLanes;
            if (Parts == 2 && live == kLanes) {
                D lo, hi, re, im;
                std::memcpy(&lo, src, sizeof(D));
                std::memcpy(&hi, src + kLanes, sizeof(D));
                splitParts(lo, hi, re, im, std::make_index_sequence<kLanes>());
                std::memcpy(row, &re, sizeof(D));
                std::memcpy(row + kLanes, &im, sizeof(D));
                continue;
            }
            std::memset(row, 0, Parts * kLanes * sizeof(double));
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < Parts; ++p) row[p * kLanes + c] = src[Parts * c + p];
        }
        return DRows{tile, Parts * kLanes};
    }
    DRows out(double* base, int32_t i0, int live, double* tile) const {
        if (Parts == 1 && live == kLanes) return DRows{base + static_cast<std::ptrdiff_t>(i0) * sample, sample};
        return DRows{tile, Parts * kLanes};
    }
    void flush(const DRows& rows, double* base, int32_t i0, int n, int live, const double* tile) const {
        if (rows.base != tile) return;
        double* first = base + static_cast<std::ptrdiff_t>(i0) * sample;
        for (int t = 0; t < n; ++t) {
            double* dst = first + t * sample;
            const double* row = tile + t * Parts * kLanes;
            if (Parts == 2 && live == kLanes) {
                D re, im, lo, hi;
                std::memcpy(&re, row, sizeof(D));
                std::memcpy(&im, row + kLanes, sizeof(D));
                joinParts<kLanes>(re, im, lo, hi, std::make_index_sequence<kLanes>());
                std::memcpy(dst, &lo, sizeof(D));
                std::memcpy(dst + kLanes, &hi, sizeof(D));
                continue;
            }
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < Parts; ++p) dst[Parts * c + p] = row[p * kLanes + c];
        }
    }
};

template <int Parts, bool Interleaved>
using DataIO = typename std::conditional<Interleaved, DInterleavedIO<Parts>, DColumnIO<Parts>>::type;

// Lanes of `live` channels' items to a lane value (dead lanes zero), and back:
// item c of the group at items + c * stride.
template <class T>
void gatherLanes(const T* items, std::ptrdiff_t stride, int live, Lane<T>& v) {
    constexpr int parts = partsOf<T>();
    alignas(64) double lanes[parts * kLanes];
    std::memset(lanes, 0, sizeof lanes);
    const double* d = reinterpret_cast<const double*>(items);
    for (int c = 0; c < live; ++c)
        for (int p = 0; p < parts; ++p) lanes[p * kLanes + c] = d[c * stride * parts + p];
    get(DRows{lanes, 0}, 0, v);
}
template <class T>
void scatterLanes(const Lane<T>& v, T* items, std::ptrdiff_t stride, int live) {
    constexpr int parts = partsOf<T>();
    alignas(64) double lanes[parts * kLanes];
    put(DRows{lanes, 0}, 0, v);
    double* d = reinterpret_cast<double*>(items);
    for (int c = 0; c < live; ++c)
        for (int p = 0; p < parts; ++p) d[c * stride * parts + p] = lanes[p * kLanes + c];
}

// ---- b/a ----------------------------------------------------------------

// Longest states kept in registers: all-real, and complex.
constexpr int kRealRegisterState = 8;
constexpr int kComplexRegisterState = 4;

// The coefficients of a call, broadcast to every lane: b and a padded to
// L + 1 and normalised (real), or their terms coef * conj(a0) (complex), and
// |a0|^2 with whether it divides at all.
template <Kernel K>
struct FilterCoefs {
    using C = Lane<typename KernelTypes<K>::Num>;
    C b[kMaxLaneState + 1];
    C a[kMaxLaneState + 1];
    D mag;
    bool divide;
};
inline void formCoefs(const FilterRecord<Kernel::DRR>& r, FilterCoefs<Kernel::DRR>& c) {
    const FilterShape& s = r.shape;
    for (int32_t k = 0; k <= s.L; ++k) {
        c.b[k] = splat(dbl::realCoef(r.b, s.nb, k, r.a[0]));
        c.a[k] = splat(dbl::realCoef(r.a, s.na, k, r.a[0]));
    }
    c.mag = splat(1.0);
    c.divide = false;
}
template <Kernel K>
void formCoefs(const FilterRecord<K>& r, FilterCoefs<K>& c) {
    const FilterShape& s = r.shape;
    for (int32_t k = 0; k <= s.L; ++k) {
        c.b[k] = splat(dbl::complexCoef(r.b, s.nb, k, r.a[0]));
        c.a[k] = splat(dbl::complexCoef(r.a, s.na, k, r.a[0]));
    }
    const double mag = dbl::magnitude2(r.a[0]);
    c.mag = splat(mag);
    c.divide = !(mag == 1.0);
}

// One sample of b/a over n states (FixedL of them when FixedL > 0, so that
// they live in registers).
template <bool Divide, int FixedL>
struct DStep {
    static MARROWICK_DLANE D run(const D& x, D* z, const D* b, const D* a, const D&, int32_t L) {
        const int32_t n = FixedL > 0 ? FixedL : L;
        if (FixedL == 0 && n == 0) return dbl::realAlone(x, b[0]);
        const D y = dbl::realOutput(x, z[0], b[0]);
#pragma GCC unroll 16
        for (int32_t k = 0; k + 1 < n; ++k) z[k] = dbl::realMiddle(x, y, z[k + 1], b[k + 1], a[k + 1]);
        z[n - 1] = dbl::realLast(x, y, b[n], a[n]);
        return y;
    }
    static MARROWICK_DLANE Cd run(const Cd& x, Cd* z, const Cd* b, const Cd* a, const D& mag, int32_t L) {
        const int32_t n = FixedL > 0 ? FixedL : L;
        if (FixedL == 0 && n == 0) return dbl::term<Divide>(b[0], x, mag);
        const Cd y = dbl::complexOutput<Divide>(x, z[0], b[0], mag);
#pragma GCC unroll 16
        for (int32_t k = 0; k + 1 < n; ++k) z[k] = dbl::complexMiddle<Divide>(x, y, z[k + 1], b[k + 1], a[k + 1], mag);
        z[n - 1] = dbl::complexLast<Divide>(x, y, b[n], a[n], mag);
        return y;
    }
};

// G groups of kLanes channels from j0 on through all M samples; only the
// last group may have fewer live channels (`live`). Two groups in flight
// overlap one group's chain of dependent operations with the other's.
template <Kernel K, int FixedL, bool Divide, bool Interleaved, int G>
void filterGroup(const FilterRecord<K>& r, int32_t j0, int live, const FilterCoefs<K>& co) {
    using T = KernelTypes<K>;
    using X = Lane<typename T::In>;
    using Y = Lane<typename T::Out>;
    using Num = typename T::Num;
    constexpr int pin = partsOf<typename T::In>();
    constexpr int pout = partsOf<typename T::Out>();
    const DataIO<pin, Interleaved> inIO{Interleaved ? r.inLayout.sample * pin : r.inLayout.channel * pin};
    const DataIO<pout, Interleaved> outIO{Interleaved ? r.outLayout.sample * pout : r.outLayout.channel * pout};
    const int32_t M = r.shape.M;
    const int32_t L = r.shape.L;
    const double* x[G];
    double* y[G];
    int lives[G];
    for (int g = 0; g < G; ++g) {
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(j0) + g * kLanes;
        x[g] = reinterpret_cast<const double*>(r.input) + j * r.inLayout.channel * pin;
        y[g] = reinterpret_cast<double*>(r.output) + j * r.outLayout.channel * pout;
        lives[g] = g == G - 1 ? live : kLanes;
    }
    alignas(64) double tileIn[G][kLanes * pin * kLanes];
    alignas(64) double tileOut[G][kLanes * pout * kLanes];

    Y z[G][FixedL > 0 ? FixedL : kMaxLaneState];
    for (int g = 0; g < G; ++g)
        for (int32_t k = 0; k < L; ++k)
            gatherLanes(r.state + (static_cast<std::ptrdiff_t>(j0) + g * kLanes) * L + k, L, lives[g], z[g][k]);

    const D mag = co.mag;
    for (int32_t i0 = 0; i0 < M; i0 += kLanes) {
        const int n = (M - i0 < kLanes) ? static_cast<int>(M - i0) : kLanes;
        DRows xr[G], yr[G];
        for (int g = 0; g < G; ++g) {
            xr[g] = inIO.in(x[g], i0, n, lives[g], tileIn[g]);
            yr[g] = outIO.out(y[g], i0, lives[g], tileOut[g]);
        }
        for (int t = 0; t < n; ++t) {
            for (int g = 0; g < G; ++g) {
                X xi;
                get(xr[g], t, xi);
                Y yi;
                if constexpr (std::is_same<Num, double>::value) {
                    yi = DStep<Divide, FixedL>::run(xi, z[g], co.b, co.a, mag, L);
                } else {
                    yi = DStep<Divide, FixedL>::run(asComplex(xi), z[g], co.b, co.a, mag, L);
                }
                put(yr[g], t, yi);
            }
        }
        for (int g = 0; g < G; ++g) outIO.flush(yr[g], y[g], i0, n, lives[g], tileOut[g]);
    }

    for (int g = 0; g < G; ++g)
        for (int32_t k = 0; k < L; ++k)
            scatterLanes(z[g][k], r.state + (static_cast<std::ptrdiff_t>(j0) + g * kLanes) * L + k, L, lives[g]);
}

// Calls f(std::integral_constant<int, L>) for states short enough for
// registers, else with 0.
template <int Max, class Body>
void withRegisterState(int32_t L, Body&& f) {
    switch (L) {
        case 1: f(std::integral_constant<int, 1>()); return;
        case 2: f(std::integral_constant<int, 2>()); return;
        case 3: f(std::integral_constant<int, 3>()); return;
        case 4: f(std::integral_constant<int, 4>()); return;
        default: break;
    }
    if constexpr (Max > 4) {
        switch (L) {
            case 5: f(std::integral_constant<int, 5>()); return;
            case 6: f(std::integral_constant<int, 6>()); return;
            case 7: f(std::integral_constant<int, 7>()); return;
            case 8: f(std::integral_constant<int, 8>()); return;
            default: break;
        }
    }
    f(std::integral_constant<int, 0>());
}

// Longest all-real state for which two groups run in flight.
constexpr int kPairedState = 4;

template <Kernel K, bool Divide, bool Interleaved>
void filterGroupsOnce(const FilterRecord<K>& r, const FilterCoefs<K>& co) {
    constexpr int maxFixed = K == Kernel::DRR ? kRealRegisterState : kComplexRegisterState;
    const int32_t N = r.shape.N;
    withRegisterState<maxFixed>(r.shape.L, [&](auto fixed) {
        constexpr int FL = decltype(fixed)::value;
        int32_t j = 0;
        if constexpr (K == Kernel::DRR && FL > 0 && FL <= kPairedState) {
            for (; N - j >= 2 * kLanes; j += 2 * kLanes) filterGroup<K, FL, Divide, Interleaved, 2>(r, j, kLanes, co);
        }
        for (; j < N; j += kLanes) {
            const int live = N - j < kLanes ? static_cast<int>(N - j) : kLanes;
            filterGroup<K, FL, Divide, Interleaved, 1>(r, j, live, co);
        }
    });
}

// Column-major data runs each group through all its samples;
// channel-interleaved data all groups through one block of rows at a time
// (forInterleavedBlocks), the states waiting in their buffer between blocks.
template <Kernel K, bool Divide>
void filterGroups(const FilterRecord<K>& r, const FilterCoefs<K>& co, bool interleaved) {
    if (!interleaved) {
        filterGroupsOnce<K, Divide, false>(r, co);
        return;
    }
    using Rec = FilterRecord<K>;
    constexpr std::ptrdiff_t in = sizeof(typename Rec::In), out = sizeof(typename Rec::Out);
    forInterleavedBlocks(r.shape.M, r.input, r.inLayout.sample * in, r.shape.N * in, r.output, r.outLayout.sample * out,
                         r.shape.N * out, [&r, &co](int32_t i0, int32_t rows) {
                             Rec part = r;
                             part.shape.M = rows;
                             part.input += static_cast<std::ptrdiff_t>(i0) * r.inLayout.sample;
                             part.output += static_cast<std::ptrdiff_t>(i0) * r.outLayout.sample;
                             filterGroupsOnce<K, Divide, true>(part, co);
                         });
}

// ---- sections -----------------------------------------------------------

// A section's coefficients broadcast (b0 b1 b2 a0 a1 a2, as
// dbl::sectionCoefficients forms them), and as items for the one-channel
// step of a recovered lane.
template <class Num>
struct SectionLanes {
    Lane<Num> c[kCascadePiece][6];
    Num items[kCascadePiece][6];
};
template <class Num>
void formSections(const Num* sos, int32_t S, SectionLanes<Num>& co) {
    for (int32_t s = 0; s < S; ++s) {
        dbl::sectionCoefficients(sos + 6 * s, co.items[s]);
        for (int k = 0; k < 6; ++k) co.c[s][k] = splat(co.items[s][k]);
    }
}

MARROWICK_DLANE D section(const D* c, const double*, const D& x, D z[2]) {
    const D y = c[0] * x + z[0];
    z[0] = (c[1] * x - c[4] * y) + z[1];
    z[1] = c[2] * x - c[5] * y;
    return y;
}

MARROWICK_DLANE Cd product(const Cd& p, const Cd& q) {
    return Cd{p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

// A complex section: the products written out.
MARROWICK_DLANE Cd section(const Cd* c, const ComplexDouble*, const Cd& x, Cd z[2]) {
    const Cd b0x = product(c[0], x);
    const Cd y{b0x.re + z[0].re, b0x.im + z[0].im};
    const Cd b1x = product(c[1], x), a1y = product(c[4], y);
    const Cd b2x = product(c[2], x), a2y = product(c[5], y);
    z[0] = Cd{(b1x.re - a1y.re) + z[1].re, (b1x.im - a1y.im) + z[1].im};
    z[1] = Cd{b2x.re - a2y.re, b2x.im - a2y.im};
    return y;
}

// A group of kLanes channels from j0 (`live` of them) through the piece's
// sections, software-pipelined: at step t section s works on sample t - s,
// reading what section s - 1 produced the step before, so the sections of a
// step are independent of one another. The first and the last steps run
// only the sections that have a sample of 0 .. M-1.
template <Kernel K, bool Interleaved>
void cascadeGroup(const CascadeRecord<K>& r, int32_t j0, int live,
                  const SectionLanes<typename KernelTypes<K>::Num>& co) {
    using T = KernelTypes<K>;
    using X = Lane<typename T::In>;
    using Y = Lane<typename T::Out>;
    constexpr int pin = partsOf<typename T::In>();
    constexpr int pout = partsOf<typename T::Out>();
    const DataIO<pin, Interleaved> inIO{Interleaved ? r.inLayout.sample * pin : r.inLayout.channel * pin};
    const DataIO<pout, Interleaved> outIO{Interleaved ? r.outLayout.sample * pout : r.outLayout.channel * pout};
    const int32_t M = r.M;
    const int32_t S = r.sections;
    const double* x =
        reinterpret_cast<const double*>(r.input) + static_cast<std::ptrdiff_t>(j0) * r.inLayout.channel * pin;
    double* y = reinterpret_cast<double*>(r.output) + static_cast<std::ptrdiff_t>(j0) * r.outLayout.channel * pout;
    alignas(64) double tileIn[kLanes * pin * kLanes];
    alignas(64) double tileOut[kLanes * pout * kLanes];

    Y z[kCascadePiece][2];
    Y carry[kCascadePiece];
    const std::ptrdiff_t sectionStride = static_cast<std::ptrdiff_t>(r.N) * 2;
    typename T::State* states = r.state + static_cast<std::ptrdiff_t>(j0) * 2;
    for (int32_t s = 0; s < S; ++s)
        for (int k = 0; k < 2; ++k) gatherLanes(states + s * sectionStride + k, 2, live, z[s][k]);

    const int32_t lag = S - 1;
    const int32_t total = M + lag;
    DRows xr{tileIn, pin * kLanes}, yr{tileOut, pout * kLanes};
    for (int32_t t = 0; t < total; ++t) {
        const int32_t hi = t < lag ? t : lag;
        const int32_t lo = t - M + 1 > 1 ? t - M + 1 : 1;
        for (int32_t s = hi; s >= lo; --s) carry[s] = section(co.c[s], co.items[s], carry[s - 1], z[s]);
        if (t < M) {
            const int row = static_cast<int>(t % kLanes);
            if (row == 0) xr = inIO.in(x, t, M - t < kLanes ? static_cast<int>(M - t) : kLanes, live, tileIn);
            X xi;
            get(xr, row, xi);
            if constexpr (std::is_same<typename T::Num, double>::value) {
                carry[0] = section(co.c[0], co.items[0], xi, z[0]);
            } else {
                carry[0] = section(co.c[0], co.items[0], asComplex(xi), z[0]);
            }
        }
        if (t >= lag) {
            const int32_t i = t - lag;
            const int row = static_cast<int>(i % kLanes);
            if (row == 0) yr = outIO.out(y, i, live, tileOut);
            put(yr, row, carry[lag]);
            if (row == kLanes - 1 || i == M - 1) outIO.flush(yr, y, i - row, row + 1, live, tileOut);
        }
    }

    for (int32_t s = 0; s < S; ++s)
        for (int k = 0; k < 2; ++k) scatterLanes(z[s][k], states + s * sectionStride + k, 2, live);
}

template <Kernel K, bool Interleaved>
void cascadeGroupsOnce(const CascadeRecord<K>& r, const SectionLanes<typename KernelTypes<K>::Num>& co) {
    for (int32_t j = 0; j < r.N; j += kLanes)
        cascadeGroup<K, Interleaved>(r, j, r.N - j < kLanes ? static_cast<int>(r.N - j) : kLanes, co);
}

template <Kernel K>
void cascadeGroups(const CascadeRecord<K>& r, bool interleaved) {
    SectionLanes<typename KernelTypes<K>::Num> co;
    formSections(r.sos, r.sections, co);
    if (!interleaved) {
        cascadeGroupsOnce<K, false>(r, co);
        return;
    }
    using Rec = CascadeRecord<K>;
    constexpr std::ptrdiff_t in = sizeof(typename Rec::In), out = sizeof(typename Rec::Out);
    forInterleavedBlocks(r.M, r.input, r.inLayout.sample * in, r.N * in, r.output, r.outLayout.sample * out, r.N * out,
                         [&r, &co](int32_t i0, int32_t rows) {
                             Rec part = r;
                             part.M = rows;
                             part.input += static_cast<std::ptrdiff_t>(i0) * r.inLayout.sample;
                             part.output += static_cast<std::ptrdiff_t>(i0) * r.outLayout.sample;
                             cascadeGroupsOnce<K, true>(part, co);
                         });
}

// ---- sections in lanes --------------------------------------------------

// Most vectors of sections in flight; longer pieces run in parts over the
// whole channel, each part after the first in place on the output.
constexpr int kSectionVectors = 4;

// Lane 0 from the last lane of `before`, lanes 1 .. W-1 from lanes 0 .. W-2
// of `v`: each section takes the previous section's output of the step
// before.
template <std::size_t... I>
MARROWICK_DLANE D shiftIn(D before, D v, std::index_sequence<I...>) {
    return __builtin_shufflevector(before, v, (I == 0 ? kLanes - 1 : kLanes + I - 1)...);
}

// One channel through up to V * kLanes all-real sections, which sit in the
// last S lanes; the lanes before them pass their input on unchanged (Pass),
// so the output is the last lane of the last vector, V * kLanes - 1 steps
// after its input entered lane 0. Sample i of the channel at x[i * xs],
// section s's states at state[s * stateStride] and the one after.
template <int V, bool Pass>
void sectionsInLanes(int32_t S, const double (*c)[6], const double* x, std::ptrdiff_t xs, double* y, std::ptrdiff_t ys,
                     double* state, std::ptrdiff_t stateStride, int32_t M) {
    constexpr int lanes = V * kLanes;
    constexpr int lag = lanes - 1;
    const auto idx = std::make_index_sequence<kLanes>();
    const int offset = lanes - S;
    D b0[V], b1[V], b2[V], a1[V], a2[V], z0[V], z1[V], yv[V];
    DMask laneOf[V];
    DMask pass{};
    for (int v = 0; v < V; ++v) {
        for (int l = 0; l < kLanes; ++l) {
            const int lane = v * kLanes + l;
            const int s = lane - offset;
            const bool live = s >= 0;
            laneOf[v][l] = lane;
            if (v == 0) pass[l] = live ? 0 : -1;
            const double* k = c[live ? s : 0];
            b0[v][l] = live ? k[0] : 0.0;
            b1[v][l] = live ? k[1] : 0.0;
            b2[v][l] = live ? k[2] : 0.0;
            a1[v][l] = live ? k[4] : 0.0;
            a2[v][l] = live ? k[5] : 0.0;
            z0[v][l] = live ? state[s * stateStride] : 0.0;
            z1[v][l] = live ? state[s * stateStride + 1] : 0.0;
            yv[v][l] = 0.0;
        }
    }

    // One step: the new sample enters lane 0; with Masked, only the lanes
    // with a sample of 0 .. M-1 at this step update their states.
    auto step = [&](auto masked, int32_t t, double xin) __attribute__((always_inline)) {
        D xv[V];
        xv[0] = shiftIn(splat(xin), yv[0], idx);
        for (int v = 1; v < V; ++v) xv[v] = shiftIn(yv[v - 1], yv[v], idx);
        for (int v = 0; v < V; ++v) {
            const D xi = xv[v];
            D yi = b0[v] * xi + z0[v];
            if constexpr (Pass) {
                if (v == 0) yi = pass ? xi : yi;
            }
            const D n0 = (b1[v] * xi - a1[v] * yi) + z1[v];
            const D n1 = b2[v] * xi - a2[v] * yi;
            if constexpr (decltype(masked)::value) {
                const DMask active = (laneOf[v] <= t) & (laneOf[v] > static_cast<long long>(t) - M);
                z0[v] = active ? n0 : z0[v];
                z1[v] = active ? n1 : z1[v];
            } else {
                z0[v] = n0;
                z1[v] = n1;
            }
            yv[v] = yi;
        }
    };

    const int32_t total = M + lag;
    const int32_t fillEnd = lag < total ? lag : total;
    int32_t t = 0;
    for (; t < fillEnd; ++t) {
        step(std::true_type(), t, t < M ? x[t * xs] : 0.0);
        if (t >= lag) y[(t - lag) * ys] = yv[V - 1][kLanes - 1];
    }
    for (; t < M; ++t) {
        step(std::false_type(), t, x[t * xs]);
        y[(t - lag) * ys] = yv[V - 1][kLanes - 1];
    }
    for (; t < total; ++t) {
        step(std::true_type(), t, 0.0);
        y[(t - lag) * ys] = yv[V - 1][kLanes - 1];
    }

    for (int v = 0; v < V; ++v) {
        for (int l = 0; l < kLanes; ++l) {
            const int s = v * kLanes + l - offset;
            if (s < 0) continue;
            state[s * stateStride] = z0[v][l];
            state[s * stateStride + 1] = z1[v][l];
        }
    }
}

template <int V>
void sectionsInLanesOf(int32_t S, const double (*c)[6], const double* x, std::ptrdiff_t xs, double* y,
                       std::ptrdiff_t ys, double* state, std::ptrdiff_t stateStride, int32_t M) {
    if (S == V * kLanes) {
        sectionsInLanes<V, false>(S, c, x, xs, y, ys, state, stateStride, M);
    } else {
        sectionsInLanes<V, true>(S, c, x, xs, y, ys, state, stateStride, M);
    }
}

// All-real sections of each channel in parts of up to kSectionVectors
// vectors of sections, each part over the whole channel.
inline void cascadeSectionsInLanes(const CascadeRecord<Kernel::DRR>& r) {
    constexpr int32_t part = kSectionVectors * kLanes;
    double c[kCascadePiece][6];
    for (int32_t s = 0; s < r.sections; ++s) dbl::sectionCoefficients(r.sos + 6 * s, c[s]);
    const std::ptrdiff_t stateStride = static_cast<std::ptrdiff_t>(r.N) * 2;
    const std::ptrdiff_t ys = r.outLayout.sample;
    for (int32_t j = 0; j < r.N; ++j) {
        const double* x = r.input + static_cast<std::ptrdiff_t>(j) * r.inLayout.channel;
        double* y = r.output + static_cast<std::ptrdiff_t>(j) * r.outLayout.channel;
        std::ptrdiff_t xs = r.inLayout.sample;
        for (int32_t s0 = 0; s0 < r.sections; s0 += part) {
            const int32_t n = r.sections - s0 < part ? r.sections - s0 : part;
            double* z = r.state + 2 * static_cast<std::ptrdiff_t>(j) + s0 * stateStride;
            switch ((n + kLanes - 1) / kLanes) {
                case 1: sectionsInLanesOf<1>(n, c + s0, x, xs, y, ys, z, stateStride, r.M); break;
                case 2: sectionsInLanesOf<2>(n, c + s0, x, xs, y, ys, z, stateStride, r.M); break;
                case 3: sectionsInLanesOf<3>(n, c + s0, x, xs, y, ys, z, stateStride, r.M); break;
                default: sectionsInLanesOf<4>(n, c + s0, x, xs, y, ys, z, stateStride, r.M); break;
            }
            x = y;
            xs = ys;
        }
    }
}

}  // namespace dlanes

// Runs the record and returns true, or returns false without touching
// anything when the call is beyond the groups (see lanes.h).
template <Kernel K>
bool doubleFilterLanes(const FilterRecord<K>& r) {
    if (r.shape.L > kMaxLaneState) return false;
    const LaneLayout layout = laneLayout(r.inLayout, r.outLayout);
    if (layout == LaneLayout::Other) return false;
    const bool interleaved = layout == LaneLayout::Interleaved;
    dlanes::FilterCoefs<K> co;
    dlanes::formCoefs(r, co);
    if constexpr (K != Kernel::DRR) {
        if (co.divide) {
            dlanes::filterGroups<K, true>(r, co, interleaved);
            return true;
        }
    }
    dlanes::filterGroups<K, false>(r, co, interleaved);
    return true;
}

// Runs the piece and returns true, or returns false without touching
// anything when it is beyond these paths: all-real sections take any layout
// (one channel, or another layout, with the sections in lanes); the others
// the two layouts of the groups.
template <Kernel K>
bool doubleCascadeLanes(const CascadeRecord<K>& r) {
    const LaneLayout layout = laneLayout(r.inLayout, r.outLayout);
    if constexpr (K == Kernel::DRR) {
        if (layout == LaneLayout::Other || r.N == 1) {
            dlanes::cascadeSectionsInLanes(r);
            return true;
        }
    }
    if (layout == LaneLayout::Other) return false;
    dlanes::cascadeGroups(r, layout == LaneLayout::Interleaved);
    return true;
}

}  // namespace
}  // namespace MARROWICK_ISA
}  // namespace marrowick

#undef MARROWICK_DLANE
