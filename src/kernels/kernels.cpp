#include "kernels.h"

#include "lane_kernels.h"
#include "marrowick/mex.h"
#include "paths.h"
#include "policies.h"
#include "recurrence.h"
#include "step.h"

namespace marrowick {

bool pathAvailable(KernelPath path) {
    switch (path) {
        case KernelPath::Scalar:
        case KernelPath::OneChannel:
        case KernelPath::Sse2:
            return true;
        case KernelPath::Avx2:
            return __builtin_cpu_supports("avx2");
        case KernelPath::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
    }
    return false;
}

// One channel keeps a one-channel path: its recurrence is latency bound
// either way, and it needs no transposes.
KernelPath choosePath(int32_t M, int32_t N) {
    if (N < 2 || M < 1) return KernelPath::OneChannel;
    if (pathAvailable(KernelPath::Avx512)) return KernelPath::Avx512;
    if (pathAvailable(KernelPath::Avx2)) return KernelPath::Avx2;
    return KernelPath::Sse2;
}

const char* pathName(KernelPath path) {
    switch (path) {
        case KernelPath::Scalar:
            return "scalar";
        case KernelPath::OneChannel:
            return "one-channel";
        case KernelPath::Sse2:
            return "sse2";
        case KernelPath::Avx2:
            return "avx2";
        case KernelPath::Avx512:
            return "avx512";
    }
    return "?";
}

namespace {

// The recurrence of filterChannels one channel at a time, with a short state
// held in registers for the whole channel (step.h); other shapes run
// filterChannels itself.
template <class P>
void oneChannel(typename P::Out* output, typename P::State* state, const typename P::Num* b,
                const typename P::Den* a, const typename P::In* input, typename P::Gain gain, bool applyGain,
                int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    if (L == 0) {
        filterChannels<P>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
        return;
    }
    withFixedState(nb, na, L, [&](auto fixed) {
        constexpr int FL = decltype(fixed)::value;
        if constexpr (FL == 0) {
            filterChannels<P>(output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
        } else {
            for (int32_t j = 0; j < N; ++j) {
                const typename P::In* x = input + static_cast<std::ptrdiff_t>(j) * M;
                typename P::Out* y = output + static_cast<std::ptrdiff_t>(j) * M;
                typename P::State* s = state + static_cast<std::ptrdiff_t>(j) * FL;
                typename P::State z[FL];
                for (int k = 0; k < FL; ++k) z[k] = s[k];
                for (int32_t i = 0; i < M; ++i)
                    y[i] = SampleStep<P, FL>::run(x[i], z, b, a, gain, applyGain, nb, na, FL);
                for (int k = 0; k < FL; ++k) s[k] = z[k];
            }
        }
    });
}

}  // namespace

// Each kernel: the vector path of the chosen instruction set when it takes the
// call, else the one-channel recurrence.
#define MARROWICK_RUN_PATH(kernel, policy, ...)                            \
    switch (path) {                                                        \
        case KernelPath::Sse2:                                             \
            if (simd::sse2::kernel(__VA_ARGS__)) return;                   \
            break;                                                         \
        case KernelPath::Avx2:                                             \
            if (simd::avx2::kernel(__VA_ARGS__)) return;                   \
            break;                                                         \
        case KernelPath::Avx512:                                           \
            if (simd::avx512::kernel(__VA_ARGS__)) return;                 \
            break;                                                         \
        case KernelPath::OneChannel:                                       \
            oneChannel<policy>(__VA_ARGS__);                               \
            return;                                                        \
        case KernelPath::Scalar:                                           \
            break;                                                         \
    }                                                                      \
    filterChannels<policy>(__VA_ARGS__)

void KernelRR(KernelPath path, float* output, float* state, const float* b, const float* a, const float* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    MARROWICK_RUN_PATH(KernelRR, RealPolicy, output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelCC(KernelPath path, ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b,
              const ComplexSingle* a, const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb,
              int32_t na, int32_t M, int32_t N, int32_t L) {
    MARROWICK_RUN_PATH(KernelCC, PolicyCC, output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelCR(KernelPath path, ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b,
              const ComplexSingle* a, const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na,
              int32_t M, int32_t N, int32_t L) {
    MARROWICK_RUN_PATH(KernelCR, PolicyCR, output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelRC(KernelPath path, ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
              const ComplexSingle* input, float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L) {
    MARROWICK_RUN_PATH(KernelRC, PolicyRC, output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelRRZ(KernelPath path, ComplexSingle* output, ComplexSingle* state, const float* b, const float* a,
               const float* input, float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
               int32_t L) {
    MARROWICK_RUN_PATH(KernelRRZ, PolicyRRZ, output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

#undef MARROWICK_RUN_PATH

void KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,
              bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    KernelRR(choosePath(M, N), output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
              int32_t N, int32_t L) {
    KernelCC(choosePath(M, N), output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L) {
    KernelCR(choosePath(M, N), output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const ComplexSingle* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    KernelRC(choosePath(M, N), output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
}

void KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
               float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    KernelRRZ(choosePath(M, N), output, state, b, a, input, gain, applyGain, nb, na, M, N, L);
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
