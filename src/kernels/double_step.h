// The arithmetic of the double-precision kernels (DRR, DCC, DCR): every
// stored value is formed by the operations, in the order, that SciPy's
// float64 and complex128 filters use on x86-64, so that the fronts give its
// bits. Written once over a value type V (one double, or a vector of doubles
// with one channel per lane) so that every path forms every value alike.
//
// b/a (lfilter): the coefficients are first padded with zeros to
// n = max(nb, na) and divided by a[0] (the padding too: 0 / a[0]); then, per
// sample, with L = n - 1 states:
//   real     y = z[0] + b[0]*x
//            z[k] = (z[k+1] + x*b[k+1]) - y*a[k+1]     k = 0 .. L-2
//            z[L-1] = x*b[L] - y*a[L]
//            (no state: y = x*b[0])
//   complex  the coefficients are not divided; each term is instead
//            t*v / |a0|^2 with t = coef * conj(a0) formed once per
//            coefficient as (cr*a0r + ci*a0i) + (ci*a0r - cr*a0i)i, the
//            product t*v written out as (tr*vr - ti*vi) + (ti*vr + tr*vi)i
//            and each part divided by |a0|^2 = a0r*a0r + a0i*a0i; the sums
//            run in the order of the real form, part by part.
// Sections (sosfilt), each section's coefficients as given when its a0 is 1
// (1 + 0i), else divided by a0 (real) or multiplied by conj(a0) / |a0|^2
// (complex) once:
//            y = b0*x + z0
//            z0 = (b1*x - a1*y) + z1
//            z1 = b2*x - a2*y
//   the complex products written out, (pr*qr - pi*qi) + (pr*qi + pi*qr)i,
//   with no recovery of infinities that come out NaN.
// Real data of a complex filter (DCR) is read as complex with a +0
// imaginary part, which takes part in every product as SciPy's cast does.
#pragma once

#include <cstdint>

#include "marrowick/isa_namespace.h"
#include "record.h"

