// Arithmetic policies of the five kernels. Each policy says, for one
// combination of operand types, how every stored value of the recurrence is
// formed and rounded; the recurrence itself (recurrence.h) is shared.
//
// Names of the steps: the zero-state path (L = 0), the output step (the
// unscaled sum b[0]*x + z[0], then the gain), the shared range, the denominator
// tail, the numerator tail and the last state element (three forms, by nb
// against na).
#pragma once

#include "marrowick/complex_ops.h"

namespace marrowick {

// All-real: each stored value is computed in double precision from its single
// operands, in the order written, and rounded to single once when stored. A
// product of two singles is exact in double, so only sums and differences
// round (to double) before the store.
struct RealPolicy {
    using Out = float;
    using State = float;
    using Num = float;
    using Den = float;
    using In = float;
    using Gain = float;

    static float zeroStateOutput(float b0, float x) {
        return static_cast<float>(static_cast<double>(x) * b0);
    }
    static float unscaledSum(float b0, float x, float z0) {
        return static_cast<float>(static_cast<double>(x) * b0 + z0);
    }
    static float scaleByGain(float y, float gain) {
        return static_cast<float>(static_cast<double>(gain) * y);
    }
    static float shared(float bk, float x, float zNext, float ak, float y) {
        return static_cast<float>((static_cast<double>(bk) * x + zNext) - static_cast<double>(y) * ak);
    }
    static float denominatorTail(float zNext, float ak, float y) {
        return static_cast<float>(zNext - static_cast<double>(ak) * y);
    }
    static float numeratorTail(float bk, float x, float zNext) {
        return static_cast<float>(static_cast<double>(bk) * x + zNext);
    }
    // Subtraction from +0: a zero product of either sign leaves +0.
    static float lastBelow(float aLast, float y) {
        return static_cast<float>(0.0 - static_cast<double>(aLast) * y);
    }
    static float lastAbove(float bLast, float x) {
        return static_cast<float>(static_cast<double>(bLast) * x);
    }
    static float lastEqual(float bLast, float x, float aLast, float y) {
        return static_cast<float>(static_cast<double>(bLast) * x - static_cast<double>(aLast) * y);
    }
};

// The complex policies round every operation to single before the next one
// uses it; they differ in how the numerator and denominator products are
// formed and in how the gain scales the output.

// Complex coefficients, complex data: every product is a full complex product,
// the coefficient on the left; the output is the left factor of the gain.
// Complex coefficients, real data: the numerator product scales the complex
// coefficient by the real sample, which is never widened to complex.
template <class InType>
struct ComplexCoefPolicy {
    using Out = ComplexSingle;
    using State = ComplexSingle;
    using Num = ComplexSingle;
    using Den = ComplexSingle;
    using In = InType;
    using Gain = ComplexSingle;

    static ComplexSingle numerator(ComplexSingle bk, ComplexSingle x) { return complexProduct(bk, x); }
    static ComplexSingle numerator(ComplexSingle bk, float x) { return complexScale(bk, x); }
    static ComplexSingle denominator(ComplexSingle ak, ComplexSingle y) { return complexProduct(ak, y); }

    static ComplexSingle zeroStateOutput(ComplexSingle b0, In x) { return numerator(b0, x); }
    static ComplexSingle unscaledSum(ComplexSingle b0, In x, ComplexSingle z0) {
        return complexSum(numerator(b0, x), z0);
    }
    static ComplexSingle scaleByGain(ComplexSingle y, ComplexSingle gain) { return complexProduct(y, gain); }
    static ComplexSingle shared(ComplexSingle bk, In x, ComplexSingle zNext, ComplexSingle ak, ComplexSingle y) {
        const ComplexSingle s = complexSum(numerator(bk, x), zNext);
        return complexDifference(s, denominator(ak, y));
    }
    static ComplexSingle denominatorTail(ComplexSingle zNext, ComplexSingle ak, ComplexSingle y) {
        return complexDifference(zNext, denominator(ak, y));
    }
    static ComplexSingle numeratorTail(ComplexSingle bk, In x, ComplexSingle zNext) {
        return complexSum(numerator(bk, x), zNext);
    }
    static ComplexSingle lastBelow(ComplexSingle aLast, ComplexSingle y) {
        return complexDifference(ComplexSingle{0.0f, 0.0f}, denominator(aLast, y));
    }
    static ComplexSingle lastAbove(ComplexSingle bLast, In x) { return numerator(bLast, x); }
    static ComplexSingle lastEqual(ComplexSingle bLast, In x, ComplexSingle aLast, ComplexSingle y) {
        const ComplexSingle d = denominator(aLast, y);
        return complexDifference(numerator(bLast, x), d);
    }
};

using PolicyCC = ComplexCoefPolicy<ComplexSingle>;
using PolicyCR = ComplexCoefPolicy<float>;

// Real coefficients over complex data (any state): numerator and denominator
// products are complex scalings by the real coefficient; the real gain scales
// both parts, even a part that is +0.
struct PolicyRC {
    using Out = ComplexSingle;
    using State = ComplexSingle;
    using Num = float;
    using Den = float;
    using In = ComplexSingle;
    using Gain = float;

