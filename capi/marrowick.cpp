// The C library: a shell over the typed filter and cascade calls and the
// filters composed of them (filters/filters.h). Each export checks its
// arguments completely before it writes anything, and lets no exception out.
#include "marrowick.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "filters/filters.h"
#include "filters/threads.h"
#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "kernels/paths.h"

using marrowick::ComplexDouble;
using marrowick::Kernel;
using marrowick::Layout;
namespace filters = marrowick::filters;

namespace {

constexpr std::size_t kMaxCount = INT32_MAX;
// The most bytes a buffer may span: offsets stay far from overflow.
constexpr __int128 kMaxSpan = PTRDIFF_MAX / 4;

// The order of the checks, the same in every call (a call skips the steps
// it has no arguments for); the first that fails gives the status.
// docs/c-api.md quotes this table.
// check order
//   1. kind: not a kind, or RRZ for a zero-phase filter or a start state (MARROWICK_E_BAD_KIND)
//   2. coefficients: a count of 0 (n_sections: _SOS_SHAPE; nb, na: _EMPTY_COEFFICIENTS), a count above
//      2^31 - 1 (_TOO_LARGE), a NULL pointer (_NULL_POINTER), a span beyond the address space (_TOO_LARGE)
//   3. signal: a count above 2^31 - 1 (_TOO_LARGE), x or y NULL (_NULL_POINTER), a span of x or y beyond the
//      address space (_TOO_LARGE)
//   4. states: a span of zi or zf beyond the address space (_TOO_LARGE); for lfilter_zi a filter without
//      states (_NO_STATE), then zi NULL (_NULL_POINTER)
//   5. output layout: two samples of y at one element (_LAYOUT)
//   6. overlap: an output sharing a byte with another buffer (_OVERLAP)
//   7. options: options->size not sizeof(marrowick_options) (_OPTIONS); workers 0 or below -1 (_BAD_WORKERS)
//   8. padding: padtype (_PAD_TYPE), padlen below -1, then n_samples not above padlen (_PAD_LENGTH)
//   9. steady states: a[0] or a section's a0 is 0 (_ZERO_LEADING_COEFFICIENT), a denominator sums to 0
//      (_NO_STEADY_STATE)
// end of check order

// A status carried out of the checks.
struct Refusal {
    int status;
};

// The kind is taken as an int and checked before it becomes a Kernel: a
// value outside the enumeration is never loaded as one.
bool kernelOf(int kind, Kernel& k) {
    switch (kind) {
        case MARROWICK_RR: k = Kernel::RR; return true;
        case MARROWICK_RRZ: k = Kernel::RRZ; return true;
        case MARROWICK_RC: k = Kernel::RC; return true;
        case MARROWICK_CR: k = Kernel::CR; return true;
        case MARROWICK_CC: k = Kernel::CC; return true;
        case MARROWICK_DRR: k = Kernel::DRR; return true;
        case MARROWICK_DCC: k = Kernel::DCC; return true;
        case MARROWICK_DCR: k = Kernel::DCR; return true;
    }
    return false;
}

Kernel kernelChecked(int kind, bool zeroPhase = false) {
    Kernel k;
    if (!kernelOf(kind, k) || (zeroPhase && k == Kernel::RRZ)) throw Refusal{MARROWICK_E_BAD_KIND};
    return k;
}

// The operands' item sizes and complexity, the same facts every front reads.
std::size_t coefficientItem(Kernel k) { return marrowick::kernelFacts(k).coefItem; }
bool coefficientsComplex(Kernel k) { return marrowick::kernelFacts(k).coefComplex; }
bool doublePrecision(Kernel k) { return marrowick::kernelFacts(k).doublePrecision; }
// The steady states' item: a double, or a (re, im) pair of them.
std::size_t steadyItem(Kernel k) { return coefficientsComplex(k) ? sizeof(ComplexDouble) : sizeof(double); }

void need(const void* p) {
    if (!p) throw Refusal{MARROWICK_E_NULL_POINTER};
}

void count(std::size_t n) {
    if (n > kMaxCount) throw Refusal{MARROWICK_E_TOO_LARGE};
}

void coefficientCount(std::size_t n, int empty) {
    if (n == 0) throw Refusal{empty};
    count(n);
}

int64_t workersChecked(int workers) {
    if (workers < 1 && workers != -1) throw Refusal{MARROWICK_E_BAD_WORKERS};
    return filters::workerCount(workers);
}

// The optional arguments: NULL for every default.
struct Options {
    int workers = 1;
    int padtype = MARROWICK_PAD_ODD;
    std::ptrdiff_t padlen = MARROWICK_PADLEN_DEFAULT;
};
Options optionsOf(const marrowick_options* o) {
    Options r;
    if (o == nullptr) return r;
    if (o->size != sizeof *o) throw Refusal{MARROWICK_E_OPTIONS};
    r.workers = o->workers;
    r.padtype = o->padtype;
    r.padlen = o->padlen;
    return r;
}

// The addresses a buffer spans, [lo, hi); empty when it holds no element.
// Computed in integers, never as pointers: a span that would reach below
// address 0 or past the last address is refused, as is one of more than
// kMaxSpan bytes.
struct Span {
    std::uintptr_t lo, hi;
    bool empty() const { return lo == hi; }
};
bool meet(const Span& p, const Span& q) { return !p.empty() && !q.empty() && p.lo < q.hi && q.lo < p.hi; }

// Elements [lo, hi) of item bytes from p.
Span addresses(const void* p, __int128 lo, __int128 hi, std::size_t item) {
    const __int128 bytesLo = lo * static_cast<__int128>(item), bytesHi = hi * static_cast<__int128>(item);
    if (bytesHi - bytesLo > kMaxSpan || -bytesLo > kMaxSpan || bytesHi > kMaxSpan) throw Refusal{MARROWICK_E_TOO_LARGE};
    const __int128 base = static_cast<__int128>(reinterpret_cast<std::uintptr_t>(p));
    if (base + bytesLo < 0 || base + bytesHi > static_cast<__int128>(UINTPTR_MAX)) throw Refusal{MARROWICK_E_TOO_LARGE};
    return Span{static_cast<std::uintptr_t>(base + bytesLo), static_cast<std::uintptr_t>(base + bytesHi)};
}

Span dense(const void* p, __int128 elements, std::size_t item) { return addresses(p, 0, elements, item); }

Span strided(const void* p, const Layout& l, std::size_t item, int64_t M, int64_t N) {
    if (M == 0 || N == 0 || !p) return Span{0, 0};
    const __int128 si = static_cast<__int128>(M - 1) * l.sample, sj = static_cast<__int128>(N - 1) * l.channel;
    const __int128 lo = std::min<__int128>(0, si) + std::min<__int128>(0, sj);
    const __int128 hi = std::max<__int128>(0, si) + std::max<__int128>(0, sj) + 1;
    return addresses(p, lo, hi, item);
}

int64_t gcd(int64_t p, int64_t q) {
    while (q != 0) {
        const int64_t r = p % q;
        p = q;
        q = r;
    }
    return p;
}

// Whether two samples of M x N share an element: some (di, dj) != 0 with
// |di| < M, |dj| < N and di * sample + dj * channel == 0. The smallest
// such pair is (|channel| / g, |sample| / g), g their greatest common divisor.
bool folds(const Layout& l, int64_t M, int64_t N) {
    if (M == 0 || N == 0) return false;
    // A stride that is never taken does not matter (and may be any value).
    const int64_t s = M == 1 ? 0 : l.sample < 0 ? -l.sample : l.sample;
    const int64_t c = N == 1 ? 0 : l.channel < 0 ? -l.channel : l.channel;
    if (s == 0 && M > 1) return true;
    if (c == 0 && N > 1) return true;
    if (s == 0 || c == 0) return false;
    const int64_t g = gcd(s, c);
    return c / g < M && s / g < N;
}

Layout layoutOf(const marrowick_layout* l, int64_t M) { return l ? Layout{l->sample, l->channel} : Layout{1, M}; }

// A call's signal: M samples of N channels of x and y.
struct Signal {
    int64_t M, N;
    const void* x;
    Layout xl;
    void* y;
    Layout yl;
    Span xs, ys;
    bool inPlace;
};

// Checks the counts, the pointers and the spans of x and y.
Signal signalChecked(std::size_t n_samples, std::size_t n_channels, const void* x, const marrowick_layout* xl, void* y,
                     const marrowick_layout* yl, std::size_t inItem, std::size_t outItem) {
    count(n_samples);
    count(n_channels);
    const int64_t M = static_cast<int64_t>(n_samples), N = static_cast<int64_t>(n_channels);
    Signal s{M, N, x, layoutOf(xl, M), y, layoutOf(yl, M), {}, {}, false};
    if (M > 0 && N > 0) {
        need(x);
        need(y);
    }
    s.xs = strided(x, s.xl, inItem, M, N);
    s.ys = strided(y, s.yl, outItem, M, N);
    s.inPlace = x == y && inItem == outItem && s.xl.sample == s.yl.sample && s.xl.channel == s.yl.channel;
    return s;
}

// Checks y's layout, and that y is x in place (same address and layout,
// inItem == outItem) or apart from it.
void layoutChecked(const Signal& s) {
    if (folds(s.yl, s.M, s.N)) throw Refusal{MARROWICK_E_LAYOUT};
    if (!s.inPlace && meet(s.xs, s.ys)) throw Refusal{MARROWICK_E_OVERLAP};
}

// The final states zf (dense) against everything else; zf may be zi.
void stateChecked(const Signal& s, const Span& zi, const void* ziPtr, const Span& zf, const void* zfPtr,
                  std::initializer_list<Span> inputs) {
    if (zfPtr == nullptr) return;
    if (meet(zf, s.xs) || meet(zf, s.ys)) throw Refusal{MARROWICK_E_OVERLAP};
    for (const Span& in : inputs)
        if (meet(zf, in)) throw Refusal{MARROWICK_E_OVERLAP};
    if (zfPtr != ziPtr && meet(zf, zi)) throw Refusal{MARROWICK_E_OVERLAP};
}

template <class Body>
int guarded(const Body& body) noexcept {
    try {
        body();
        return MARROWICK_OK;
    } catch (const Refusal& r) {
        return r.status;
    } catch (const std::bad_alloc&) {
        return MARROWICK_E_NO_MEMORY;
    } catch (...) {
        return MARROWICK_E_INTERNAL;
    }
}

int statusOf(const filters::Result& r) {
    switch (r.status) {
        case filters::Status::Ok: return MARROWICK_OK;
        case filters::Status::ZeroLeadingCoefficient: return MARROWICK_E_ZERO_LEADING_COEFFICIENT;
        case filters::Status::NoSteadyState: return MARROWICK_E_NO_STEADY_STATE;
        case filters::Status::PadLength: return MARROWICK_E_PAD_LENGTH;
        case filters::Status::PadType: return MARROWICK_E_PAD_TYPE;
    }
    return MARROWICK_E_INTERNAL;
}

// b/a or sections, checked, with their spans.
struct Coefs {
    filters::Coefficients c;
    Span b, a, sos;
};
Coefs baChecked(Kernel k, const void* b, std::size_t nb, const void* a, std::size_t na) {
    coefficientCount(nb, MARROWICK_E_EMPTY_COEFFICIENTS);
    coefficientCount(na, MARROWICK_E_EMPTY_COEFFICIENTS);
    need(b);
    need(a);
    const std::size_t item = coefficientItem(k);
    filters::Coefficients c{false, b, static_cast<int32_t>(nb), a, static_cast<int32_t>(na), nullptr, 0};
    c.doublePrecision = doublePrecision(k);
    return Coefs{c, dense(b, nb, item), dense(a, na, item), Span{0, 0}};
}
Coefs sosChecked(Kernel k, const void* sos, std::size_t n) {
    coefficientCount(n, MARROWICK_E_SOS_SHAPE);
    need(sos);
    filters::Coefficients c{true, nullptr, 0, nullptr, 0, sos, static_cast<int32_t>(n)};
    c.doublePrecision = doublePrecision(k);
    return Coefs{c, Span{0, 0}, Span{0, 0}, dense(sos, 6 * static_cast<__int128>(n), coefficientItem(k))};
}

// The one-shot filter and cascade.
void oneShot(Kernel k, const Coefs& c, std::size_t n_samples, std::size_t n_channels, const void* x,
             const marrowick_layout* xl, void* y, const marrowick_layout* yl, const void* zi, void* zf,
             const marrowick_options* options) {
    const std::size_t stateItem = filters::outputItem(k);
    const Signal s = signalChecked(n_samples, n_channels, x, xl, y, yl, filters::inputItem(k), stateItem);
    const __int128 states = static_cast<__int128>(filters::stateLength(c.c)) * s.N;
    const Span zis = zi ? dense(zi, states, stateItem) : Span{0, 0};
    const Span zfs = zf ? dense(zf, states, stateItem) : Span{0, 0};
    layoutChecked(s);
    stateChecked(s, zis, zi, zfs, zf, {c.b, c.a, c.sos});
    if (meet(s.ys, c.b) || meet(s.ys, c.a) || meet(s.ys, c.sos) || meet(s.ys, zis)) throw Refusal{MARROWICK_E_OVERLAP};
    const Options o = optionsOf(options);
    const int64_t threads = workersChecked(o.workers);
    const std::size_t bytes = static_cast<std::size_t>(states) * stateItem;
    std::vector<char> scratch;
    if (!zf) scratch.resize(bytes);  // before anything is written
    char* state = zf ? static_cast<char*>(zf) : scratch.data();
    if (zi == nullptr) {
        if (bytes) std::memset(state, 0, bytes);
    } else if (zi != state && bytes) {
        std::memcpy(state, zi, bytes);
    }
    filters::runPass(filters::Pass{k, c.c, s.M, s.N, x, s.xl, y, s.yl, state}, threads);
}

void zeroPhase(Kernel k, const Coefs& c, std::size_t n_samples, std::size_t n_channels, const void* x,
               const marrowick_layout* xl, void* y, const marrowick_layout* yl, const marrowick_options* options) {
    const Signal s = signalChecked(n_samples, n_channels, x, xl, y, yl, filters::inputItem(k), filters::outputItem(k));
    layoutChecked(s);
    if (meet(s.ys, c.b) || meet(s.ys, c.a) || meet(s.ys, c.sos)) throw Refusal{MARROWICK_E_OVERLAP};
    const Options o = optionsOf(options);
    const int64_t threads = workersChecked(o.workers);
    const int padtype = o.padtype;
    const std::ptrdiff_t padlen = o.padlen;
    filters::PadType type;
    switch (padtype) {
        case MARROWICK_PAD_ODD: type = filters::PadType::Odd; break;
        case MARROWICK_PAD_EVEN: type = filters::PadType::Even; break;
        case MARROWICK_PAD_CONSTANT: type = filters::PadType::Constant; break;
        case MARROWICK_PAD_NONE: type = filters::PadType::None; break;
        default: throw Refusal{MARROWICK_E_PAD_TYPE};
    }
    if (padlen < MARROWICK_PADLEN_DEFAULT) throw Refusal{MARROWICK_E_PAD_LENGTH};
    const int64_t edge =
        padlen == MARROWICK_PADLEN_DEFAULT ? filters::defaultPadLength(c.c, coefficientsComplex(k)) : padlen;
    if (s.M <= (type == filters::PadType::None ? 0 : edge)) throw Refusal{MARROWICK_E_PAD_LENGTH};
    const filters::Result r =
        filters::runZeroPhase(filters::ZeroPhase{k, c.c, s.M, s.N, x, s.xl, y, s.yl, type, edge}, threads);
    if (r.status != filters::Status::Ok) throw Refusal{statusOf(r)};
}

struct Status {
    const char* id;
    const char* text;
};
constexpr Status kStatus[] = {
    {"", "success"},
    {"marrowick:nullPointer", "a required pointer is NULL"},
    {"marrowick:emptyCoefficients", "no coefficients: nb or na is 0"},
    {"marrowick:tooLarge", "a count is above 2^31 - 1, or a buffer would span beyond the address space"},
    {"marrowick:badKind", "the kind is not one of the eight kernels, or not one this call takes"},
    {"marrowick:layout", "the output layout puts two samples at one element"},
    {"marrowick:overlap", "an output overlaps an input or another output (in place needs y == x, one layout and type)"},
    {"marrowick:ziSize", "the state buffer does not hold the filter's state size"},
    {filters::refusalOf(filters::Status::ZeroLeadingCoefficient).identifier,
     filters::refusalOf(filters::Status::ZeroLeadingCoefficient).text},
    {filters::refusalOf(filters::Status::NoSteadyState).identifier,
     filters::refusalOf(filters::Status::NoSteadyState).text},
    {filters::refusalOf(filters::Status::PadType).identifier, filters::refusalOf(filters::Status::PadType).text},
    {filters::refusalOf(filters::Status::PadLength).identifier, filters::refusalOf(filters::Status::PadLength).text},
    {"marrowick:badWorkers", "workers must be a positive number of threads or -1 (one per core)"},
    {"marrowick:noMemory", "out of memory"},
    {"marrowick:internal", "an internal fault of the library (please report it)"},
    {"marrowick:noState", "b and a have one coefficient each, so the filter has no state to settle"},
    {"marrowick:sosShape", "no sections: n_sections is 0 (sos has shape (n_sections, 6), n_sections >= 1)"},
    {"marrowick:options", "options->size is not sizeof(marrowick_options) of this library's header"},
};
constexpr int kStatusCount = static_cast<int>(sizeof kStatus / sizeof kStatus[0]);

}  // namespace

