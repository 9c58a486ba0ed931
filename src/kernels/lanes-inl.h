// The shared parts of the vector paths: the lane arithmetic and the tiles
// every lane body moves its data through. Groups of channels run side by
// side, one channel per lane, so that the latency of one channel's recurrence
// is hidden behind the work of the others. The arithmetic is that of
// policies.h, instantiated with lane arithmetic (LaneArith), so every lane
// forms every value by exactly the operations of the one-channel kernels.
//
// Data moves through fixed-size stack tiles of C samples of the C channels of
// a group, one row of C lanes per sample (two rows, real parts first, for a
// complex sample). Column-major data (each channel contiguous) is loaded as
// rows of samples and transposed (TileIO, transpose-inl.h);
// channel-interleaved data (a C-order samples x channels array) already holds
// a tile row in adjacent memory and is copied without a transpose
// (InterleavedIO). A group with fewer than C live channels fills the dead
// lanes with zeros and never stores them; a last tile with fewer than C
// samples goes through a zeroed row buffer. Channel-interleaved data runs in
// blocks of rows that fit the cache (forInterleavedBlocks).
//
// The bodies of the filter (filter_lanes-inl.h) and of the cascade
// (cascade_lanes-inl.h) include this at their top. Each is included by one
// translation unit per instruction set (lanes_sse2.cpp, lanes_neon.cpp and so on), compiled
// with its own target flags, which defines MARROWICK_ISA (the namespace of
// its instruction set) and the group widths kWidestGroup and kNarrowestGroup
// in it, so that nothing here is shared between instruction sets.
#pragma once

#ifndef MARROWICK_ISA
#error "define MARROWICK_ISA before including lanes-inl.h"
#endif

// For the whole unit, which holds nothing but lane code: GCC 12's AVX-512
// headers build some results from a deliberately undefined register, which
// its flow analysis reports as uninitialised.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "lanes.h"
#include "policies.h"
#include "record.h"
#include "step.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace {

#include "transpose-inl.h"

template <int C>
struct LaneTypes {
    typedef float Floats __attribute__((vector_size(C * sizeof(float))));
    typedef double Doubles __attribute__((vector_size(C * sizeof(double))));
};

// A complex value per lane: real parts and imaginary parts in two vectors.
template <class Floats>
struct CxLanes {
    Floats re;
    Floats im;
};

// The complex operations of complex_ops.h with lane operands. A coefficient
// or gain (ComplexSingle or float) is shared by all lanes.
template <class Floats>
CxLanes<Floats> complexProduct(ComplexSingle p, CxLanes<Floats> q) {
    return ops::product<CxLanes<Floats>>(p, q);
}
template <class Floats>
CxLanes<Floats> complexProduct(CxLanes<Floats> p, ComplexSingle q) {
    return ops::product<CxLanes<Floats>>(p, q);
}
template <class Floats>
CxLanes<Floats> complexScale(ComplexSingle p, Floats r) {
    return ops::scale<CxLanes<Floats>>(p, r);
}
template <class Floats>
CxLanes<Floats> complexScale(float r, CxLanes<Floats> p) {
    return ops::scaleBy<CxLanes<Floats>>(r, p);
}
template <class Floats>
CxLanes<Floats> complexSum(CxLanes<Floats> p, CxLanes<Floats> q) {
    return ops::sum(p, q);
}
template <class Floats>
CxLanes<Floats> complexDifference(CxLanes<Floats> p, CxLanes<Floats> q) {
    return ops::difference(p, q);
}
template <class Floats>
CxLanes<Floats> realPlusComplex(Floats r, CxLanes<Floats> v) {
    return ops::realPlus(r, v);
}
template <class Floats>
CxLanes<Floats> realMinusComplex(Floats r, CxLanes<Floats> v) {
    return ops::realMinus(r, v);
}

// A real coefficient widened to double and broadcast to every lane once per
// group, so that no update converts or broadcasts it again.
template <int C>
struct WideCoef {
    typename LaneTypes<C>::Doubles v;
};
template <int C>
typename LaneTypes<C>::Doubles wideCoef(const WideCoef<C>& c) {
    return c.v;
}

