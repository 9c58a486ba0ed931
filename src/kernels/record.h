// The one record every kernel hands below itself: which kernel, the shape of
// the call, the gain, typed views of the five buffers and the memory layout of
// the input and the output. The path choice and every path take this record
// and nothing else, so the loose argument list of the kernels is spelt out
// only by the kernels themselves.
//
// Also here: the dispatch table, evaluated in one function (chooseKernel),
// which the entry point, the filter job, the fronts, the benchmarks and the
// tests all use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "marrowick/complex_ops.h"

namespace marrowick {

// The five kernels, in the order of the dispatch table's rows.
enum class Kernel { CC, CR, RC, RRZ, RR };

// The dispatch table: the first row that matches the three complexity flags.
//   coefficients complex, data complex          -> CC
//   coefficients complex, data real             -> CR
//   coefficients real,    data complex          -> RC
//   coefficients real,    data real, state complex -> RRZ
//   everything real                             -> RR
constexpr Kernel chooseKernel(bool coefComplex, bool dataComplex, bool stateComplex) {
    return coefComplex    ? (dataComplex ? Kernel::CC : Kernel::CR)
           : dataComplex  ? Kernel::RC
           : stateComplex ? Kernel::RRZ
                          : Kernel::RR;
}

const char* kernelName(Kernel kernel);

// The operand types of each kernel: b, a and the gain share one type, the
// output and the state another. Declared here alone: the arithmetic policies
// (policies.h) take theirs from these.
template <class Coefficient, class Input, class Output>
struct Operands {
    using Num = Coefficient;
    using Den = Coefficient;
    using Gain = Coefficient;
    using In = Input;
    using Out = Output;
    using State = Output;
};
template <Kernel K>
struct KernelTypes;
template <>
struct KernelTypes<Kernel::CC> : Operands<ComplexSingle, ComplexSingle, ComplexSingle> {};
template <>
struct KernelTypes<Kernel::CR> : Operands<ComplexSingle, float, ComplexSingle> {};
template <>
struct KernelTypes<Kernel::RC> : Operands<float, ComplexSingle, ComplexSingle> {};
template <>
struct KernelTypes<Kernel::RRZ> : Operands<float, float, ComplexSingle> {};
template <>
struct KernelTypes<Kernel::RR> : Operands<float, float, float> {};

// nb and na coefficients, M samples of N channels, L states per channel.
struct FilterShape {
    int32_t nb;
    int32_t na;
    int32_t M;
    int32_t N;
    int32_t L;
};

// Where sample i of channel j lives: element i * sample + j * channel of its
// buffer, in elements of the buffer's type (a complex element is one
// ComplexSingle). Column-major data has {1, M}; channel-interleaved data (a
// C-order M x N array) has {N, 1}.
// (The shared types here have no member functions: code compiled for a wider
// instruction set could otherwise lend them to baseline callers.)
struct Layout {
    std::ptrdiff_t sample;
    std::ptrdiff_t channel;
};

template <Kernel K>
struct FilterRecord {
    using Types = KernelTypes<K>;
    using Out = typename Types::Out;
    using State = typename Types::State;
    using Num = typename Types::Num;
    using Den = typename Types::Den;
    using In = typename Types::In;
    using Gain = typename Types::Gain;

    FilterShape shape;
    Gain gain;
    bool applyGain;
    Out* output;
    Layout outLayout;
    // L states per channel, channel j's at j * L, read and written in place.
    State* state;
    const Num* b;
    const Den* a;
    const In* input;
    Layout inLayout;
};

// The kernel a chain of calls runs after a section of this kernel: the
// first section's output is the next section's input, so real sections over
// real data with a complex state (RRZ) are followed by real sections over
// complex data (RC), and complex sections over real data (CR) by complex
// sections over complex data (CC); the others stay as they are.
constexpr Kernel laterKernel(Kernel kernel) {
    return kernel == Kernel::CR ? Kernel::CC : kernel == Kernel::RRZ ? Kernel::RC : kernel;
}

// The gain of one section, derived from its a[0] as the kernels' front ends
// derive it.
template <class G>
struct SectionGain {
    G gain;
    bool applyGain;
};

// A cascade of second-order sections below one call: section s has the
// coefficients sos[6s .. 6s+5] = b0 b1 b2 a0 a1 a2 and runs with nb = na = 3
// and two states per channel; the first section runs kernel K, the later
// ones laterKernel(K), and each section's output, stored in single
// precision, is the next section's input. The output has the type of K's
// output, which is also the later sections' input and output type.
template <Kernel K>
struct CascadeRecord {
    using Types = KernelTypes<K>;
    using Out = typename Types::Out;
    using State = typename Types::State;
    using Num = typename Types::Num;
    using In = typename Types::In;
    using Gain = typename Types::Gain;

    int32_t sections;
    int32_t M;
    int32_t N;
    const Num* sos;
    const SectionGain<Gain>* gains;  // one per section
    Out* output;
    Layout outLayout;
    // Section s, channel j: states at (s * N + j) * 2, read and written in place.
    State* state;
    const In* input;
    Layout inLayout;
};

}  // namespace marrowick