struct marrowick_filter {
    Kernel kernel;
    int kind;
    bool sections;
    int32_t nb, na, nSections;
    int64_t N;
    std::vector<char> b, a, sos, state;

    filters::Coefficients coefficients() const {
        filters::Coefficients c{sections, b.data(), nb, a.data(), na, sos.data(), nSections};
        c.doublePrecision = doublePrecision(kernel);
        return c;
    }
};

extern "C" {

const char* marrowick_version(void) { return MARROWICK_VERSION_STRING; }
unsigned long marrowick_version_number(void) { return MARROWICK_VERSION; }

const char* marrowick_path_name(void) { return marrowick::pathName(marrowick::widestLanePath()); }

const char* marrowick_strerror(int status) {
    return status >= 0 && status < kStatusCount ? kStatus[status].text : "unknown status";
}
const char* marrowick_status_id(int status) {
    return status >= 0 && status < kStatusCount ? kStatus[status].id : "marrowick:unknownStatus";
}

int marrowick_lfilter(int kind, const void* b, size_t nb, const void* a, size_t na, size_t n_samples, size_t n_channels,
                      const void* x, const marrowick_layout* x_layout, void* y, const marrowick_layout* y_layout,
                      const void* zi, void* zf, const marrowick_options* options) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind);
        oneShot(k, baChecked(k, b, nb, a, na), n_samples, n_channels, x, x_layout, y, y_layout, zi, zf, options);
    });
}

