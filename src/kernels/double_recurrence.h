// The double-precision kernels one channel at a time: the definition of
// their arithmetic (double_step.h), against which every other path is tested
// bit for bit, and a fast one-channel path that forms the coefficients once
// per call instead of once per use. Also the cascade of sections one
// channel at a time. Any memory layout of the input and the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "double_step.h"
#include "lanes.h"
#include "marrowick/isa_namespace.h"
#include "record.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace dbl {

// Sample i of a channel as the arithmetic reads it: real, or complex (real
// data of a complex filter with a +0 imaginary part).
inline double readIn(const double* x, std::ptrdiff_t i, const double*) { return x[i]; }
inline Cx<double> readIn(const double* x, std::ptrdiff_t i, const ComplexDouble*) { return Cx<double>{x[i], 0.0}; }
inline Cx<double> readIn(const ComplexDouble* x, std::ptrdiff_t i, const ComplexDouble*) {
    return Cx<double>{x[i].re, x[i].im};
}
inline double toValue(double v) { return v; }
inline Cx<double> toValue(ComplexDouble v) { return Cx<double>{v.re, v.im}; }
inline double toItem(double v) { return v; }
inline ComplexDouble toItem(const Cx<double>& v) { return ComplexDouble{v.re, v.im}; }

// The coefficients of b/a as the recurrence uses them, coefficient k formed
// by `get(k)`: normalised real ones, or complex terms (double_step.h).
struct RealCoefs {
    const double* b;
    const double* a;
    int32_t nb, na;
    double a0;
    double bk(int32_t k) const { return realCoef(b, nb, k, a0); }
    double ak(int32_t k) const { return realCoef(a, na, k, a0); }
};
struct ComplexCoefs {
    const ComplexDouble* b;
    const ComplexDouble* a;
    int32_t nb, na;
    ComplexDouble a0;
    Cx<double> bk(int32_t k) const { return toValue(complexCoef(b, nb, k, a0)); }
    Cx<double> ak(int32_t k) const { return toValue(complexCoef(a, na, k, a0)); }
};
inline RealCoefs coefsOf(const double* b, const double* a, const FilterShape& s) {
    return RealCoefs{b, a, s.nb, s.na, a[0]};
}
inline ComplexCoefs coefsOf(const ComplexDouble* b, const ComplexDouble* a, const FilterShape& s) {
    return ComplexCoefs{b, a, s.nb, s.na, a[0]};
}

// One sample of b/a over L states, the coefficients from `c`.
template <class Coefs>
inline double sampleStep(const RealCoefs&, const Coefs& c, double x, double* z, int32_t L) {
    if (L == 0) return realAlone(x, c.bk(0));
    const double y = realOutput(x, z[0], c.bk(0));
    for (int32_t k = 0; k + 1 < L; ++k) z[k] = realMiddle(x, y, z[k + 1], c.bk(k + 1), c.ak(k + 1));
    z[L - 1] = realLast(x, y, c.bk(L), c.ak(L));
    return y;
}
template <class Coefs>
inline Cx<double> sampleStep(const ComplexCoefs& r, const Coefs& c, const Cx<double>& x, Cx<double>* z, int32_t L) {
    const double mag = magnitude2(r.a0);
    if (L == 0) return term<true>(c.bk(0), x, mag);
    const Cx<double> y = complexOutput<true>(x, z[0], c.bk(0), mag);
    for (int32_t k = 0; k + 1 < L; ++k) z[k] = complexMiddle<true>(x, y, z[k + 1], c.bk(k + 1), c.ak(k + 1), mag);
    z[L - 1] = complexLast<true>(x, y, c.bk(L), c.ak(L), mag);
    return y;
}

// The coefficients formed once into arrays, for up to kCachedCoefs of each.
constexpr int32_t kCachedCoefs = 129;
template <class Coefs>
struct CachedCoefs {
    using Value = decltype(Coefs{}.bk(0));
    Value b[kCachedCoefs];
    Value a[kCachedCoefs];
    explicit CachedCoefs(const Coefs& c, int32_t n) {
        for (int32_t k = 0; k < n; ++k) b[k] = c.bk(k), a[k] = c.ak(k);
    }
    Value bk(int32_t k) const { return b[k]; }
    Value ak(int32_t k) const { return a[k]; }
};