    static ComplexSingle zeroStateOutput(float b0, ComplexSingle x) { return complexScale(b0, x); }
    static ComplexSingle unscaledSum(float b0, ComplexSingle x, ComplexSingle z0) {
        return complexSum(complexScale(b0, x), z0);
    }
    static ComplexSingle scaleByGain(ComplexSingle y, float gain) { return complexScale(gain, y); }
    static ComplexSingle shared(float bk, ComplexSingle x, ComplexSingle zNext, float ak, ComplexSingle y) {
        const ComplexSingle s = complexSum(complexScale(bk, x), zNext);
        return complexDifference(s, complexScale(ak, y));
    }
    static ComplexSingle denominatorTail(ComplexSingle zNext, float ak, ComplexSingle y) {
        return complexDifference(zNext, complexScale(ak, y));
    }
    static ComplexSingle numeratorTail(float bk, ComplexSingle x, ComplexSingle zNext) {
        return complexSum(complexScale(bk, x), zNext);
    }
    static ComplexSingle lastBelow(float aLast, ComplexSingle y) {
        return complexDifference(ComplexSingle{0.0f, 0.0f}, complexScale(aLast, y));
    }
    static ComplexSingle lastAbove(float bLast, ComplexSingle x) { return complexScale(bLast, x); }
    static ComplexSingle lastEqual(float bLast, ComplexSingle x, float aLast, ComplexSingle y) {
        const ComplexSingle t = complexScale(bLast, x);
        return complexDifference(t, complexScale(aLast, y));
    }
};

// Real coefficients and data, complex state: the data reaches only real parts
// (real products, real-plus-complex sums); imaginary parts come from the state
// and flow back through the denominator products.
struct PolicyRRZ {
    using Out = ComplexSingle;
    using State = ComplexSingle;
    using Num = float;
    using Den = float;
    using In = float;
    using Gain = float;

    static ComplexSingle zeroStateOutput(float b0, float x) { return {b0 * x, 0.0f}; }
    static ComplexSingle unscaledSum(float b0, float x, ComplexSingle z0) { return realPlusComplex(b0 * x, z0); }
    static ComplexSingle scaleByGain(ComplexSingle y, float gain) { return complexScale(gain, y); }
    static ComplexSingle shared(float bk, float x, ComplexSingle zNext, float ak, ComplexSingle y) {
        const ComplexSingle s = realPlusComplex(bk * x, zNext);
        return complexDifference(s, complexScale(ak, y));
    }
    static ComplexSingle denominatorTail(ComplexSingle zNext, float ak, ComplexSingle y) {
        return complexDifference(zNext, complexScale(ak, y));
    }
    static ComplexSingle numeratorTail(float bk, float x, ComplexSingle zNext) {
        return realPlusComplex(bk * x, zNext);
    }
    static ComplexSingle lastBelow(float aLast, ComplexSingle y) {
        return complexDifference(ComplexSingle{0.0f, 0.0f}, complexScale(aLast, y));
    }
    static ComplexSingle lastAbove(float bLast, float x) { return {bLast * x, 0.0f}; }
    static ComplexSingle lastEqual(float bLast, float x, float aLast, ComplexSingle y) {
        const float t = bLast * x;
        return realMinusComplex(t, complexScale(aLast, y));
    }
};

}  // namespace marrowick