int marrowick_sosfilt(int kind, const void* sos, size_t n_sections, size_t n_samples, size_t n_channels, const void* x,
                      const marrowick_layout* x_layout, void* y, const marrowick_layout* y_layout, const void* zi,
                      void* zf, const marrowick_options* options) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind);
        oneShot(k, sosChecked(k, sos, n_sections), n_samples, n_channels, x, x_layout, y, y_layout, zi, zf, options);
    });
}

int marrowick_lfilter_zi(int kind, const void* b, size_t nb, const void* a, size_t na, double* zi) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind);
        const Coefs c = baChecked(k, b, nb, a, na);
        const bool complex = coefficientsComplex(k);
        const int64_t L = filters::stateLength(c.c);
        if (L == 0) throw Refusal{MARROWICK_E_NO_STATE};
        need(zi);
        const Span out = dense(zi, L, steadyItem(k));
        if (meet(out, c.b) || meet(out, c.a)) throw Refusal{MARROWICK_E_OVERLAP};
        std::vector<double> z(static_cast<std::size_t>(complex ? 2 * L : L));
        const filters::Result r =
            filters::steadyState(complex, b, c.c.nb, a, c.c.na, z.data(), nullptr, c.c.doublePrecision);
        if (r.status != filters::Status::Ok) throw Refusal{statusOf(r)};
        if (!z.empty()) std::memcpy(zi, z.data(), z.size() * sizeof(double));
    });
}

