// Running one filtering task with the GIL released: in pieces along time and
// in groups of channels when the counts exceed what one kernel call takes,
// and on several threads when asked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/record.h"

namespace marrowick::python {

// The buffers of a task: the input and output with their element layouts,
// and the states, each with its item size in bytes.
struct Buffers {
    const char* input;
    Layout inLayout;
    std::size_t inItem;
    char* output;
    Layout outLayout;
    std::size_t outItem;
    char* state;
    std::size_t stateItem;

    // The input and output at sample i of channel j.
    const char* inputAt(int64_t i, int64_t j) const {
        return input + (i * inLayout.sample + j * inLayout.channel) * static_cast<int64_t>(inItem);
    }
    char* outputAt(int64_t i, int64_t j) const {
        return output + (i * outLayout.sample + j * outLayout.channel) * static_cast<int64_t>(outItem);
    }
};

// One filtering task on raw buffers: the call's kernel and coefficients, and
// the buffers (the state of channel j: its L values at j * L).
struct Task {
    Kernel kernel;
    int32_t nb, na, L;
    int64_t M, N;
    const void* b;
    const void* a;
    Buffers io;
};

// One cascade of second-order sections on raw buffers: the kernel of the
// first section (the later ones follow from it), the sections (6 numbers a
// row, of the kernels' coefficient type), and the buffers (the states of
// section s, channel j at (s * N + j) * 2).
struct CascadeTask {
    Kernel first;
    int32_t sections;
    int64_t M, N;
    const void* sos;
    Buffers io;
};

// Filters all channels on `workers` threads (whole lane groups each where
// there are enough channels); each piece's final state is the next piece's
// initial state, in place, so the bits are those of one call.
void runTask(const Task& t, int64_t workers);
// The same for a cascade: a group of channels that is not all of them runs
// on a copy of its states, written back when the group is done.
void runCascadeTask(const CascadeTask& t, int64_t workers);

// The largest sample count and channel count of one kernel call, and of
// their product (2^31 - 1). Only the tests lower it, to exercise the
// chaining on small arrays; returns the previous limit.
int64_t setPieceLimit(int64_t limit);

}  // namespace marrowick::python
