// Arithmetic policies of the five kernels. Each policy says, for one
// combination of operand types, how every stored value of the recurrence is
// formed and rounded; the recurrence itself (recurrence.h for one channel at a
// time, filter_lanes-inl.h and cascade_lanes-inl.h for many channels side by
// side) is shared.
//
// Every policy is a template over an arithmetic A that supplies the value
// types: A::Real (one float, or a vector of floats with one channel per lane),
// A::Wide (its double counterpart), A::Complex (ComplexSingle, or a pair of
// float vectors), widen/narrow (exact float to double, and double to float
// rounded to nearest), coefScale (a complex coefficient times a real sample)
// and the complex operations of complex_ops.h for those types. Coefficients
// and gains are plain floats or ComplexSingle shared by all lanes (the
// all-real policy also takes them widened to double). ScalarArith below gives
// the one-channel kernels; the lane arithmetic gives the vector paths, which
// therefore form every value by the same sequence of operations.
//
// The policies are named after their kernels: Policy<Kernel::RR, A> and so on.
// Their operand types are the kernel's (KernelTypes in record.h), each data
// type taken as A's value of it (PolicyOperands).
//
// Names of the steps: the zero-state path (L = 0), the output step (the
// unscaled sum b[0]*x + z[0], then the gain), the shared range, the denominator
// tail, the numerator tail and the last state element (three forms, by nb
// against na).
#pragma once

#include <type_traits>

#include "marrowick/complex_ops.h"
#include "marrowick/isa_namespace.h"
#include "record.h"