int marrowick_sosfilt_zi(int kind, const void* sos, size_t n_sections, double* zi) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind);
        const Coefs c = sosChecked(k, sos, n_sections);
        need(zi);
        const bool complex = coefficientsComplex(k);
        const Span out = dense(zi, 2 * static_cast<__int128>(n_sections), steadyItem(k));
        if (meet(out, c.sos)) throw Refusal{MARROWICK_E_OVERLAP};
        std::vector<double> z(n_sections * (complex ? 4 : 2));
        const filters::Result r =
            filters::sectionsSteadyState(complex, sos, c.c.nSections, z.data(), c.c.doublePrecision);
        if (r.status != filters::Status::Ok) throw Refusal{statusOf(r)};
        std::memcpy(zi, z.data(), z.size() * sizeof(double));
    });
}

int marrowick_filtfilt(int kind, const void* b, size_t nb, const void* a, size_t na, size_t n_samples,
                       size_t n_channels, const void* x, const marrowick_layout* x_layout, void* y,
                       const marrowick_layout* y_layout, const marrowick_options* options) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind, true);
        zeroPhase(k, baChecked(k, b, nb, a, na), n_samples, n_channels, x, x_layout, y, y_layout, options);
    });
}

int marrowick_sosfiltfilt(int kind, const void* sos, size_t n_sections, size_t n_samples, size_t n_channels,
                          const void* x, const marrowick_layout* x_layout, void* y, const marrowick_layout* y_layout,
                          const marrowick_options* options) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind, true);
        zeroPhase(k, sosChecked(k, sos, n_sections), n_samples, n_channels, x, x_layout, y, y_layout, options);
    });
}

