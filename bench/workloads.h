// The benchmark workloads: sizes, filters and data, built deterministically so
// that the benchmark and the peer comparison (bench/compare, which reads the
// arrays this program dumps) see the same numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host.h"
#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "kernels/paths.h"
#include "marrowick/mex.h"

namespace bench {

struct Workload {
    std::string name;  // "W2", or "W2_CR" for the other kernels at W2's sizes
    int32_t channels;  // N
    int32_t samples;   // M
    int32_t nb, na;
    bool complexCoef;    // b and a complex
    bool complexData;    // x complex
    bool complexState;   // zi complex (with real b, a and x: KernelRRZ)
    int64_t iterations;  // fixed iteration count, or 0 to let the library choose
};

const std::vector<Workload>& workloads();
const Workload* findWorkload(const std::string& name);

// The host arrays of one workload. b and a are a stable design cast to
// float32 (Butterworth low-pass, or a windowed-sinc FIR for nb = 64, na = 1;
// shifted in frequency for complex coefficients); x is uniform noise in
// [-1, 1]; zi is the final state of filtering a previous piece of noise from
// rest.
// The module's entry point, loaded as a host loads it.
MexFunction moduleEntry();

struct Arrays {
    mxhost::ArrayPtr b, a, x, zi;
};
Arrays makeArrays(const Workload& w);

// The workload's operands in the kernel's own form (floats, complex ones
// interleaved), x and y column-major or channel-interleaved (a C-order
// samples x channels array), and the typed call of the kernel the dispatch
// table picks. The state carries over from one call to the next.
struct KernelBuffers {
    KernelBuffers(const Workload& w, bool interleaved);
    KernelBuffers(const KernelBuffers&) = delete;
    KernelBuffers& operator=(const KernelBuffers&) = delete;
    std::vector<float> b, a, x, z, y;
    marrowick::FilterCall call;
};

// Cascade workloads: an 8th-order Butterworth band-pass (0.1 to 0.3 of
// Nyquist) as eight second-order sections rounded to float32, repeated
// `repeats` times; x uniform noise in [-1, 1]; the states those a previous
// piece of 256 samples left, from rest.
struct CascadeWorkload {
    std::string name;
    int32_t channels;  // N
    int32_t samples;   // M
    int32_t repeats;   // the eight sections, this many times over
};
const std::vector<CascadeWorkload>& cascadeWorkloads();

// A cascade workload's operands (all real), x and y column-major or
// channel-interleaved, and its typed cascade call. The states carry over
// from one call to the next.
struct CascadeBuffers {
    CascadeBuffers(const CascadeWorkload& w, bool interleaved);
    CascadeBuffers(const CascadeBuffers&) = delete;
    CascadeBuffers& operator=(const CascadeBuffers&) = delete;
    std::vector<float> sos, x, z, y;
    marrowick::CascadeCall call;
};

// Double-precision workloads (the all-real double kernel, KernelDRR): the
// eight sections above as doubles, or b/a of an order-4 Butterworth low-pass
// (cutoff 0.2 of Nyquist) in double; x uniform noise in [-1, 1]; the states
// a previous piece of 256 samples left, from rest. Names end in D.
struct DoubleWorkload {
    std::string name;
    int32_t channels;  // N
    int32_t samples;   // M
    bool cascade;      // the eight sections, else order-4 b/a
};
const std::vector<DoubleWorkload>& doubleWorkloads();

// A double workload's operands, x and y column-major or channel-interleaved,
// and its typed call (the filter or the cascade). The states carry over
// from one call to the next.
struct DoubleBuffers {
    DoubleBuffers(const DoubleWorkload& w, bool interleaved);
    DoubleBuffers(const DoubleBuffers&) = delete;
    DoubleBuffers& operator=(const DoubleBuffers&) = delete;
    void run(marrowick::KernelPath path);
    bool cascade;
    std::vector<double> b, a, sos, x, z, y;
    marrowick::FilterCall filter;
    marrowick::CascadeCall sections;
};

}  // namespace bench
