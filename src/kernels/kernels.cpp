#include "kernels.h"

#include "marrowick/mex.h"
#include "policies.h"
#include "recurrence.h"

namespace marrowick {

void KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,
              bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    filterChannels<RealPolicy>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
              int32_t N, int32_t L) {
    filterChannels<PolicyCC>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L) {
    filterChannels<PolicyCR>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const ComplexSingle* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    filterChannels<PolicyRC>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
               float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    filterChannels<PolicyRRZ>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

// gain = 1 / a[0] in double, rounded to single; the multiply is skipped only
// when the double quotient is exactly 1, i.e. a[0] == 1.
RealGain realGain(float a0) {
    const double q = 1.0 / static_cast<double>(a0);
    RealGain g{static_cast<float>(q), true};
    if (!mxIsNaN(q) && q == 1.0) g.applyGain = false;
    return g;
}

// gain = (1 + 0i) / a[0] in single; the multiply is skipped exactly when the
// delivered gain is 1 + 0i or 1 - 0i. The tests run in this order and stop at
// the first that fails.
ComplexGain complexGain(ComplexSingle a0) {
    ComplexGain g{complexReciprocal(a0), true};
    if (g.gain.im == 0.0f && !mxIsNaN(static_cast<double>(g.gain.re)) && g.gain.re == 1.0f) g.applyGain = false;
    return g;
}

void computeGain(float* output, float* state, const float* b, const float* a, const float* input, int32_t nb,
                 int32_t na, int32_t M, int32_t L, int32_t N) {
    const RealGain g = realGain(a[0]);
    KernelRR(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
                 const ComplexSingle* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const ComplexGain g = complexGain(a[0]);
    KernelCC(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
                 const float* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const ComplexGain g = complexGain(a[0]);
    KernelCR(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
                 const ComplexSingle* input, int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const RealGain g = realGain(a[0]);
    KernelRC(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

void computeGain(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
                 int32_t nb, int32_t na, int32_t M, int32_t L, int32_t N) {
    const RealGain g = realGain(a[0]);
    KernelRRZ(output, state, b, a, input, g.gain, g.applyGain, nb, na, M, N, L);
}

}  // namespace marrowick
