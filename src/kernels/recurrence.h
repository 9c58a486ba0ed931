// The direct-form II transposed recurrence, written once for every kernel.
// The policy P fixes the operand types and how each stored value is formed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "step.h"

namespace marrowick {

template <class P>
void filterChannels(typename P::Out* output, typename P::State* state, const typename P::Num* b,
                    const typename P::Den* a, const typename P::In* input, typename P::Gain gain,
                    bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    using Out = typename P::Out;
    using State = typename P::State;
    using In = typename P::In;

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

        // One sample at a time: the output step, then the state updates
        // (step.h, the one definition of a sample for every path).
        State* z = state + static_cast<std::ptrdiff_t>(j) * L;
        for (int32_t i = 0; i < M; ++i) y[i] = SampleStep<P, 0>::run(x[i], z, b, a, gain, applyGain, nb, na, L);
    }
}

}  // namespace marrowick
