// The filters composed of typed filter calls: whole-array passes (in groups
// of channels, in pieces along time, on several threads when asked), the
// steady states of a unit step (lfilter_zi, sosfilt_zi) and the zero-phase
// filters (filtfilt, sosfiltfilt). The Python package and the C library call
// these whole; the runner drives the zero-phase recipe (ZeroPhasePlan,
// ZeroPhaseGroup) over blocks of its own, and the Dask front drives its two
// ends (the starts of the forward and the backward passes) through the
// Python extension.
//
// Buffers are of the kernels' own types: float, or interleaved
// ComplexSingle; steady states are double, or interleaved ComplexDouble.
// Signals take any element layout (negative strides included); states are
// dense. Nothing here prints or keeps state between calls; an allocation
// failure throws std::bad_alloc, nothing else throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/record.h"

namespace marrowick::filters {

using marrowick::ComplexDouble;

// b/a (nb and na coefficients, L = max(nb, na) - 1 states per channel) or
// second-order sections (rows b0 b1 b2 a0 a1 a2, two states per section and
// channel). The coefficients are of the kernel's coefficient type: complex
// for CC and CR, real for the others.
struct Coefficients {
    bool sections;
    const void* b;
    int32_t nb;
    const void* a;
    int32_t na;
    const void* sos;
    int32_t nSections;
    // b/a with no states at all (the module's empty zi): every output is
    // b[0] times the input, scaled by the gain.
    bool zeroState = false;
    // Double-precision values (double or ComplexDouble), for the kernels of
    // double precision; else single ones (float or ComplexSingle).
    bool doublePrecision = false;
    // Real coefficients widened with +0 imaginary parts for a kernel that
    // takes complex ones (DCC over a complex signal): their steady states
    // are those of the real values.
    bool widened = false;
};

// State elements per channel: L (0 for zeroState), or 2 per section.
int64_t stateLength(const Coefficients& c);

// The most samples, channels and samples times channels one kernel call
// takes.
constexpr int64_t kCallLimit = INT32_MAX;

// One pass over M samples of N channels from the states in `state` (channel
// j's L states at j * L; sections: section s, channel j at (s * N + j) * 2),
// which it replaces with the final states. `kernel` is the filter's (the
// first section's) by the dispatch table. The output may be the input in the
// same layout when their types agree. On `workers` threads (the calling one
// included; the bits do not depend on it). Each kernel call takes at most
// `limit` of each count (only tests lower it, to exercise the chaining of
// pieces and groups on small arrays).
struct Pass {
    Kernel kernel;
    Coefficients c;
    int64_t M;
    int64_t N;
    const void* input;
    Layout inLayout;
    void* output;
    Layout outLayout;
    void* state;
    int64_t limit = kCallLimit;
};
void runPass(const Pass& pass, int64_t workers);

// A group of n of the N channels of a cascade's states (S sections, two
// states of `item` bytes each; section s, channel j at row s * N + j):
// channels j0 .. j0 + n - 1, or columns[0 .. n - 1] when columns is not
// null. gatherStates copies the group's rows to `group` (laid out for n
// channels: row s * n + k), scatterStates copies them back; a cascade runs
// a group of channels on such a copy.
struct StateGroup {
    std::size_t item;
    int64_t S, N;
    int64_t j0;
    const std::size_t* columns;
    int64_t n;
};
void gatherStates(const StateGroup& g, const void* states, void* group);
void scatterStates(const StateGroup& g, const void* group, void* states);

// Item sizes in bytes of a kernel's input, and of its output and state.
std::size_t inputItem(Kernel kernel);
std::size_t outputItem(Kernel kernel);

// Why a steady state or a zero-phase filter is refused.
enum class Status {
    Ok,
    ZeroLeadingCoefficient,  // a[0] (a section's a0) is 0
    NoSteadyState,           // a (a section's denominator) sums to 0
    PadLength,               // the signal is not longer than the padding (0 samples included)
    PadType,                 // a front's padding type is none of PadType's
};

// Each refusal's identifier and core text, in the order of Status: the one
// wording of each, which every front wraps with its own context (which
// argument, which section, which file) in its own form of message.
struct Refusal {
    const char* identifier;
    const char* text;
};
constexpr Refusal kRefusals[] = {
    {"", "success"},
    {"marrowick:zeroLeadingCoefficient",
     "the denominator's leading coefficient is 0, so the filter has no output scale"},
    {"marrowick:noSteadyState", "the denominator's coefficients sum to 0 (a pole at z = 1), so a step never settles"},
    {"marrowick:padLength", "the padding must be 0 samples or more and shorter than the signal"},
    {"marrowick:padType", "the padding must be odd, even, constant or none"},
};
constexpr const Refusal& refusalOf(Status status) { return kRefusals[static_cast<int>(status)]; }
static_assert(sizeof kRefusals / sizeof kRefusals[0] == static_cast<int>(Status::PadType) + 1,
              "one refusal for each Status");
struct Result {
    Status status;
    int32_t section;  // the section refused, for sections
};

// The correctly rounded sum of n doubles (as read); with an infinity or a
// NaN among them, the IEEE sum (NaN, or the infinity).
double exactSum(const double* v, std::size_t n);

// The states of b/a after a unit step has settled: L values into z, double
// or (complex) ComplexDouble; `h` (may be null) receives the gain at DC.
// b and a are values of the complexity `complex`, single-precision ones, or
// double-precision ones when `doublePrecision`. The states are solved in
// double precision by a fixed sequence of operations:
//   H = sum(b) / sum(a) (correctly rounded sums; a complex quotient by the
//       plain formula), state k = sum over j > k of (b[j] - a[j] * H), summed
//       sequentially from the last.
// That is the filter's own scale, which the single-precision kernels use
// (a[0] times the states of the filter divided by a[0]). The
// double-precision kernels divide by a[0] as SciPy does, so for them each
// state is then divided by a[0] (a complex quotient by the plain formula).
Result steadyState(bool complex, const void* b, int32_t nb, const void* a, int32_t na, void* z, ComplexDouble* h,
                   bool doublePrecision = false);
// Sections: row s (two values) is section s's steady state times the product
// of the gains at DC of the sections before it. zi holds nSections * 2
// values.
Result sectionsSteadyState(bool complex, const void* sos, int32_t nSections, void* zi, bool doublePrecision = false);

// The default padding of the zero-phase filters: 3 * max(nb, na), and for
// sections 3 * (2 * n + 1 - min(sections with b2 == 0, with a2 == 0)).
int64_t defaultPadLength(const Coefficients& c, bool complex);

enum class PadType { None, Odd, Even, Constant };

// The zero-phase filter of b/a or sections over M samples of N channels:
// 1. the signal extended by `padLength` samples at both ends (odd:
//    2*x[0] - x[padLength..1] before, 2*x[M-1] - x[M-2..M-1-padLength]
//    after; even: x[padLength..1] and x[M-2..]; constant: x[0] and x[M-1];
//    none for PadType::None or padLength 0), in the input's type, each
//    product and difference rounded as a single-precision (complex)
//    operation rounds it;
// 2. forward from the steady states times each channel's first extended
//    sample, each product formed in double precision and rounded once to the
//    state type;
// 3. backward over the forward output from the steady states times its last
//    sample; the output is that reversed, without the padding.
// `kernel` is chooseKernel(coefficients complex, x complex, coefficients
// complex) (never RRZ); the output is the kernel's output type. The output
// may be the input when their types agree and the layouts are the same.
// Scratch: the padding and the states of the channels in progress.
struct ZeroPhase {
    Kernel kernel;
    Coefficients c;
    int64_t M;
    int64_t N;
    const void* input;
    Layout inLayout;
    void* output;
    Layout outLayout;
    PadType padType;
    int64_t padLength;
};
Result runZeroPhase(const ZeroPhase& call, int64_t workers);

// The zero-phase filter as a recipe a front drives block by block, with the
// bits of runZeroPhase (which drives it over arrays in memory; the runner
// drives it over blocks of files). For each group of channels, in order:
//   padFront and padBack with the padLength + 1 samples of each end of x
//   (skipped without padding), before anything writes over x;
//   forward over x's blocks in order (the first starts the states and runs
//   the front padding);
//   turn, with the last sample of the forward output (runs the back padding
//   and starts the backward states);
//   backward over the forward output's blocks from the last, each handed in
//   the order the pass takes it (a layout reversed in time), in place.
// The steady states are solved once, in the plan; a group holds its states
// and its padding (padLength samples at each end), nothing else.
// A pass's start state as the zero-phase filters start one: the steady
// states z (`count` values per channel, as steadyState or
// sectionsSteadyState give them for kernel's coefficients) times the first
// sample of each of N channels of `samples` (kernel's input type), into
// `state` (dense, as Pass takes it).
void startState(Kernel kernel, bool sections, const double* z, int64_t count, void* state, int64_t N,
                const void* samples, Layout layout);

class ZeroPhasePlan {
public:
    ZeroPhasePlan(Kernel kernel, const Coefficients& c, PadType padType, int64_t padLength);
    // Ok, or why the filter is refused before any signal is seen.
    Result status() const { return status_; }
    // Ok, or PadLength when a signal of M samples is not longer than the padding.
    Result acceptsLength(int64_t M) const;
    int64_t edge() const { return edge_; }
    Kernel forwardKernel() const { return forward_; }

private:
    friend class ZeroPhaseGroup;
    Kernel forward_, backward_;
    Coefficients c_;
    PadType padType_;
    int64_t edge_;
    Result status_;
    std::vector<double> z_;  // the steady states, double or ComplexDouble
    bool zComplex_;
    int64_t count_;  // steady-state values
};

class ZeroPhaseGroup {
public:
    ZeroPhaseGroup(const ZeroPhasePlan& plan, int64_t N);
    void padFront(const void* piece, Layout layout);
    void padBack(const void* piece, Layout layout);
    // Starts the forward states (from the front padding, run, or without
    // padding from x's first sample); the first forward block does it when
    // begin was not called.
    void begin(const void* x, Layout xLayout);
    void forward(int64_t m, const void* x, Layout xLayout, void* y, Layout yLayout);
    void turn(const void* lastForward, Layout layout);
    void backward(int64_t m, void* y, Layout layout);
    // The group's states (N * stateLength values of the kernel's output
    // type, laid out as Pass takes them), for a front that runs the passes
    // over x's blocks itself: it reads them after begin or turn, and
    // resumes the group from the forward pass's states after x before turn.
    const void* states() const { return state_.data(); }
    void resume(const void* states);

private:
    void pass(Kernel k, int64_t m, const void* in, Layout inLayout, void* out, Layout outLayout);
    void start(const void* samples, Layout layout, bool complex, int64_t i);
    const ZeroPhasePlan& plan_;
    int64_t N_;
    bool started_ = false;
    std::vector<char> state_, left_, right_, tail_;
};

}  // namespace marrowick::filters
