// The typed call of a cascade of second-order sections, for the fronts
// beside the host, on the paths of paths.h.
#pragma once

#include <cstdint>

#include "paths.h"
#include "record.h"

namespace marrowick {

// One call through n second-order sections. Section s has coefficients
// sos[6*s .. 6*s+5] = b0 b1 b2 a0 a1 a2 (float when the sections are real,
// ComplexSingle when complex). `first` is the kernel of the first section by
// the dispatch table (chooseKernel of coef/data/state complexity); the later
// sections run the kernel a chain of calls produces (CR->CC, RRZ->RC, else the
// same). State: 2 per section and channel; section s, channel j at
// (s * N + j) * 2, float when first == RR, ComplexSingle otherwise; read and
// written in place. Input of the first kernel's In type; output of its Out
// type. Every section computes bit for bit what a call of the typed filter
// call with that section's b, a and states on the previous section's output
// computes, its gain derived from its own a0. The input and the output may
// be the same buffer in the same layout when their types agree.
struct CascadeCall {
    Kernel first;
    int32_t sections;
    int32_t M;  // samples
    int32_t N;  // channels
    const void* sos;
    const void* input;
    Layout inLayout;
    void* output;
    Layout outLayout;
    void* state;
};
void runCascadeCall(const CascadeCall& call);                   // chooses the path
void runCascadeCall(const CascadeCall& call, KernelPath path);  // explicit path (tests/bench)
// The path runCascadeCall(call) takes on this CPU.
KernelPath chooseCascadePath(const CascadeCall& call);

}  // namespace marrowick