size_t marrowick_lfilter_state_size(size_t nb, size_t na, size_t n_channels) {
    if (nb == 0 || na == 0 || nb > kMaxCount || na > kMaxCount || n_channels > kMaxCount) return 0;
    return (std::max(nb, na) - 1) * n_channels;
}

size_t marrowick_sosfilt_state_size(size_t n_sections, size_t n_channels) {
    if (n_sections > kMaxCount || n_channels > kMaxCount) return 0;
    return 2 * n_sections * n_channels;
}

}  // extern "C"

namespace {

// zi (dense, the kind's state type) from the steady states times each
// channel's first sample, as the zero-phase filters start.
void startState(Kernel k, bool sections, const double* steady, int64_t L, std::size_t n_channels, const void* first,
                std::ptrdiff_t stride, void* zi) {
    count(n_channels);
    const int64_t N = static_cast<int64_t>(n_channels);
    if (L == 0 || N == 0) return;
    need(steady);
    need(first);
    need(zi);
    const std::size_t stateItem = filters::outputItem(k), inItem = filters::inputItem(k);
    const Span steadySpan = dense(steady, L, steadyItem(k));
    const Layout firstLayout{1, stride};
    const Span firstSpan = strided(first, firstLayout, inItem, 1, N);
    const Span out = dense(zi, static_cast<__int128>(L) * N, stateItem);
    if (meet(out, steadySpan) || meet(out, firstSpan)) throw Refusal{MARROWICK_E_OVERLAP};
    filters::startState(k, sections, steady, L, zi, N, first, firstLayout);
}

}  // namespace