// Channel j through all its samples, its states in their buffer; Cached
// forms the coefficients once (at most kCachedCoefs of each).
template <Kernel K, bool Cached>
void channel(const FilterRecord<K>& r, int32_t j) {
    using T = KernelTypes<K>;
    const FilterShape s = r.shape;
    const auto coefs = coefsOf(r.b, r.a, s);
    const typename T::In* x = r.input + static_cast<std::ptrdiff_t>(j) * r.inLayout.channel;
    typename T::Out* y = r.output + static_cast<std::ptrdiff_t>(j) * r.outLayout.channel;
    typename T::State* zs = r.state + static_cast<std::ptrdiff_t>(j) * s.L;
    using Value = decltype(toValue(typename T::State{}));
    Value z[kCachedCoefs];
    const bool local = s.L < kCachedCoefs;
    Value* zv = local ? z : reinterpret_cast<Value*>(zs);
    static_assert(sizeof(Value) == sizeof(typename T::State), "states are read in place");
    if (local)
        for (int32_t k = 0; k < s.L; ++k) z[k] = toValue(zs[k]);
    auto run = [&](const auto& c) {
        for (int32_t i = 0; i < s.M; ++i) {
            const auto xi = readIn(x, i * r.inLayout.sample, static_cast<const typename T::Num*>(nullptr));
            y[i * r.outLayout.sample] = toItem(sampleStep(coefs, c, xi, zv, s.L));
        }
    };
    const int32_t n = (s.nb > s.na ? s.nb : s.na);
    if (Cached && n <= kCachedCoefs) {
        const CachedCoefs<decltype(coefs)> cached(coefs, n);
        run(cached);
    } else {
        run(coefs);
    }
    if (local)
        for (int32_t k = 0; k < s.L; ++k) zs[k] = toItem(z[k]);
}

// The definition: every coefficient formed where it is used.
template <Kernel K>
void filterDefinition(const FilterRecord<K>& r) {
    for (int32_t j = 0; j < r.shape.N; ++j) channel<K, false>(r, j);
}
template <Kernel K>
void filterOneChannelFast(const FilterRecord<K>& r) {
    for (int32_t j = 0; j < r.shape.N; ++j) channel<K, true>(r, j);
}

// A cascade one channel at a time, each sample through every section of the
// piece before the next sample (sections of one sample depend on one
// another; the processor overlaps the next sample's). The definition runs
// the same arithmetic; a chain of sections is the same either way.
template <Kernel K>
void cascadeOneChannel(const CascadeRecord<K>& r) {
    using T = KernelTypes<K>;
    using Num = typename T::Num;
    using Value = decltype(toValue(typename T::State{}));
    const int32_t S = r.sections;
    Num c[kCascadePiece][6];
    for (int32_t s = 0; s < S; ++s) sectionCoefficients(r.sos + 6 * s, c[s]);
    const std::ptrdiff_t zStride = static_cast<std::ptrdiff_t>(r.N) * 2;
    for (int32_t j = 0; j < r.N; ++j) {
        Value z[kCascadePiece][2];
        typename T::State* zs = r.state + static_cast<std::ptrdiff_t>(j) * 2;
        for (int32_t s = 0; s < S; ++s) z[s][0] = toValue(zs[s * zStride]), z[s][1] = toValue(zs[s * zStride + 1]);
        const typename T::In* x = r.input + static_cast<std::ptrdiff_t>(j) * r.inLayout.channel;
        typename T::Out* y = r.output + static_cast<std::ptrdiff_t>(j) * r.outLayout.channel;
        for (int32_t i = 0; i < r.M; ++i) {
            auto v = readIn(x, i * r.inLayout.sample, static_cast<const Num*>(nullptr));
            for (int32_t s = 0; s < S; ++s) {
                if constexpr (std::is_same<Num, double>::value) {
                    v = sectionReal(c[s], v, z[s]);
                } else {
                    v = sectionComplex(c[s], v, z[s]);
                }
            }
            y[i * r.outLayout.sample] = toItem(v);
        }
        for (int32_t s = 0; s < S; ++s) zs[s * zStride] = toItem(z[s][0]), zs[s * zStride + 1] = toItem(z[s][1]);
    }
}

}  // namespace dbl
}  // namespace MARROWICK_ISA
}  // namespace marrowick