template <int C>
struct LaneArith {
    using Real = typename LaneTypes<C>::Floats;
    using Wide = typename LaneTypes<C>::Doubles;
    using Complex = CxLanes<Real>;
    static Wide widen(Real v) {
#ifdef __AVX512F__
        // GCC 12 lowers the generic 8-float widening in four-lane halves
        // with shuffles; the one-instruction conversion gives the same values.
        if constexpr (C == 8) return reinterpret_cast<Wide>(_mm512_cvtps_pd(reinterpret_cast<__m256>(v)));
#endif
        return __builtin_convertvector(v, Wide);
    }
    static Real narrow(Wide v) { return __builtin_convertvector(v, Real); }
    static Complex coefScale(ComplexSingle p, Real r) { return complexScale(p, r); }
};

// Lane values to and from a tile row (C floats per row; a complex value takes
// two rows, real parts first).
// Forced inline: a row passed through the stack in halves and read back
// whole cannot be forwarded from the store buffer, which made the AVX2
// complex paths slower than SSE2.
#define MARROWICK_LANE_IO inline __attribute__((always_inline))

template <class Floats>
MARROWICK_LANE_IO void loadRow(const float* row, Floats& v) {
    std::memcpy(&v, row, sizeof(Floats));
}
template <class Floats>
MARROWICK_LANE_IO void storeRow(float* row, const Floats& v) {
    std::memcpy(row, &v, sizeof(Floats));
}

// Rows of lanes: sample t's lanes start at base + t * stride (real parts;
// the imaginary parts of a complex sample follow C floats later).
struct Rows {
    float* base;
    std::ptrdiff_t stride;
};

template <int C, class Floats>
MARROWICK_LANE_IO void getLane(const Rows& rows, int t, Floats& v) {
    loadRow(rows.base + t * rows.stride, v);
}
template <int C, class Floats>
MARROWICK_LANE_IO void getLane(const Rows& rows, int t, CxLanes<Floats>& v) {
    loadRow(rows.base + t * rows.stride, v.re);
    loadRow(rows.base + t * rows.stride + C, v.im);
}
template <int C, class Floats>
MARROWICK_LANE_IO void putLane(const Rows& rows, int t, const Floats& v) {
    storeRow(rows.base + t * rows.stride, v);
}
template <int C, class Floats>
MARROWICK_LANE_IO void putLane(const Rows& rows, int t, const CxLanes<Floats>& v) {
    storeRow(rows.base + t * rows.stride, v.re);
    storeRow(rows.base + t * rows.stride + C, v.im);
}

// Complex values stored side by side (re, im, re, im, ...) in two vectors,
// split into a vector of real parts and one of imaginary parts, and back.
template <class V, std::size_t... I>
void splitParts(V lo, V hi, V& re, V& im, std::index_sequence<I...>) {
    re = __builtin_shufflevector(lo, hi, (2 * I)...);
    im = __builtin_shufflevector(lo, hi, (2 * I + 1)...);
}
template <int C, class V, std::size_t... I>
void joinParts(V re, V im, V& lo, V& hi, std::index_sequence<I...>) {
    lo = __builtin_shufflevector(re, im, ((I % 2) ? C + I / 2 : I / 2)...);
    hi = __builtin_shufflevector(re, im, ((I % 2) ? C + C / 2 + I / 2 : C / 2 + I / 2)...);
}