namespace marrowick {
inline namespace MARROWICK_ISA {

// A coefficient as a double: exact for a float.
inline double wideCoef(float v) { return static_cast<double>(v); }

template <Kernel K, class A>
struct Policy;

// A's value for one stored element: A::Real for a float, A::Complex for a
// ComplexSingle.
template <class A, class T>
using ValueOf = typename std::conditional<std::is_same<T, float>::value, typename A::Real, typename A::Complex>::type;

// The operand types of kernel K in arithmetic A: the coefficients and the
// gain as the kernel stores them (shared by all lanes), the input, the output
// and the state as A's values of the kernel's types.
template <Kernel K, class A>
struct PolicyOperands {
    using Num = typename KernelTypes<K>::Num;
    using Den = typename KernelTypes<K>::Den;
    using Gain = typename KernelTypes<K>::Gain;
    using In = ValueOf<A, typename KernelTypes<K>::In>;
    using Out = ValueOf<A, typename KernelTypes<K>::Out>;
    using State = ValueOf<A, typename KernelTypes<K>::State>;
};

struct ScalarArith {
    using Real = float;
    using Wide = double;
    using Complex = ComplexSingle;
    static double widen(float v) { return static_cast<double>(v); }
    static float narrow(double v) { return static_cast<float>(v); }
    // A complex coefficient scaled by a real sample.
    static ComplexSingle coefScale(ComplexSingle p, float r) { return complexScale(p, r); }
};

// All-real: each stored value is computed in double precision from its single
// operands, in the order written, and rounded to single once when stored. A
// product of two singles is exact in double, so only sums and differences
// round (to double) before the store.
template <class A>
struct Policy<Kernel::RR, A> : PolicyOperands<Kernel::RR, A> {
    using R = typename A::Real;
    // The coefficients may be handed over already widened (exactly) as lane
    // vectors of doubles; the one-channel kernels pass the floats themselves.
    // wideCoef gives the double (or double lanes) of each.
    static constexpr bool kWideCoefficients = true;

    template <class T>
    static R zeroStateOutput(T b0, R x) {
        return A::narrow(A::widen(x) * wideCoef(b0));
    }
    template <class T>
    static R unscaledSum(T b0, R x, R z0) {
        return A::narrow(A::widen(x) * wideCoef(b0) + A::widen(z0));
    }
    static R scaleByGain(R y, float gain) { return A::narrow(static_cast<double>(gain) * A::widen(y)); }
    template <class T>
    static R shared(T bk, R x, R zNext, T ak, R y) {
        return A::narrow((wideCoef(bk) * A::widen(x) + A::widen(zNext)) - A::widen(y) * wideCoef(ak));
    }
    template <class T>
    static R denominatorTail(R zNext, T ak, R y) {
        return A::narrow(A::widen(zNext) - wideCoef(ak) * A::widen(y));
    }
    template <class T>
    static R numeratorTail(T bk, R x, R zNext) {
        return A::narrow(wideCoef(bk) * A::widen(x) + A::widen(zNext));
    }
    // Subtraction from +0: a zero product of either sign leaves +0.
    template <class T>
    static R lastBelow(T aLast, R y) {
        return A::narrow(0.0 - wideCoef(aLast) * A::widen(y));
    }
    template <class T>
    static R lastAbove(T bLast, R x) {
        return A::narrow(wideCoef(bLast) * A::widen(x));
    }
    template <class T>
    static R lastEqual(T bLast, R x, T aLast, R y) {
        return A::narrow(wideCoef(bLast) * A::widen(x) - wideCoef(aLast) * A::widen(y));
    }
};

// The complex policies round every operation to single before the next one
// uses it; they differ in how the numerator and denominator products are
// formed and in how the gain scales the output.

// Complex coefficients, complex data (CC): every product is a full complex
// product, the coefficient on the left; the output is the left factor of the
// gain. Complex coefficients, real data (CR): the numerator product scales the
// complex coefficient by the real sample, which is never widened to complex.
// The two kernels share this body.
template <Kernel K, class A>
struct ComplexCoefficients : PolicyOperands<K, A> {
    using C = typename A::Complex;
    using typename PolicyOperands<K, A>::In;
    static constexpr bool kComplexData = std::is_same<typename KernelTypes<K>::In, ComplexSingle>::value;
    static constexpr bool kWideCoefficients = false;

    static C numerator(ComplexSingle bk, In x) {
        if constexpr (kComplexData) {
            return complexProduct(bk, x);
        } else {
            return A::coefScale(bk, x);
        }
    }
    static C denominator(ComplexSingle ak, C y) { return complexProduct(ak, y); }

    static C zeroStateOutput(ComplexSingle b0, In x) { return numerator(b0, x); }
    static C unscaledSum(ComplexSingle b0, In x, C z0) { return complexSum(numerator(b0, x), z0); }
    static C scaleByGain(C y, ComplexSingle gain) { return complexProduct(y, gain); }
    static C shared(ComplexSingle bk, In x, C zNext, ComplexSingle ak, C y) {
        const C s = complexSum(numerator(bk, x), zNext);
        return complexDifference(s, denominator(ak, y));
    }
    static C denominatorTail(C zNext, ComplexSingle ak, C y) { return complexDifference(zNext, denominator(ak, y)); }
    static C numeratorTail(ComplexSingle bk, In x, C zNext) { return complexSum(numerator(bk, x), zNext); }
    static C lastBelow(ComplexSingle aLast, C y) { return complexDifference(C{}, denominator(aLast, y)); }
    static C lastAbove(ComplexSingle bLast, In x) { return numerator(bLast, x); }
    static C lastEqual(ComplexSingle bLast, In x, ComplexSingle aLast, C y) {
        const C d = denominator(aLast, y);
        return complexDifference(numerator(bLast, x), d);
    }
};

template <class A>
struct Policy<Kernel::CC, A> : ComplexCoefficients<Kernel::CC, A> {};
template <class A>
struct Policy<Kernel::CR, A> : ComplexCoefficients<Kernel::CR, A> {};

// Real coefficients over complex data (any state): numerator and denominator
// products are complex scalings by the real coefficient; the real gain scales
// both parts, even a part that is +0.
template <class A>
struct Policy<Kernel::RC, A> : PolicyOperands<Kernel::RC, A> {
    using C = typename A::Complex;
    static constexpr bool kWideCoefficients = false;

    static C zeroStateOutput(float b0, C x) { return complexScale(b0, x); }
    static C unscaledSum(float b0, C x, C z0) { return complexSum(complexScale(b0, x), z0); }
    static C scaleByGain(C y, float gain) { return complexScale(gain, y); }
    static C shared(float bk, C x, C zNext, float ak, C y) {
        const C s = complexSum(complexScale(bk, x), zNext);
        return complexDifference(s, complexScale(ak, y));
    }
    static C denominatorTail(C zNext, float ak, C y) { return complexDifference(zNext, complexScale(ak, y)); }
    static C numeratorTail(float bk, C x, C zNext) { return complexSum(complexScale(bk, x), zNext); }
    static C lastBelow(float aLast, C y) { return complexDifference(C{}, complexScale(aLast, y)); }
    static C lastAbove(float bLast, C x) { return complexScale(bLast, x); }
    static C lastEqual(float bLast, C x, float aLast, C y) {
        const C t = complexScale(bLast, x);
        return complexDifference(t, complexScale(aLast, y));
    }
};

// Real coefficients and data, complex state: the data reaches only real parts
// (real products, real-plus-complex sums); imaginary parts come from the state
// and flow back through the denominator products.
template <class A>
struct Policy<Kernel::RRZ, A> : PolicyOperands<Kernel::RRZ, A> {
    using R = typename A::Real;
    using C = typename A::Complex;
    static constexpr bool kWideCoefficients = false;

    static C zeroStateOutput(float b0, R x) { return C{b0 * x, R{}}; }
    static C unscaledSum(float b0, R x, C z0) { return realPlusComplex(b0 * x, z0); }
    static C scaleByGain(C y, float gain) { return complexScale(gain, y); }
    static C shared(float bk, R x, C zNext, float ak, C y) {
        const C s = realPlusComplex(bk * x, zNext);
        return complexDifference(s, complexScale(ak, y));
    }
    static C denominatorTail(C zNext, float ak, C y) { return complexDifference(zNext, complexScale(ak, y)); }
    static C numeratorTail(float bk, R x, C zNext) { return realPlusComplex(bk * x, zNext); }
    static C lastBelow(float aLast, C y) { return complexDifference(C{}, complexScale(aLast, y)); }
    static C lastAbove(float bLast, R x) { return C{bLast * x, R{}}; }
    static C lastEqual(float bLast, R x, float aLast, C y) {
        const R t = bLast * x;
        return realMinusComplex(t, complexScale(aLast, y));
    }
};

}  // namespace MARROWICK_ISA
}  // namespace marrowick
