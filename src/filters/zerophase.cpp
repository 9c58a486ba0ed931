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

bool coefficientsComplex(Kernel k) { return k == Kernel::CC || k == Kernel::CR; }

char* at(const void* base, Layout layout, std::size_t item, int64_t i, int64_t j) {
    return const_cast<char*>(static_cast<const char*>(base)) +
           (i * layout.sample + j * layout.channel) * static_cast<int64_t>(item);
}

// A sample with its imaginary part, and whether it has one.
struct Sample {
    double re, im;
    bool complex;
};
Sample sampleAt(const char* p, bool complex) {
    if (!complex) {
        float v;
        std::memcpy(&v, p, sizeof v);
        return Sample{v, 0.0, false};
    }
    ComplexSingle v;
    std::memcpy(&v, p, sizeof v);
    return Sample{v.re, v.im, true};
}

// The padding of one end: count samples of N channels into `to` (planar,
// {1, count}), from a piece of count + 1 samples at that end: piece[count - k]
// before (k = 0 .. count - 1), piece[count - 1 - k] after, each in x's type:
//   odd: 2 * end - x,  even: x,  constant: 1 * end,
// with the products and differences of single-precision (complex) arithmetic.
template <class T>
T twice(T v);
template <>
float twice(float v) {
    return 2.0f * v;
}
template <>
ComplexSingle twice(ComplexSingle v) {
    return ComplexSingle{2.0f * v.re - 0.0f * v.im, 2.0f * v.im + 0.0f * v.re};
}
float once(float v) { return 1.0f * v; }
ComplexSingle once(ComplexSingle v) { return ComplexSingle{1.0f * v.re - 0.0f * v.im, 1.0f * v.im + 0.0f * v.re}; }
float difference(float p, float q) { return p - q; }
ComplexSingle difference(ComplexSingle p, ComplexSingle q) { return ComplexSingle{p.re - q.re, p.im - q.im}; }

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
// or (back) from it.
template <class T>
void reverseBlock(char* last, Layout layout, char* buffer, int64_t m, int64_t N, bool back) {
    for (int64_t j = 0; j < N; ++j) {
        T* y = reinterpret_cast<T*>(last) + j * layout.channel;
        T* v = reinterpret_cast<T*>(buffer) + j * m;
        if (back)
            for (int64_t t = 0; t < m; ++t) y[-t * layout.sample] = v[t];
        else
            for (int64_t t = 0; t < m; ++t) v[t] = y[-t * layout.sample];
    }
}

// Channels [jg, jg + N) through every pass.
void runGroup(const ZeroPhase& c, const PassStart& steady, int64_t jg, int64_t N, int64_t edge) {
    const Kernel forward = c.kernel, backward = laterKernel(c.kernel);
    const bool inComplex = inputItem(forward) == sizeof(ComplexSingle);
    const bool outComplex = forward != Kernel::RR;
    const std::size_t inItem = inputItem(forward), outItem = outputItem(forward);
    const int64_t L = stateLength(c.c);
    std::vector<char> state(static_cast<std::size_t>(N * L) * outItem);
    std::vector<char> left(static_cast<std::size_t>(edge * N) * inItem), right(left.size());
    std::vector<char> tail(static_cast<std::size_t>(edge * N) * outItem);
    const Layout padLayout{1, edge};
    if (edge > 0) {  // before the forward pass, which may overwrite x
        padEnd(c.padType, inComplex, at(c.input, c.inLayout, inItem, 0, jg), c.inLayout, edge, N, false, left.data());
        padEnd(c.padType, inComplex, at(c.input, c.inLayout, inItem, c.M - 1 - edge, jg), c.inLayout, edge, N, true,
               right.data());
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
            if (outComplex) reverseBlock<ComplexSingle>(last, c.outLayout, buffer.data(), m, N, false);
            else reverseBlock<float>(last, c.outLayout, buffer.data(), m, N, false);
            pass(backward, m, buffer.data(), planar, buffer.data(), planar);
            if (outComplex) reverseBlock<ComplexSingle>(last, c.outLayout, buffer.data(), m, N, true);
            else reverseBlock<float>(last, c.outLayout, buffer.data(), m, N, true);
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
    s.zComplex = coefficientsComplex(kernel);
    s.count = stateLength(c);
    s.sections = c.sections;
    s.stateComplex = kernel != Kernel::RR;
    s.z.assign(static_cast<std::size_t>(s.zComplex ? 2 * s.count : s.count), 0.0);
    return c.sections ? sectionsSteadyState(s.zComplex, c.sos, c.nSections, s.z.data())
                      : steadyState(s.zComplex, c.b, c.nb, c.a, c.na, s.z.data(), nullptr);
}

void padEnd(PadType type, bool complex, const void* piece, Layout layout, int64_t count, int64_t N, bool after,
            void* to) {
    const char* p = static_cast<const char*>(piece);
    if (complex) padOf(type, p, layout, count, N, after, static_cast<ComplexSingle*>(to));
    else padOf(type, p, layout, count, N, after, static_cast<float*>(to));
}

// The steady states times one sample of each channel, each product formed in
// double precision as a complex product with the factors' own parts (a real
// factor's missing imaginary part taken as +0) and rounded once to the state
// type. z holds `count` values (double, or ComplexDouble when zComplex);
// channel j's go to state + (j * count + k) for b/a, and for sections
// (value 2s + k) to ((s * N + j) * 2 + k).
void startStates(const PassStart& s, void* state, int64_t N, const void* samples, Layout layout, bool samplesComplex,
                 int64_t i) {
    const std::size_t item = samplesComplex ? sizeof(ComplexSingle) : sizeof(float);
    for (int64_t j = 0; j < N; ++j) {
        const Sample v = sampleAt(at(samples, layout, item, i, j), samplesComplex);
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
                if (!v.complex) {
                    static_cast<float*>(state)[to] = static_cast<float>(z * v.re);
                    continue;
                }
                re = z * v.re - 0.0 * v.im;
                im = z * v.im + 0.0 * v.re;
            }
            static_cast<ComplexSingle*>(state)[to] = ComplexSingle{static_cast<float>(re), static_cast<float>(im)};
        }
    }
}

}  // namespace marrowick::filters