extern "C" {

int marrowick_lfilter_start_state(int kind, const double* steady, size_t nb, size_t na, size_t n_channels,
                                  const void* first, ptrdiff_t stride, void* zi) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind, true);
        coefficientCount(nb, MARROWICK_E_EMPTY_COEFFICIENTS);
        coefficientCount(na, MARROWICK_E_EMPTY_COEFFICIENTS);
        startState(k, false, steady, static_cast<int64_t>(std::max(nb, na)) - 1, n_channels, first, stride, zi);
    });
}

int marrowick_sosfilt_start_state(int kind, const double* steady, size_t n_sections, size_t n_channels,
                                  const void* first, ptrdiff_t stride, void* zi) {
    return guarded([&] {
        const Kernel k = kernelChecked(kind, true);
        coefficientCount(n_sections, MARROWICK_E_SOS_SHAPE);
        startState(k, true, steady, 2 * static_cast<int64_t>(n_sections), n_channels, first, stride, zi);
    });
}

namespace {

void create(marrowick_filter** out, int kind, const Coefs& c, std::size_t n_channels, const void* zi) {
    const Kernel k = kernelChecked(kind);
    count(n_channels);
    const std::size_t item = coefficientItem(k), stateItem = filters::outputItem(k);
    const __int128 states = static_cast<__int128>(filters::stateLength(c.c)) * static_cast<int64_t>(n_channels);
    if (states * static_cast<__int128>(stateItem) > kMaxSpan) throw Refusal{MARROWICK_E_TOO_LARGE};
    marrowick_filter* f = new marrowick_filter{};
    try {
        f->kernel = k;
        f->kind = kind;
        f->sections = c.c.sections;
        f->N = static_cast<int64_t>(n_channels);
        if (c.c.sections) {
            f->nSections = c.c.nSections;
            const char* p = static_cast<const char*>(c.c.sos);
            f->sos.assign(p, p + 6 * static_cast<std::size_t>(c.c.nSections) * item);
        } else {
            f->nb = c.c.nb;
            f->na = c.c.na;
            const char* pb = static_cast<const char*>(c.c.b);
            const char* pa = static_cast<const char*>(c.c.a);
            f->b.assign(pb, pb + static_cast<std::size_t>(c.c.nb) * item);
            f->a.assign(pa, pa + static_cast<std::size_t>(c.c.na) * item);
        }
        f->state.assign(static_cast<std::size_t>(states) * stateItem, 0);
        if (zi && !f->state.empty()) std::memcpy(f->state.data(), zi, f->state.size());
    } catch (...) {
        delete f;
        throw;
    }
    *out = f;
}

}  // namespace

