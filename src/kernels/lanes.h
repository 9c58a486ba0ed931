// The vector path: the recurrence of recurrence.h run on groups of channels
// side by side, one channel per lane, so that the latency of one channel's
// recurrence is hidden behind the work of the others. The arithmetic is that
// of policies.h, instantiated with lane arithmetic, so every lane forms every
// value by exactly the operations of the one-channel kernels.
//
// Data moves through fixed-size stack tiles: W samples of each of the C
// channels of a group are loaded as rows and transposed (transpose.h) into
// W lane vectors; the outputs are transposed back. A group with fewer than C
// live channels fills the dead lanes with zeros and never stores them; a last
// tile with fewer than W samples goes through a zeroed row buffer. The states
// of a group are held in a stack tile for the whole channel length, so the
// state length is bounded by kMaxLaneState; longer filters take the
// one-channel path.
//
// This header is included by one translation unit per instruction set, each
// compiled with its own target flags and defining MARROWICK_LANES_NS, so that
// nothing here is shared between them.
#ifndef MARROWICK_LANES_NS
#error "define MARROWICK_LANES_NS before including lanes.h"
#endif

// GCC 12's AVX-512 headers build some results from a deliberately undefined
// register, which its flow analysis reports as uninitialised.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lane_kernels.h"

// Lane vectors wider than the target's registers are passed between these
// internal functions by value; their calling convention is never exposed.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "policies.h"
#include "step.h"