inline int clampCount(int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

// Column-major tile I/O of one group: `live` channel rows starting at base,
// row stride `stride` floats, a segment of `count` (<= C) floats per row,
// transposed into or out of the tile rows 0 .. C - 1 (C floats each).
template <int C>
struct TileIO {
    static void load(const float* base, std::ptrdiff_t stride, int live, int count, float* tile) {
        if (live == C && count == C) {
            Transpose<C>::run(base, stride, tile, C);
            return;
        }
        alignas(64) float rowsBuf[C * C];
        std::memset(rowsBuf, 0, sizeof rowsBuf);
        for (int r = 0; r < live; ++r)
            std::memcpy(rowsBuf + r * C, base + static_cast<std::ptrdiff_t>(r) * stride,
                        static_cast<std::size_t>(count) * sizeof(float));
        Transpose<C>::run(rowsBuf, C, tile, C);
    }

    static void store(const float* tile, float* base, std::ptrdiff_t stride, int live, int count) {
        if (live == C && count == C) {
            Transpose<C>::run(tile, C, base, stride);
            return;
        }
        alignas(64) float rowsBuf[C * C];
        Transpose<C>::run(tile, C, rowsBuf, C);
        for (int r = 0; r < live; ++r)
            std::memcpy(base + static_cast<std::ptrdiff_t>(r) * stride, rowsBuf + r * C,
                        static_cast<std::size_t>(count) * sizeof(float));
    }
};

template <class T>
constexpr int floatsOf() {
    return static_cast<int>(sizeof(T) / sizeof(float));
}

// Moving `n` samples, from sample i0 on, of a group's `live` channels between
// a buffer and the rows the recurrence reads and writes. `base` points at the
// group's first channel; distances are in floats. Parts is 1 for float elements,
// 2 for complex ones. in() gives the rows of the input; out() the rows to
// write the output to, which flush() then moves to the buffer.
template <int C, int Parts>
struct ColumnMajorIO {
    std::ptrdiff_t channel;  // floats between the starts of adjacent channels

    Rows in(const float* base, int32_t i0, int n, int live, float* tile) const {
        for (int q = 0; q < Parts; ++q)
            TileIO<C>::load(base + static_cast<std::ptrdiff_t>(i0) * Parts + q * C, channel, live,
                            clampCount(n * Parts - q * C, C), tile + q * C * C);
        return Rows{tile, Parts * C};
    }
    Rows out(float*, int32_t, int, float* tile) const { return Rows{tile, Parts * C}; }
    // Asks for C samples from sample i0 on of `channels` channels from base,
    // ahead of their use (for writing with Write): each group reads a strip
    // of every channel, a line or two per channel and block, which the
    // hardware does not fetch ahead.
    template <bool Write>
    MARROWICK_LANE_IO void prefetch(const float* base, int32_t i0, int channels) const {
        for (int c = 0; c < channels; ++c) {
            const char* p = reinterpret_cast<const char*>(base + c * channel + static_cast<std::ptrdiff_t>(i0) * Parts);
            for (int o = 0; o < Parts * C * static_cast<int>(sizeof(float)); o += 64)
                __builtin_prefetch(p + o, Write, 3);
        }
    }
    void flush(const Rows&, float* base, int32_t i0, int n, int live, const float* tile) const {
        for (int q = 0; q < Parts; ++q)
            TileIO<C>::store(tile + q * C * C, base + static_cast<std::ptrdiff_t>(i0) * Parts + q * C, channel, live,
                             clampCount(n * Parts - q * C, C));
    }
};

// Channel-interleaved data: a row of lanes is the group's channels of one
// sample, adjacent in memory. Real rows of a whole group are read and written
// where they lie; complex ones are split into a row of real parts and a row
// of imaginary parts with two shuffles; a group with dead lanes goes through
// a zero-filled tile.
template <int C, int Parts>
struct InterleavedIO {
    using V = typename LaneTypes<C>::Floats;
    std::ptrdiff_t sample;  // floats between the starts of adjacent samples

    Rows in(const float* base, int32_t i0, int n, int live, float* tile) const {
        const float* first = base + static_cast<std::ptrdiff_t>(i0) * sample;
        if (Parts == 1 && live == C) return Rows{const_cast<float*>(first), sample};
        for (int t = 0; t < n; ++t) {
            const float* src = first + t * sample;
            float* row = tile + t * Parts * C;
            if (Parts == 2 && live == C) {
                V lo, hi, re, im;
                loadRow(src, lo);
                loadRow(src + C, hi);
                splitParts(lo, hi, re, im, std::make_index_sequence<C>());
                storeRow(row, re);
                storeRow(row + C, im);
                continue;
            }
            std::memset(row, 0, Parts * C * sizeof(float));
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < Parts; ++p) row[p * C + c] = src[Parts * c + p];
        }
        return Rows{tile, Parts * C};
    }
    // As ColumnMajorIO::prefetch: C rows of `channels` channels.
    template <bool Write>
    MARROWICK_LANE_IO void prefetch(const float* base, int32_t i0, int channels) const {
        for (int t = 0; t < C; ++t) {
            const char* p = reinterpret_cast<const char*>(base + static_cast<std::ptrdiff_t>(i0 + t) * sample);
            for (int o = 0; o < channels * Parts * static_cast<int>(sizeof(float)); o += 64)
                __builtin_prefetch(p + o, Write, 3);
        }
    }
    Rows out(float* base, int32_t i0, int live, float* tile) const {
        float* first = base + static_cast<std::ptrdiff_t>(i0) * sample;
        if (Parts == 1 && live == C) return Rows{first, sample};
        return Rows{tile, Parts * C};
    }
    void flush(const Rows& rows, float* base, int32_t i0, int n, int live, const float* tile) const {
        if (rows.base != tile) return;
        float* first = base + static_cast<std::ptrdiff_t>(i0) * sample;
        for (int t = 0; t < n; ++t) {
            float* dst = first + t * sample;
            const float* row = tile + t * Parts * C;
            if (Parts == 2 && live == C) {
                V re, im, lo, hi;
                loadRow(row, re);
                loadRow(row + C, im);
                joinParts<C>(re, im, lo, hi, std::make_index_sequence<C>());
                storeRow(dst, lo);
                storeRow(dst + C, hi);
                continue;
            }
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < Parts; ++p) dst[Parts * c + p] = row[p * C + c];
        }
    }
};

