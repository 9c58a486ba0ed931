// The direct-form II transposed recurrence, written once for every kernel.
// The policy P fixes the operand types and how each stored value is formed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace marrowick {

template <class P>
void filterChannels(typename P::Out* output, typename P::State* state, const typename P::Num* b,
                    const typename P::Den* a, const typename P::In* input, typename P::Gain gain,
                    bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    using Out = typename P::Out;
    using State = typename P::State;
    using In = typename P::In;

    // Ranges of the state updates; all bounds compared as signed integers, and
    // a range whose bound does not exceed its start is empty.
    const int32_t m = (nb < na ? nb : na) - 1;
    const int32_t e = (nb == na) ? 1 : 0;

    for (int32_t j = 0; j < N; ++j) {
        const In* x = input + static_cast<std::ptrdiff_t>(j) * M;
        Out* y = output + static_cast<std::ptrdiff_t>(j) * M;

        if (L == 0) {
            // Zero-state path: chosen by L alone, whatever nb and na are.
            for (int32_t i = 0; i < M; ++i) {
                y[i] = P::zeroStateOutput(b[0], x[i]);
                if (applyGain) y[i] = P::scaleByGain(y[i], gain);
            }
            continue;
        }

        State* z = state + static_cast<std::ptrdiff_t>(j) * L;
        for (int32_t i = 0; i < M; ++i) {
            const In xi = x[i];
            // Output step: the unscaled sum is stored, then scaled in place;
            // every state update below reads y as finally stored.
            Out yi = P::unscaledSum(b[0], xi, z[0]);
            y[i] = yi;
            if (applyGain) {
                yi = P::scaleByGain(yi, gain);
                y[i] = yi;
            }

            // State elements are rewritten in ascending k, so each reads the
            // previous sample's z[k+1] before it is overwritten.
            int32_t k = 0;
            for (; k < m - e; ++k) z[k] = P::shared(b[k + 1], xi, z[k + 1], a[k + 1], yi);
            for (k = m; k < na - 2; ++k) z[k] = P::denominatorTail(z[k + 1], a[k + 1], yi);
            for (k = m; k < nb - 2; ++k) z[k] = P::numeratorTail(b[k + 1], xi, z[k + 1]);

            if (nb < na) {
                z[L - 1] = P::lastBelow(a[na - 1], yi);
            } else if (nb > na) {
                z[L - 1] = P::lastAbove(b[nb - 1], xi);
            } else {
                z[L - 1] = P::lastEqual(b[nb - 1], xi, a[na - 1], yi);
            }
        }
    }
}

}  // namespace marrowick
