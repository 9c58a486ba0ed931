// The one record every kernel hands below itself: which kernel, the shape of
// the call, the gain, typed views of the five buffers and the memory layout of
// the input and the output. The path choice and every path take this record
// and nothing else, so the loose argument list of the kernels is spelt out
// only by the kernels themselves.
//
// Also here: the dispatch table, evaluated in one function (chooseKernel),
// which the entry point, the filter job, the fronts, the benchmarks and the
// tests all use; the double-precision kernels of the fronts beside the host
// (chooseDoubleKernel); and the facts of every kernel's operands
// (kernelFacts), which every front reads instead of working them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "marrowick/complex_ops.h"

namespace marrowick {

// One complex value in double precision, real part first.
struct ComplexDouble {
    double re;
    double im;
};
static_assert(sizeof(ComplexDouble) == 16, "ComplexDouble is two packed doubles");

// The five kernels of the module, in the order of the dispatch table's rows;
// then the three double-precision kernels of the fronts beside the host,
// whose arithmetic is SciPy's float64 one (double_step.h): DRR with
// everything real, DCC with complex coefficients, data and state, DCR with
// complex coefficients and state over real data (read as complex with a zero
// imaginary part). Appended, so no value of the first five moves.
enum class Kernel { CC, CR, RC, RRZ, RR, DRR, DCC, DCR };

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

// The double-precision kernel: anything complex makes every operand
// complex, as SciPy's float64 filters compute (coefficients and states are
// then complex; real data is read as complex without a copy).
constexpr Kernel chooseDoubleKernel(bool coefComplex, bool dataComplex, bool stateComplex) {
    return dataComplex ? Kernel::DCC : (coefComplex || stateComplex) ? Kernel::DCR : Kernel::DRR;
}
// The kernel of a precision: double or single.
constexpr Kernel chooseKernel(bool doublePrecision, bool coefComplex, bool dataComplex, bool stateComplex) {
    return doublePrecision ? chooseDoubleKernel(coefComplex, dataComplex, stateComplex)
                           : chooseKernel(coefComplex, dataComplex, stateComplex);
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
template <>
struct KernelTypes<Kernel::DRR> : Operands<double, double, double> {};
template <>
struct KernelTypes<Kernel::DCC> : Operands<ComplexDouble, ComplexDouble, ComplexDouble> {};
template <>
struct KernelTypes<Kernel::DCR> : Operands<ComplexDouble, double, ComplexDouble> {};

constexpr bool isDoubleKernel(Kernel k) { return k == Kernel::DRR || k == Kernel::DCC || k == Kernel::DCR; }

// What every front needs to know of a kernel's operands, derived from
// KernelTypes: whether each is complex, its item size in bytes, and the
// precision of the arithmetic.
struct KernelFacts {
    bool doublePrecision;
    bool coefComplex;
    bool inComplex;
    bool outComplex;  // the output and the state
    unsigned coefItem;
    unsigned inItem;
    unsigned outItem;  // the output and the state
};
template <class T>
constexpr bool isComplexItem() {
    return std::is_same<T, ComplexSingle>::value || std::is_same<T, ComplexDouble>::value;
}
template <Kernel K>
constexpr KernelFacts factsOf() {
    using T = KernelTypes<K>;
    return KernelFacts{isDoubleKernel(K),
                       isComplexItem<typename T::Num>(),
                       isComplexItem<typename T::In>(),
                       isComplexItem<typename T::Out>(),
                       sizeof(typename T::Num),
                       sizeof(typename T::In),
                       sizeof(typename T::Out)};
}
constexpr KernelFacts kernelFacts(Kernel k) {
    switch (k) {
        case Kernel::CC: return factsOf<Kernel::CC>();
        case Kernel::CR: return factsOf<Kernel::CR>();
        case Kernel::RC: return factsOf<Kernel::RC>();
        case Kernel::RRZ: return factsOf<Kernel::RRZ>();
        case Kernel::RR: return factsOf<Kernel::RR>();
        case Kernel::DRR: return factsOf<Kernel::DRR>();
        case Kernel::DCC: return factsOf<Kernel::DCC>();
        case Kernel::DCR: return factsOf<Kernel::DCR>();
    }
    return factsOf<Kernel::RR>();
}

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
    return kernel == Kernel::CR    ? Kernel::CC
           : kernel == Kernel::RRZ ? Kernel::RC
           : kernel == Kernel::DCR ? Kernel::DCC
                                   : kernel;
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
