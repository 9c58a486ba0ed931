// The direct-form II transposed recurrence one channel at a time, written
// once for every kernel: the policy of the record's kernel fixes the operand
// types and how each stored value is formed.
//
// Two paths run it. filterDefinition is the definition of the arithmetic, the
// plainest loop there is: every other path is tested bit for bit against it.
// filterOneChannelFast runs the same sample step with a short state held in
// registers for the whole channel. Both honour any memory layout of the input
// and the output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "marrowick/isa_namespace.h"
#include "policies.h"
#include "record.h"
#include "step.h"

namespace marrowick {
inline namespace MARROWICK_ISA {

namespace onechannel {

// One channel through all its samples. FixedL > 0 keeps the state in a local
// array indexed only by constants (registers); UnitStride says that the
// channel's samples are adjacent in both buffers.
template <Kernel K, int FixedL, bool UnitStride>
void channel(const FilterRecord<K>& r, int32_t j) {
    using P = Policy<K, ScalarArith>;
    using State = typename P::State;
    // Copies, so that no store of an output (which might alias the record as
    // far as the compiler knows) makes it read them again.
    const FilterShape s = r.shape;
    const typename P::Gain gain = r.gain;
    const bool applyGain = r.applyGain;
    const typename P::Num* const b = r.b;
    const typename P::Den* const a = r.a;
    const std::ptrdiff_t xs = UnitStride ? 1 : r.inLayout.sample;
    const std::ptrdiff_t ys = UnitStride ? 1 : r.outLayout.sample;
    const typename P::In* x = r.input + static_cast<std::ptrdiff_t>(j) * r.inLayout.channel;
    typename P::Out* y = r.output + static_cast<std::ptrdiff_t>(j) * r.outLayout.channel;

    if (s.L == 0) {
        // Zero-state path: chosen by L alone, whatever nb and na are.
        for (int32_t i = 0; i < s.M; ++i) {
            typename P::Out yi = P::zeroStateOutput(b[0], x[i * xs]);
            if (applyGain) yi = P::scaleByGain(yi, gain);
            y[i * ys] = yi;
        }
        return;
    }

    // One sample at a time: the output step, then the state updates (step.h,
    // the one definition of a sample for every path).
    State* zs = r.state + static_cast<std::ptrdiff_t>(j) * s.L;
    if constexpr (FixedL > 0) {
        State z[FixedL];
        for (int k = 0; k < FixedL; ++k) z[k] = zs[k];
        for (int32_t i = 0; i < s.M; ++i)
            y[i * ys] = SampleStep<P, FixedL>::run(x[i * xs], z, b, a, gain, applyGain, s);
        for (int k = 0; k < FixedL; ++k) zs[k] = z[k];
    } else {
        for (int32_t i = 0; i < s.M; ++i) y[i * ys] = SampleStep<P, 0>::run(x[i * xs], zs, b, a, gain, applyGain, s);
    }
}

template <Kernel K, int FixedL>
void channels(const FilterRecord<K>& r) {
    const bool unit = r.inLayout.sample == 1 && r.outLayout.sample == 1;
    for (int32_t j = 0; j < r.shape.N; ++j) {
        if (unit) {
            channel<K, FixedL, true>(r, j);
        } else {
            channel<K, FixedL, false>(r, j);
        }
    }
}

}  // namespace onechannel

// The definition: channel after channel, the state read and written in its
// buffer, sample after sample.
template <Kernel K>
void filterDefinition(const FilterRecord<K>& r) {
    for (int32_t j = 0; j < r.shape.N; ++j) onechannel::channel<K, 0, false>(r, j);
}

// The fast one-channel path: the same steps with a state of up to
// kMaxFixedState elements in registers; other shapes run the general step.
template <Kernel K>
void filterOneChannelFast(const FilterRecord<K>& r) {
    if (r.shape.L == 0) {
        onechannel::channels<K, 0>(r);
        return;
    }
    withFixedState(r.shape, [&](auto fixed) { onechannel::channels<K, decltype(fixed)::value>(r); });
}

}  // namespace MARROWICK_ISA
}  // namespace marrowick