namespace marrowick {
inline namespace MARROWICK_ISA {
namespace dbl {

// A complex value over V: the real parts and the imaginary parts. (It may
// view a buffer of ComplexDouble, whose layout it shares.)
template <class V>
struct __attribute__((may_alias)) Cx {
    V re;
    V im;
};

// b/a, real: the output, a middle state, the last state, the output without
// states.
template <class V, class C>
inline V realOutput(V x, V z0, C b0) {
    return z0 + b0 * x;
}
template <class V, class C>
inline V realMiddle(V x, V y, V zNext, C bk, C ak) {
    return (zNext + x * bk) - y * ak;
}
template <class V, class C>
inline V realLast(V x, V y, C bk, C ak) {
    return x * bk - y * ak;
}
template <class V, class C>
inline V realAlone(V x, C b0) {
    return x * b0;
}

// b/a, complex: t * v / mag for a coefficient term t (coef * conj(a0)).
// Divide is false only where mag is exactly 1, whose quotient is the
// dividend itself.
template <bool Divide, class V, class C>
inline Cx<V> term(const Cx<C>& t, const Cx<V>& v, C mag) {
    V re = t.re * v.re - t.im * v.im;
    V im = t.im * v.re + t.re * v.im;
    if constexpr (Divide) {
        re = re / mag;
        im = im / mag;
    }
    return Cx<V>{re, im};
}
template <bool Divide, class V, class C>
inline Cx<V> complexOutput(const Cx<V>& x, const Cx<V>& z0, const Cx<C>& tb0, C mag) {
    const Cx<V> n = term<Divide>(tb0, x, mag);
    return Cx<V>{z0.re + n.re, z0.im + n.im};
}
template <bool Divide, class V, class C>
inline Cx<V> complexMiddle(const Cx<V>& x, const Cx<V>& y, const Cx<V>& zNext, const Cx<C>& tb, const Cx<C>& ta,
                           C mag) {
    const Cx<V> n = term<Divide>(tb, x, mag);
    const Cx<V> d = term<Divide>(ta, y, mag);
    return Cx<V>{(zNext.re + n.re) - d.re, (zNext.im + n.im) - d.im};
}
template <bool Divide, class V, class C>
inline Cx<V> complexLast(const Cx<V>& x, const Cx<V>& y, const Cx<C>& tb, const Cx<C>& ta, C mag) {
    const Cx<V> n = term<Divide>(tb, x, mag);
    const Cx<V> d = term<Divide>(ta, y, mag);
    return Cx<V>{n.re - d.re, n.im - d.im};
}

// The term coefficient of c: c * conj(a0), formed as the complex filter
// forms it.
inline ComplexDouble conjTerm(ComplexDouble c, ComplexDouble a0) {
    return ComplexDouble{c.re * a0.re + c.im * a0.im, c.im * a0.re - c.re * a0.im};
}
inline double magnitude2(ComplexDouble a0) { return a0.re * a0.re + a0.im * a0.im; }

// The padded, normalised real coefficient k of b or a: (k < n ? c[k] : 0) / a0.
inline double realCoef(const double* c, int32_t n, int32_t k, double a0) { return (k < n ? c[k] : 0.0) / a0; }
// The padded term coefficient k of a complex b or a.
inline ComplexDouble complexCoef(const ComplexDouble* c, int32_t n, int32_t k, ComplexDouble a0) {
    return conjTerm(k < n ? c[k] : ComplexDouble{0.0, 0.0}, a0);
}

// The complex product of a section's coefficient p and a value q, written
// out as SciPy's compiled loop forms it, without recovering infinities that
// come out NaN: (pr*qr - pi*qi) + (pr*qi + pi*qr)i.
template <class V, class C>
inline Cx<V> product(const Cx<C>& p, const Cx<V>& q) {
    return Cx<V>{p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}
inline Cx<double> product(const ComplexDouble& p, const Cx<double>& q) { return product(Cx<double>{p.re, p.im}, q); }

// One section of a cascade on one sample (scalar; the lane paths write the
// same formulas over lanes).
inline double sectionReal(const double* c, double x, double z[2]) {
    const double y = c[0] * x + z[0];
    z[0] = (c[1] * x - c[4] * y) + z[1];
    z[1] = c[2] * x - c[5] * y;
    return y;
}
inline Cx<double> sectionComplex(const ComplexDouble* c, const Cx<double>& x, Cx<double> z[2]) {
    const Cx<double> b0x = product(c[0], x);
    const Cx<double> y{b0x.re + z[0].re, b0x.im + z[0].im};
    const Cx<double> b1x = product(c[1], x), a1y = product(c[4], y);
    const Cx<double> b2x = product(c[2], x), a2y = product(c[5], y);
    z[0] = Cx<double>{(b1x.re - a1y.re) + z[1].re, (b1x.im - a1y.im) + z[1].im};
    z[1] = Cx<double>{b2x.re - a2y.re, b2x.im - a2y.im};
    return y;
}

// A section's coefficients as the cascade uses them (b0 b1 b2 a0 a1 a2).
inline void sectionCoefficients(const double* s, double out[6]) {
    const double a0 = s[3];
    for (int k = 0; k < 6; ++k) out[k] = a0 == 1.0 ? s[k] : s[k] / a0;
}
inline void sectionCoefficients(const ComplexDouble* s, ComplexDouble out[6]) {
    const ComplexDouble a0 = s[3];
    const bool one = a0.re == 1.0 && a0.im == 0.0;
    const double mag = magnitude2(a0);
    for (int k = 0; k < 6; ++k) {
        if (one) {
            out[k] = s[k];
        } else {
            const ComplexDouble t = conjTerm(s[k], a0);
            out[k] = ComplexDouble{t.re / mag, t.im / mag};
        }
    }
}

}  // namespace dbl
}  // namespace MARROWICK_ISA
}  // namespace marrowick