namespace marrowick {
namespace simd {
namespace MARROWICK_LANES_NS {
namespace {

#include "transpose.h"

template <int C>
struct LaneTypes {
    typedef float F __attribute__((vector_size(C * sizeof(float))));
    typedef double D __attribute__((vector_size(C * sizeof(double))));
};

// A complex value per lane: real parts and imaginary parts in two vectors.
template <class F>
struct CxLanes {
    F re;
    F im;
};

// The complex operations of complex_ops.h with lane operands. A coefficient
// or gain (ComplexSingle or float) is shared by all lanes.
template <class F>
CxLanes<F> complexProduct(ComplexSingle p, CxLanes<F> q) {
    return ops::product<CxLanes<F>>(p, q);
}
template <class F>
CxLanes<F> complexProduct(CxLanes<F> p, ComplexSingle q) {
    return ops::product<CxLanes<F>>(p, q);
}
template <class F>
CxLanes<F> complexScale(ComplexSingle p, F r) {
    return ops::scale<CxLanes<F>>(p, r);
}
template <class F>
CxLanes<F> complexScale(float r, CxLanes<F> p) {
    return ops::scaleBy<CxLanes<F>>(r, p);
}
template <class F>
CxLanes<F> complexSum(CxLanes<F> p, CxLanes<F> q) {
    return ops::sum(p, q);
}
template <class F>
CxLanes<F> complexDifference(CxLanes<F> p, CxLanes<F> q) {
    return ops::difference(p, q);
}
template <class F>
CxLanes<F> realPlusComplex(F r, CxLanes<F> v) {
    return ops::realPlus(r, v);
}
template <class F>
CxLanes<F> realMinusComplex(F r, CxLanes<F> v) {
    return ops::realMinus(r, v);
}

// A real coefficient widened to double and broadcast to every lane once per
// group, so that no update converts or broadcasts it again.
template <int C>
struct WideCoef {
    typename LaneTypes<C>::D v;
};
template <int C>
typename LaneTypes<C>::D wideCoef(const WideCoef<C>& c) {
    return c.v;
}

template <int C>
struct LaneArith {
    using Real = typename LaneTypes<C>::F;
    using Wide = typename LaneTypes<C>::D;
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
template <class F>
void loadRow(const float* row, F& v) {
    std::memcpy(&v, row, sizeof(F));
}
template <class F>
void storeRow(float* row, const F& v) {
    std::memcpy(row, &v, sizeof(F));
}

template <int C, class F>
void getLane(const float* tile, int t, F& v) {
    loadRow(tile + static_cast<std::ptrdiff_t>(t) * C, v);
}
template <int C, class F>
void getLane(const float* tile, int t, CxLanes<F>& v) {
    loadRow(tile + static_cast<std::ptrdiff_t>(2 * t) * C, v.re);
    loadRow(tile + static_cast<std::ptrdiff_t>(2 * t + 1) * C, v.im);
}
template <int C, class F>
void putLane(float* tile, int t, const F& v) {
    storeRow(tile + static_cast<std::ptrdiff_t>(t) * C, v);
}
template <int C, class F>
void putLane(float* tile, int t, const CxLanes<F>& v) {
    storeRow(tile + static_cast<std::ptrdiff_t>(2 * t) * C, v.re);
    storeRow(tile + static_cast<std::ptrdiff_t>(2 * t + 1) * C, v.im);
}

inline int clampCount(int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

// Tile I/O of one group: `live` channel rows starting at base, row stride
// `stride` floats, a segment of `count` (<= W) floats per row, transposed into
// or out of the tile rows q*W .. q*W + W - 1 (C floats each) for block q.
template <int C, int W>
struct TileIO {
    static_assert(C % W == 0, "a group is a whole number of transpose blocks");

    static void load(const float* base, std::ptrdiff_t stride, int live, int count, float* tile) {
        for (int cb = 0; cb < C / W; ++cb) {
            const int rows = clampCount(live - cb * W, W);
            float* dst = tile + cb * W;
            if (rows == W && count == W) {
                Transpose<W>::run(base + static_cast<std::ptrdiff_t>(cb) * W * stride, stride, dst, C);
            } else if (rows == 0) {
                for (int t = 0; t < W; ++t) std::memset(dst + t * C, 0, W * sizeof(float));
            } else {
                alignas(64) float rowsBuf[W * W];
                std::memset(rowsBuf, 0, sizeof rowsBuf);
                for (int r = 0; r < rows; ++r)
                    std::memcpy(rowsBuf + r * W, base + static_cast<std::ptrdiff_t>(cb * W + r) * stride,
                                static_cast<std::size_t>(count) * sizeof(float));
                Transpose<W>::run(rowsBuf, W, dst, C);
            }
        }
    }

    static void store(const float* tile, float* base, std::ptrdiff_t stride, int live, int count) {
        for (int cb = 0; cb < C / W; ++cb) {
            const int rows = clampCount(live - cb * W, W);
            const float* src = tile + cb * W;
            if (rows == W && count == W) {
                Transpose<W>::run(src, C, base + static_cast<std::ptrdiff_t>(cb) * W * stride, stride);
            } else if (rows > 0) {
                alignas(64) float rowsBuf[W * W];
                Transpose<W>::run(src, C, rowsBuf, W);
                for (int r = 0; r < rows; ++r)
                    std::memcpy(base + static_cast<std::ptrdiff_t>(cb * W + r) * stride, rowsBuf + r * W,
                                static_cast<std::size_t>(count) * sizeof(float));
            }
        }
    }
};

template <class T>
constexpr int floatsOf() {
    return static_cast<int>(sizeof(T) / sizeof(float));
}

// One group of up to C channels, j0 to j0 + live - 1, through all M samples.
// P is the lane policy; Buf* are the buffer element types (float or
// ComplexSingle) of the one-channel kernel; FixedL > 0 keeps the states in
// registers (see step.h).
template <class P, int C, int W, int FixedL, class BufOut, class BufState, class BufIn>
void filterGroup(BufOut* output, BufState* state, const typename P::Num* b, const typename P::Den* a,
                 const BufIn* input, typename P::Gain gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
                 int32_t L, int32_t j0, int live) {
    using In = typename P::In;
    using Out = typename P::Out;
    using State = typename P::State;
    constexpr int fin = floatsOf<BufIn>();
    constexpr int fout = floatsOf<BufOut>();
    constexpr int fst = floatsOf<BufState>();

    const std::ptrdiff_t inStride = static_cast<std::ptrdiff_t>(M) * fin;
    const std::ptrdiff_t outStride = static_cast<std::ptrdiff_t>(M) * fout;
    const float* x = reinterpret_cast<const float*>(input) + static_cast<std::ptrdiff_t>(j0) * inStride;
    float* y = reinterpret_cast<float*>(output) + static_cast<std::ptrdiff_t>(j0) * outStride;

    alignas(64) float tileIn[W * fin * C];
    alignas(64) float tileOut[W * fout * C];

    State z[FixedL > 0 ? FixedL : kMaxLaneState];
    const int32_t stateLength = FixedL > 0 ? FixedL : L;
    if (L > 0) {
        // States in: element loops, once per group.
        alignas(64) float lanes[fst * C];
        const float* s = reinterpret_cast<const float*>(state) + static_cast<std::ptrdiff_t>(j0) * L * fst;
        for (int32_t k = 0; k < stateLength; ++k) {
            std::memset(lanes, 0, sizeof lanes);
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < fst; ++p)
                    lanes[p * C + c] = s[(static_cast<std::ptrdiff_t>(c) * L + k) * fst + p];
            getLane<C>(lanes, 0, z[k]);
        }
    }

    // All-real policies take the coefficients widened to double once here, so
    // that no update converts its coefficients again (the values are exact).
    auto samples = [&](const auto* bc, const auto* ac) {
        for (int32_t i0 = 0; i0 < M; i0 += W) {
            const int n = (M - i0 < W) ? static_cast<int>(M - i0) : W;
            for (int q = 0; q < fin; ++q)
                TileIO<C, W>::load(x + static_cast<std::ptrdiff_t>(i0) * fin + q * W, inStride, live,
                                   clampCount(n * fin - q * W, W), tileIn + q * W * C);

            if (L == 0) {
                // Zero-state path: chosen by L alone, whatever nb and na are.
                for (int t = 0; t < n; ++t) {
                    In xi;
                    getLane<C>(tileIn, t, xi);
                    Out yi = P::zeroStateOutput(bc[0], xi);
                    if (applyGain) yi = P::scaleByGain(yi, gain);
                    putLane<C>(tileOut, t, yi);
                }
            } else {
                for (int t = 0; t < n; ++t) {
                    In xi;
                    getLane<C>(tileIn, t, xi);
                    const Out yi = SampleStep<P, FixedL>::run(xi, z, bc, ac, gain, applyGain, nb, na, L);
                    putLane<C>(tileOut, t, yi);
                }
            }

            for (int q = 0; q < fout; ++q)
                TileIO<C, W>::store(tileOut + q * W * C, y + static_cast<std::ptrdiff_t>(i0) * fout + q * W, outStride,
                                    live, clampCount(n * fout - q * W, W));
        }
    };
    if constexpr (P::kWideCoefficients) {
        WideCoef<C> bw[kMaxLaneState + 1];
        WideCoef<C> aw[kMaxLaneState + 1];
        for (int32_t k = 0; k < nb && k <= kMaxLaneState; ++k)
            for (int c = 0; c < C; ++c) bw[k].v[c] = b[k];
        for (int32_t k = 0; k < na && k <= kMaxLaneState; ++k)
            for (int c = 0; c < C; ++c) aw[k].v[c] = a[k];
        samples(bw, aw);
    } else {
        samples(b, a);
    }

    if (L > 0) {
        alignas(64) float lanes[fst * C];
        float* s = reinterpret_cast<float*>(state) + static_cast<std::ptrdiff_t>(j0) * L * fst;
        for (int32_t k = 0; k < stateLength; ++k) {
            putLane<C>(lanes, 0, z[k]);
            for (int c = 0; c < live; ++c)
                for (int p = 0; p < fst; ++p)
                    s[(static_cast<std::ptrdiff_t>(c) * L + k) * fst + p] = lanes[p * C + c];
        }
    }
}

// Channel groups: as many of the widest group as fit, then narrower ones;
// the last few channels go into the narrowest group that holds them all, with
// dead lanes.
template <template <class> class PolicyT, class BufOut, class BufState, class BufIn, class Num, class Den,
          class Gain>
bool filterLanes(BufOut* output, BufState* state, const Num* b, const Den* a, const BufIn* input, Gain gain,
                 bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    // Longer states, and coefficient vectors longer than the tiles hold (only
    // possible on the zero-state path), take the one-channel path.
    if (L > kMaxLaneState || nb > kMaxLaneState + 1 || na > kMaxLaneState + 1) return false;
    constexpr int Wide = kWidestGroup;
    constexpr int Native = kNativeWidth;
    constexpr int Narrow = kNarrowestGroup;
    int32_t j = 0;
    if (N >= Wide) {
        withFixedState(nb, na, L, [&](auto fixed) {
            for (; N - j >= Wide; j += Wide)
                filterGroup<PolicyT<LaneArith<Wide>>, Wide, Native, decltype(fixed)::value>(
                    output, state, b, a, input, gain, applyGain, nb, na, M, L, j, Wide);
        });
    }
    if constexpr (Native < Wide) {
        for (; N - j >= Native; j += Native)
            filterGroup<PolicyT<LaneArith<Native>>, Native, Native, 0>(output, state, b, a, input, gain, applyGain,
                                                                     nb, na, M, L, j, Native);
    }
    const int rest = static_cast<int>(N - j);
    if (rest == 0) return true;
    if constexpr (Narrow < Native) {
        if (rest <= Narrow) {
            filterGroup<PolicyT<LaneArith<Narrow>>, Narrow, Narrow, 0>(output, state, b, a, input, gain, applyGain,
                                                                     nb, na, M, L, j, rest);
            return true;
        }
    }
    if (rest <= Native) {
        filterGroup<PolicyT<LaneArith<Native>>, Native, Native, 0>(output, state, b, a, input, gain, applyGain, nb, na,
                                                                 M, L, j, rest);
    } else {
        filterGroup<PolicyT<LaneArith<Wide>>, Wide, Native, 0>(output, state, b, a, input, gain, applyGain, nb, na,
                                                                M, L, j, rest);
    }
    return true;
}

template <class A>
using CCPolicy = ComplexCoefPolicyT<A, true>;
template <class A>
using CRPolicy = ComplexCoefPolicyT<A, false>;

}  // namespace

bool KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,
              bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    return filterLanes<RealPolicyT>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

bool KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
              int32_t N, int32_t L) {
    return filterLanes<CCPolicy>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

bool KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L) {
    return filterLanes<CRPolicy>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

bool KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const ComplexSingle* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    return filterLanes<PolicyRCT>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

bool KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
               float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    return filterLanes<PolicyRRZT>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

}  // namespace MARROWICK_LANES_NS
}  // namespace simd
}  // namespace marrowick
