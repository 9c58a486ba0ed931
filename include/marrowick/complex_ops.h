// The value types the kernels work on and the complex operations they are
// built from. Every operation here delivers each part rounded to single
// precision, and the next operation starts from that rounded value.
//
// Choices made once, for every code path:
//  - A complex product rounds each partial product to single, then rounds the
//    sum or difference of the two: re = fl(fl(pr*qr) - fl(pi*qi)),
//    im = fl(fl(pr*qi) + fl(pi*qr)). No fused multiply-add, and no recovery of
//    infinite or NaN factors beyond these formulas (so (inf + 0i) * (1 + 0i)
//    has a NaN imaginary part, inf*0).
//  - Complex division is used for the gain only: (1 + 0i) / (c + di) is formed
//    in double precision from the single parts as ((1*c + 0*d) + (0*c - 1*d)i)
//    / (c*c + d*d), each part then rounded once to single. The squares cannot
//    overflow or underflow in double for single operands. 1 + 0i and 1 - 0i give
//    exactly 1 + 0i (the imaginary part is +0 for both); a zero a[0] (0/0)
//    and an infinite part (inf/inf) give NaN parts.
//  - Zeros: each formula's IEEE result is delivered as it stands, sign included.
#pragma once

#include <cstdint>

#include "marrowick/isa_namespace.h"

namespace marrowick {

struct ComplexSingle {
    float re;
    float im;
};
static_assert(sizeof(ComplexSingle) == 8, "ComplexSingle is two packed floats");

inline namespace MARROWICK_ISA {

// Each operation is defined once, over any complex type R with parts re and
// im (one value, or lanes of values side by side); the operands may be single
// values or lanes, and a single value meets every lane alike.
namespace ops {

// Complex product p * q, the left factor first.
template <class R, class P, class Q>
inline R product(const P& p, const Q& q) {
    const auto rr = p.re * q.re;
    const auto ii = p.im * q.im;
    const auto ri = p.re * q.im;
    const auto ir = p.im * q.re;
    return R{rr - ii, ri + ir};
}
// Complex scaling of p by a real r, in either order.
template <class R, class P, class Real>
inline R scale(const P& p, const Real& r) {
    return R{p.re * r, p.im * r};
}
template <class R, class Real, class P>
inline R scaleBy(const Real& r, const P& p) {
    return R{r * p.re, r * p.im};
}
template <class R>
inline R sum(const R& p, const R& q) {
    return R{p.re + q.re, p.im + q.im};
}
template <class R>
inline R difference(const R& p, const R& q) {
    return R{p.re - q.re, p.im - q.im};
}
// r + v: only the real part is computed; the imaginary part is v's.
template <class R, class Real>
inline R realPlus(const Real& r, const R& v) {
    return R{r + v.re, v.im};
}
// r - v: the real part is computed, the imaginary part negated.
template <class R, class Real>
inline R realMinus(const Real& r, const R& v) {
    return R{r - v.re, -v.im};
}

}  // namespace ops

inline ComplexSingle complexProduct(ComplexSingle p, ComplexSingle q) { return ops::product<ComplexSingle>(p, q); }
inline ComplexSingle complexScale(ComplexSingle p, float r) { return ops::scale<ComplexSingle>(p, r); }
inline ComplexSingle complexScale(float r, ComplexSingle p) { return ops::scaleBy<ComplexSingle>(r, p); }
inline ComplexSingle complexSum(ComplexSingle p, ComplexSingle q) { return ops::sum(p, q); }
inline ComplexSingle complexDifference(ComplexSingle p, ComplexSingle q) { return ops::difference(p, q); }
// Mixed operations of the real-coefficient kernels.
inline ComplexSingle realPlusComplex(float r, ComplexSingle v) { return ops::realPlus(r, v); }
inline ComplexSingle realMinusComplex(float r, ComplexSingle v) { return ops::realMinus(r, v); }

// (1 + 0i) / q, see the choice above.
inline ComplexSingle complexReciprocal(ComplexSingle q) {
    const double c = q.re;
    const double d = q.im;
    const double den = c * c + d * d;
    const double re = (1.0 * c + 0.0 * d) / den;
    const double im = (0.0 * c - 1.0 * d) / den;
    return {static_cast<float>(re), static_cast<float>(im)};
}

}  // namespace MARROWICK_ISA
}  // namespace marrowick
