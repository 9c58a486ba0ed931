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

// Channels [jg, jg + N) through every pass.
void runGroup(const ZeroPhase& c, const PassStart& steady, int64_t jg, int64_t N, int64_t edge) {
    const Kernel forward = c.kernel, backward = laterKernel(c.kernel);
    const KernelFacts facts = kernelFacts(forward);
    const bool inComplex = facts.inComplex, outComplex = facts.outComplex, wide = facts.doublePrecision;
    const std::size_t inItem = facts.inItem, outItem = facts.outItem;
    const int64_t L = stateLength(c.c);
    std::vector<char> state(static_cast<std::size_t>(N * L) * outItem);
    std::vector<char> left(static_cast<std::size_t>(edge * N) * inItem), right(left.size());
    std::vector<char> tail(static_cast<std::size_t>(edge * N) * outItem);
    const Layout padLayout{1, edge};
    if (edge > 0) {  // before the forward pass, which may overwrite x
        padEnd(c.padType, inComplex, at(c.input, c.inLayout, inItem, 0, jg), c.inLayout, edge, N, false, left.data(),
               wide);
        padEnd(c.padType, inComplex, at(c.input, c.inLayout, inItem, c.M - 1 - edge, jg), c.inLayout, edge, N, true,
               right.data(), wide);
    }
    const char* x = at(c.input, c.inLayout, inItem, 0, jg);
    char* y = at(c.output, c.outLayout, outItem, 0, jg);
    char* yEnd = at(c.output, c.outLayout, outItem, c.M - 1, jg);
    const Layout yBack{-c.outLayout.sample, c.outLayout.channel};
    auto pass = [&](Kernel k, int64_t M, const void* in, Layout inLayout, void* out, Layout outLayout) {
        runPass(Pass{k, c.c, M, N, in, inLayout, out, outLayout, state.data()}, 1);
    };
    // The backward pass over y, in place. Reversed, a layout with channels
    // side by side stays one the lane paths take; any other (time-contiguous
    // channels, reversed) is run in blocks copied into a forward planar
    // buffer and back, the states carried from block to block.
    auto backwardOverY = [&]() {
        if (yBack.channel == 1 || N == 1) {
            pass(backward, c.M, yEnd, yBack, yEnd, yBack);
            return;
        }
        const int64_t block = std::min<int64_t>(c.M, std::max<int64_t>(256, kPadElements / N));
        std::vector<char> buffer(static_cast<std::size_t>(block * N) * outItem);
        for (int64_t i1 = c.M; i1 > 0; i1 -= block) {
            const int64_t m = std::min(block, i1);
            const Layout planar{1, m};
            char* last = at(c.output, c.outLayout, outItem, i1 - 1, jg);
            reverseBlock(outItem, last, c.outLayout, buffer.data(), m, N, false);
            pass(backward, m, buffer.data(), planar, buffer.data(), planar);
            reverseBlock(outItem, last, c.outLayout, buffer.data(), m, N, true);
        }
    };
    if (edge == 0) {
        startStates(steady, state.data(), N, x, c.inLayout, inComplex, 0);
        pass(forward, c.M, x, c.inLayout, y, c.outLayout);
        startStates(steady, state.data(), N, y, c.outLayout, outComplex, c.M - 1);
        backwardOverY();
        return;
    }
    startStates(steady, state.data(), N, left.data(), padLayout, inComplex, 0);
    pass(forward, edge, left.data(), padLayout, tail.data(), padLayout);
    pass(forward, c.M, x, c.inLayout, y, c.outLayout);
    pass(forward, edge, right.data(), padLayout, tail.data(), padLayout);
    startStates(steady, state.data(), N, tail.data(), padLayout, outComplex, edge - 1);
    char* tailEnd = tail.data() + (edge - 1) * static_cast<int64_t>(outItem);
    const Layout tailBack{-1, edge};
    pass(backward, edge, tailEnd, tailBack, tailEnd, tailBack);
    backwardOverY();
}

}  // namespace

Result runZeroPhase(const ZeroPhase& c, int64_t workers) {
    const int64_t edge = c.padType == PadType::None ? 0 : c.padLength;
    PassStart steady;
    const Result r = passStart(c.kernel, c.c, steady);
    if (r.status != Status::Ok) return r;
    // The signal must be longer than its padding: one sample at least.
    if (c.M <= edge) return Result{Status::PadLength, 0};
    if (c.M == 0 || c.N == 0) return r;
    const int64_t group = std::max<int64_t>(16, kPadElements / std::max<int64_t>(edge, 1));
    onThreads(c.N, workers, [&](int64_t j0, int64_t n) {
        for (int64_t jg = j0; jg < j0 + n; jg += group) runGroup(c, steady, jg, std::min(group, j0 + n - jg), edge);
    });
    return r;
}

Result passStart(Kernel kernel, const Coefficients& c, PassStart& s) {
    const KernelFacts facts = kernelFacts(kernel);
    s.doublePrecision = facts.doublePrecision;
    s.zComplex = facts.coefComplex;
    s.count = stateLength(c);
    s.sections = c.sections;
    s.stateComplex = facts.outComplex;
    s.z.assign(static_cast<std::size_t>(s.zComplex ? 2 * s.count : s.count), 0.0);
    return c.sections ? sectionsSteadyState(s.zComplex, c.sos, c.nSections, s.z.data(), s.doublePrecision)
                      : steadyState(s.zComplex, c.b, c.nb, c.a, c.na, s.z.data(), nullptr, s.doublePrecision);
}

void padEnd(PadType type, bool complex, const void* piece, Layout layout, int64_t count, int64_t N, bool after,
            void* to, bool doublePrecision) {
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
void startStates(const PassStart& s, void* state, int64_t N, const void* samples, Layout layout, bool samplesComplex,
                 int64_t i) {
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

}  // namespace marrowick::filters