int marrowick_filter_create(marrowick_filter** out, int kind, const void* b, size_t nb, const void* a, size_t na,
                            size_t n_channels, const void* zi) {
    if (out) *out = nullptr;
    return guarded([&] {
        need(out);
        const Kernel k = kernelChecked(kind);
        create(out, kind, baChecked(k, b, nb, a, na), n_channels, zi);
    });
}

int marrowick_filter_create_sos(marrowick_filter** out, int kind, const void* sos, size_t n_sections, size_t n_channels,
                                const void* zi) {
    if (out) *out = nullptr;
    return guarded([&] {
        need(out);
        const Kernel k = kernelChecked(kind);
        create(out, kind, sosChecked(k, sos, n_sections), n_channels, zi);
    });
}

int marrowick_filter_process(marrowick_filter* f, size_t n_samples, const void* x, const marrowick_layout* x_layout,
                             void* y, const marrowick_layout* y_layout) {
    return guarded([&] {
        need(f);
        const Signal s = signalChecked(n_samples, static_cast<std::size_t>(f->N), x, x_layout, y, y_layout,
                                       filters::inputItem(f->kernel), filters::outputItem(f->kernel));
        layoutChecked(s);
        filters::runPass(filters::Pass{f->kernel, f->coefficients(), s.M, s.N, x, s.xl, y, s.yl, f->state.data()}, 1);
    });
}

size_t marrowick_filter_state_size(const marrowick_filter* f) {
    return f ? f->state.size() / filters::outputItem(f->kernel) : 0;
}

int marrowick_filter_get_state(const marrowick_filter* f, void* z, size_t n) {
    return guarded([&] {
        need(f);
        if (n != marrowick_filter_state_size(f)) throw Refusal{MARROWICK_E_ZI_SIZE};
        if (n == 0) return;
        need(z);
        std::memcpy(z, f->state.data(), f->state.size());
    });
}

int marrowick_filter_set_state(marrowick_filter* f, const void* zi, size_t n) {
    return guarded([&] {
        need(f);
        if (!zi) {
            std::fill(f->state.begin(), f->state.end(), 0);
            return;
        }
        if (n != marrowick_filter_state_size(f)) throw Refusal{MARROWICK_E_ZI_SIZE};
        if (n > 0) std::memmove(f->state.data(), zi, f->state.size());
    });
}

int marrowick_filter_clone(const marrowick_filter* f, marrowick_filter** out) {
    if (out) *out = nullptr;
    return guarded([&] {
        need(f);
        need(out);
        *out = new marrowick_filter(*f);
    });
}

int marrowick_filter_kind(const marrowick_filter* f) { return f ? f->kind : 0; }

void marrowick_filter_destroy(marrowick_filter* f) { delete f; }

}  // extern "C"
