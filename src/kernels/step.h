// One sample of the recurrence, for every path: the output step (the
// unscaled sum, then the gain; every state update reads y as finally
// stored), then the state updates in ascending k, so each reads the previous
// sample's z[k+1] before it is overwritten. With FixedL = 0 the ranges are
// computed from nb and na, all bounds compared as signed integers, a range
// whose bound does not exceed its start being empty. With FixedL > 0 the
// state length is a compile-time constant and the state array is indexed only
// by constants, so it lives in registers; the caller guarantees
// L = max(nb, na) - 1, under which the shared range, the one non-empty tail
// and the last element cover 0 .. L-1 in ascending order.
#pragma once

#include <cstdint>
#include <type_traits>

#include "marrowick/isa_namespace.h"
#include "record.h"

namespace marrowick {
inline namespace MARROWICK_ISA {

// Longest state length with a register-resident variant.
constexpr int32_t kMaxFixedState = 10;

template <class P, int FixedL>
struct SampleStep {
    template <class In, class State, class NumC, class DenC>
    static typename P::Out run(const In& xi, State* z, const NumC* b, const DenC* a, typename P::Gain gain,
                               bool applyGain, const FilterShape& shape) {
        const int32_t nb = shape.nb, na = shape.na;
        const int32_t m = (nb < na ? nb : na) - 1;
        const int32_t e = (nb == na) ? 1 : 0;
        typename P::Out yi = P::unscaledSum(b[0], xi, z[0]);
        if (applyGain) yi = P::scaleByGain(yi, gain);
        if constexpr (FixedL > 0) {
#pragma GCC unroll 16
            for (int k = 0; k < FixedL - 1; ++k) {
                if (k < m - e) {
                    z[k] = P::shared(b[k + 1], xi, z[k + 1], a[k + 1], yi);
                } else if (nb < na) {
                    z[k] = P::denominatorTail(z[k + 1], a[k + 1], yi);
                } else {
                    z[k] = P::numeratorTail(b[k + 1], xi, z[k + 1]);
                }
            }
            lastElement(z[FixedL - 1], xi, yi, b, a, shape);
        } else {
            int32_t k = 0;
            for (; k < m - e; ++k) z[k] = P::shared(b[k + 1], xi, z[k + 1], a[k + 1], yi);
            for (k = m; k < na - 2; ++k) z[k] = P::denominatorTail(z[k + 1], a[k + 1], yi);
            for (k = m; k < nb - 2; ++k) z[k] = P::numeratorTail(b[k + 1], xi, z[k + 1]);
            lastElement(z[shape.L - 1], xi, yi, b, a, shape);
        }
        return yi;
    }

    template <class In, class State, class NumC, class DenC>
    static void lastElement(State& zl, const In& xi, const typename P::Out& yi, const NumC* b, const DenC* a,
                            const FilterShape& shape) {
        const int32_t nb = shape.nb, na = shape.na;
        if (nb < na) {
            zl = P::lastBelow(a[na - 1], yi);
        } else if (nb > na) {
            zl = P::lastAbove(b[nb - 1], xi);
        } else {
            zl = P::lastEqual(b[nb - 1], xi, a[na - 1], yi);
        }
    }
};

// Calls f(std::integral_constant<int, L>) for L in 1..kMaxFixedState when the
// state length allows the register-resident variant, else with 0.
template <class Body>
void withFixedState(const FilterShape& shape, Body&& f) {
    const int32_t L = shape.L;
    const int32_t full = (shape.nb > shape.na ? shape.nb : shape.na) - 1;
    if (L != full) {
        f(std::integral_constant<int, 0>());
        return;
    }
    switch (L) {
        case 1: f(std::integral_constant<int, 1>()); return;
        case 2: f(std::integral_constant<int, 2>()); return;
        case 3: f(std::integral_constant<int, 3>()); return;
        case 4: f(std::integral_constant<int, 4>()); return;
        case 5: f(std::integral_constant<int, 5>()); return;
        case 6: f(std::integral_constant<int, 6>()); return;
        case 7: f(std::integral_constant<int, 7>()); return;
        case 8: f(std::integral_constant<int, 8>()); return;
        case 9: f(std::integral_constant<int, 9>()); return;
        case 10: f(std::integral_constant<int, 10>()); return;
        default: f(std::integral_constant<int, 0>()); return;
    }
}

}  // namespace MARROWICK_ISA
}  // namespace marrowick