// Bytes of input and output that one block of samples of all channels may
// span: about what the second-level cache holds.
constexpr std::ptrdiff_t kInterleavedBlockBytes = 256 * 1024;

// Channel-interleaved data in blocks of rows that together fit the cache:
// run(i0, rows) for each block in turn. The groups each read a strip of every
// row, rows apart, which the hardware does not prefetch; a block that fits
// the cache is fetched row by row first. Strides and row sizes are in bytes.
template <class Run>
void forInterleavedBlocks(int32_t M, const void* input, std::ptrdiff_t inStride, std::ptrdiff_t inRow,
                          const void* output, std::ptrdiff_t outStride, std::ptrdiff_t outRow, const Run& run) {
    std::ptrdiff_t block = inRow + outRow > 0 ? kInterleavedBlockBytes / (inRow + outRow) : M;
    block = block < kWidestGroup ? kWidestGroup : block - block % kWidestGroup;
    for (int32_t i0 = 0; i0 < M; i0 += static_cast<int32_t>(block)) {
        const int32_t rows = static_cast<int32_t>(M - i0 < block ? M - i0 : block);
        const bool fits = rows * (inRow + outRow) <= 2 * kInterleavedBlockBytes;
        for (int32_t t = 0; fits && t < rows; ++t) {
            const char* in = static_cast<const char*>(input) + (i0 + t) * inStride;
            for (std::ptrdiff_t o = 0; o < inRow; o += 64) __builtin_prefetch(in + o, 0, 2);
            const char* out = static_cast<const char*>(output) + (i0 + t) * outStride;
            for (std::ptrdiff_t o = 0; o < outRow; o += 64) __builtin_prefetch(out + o, 1, 2);
        }
        run(i0, rows);
    }
}

// The two layouts the groups take, the same for the input and the output:
// column-major (a channel's samples adjacent) and channel-interleaved (a
// sample's channels adjacent). Any other layout takes a one-channel path.
enum class LaneLayout { ColumnMajor, Interleaved, Other };
inline LaneLayout laneLayout(const Layout& in, const Layout& out) {
    if (in.sample == 1 && out.sample == 1) return LaneLayout::ColumnMajor;
    if (in.channel == 1 && out.channel == 1) return LaneLayout::Interleaved;
    return LaneLayout::Other;
}

}  // namespace
}  // namespace MARROWICK_ISA
}  // namespace marrowick

#undef MARROWICK_LANE_IO
