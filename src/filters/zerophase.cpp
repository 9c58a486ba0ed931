// The zero-phase filters: the signal extended at both ends, filtered forward
// from the steady states, then backward. Each group of channels goes through
// every pass before the next group: its padding and states are the only
// scratch, the forward output is written where the result goes and the
// backward pass runs over it in place.
#include <algorithm>
#include <cstring>
#include <vector>

#include "filters.h"
#include "threads.h"

namespace marrowick::filters {
namespace {

// The most padding elements (per end) one group of channels holds.
constexpr int64_t kPadElements = int64_t{1} << 18;

char* at(const void* base, Layout layout, std::size_t item, int64_t i, int64_t j) {
    return const_cast<char*>(static_cast<const char*>(base)) +
           (i * layout.sample + j * layout.channel) * static_cast<int64_t>(item);
}

// A sample with its imaginary part, and whether it has one.
struct Sample {
    double re, im;
    bool complex;
};
template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
Sample sampleAt(const char* p, bool complex, bool doublePrecision) {
    if (doublePrecision && complex) {
        const ComplexDouble v = load<ComplexDouble>(p);
        return Sample{v.re, v.im, true};
    }
    if (doublePrecision) return Sample{load<double>(p), 0.0, false};
    if (!complex) return Sample{load<float>(p), 0.0, false};
    const ComplexSingle v = load<ComplexSingle>(p);
    return Sample{v.re, v.im, true};
}

// The padding of one end: count samples of N channels into `to` (planar,
// {1, count}), from a piece of count + 1 samples at that end: piece[count - k]
// before (k = 0 .. count - 1), piece[count - 1 - k] after, each in x's type:
//   odd: 2 * end - x,  even: x,  constant: 1 * end,
// with the products and differences of the signal's precision, a complex
// value times a real factor as a complex product with a +0 imaginary part
// (as NumPy multiplies a complex array by a number).
template <class T>
struct PartOf {
    using type = T;
};
template <>
struct PartOf<ComplexSingle> {
    using type = float;
};
template <>
struct PartOf<ComplexDouble> {
    using type = double;
};
float scaled(float f, float v) { return f * v; }
double scaled(double f, double v) { return f * v; }
template <class C, class P = typename PartOf<C>::type>
C scaled(P f, C v) {
    return C{f * v.re - P{0} * v.im, f * v.im + P{0} * v.re};
}
template <class T>
T twice(T v) {
    return scaled(typename PartOf<T>::type{2}, v);
}
template <class T>
T once(T v) {
    return scaled(typename PartOf<T>::type{1}, v);
}
float difference(float p, float q) { return p - q; }
double difference(double p, double q) { return p - q; }
template <class C>
C difference(C p, C q) {
    return C{p.re - q.re, p.im - q.im};
}

template <class T>
void padOf(PadType type, const char* piece, Layout layout, int64_t count, int64_t N, bool after, T* to) {
    const int64_t end = after ? count : 0;
    for (int64_t j = 0; j < N; ++j) {
        T e;
        std::memcpy(&e, at(piece, layout, sizeof(T), end, j), sizeof e);
        const T ends = type == PadType::Odd ? twice(e) : once(e);
        for (int64_t k = 0; k < count; ++k) {
            T v;
            std::memcpy(&v, at(piece, layout, sizeof(T), after ? end - 1 - k : count - k, j), sizeof v);
            to[j * count + k] = type == PadType::Odd ? difference(ends, v) : type == PadType::Even ? v : ends;
        }
    }
}

// Samples last, last - 1, ... of N channels (m of each) to a planar buffer,
// or (back) from it; items of `item` bytes.
void reverseBlock(std::size_t item, char* last, Layout layout, char* buffer, int64_t m, int64_t N, bool back) {
    const int64_t size = static_cast<int64_t>(item);
    for (int64_t j = 0; j < N; ++j) {
        char* y = last + j * layout.channel * size;
        char* v = buffer + j * m * size;
        for (int64_t t = 0; t < m; ++t) {
            if (back) std::memcpy(y - t * layout.sample * size, v + t * size, item);
            else std::memcpy(v + t * size, y - t * layout.sample * size, item);
        }
    }
}

// The steady states as startStates reads them.
struct ZeroPhaseParts {
    const std::vector<double>& z;
    bool zComplex;
    int64_t count;
    bool sections;
    bool doublePrecision;  // the samples and the states
};

// The padding of one end of N channels, count samples each, into `to`
// (planar, {1, count}), from `piece`, the count + 1 samples of the signal at
// that end.
void padEnd(PadType type, bool complex, bool doublePrecision, const void* piece, Layout layout, int64_t count,
            int64_t N, bool after, void* to) {
    const char* p = static_cast<const char*>(piece);
    if (doublePrecision && complex) padOf(type, p, layout, count, N, after, static_cast<ComplexDouble*>(to));
    else if (doublePrecision) padOf(type, p, layout, count, N, after, static_cast<double*>(to));
    else if (complex) padOf(type, p, layout, count, N, after, static_cast<ComplexSingle*>(to));
    else padOf(type, p, layout, count, N, after, static_cast<float*>(to));
}

// The steady states times one sample of each channel, each product formed in
// double precision as a complex product with the factors' own parts (a real
// factor's missing imaginary part taken as +0) and rounded once to the state
// type (not at all for double-precision states). z holds `count` values (double, or ComplexDouble when zComplex);
// channel j's go to state + (j * count + k) for b/a, and for sections
// (value 2s + k) to ((s * N + j) * 2 + k).
void startStates(const ZeroPhaseParts& s, void* state, int64_t N, const void* samples, Layout layout,
                 bool samplesComplex, int64_t i) {
    const std::size_t item = (samplesComplex ? 2 : 1) * (s.doublePrecision ? sizeof(double) : sizeof(float));
    for (int64_t j = 0; j < N; ++j) {
        const Sample v = sampleAt(at(samples, layout, item, i, j), samplesComplex, s.doublePrecision);
        for (int64_t k = 0; k < s.count; ++k) {
            const int64_t to = s.sections ? ((k / 2) * N + j) * 2 + k % 2 : j * s.count + k;
            double re, im;
            if (s.zComplex) {
                const ComplexDouble z = reinterpret_cast<const ComplexDouble*>(s.z.data())[k];
                if (v.complex) {
                    re = z.re * v.re - z.im * v.im;
                    im = z.re * v.im + z.im * v.re;
                } else {
                    re = z.re * v.re - z.im * 0.0;
                    im = z.re * 0.0 + z.im * v.re;
                }
            } else {
                const double z = s.z[static_cast<std::size_t>(k)];
                if (!v.complex && s.doublePrecision) {
                    static_cast<double*>(state)[to] = z * v.re;
                    continue;
                }
                if (!v.complex) {
                    static_cast<float*>(state)[to] = static_cast<float>(z * v.re);
                    continue;
                }
                re = z * v.re - 0.0 * v.im;
                im = z * v.im + 0.0 * v.re;
            }
            if (s.doublePrecision) static_cast<ComplexDouble*>(state)[to] = ComplexDouble{re, im};
            else static_cast<ComplexSingle*>(state)[to] = ComplexSingle{static_cast<float>(re), static_cast<float>(im)};
        }
    }
}

// The real parts of n ComplexDouble values (none for null).
std::vector<double> realParts(const void* values, int64_t n) {
    std::vector<double> re;
    if (values == nullptr) return re;
    const ComplexDouble* v = static_cast<const ComplexDouble*>(values);
    for (int64_t k = 0; k < n; ++k) re.push_back(v[k].re);
    return re;
}

// Channels [jg, jg + N) through every pass. The backward pass runs over y in
// place. Reversed, a layout with channels side by side stays one the lane
// paths take; any other (time-contiguous channels, reversed) is run in
// blocks copied into a forward planar buffer and back.
void runGroup(const ZeroPhase& c, const ZeroPhasePlan& plan, int64_t jg, int64_t N) {
    const std::size_t inItem = inputItem(c.kernel), outItem = outputItem(c.kernel);
    const int64_t edge = plan.edge();
    ZeroPhaseGroup group(plan, N);
    group.padFront(at(c.input, c.inLayout, inItem, 0, jg), c.inLayout);
    group.padBack(at(c.input, c.inLayout, inItem, c.M - 1 - edge, jg), c.inLayout);
    group.forward(c.M, at(c.input, c.inLayout, inItem, 0, jg), c.inLayout, at(c.output, c.outLayout, outItem, 0, jg),
                  c.outLayout);
    char* yEnd = at(c.output, c.outLayout, outItem, c.M - 1, jg);
    group.turn(yEnd, c.outLayout);
    const Layout yBack{-c.outLayout.sample, c.outLayout.channel};
    if (yBack.channel == 1 || N == 1) {
        group.backward(c.M, yEnd, yBack);
        return;
    }
    const int64_t block = std::min<int64_t>(c.M, std::max<int64_t>(256, kPadElements / N));
    std::vector<char> buffer(static_cast<std::size_t>(block * N) * outItem);
    for (int64_t i1 = c.M; i1 > 0; i1 -= block) {
        const int64_t m = std::min(block, i1);
        char* last = at(c.output, c.outLayout, outItem, i1 - 1, jg);
        reverseBlock(outItem, last, c.outLayout, buffer.data(), m, N, false);
        group.backward(m, buffer.data(), Layout{1, m});
        reverseBlock(outItem, last, c.outLayout, buffer.data(), m, N, true);
    }
}

}  // namespace

void startState(Kernel kernel, bool sections, const double* z, int64_t count, void* state, int64_t N,
                const void* samples, Layout layout) {
    const KernelFacts f = kernelFacts(kernel);
    const std::vector<double> values(z, z + (f.coefComplex ? 2 * count : count));
    const ZeroPhaseParts parts{values, f.coefComplex, count, sections, f.doublePrecision};
    startStates(parts, state, N, samples, layout, f.inComplex, 0);
}

ZeroPhasePlan::ZeroPhasePlan(Kernel kernel, const Coefficients& c, PadType padType, int64_t padLength)
    : forward_(kernel),
      backward_(laterKernel(kernel)),
      c_(c),
      padType_(padType),
      edge_(padType == PadType::None ? 0 : padLength),
      count_(stateLength(c)) {
    const KernelFacts facts = kernelFacts(kernel);
    const bool wide = facts.doublePrecision;
    zComplex_ = facts.coefComplex && !c.widened;
    z_.assign(static_cast<std::size_t>(zComplex_ ? 2 * count_ : count_), 0.0);
    if (c.widened) {
        // The real parts, as given before they were widened.
        const std::vector<double> b = realParts(c.b, c.nb), a = realParts(c.a, c.na),
                                  sos = realParts(c.sos, 6 * c.nSections);
        status_ = c.sections ? sectionsSteadyState(false, sos.data(), c.nSections, z_.data(), wide)
                             : steadyState(false, b.data(), c.nb, a.data(), c.na, z_.data(), nullptr, wide);
        return;
    }
    status_ = c.sections ? sectionsSteadyState(zComplex_, c.sos, c.nSections, z_.data(), wide)
                         : steadyState(zComplex_, c.b, c.nb, c.a, c.na, z_.data(), nullptr, wide);
}

// The signal must be longer than its padding: one sample at least.
Result ZeroPhasePlan::acceptsLength(int64_t M) const {
    return M <= edge_ ? Result{Status::PadLength, 0} : Result{Status::Ok, 0};
}

ZeroPhaseGroup::ZeroPhaseGroup(const ZeroPhasePlan& plan, int64_t N)
    : plan_(plan),
      N_(N),
      state_(static_cast<std::size_t>(N * plan.count_) * outputItem(plan.forward_)),
      left_(static_cast<std::size_t>(plan.edge_ * N) * inputItem(plan.forward_)),
      right_(left_.size()),
      tail_(static_cast<std::size_t>(plan.edge_ * N) * outputItem(plan.forward_)) {}

void ZeroPhaseGroup::pass(Kernel k, int64_t m, const void* in, Layout inLayout, void* out, Layout outLayout) {
    runPass(Pass{k, plan_.c_, m, N_, in, inLayout, out, outLayout, state_.data()}, 1);
}

void ZeroPhaseGroup::start(const void* samples, Layout layout, bool complex, int64_t i) {
    const ZeroPhaseParts parts{plan_.z_, plan_.zComplex_, plan_.count_, plan_.c_.sections,
                               kernelFacts(plan_.forward_).doublePrecision};
    startStates(parts, state_.data(), N_, samples, layout, complex, i);
}

void ZeroPhaseGroup::padFront(const void* piece, Layout layout) {
    if (plan_.edge_ == 0) return;
    const KernelFacts f = kernelFacts(plan_.forward_);
    padEnd(plan_.padType_, f.inComplex, f.doublePrecision, piece, layout, plan_.edge_, N_, false, left_.data());
}

void ZeroPhaseGroup::padBack(const void* piece, Layout layout) {
    if (plan_.edge_ == 0) return;
    const KernelFacts f = kernelFacts(plan_.forward_);
    padEnd(plan_.padType_, f.inComplex, f.doublePrecision, piece, layout, plan_.edge_, N_, true, right_.data());
}

// The states start from the front padding, run first, or without padding
// from x's first sample.
void ZeroPhaseGroup::begin(const void* x, Layout xLayout) {
    const bool complex = kernelFacts(plan_.forward_).inComplex;
    const int64_t edge = plan_.edge_;
    const Layout padLayout{1, edge};
    if (edge > 0) {
        start(left_.data(), padLayout, complex, 0);
        pass(plan_.forward_, edge, left_.data(), padLayout, tail_.data(), padLayout);
    } else {
        start(x, xLayout, complex, 0);
    }
    started_ = true;
}

void ZeroPhaseGroup::forward(int64_t m, const void* x, Layout xLayout, void* y, Layout yLayout) {
    if (!started_) begin(x, xLayout);
    pass(plan_.forward_, m, x, xLayout, y, yLayout);
}

void ZeroPhaseGroup::resume(const void* states) {
    if (!state_.empty()) std::memcpy(state_.data(), states, state_.size());
    started_ = true;
}

// The backward pass starts from the last sample of the forward pass: of the
// back padding (then run backward at once), or of x's last block.
void ZeroPhaseGroup::turn(const void* lastForward, Layout layout) {
    const bool complex = kernelFacts(plan_.forward_).outComplex;
    const int64_t edge = plan_.edge_;
    if (edge == 0) {
        start(lastForward, layout, complex, 0);
        return;
    }
    const Layout padLayout{1, edge};
    pass(plan_.forward_, edge, right_.data(), padLayout, tail_.data(), padLayout);
    start(tail_.data(), padLayout, complex, edge - 1);
    char* tailEnd = tail_.data() + (edge - 1) * static_cast<int64_t>(outputItem(plan_.forward_));
    const Layout tailBack{-1, edge};
    pass(plan_.backward_, edge, tailEnd, tailBack, tailEnd, tailBack);
}

void ZeroPhaseGroup::backward(int64_t m, void* y, Layout layout) { pass(plan_.backward_, m, y, layout, y, layout); }

Result runZeroPhase(const ZeroPhase& c, int64_t workers) {
    const ZeroPhasePlan plan(c.kernel, c.c, c.padType, c.padLength);
    if (plan.status().status != Status::Ok) return plan.status();
    const Result r = plan.acceptsLength(c.M);
    if (r.status != Status::Ok || c.M == 0 || c.N == 0) return r;
    const int64_t group = std::max<int64_t>(16, kPadElements / std::max<int64_t>(plan.edge(), 1));
    onThreads(c.N, workers, [&](int64_t j0, int64_t n) {
        for (int64_t jg = j0; jg < j0 + n; jg += group) runGroup(c, plan, jg, std::min(group, j0 + n - jg));
    });
    return r;
}

}  // namespace marrowick::filters
