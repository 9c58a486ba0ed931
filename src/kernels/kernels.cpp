// The five kernels and their gain front ends, and the typed filter call of
// the fronts beside the host. Each kernel builds the one record of its call
// (column-major input and output) and hands it to the path it chooses
// (paths.h).
#include "kernels.h"

#include "marrowick/mex.h"
#include "paths.h"
#include "record.h"

namespace marrowick {

const char* kernelName(Kernel kernel) {
    switch (kernel) {
        case Kernel::CC: return "KernelCC";
        case Kernel::CR: return "KernelCR";
        case Kernel::RC: return "KernelRC";
        case Kernel::RRZ: return "KernelRRZ";
        case Kernel::RR: return "KernelRR";
        case Kernel::DRR: return "KernelDRR";
        case Kernel::DCC: return "KernelDCC";
        case Kernel::DCR: return "KernelDCR";
    }
    return "?";
}

namespace {

// The record a kernel builds from its argument list: column-major input and
// output.
template <Kernel K>
FilterRecord<K> columnMajorRecord(typename KernelTypes<K>::Out* output, typename KernelTypes<K>::State* state,
                                  const typename KernelTypes<K>::Num* b, const typename KernelTypes<K>::Den* a,
                                  const typename KernelTypes<K>::In* input, typename KernelTypes<K>::Gain gain,
                                  bool applyGain, FilterShape shape) {
    const Layout layout{1, shape.M};
    return FilterRecord<K>{shape, gain, applyGain, output, layout, state, b, a, input, layout};
}

template <Kernel K>
void runChosenPath(const FilterRecord<K>& record) {
    runOnPath(choosePath(record.shape), record);
}

RealGain gainOf(const float* a) { return realGain(a[0]); }
ComplexGain gainOf(const ComplexSingle* a) { return complexGain(a[0]); }

// The gain of a double-precision kernel's record: unused, its arithmetic
// divides by a[0] itself.
template <class T>
struct NoGain {
    T gain{};
    bool applyGain = false;
};
NoGain<double> gainOf(const double*) { return {}; }
NoGain<ComplexDouble> gainOf(const ComplexDouble*) { return {}; }

// The typed call: the record of the call's kernel, its gain from a[0].
template <Kernel K>
void runTyped(const FilterCall& c, KernelPath path) {
    using T = KernelTypes<K>;
    const auto* a = static_cast<const typename T::Den*>(c.a);
    const auto g = gainOf(a);
    const FilterRecord<K> record{c.shape,
                                 g.gain,
                                 g.applyGain,
                                 static_cast<typename T::Out*>(c.output),
                                 c.outLayout,
                                 static_cast<typename T::State*>(c.state),
                                 static_cast<const typename T::Num*>(c.b),
                                 a,
                                 static_cast<const typename T::In*>(c.input),
                                 c.inLayout};
    runOnPath(path, record);
}

}  // namespace

void runFilterCall(const FilterCall& call, KernelPath path) {
    switch (call.kernel) {
        case Kernel::CC: runTyped<Kernel::CC>(call, path); return;
        case Kernel::CR: runTyped<Kernel::CR>(call, path); return;
        case Kernel::RC: runTyped<Kernel::RC>(call, path); return;
        case Kernel::RRZ: runTyped<Kernel::RRZ>(call, path); return;
        case Kernel::RR: runTyped<Kernel::RR>(call, path); return;
        case Kernel::DRR: runTyped<Kernel::DRR>(call, path); return;
        case Kernel::DCC: runTyped<Kernel::DCC>(call, path); return;
        case Kernel::DCR: runTyped<Kernel::DCR>(call, path); return;
    }
}

void runFilterCall(const FilterCall& call) { runFilterCall(call, choosePath(call.shape)); }

void KernelRR(float* output, float* state, const float* b, const float* a, const float* input, float gain,
              bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::RR>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelCC(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const ComplexSingle* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M,
              int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::CC>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelCR(ComplexSingle* output, ComplexSingle* state, const ComplexSingle* b, const ComplexSingle* a,
              const float* input, ComplexSingle gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N,
              int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::CR>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelRC(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const ComplexSingle* input,
              float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::RC>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
}

void KernelRRZ(ComplexSingle* output, ComplexSingle* state, const float* b, const float* a, const float* input,
               float gain, bool applyGain, int32_t nb, int32_t na, int32_t M, int32_t N, int32_t L) {
    runChosenPath(columnMajorRecord<Kernel::RRZ>(output, state, b, a, input, gain, applyGain, {nb, na, M, N, L}));
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
