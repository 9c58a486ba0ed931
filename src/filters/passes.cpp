// Whole-array passes over the typed filter and cascade calls: groups of
// channels and pieces along time within what one call takes, the final
// state of each piece the initial state of the next, so the bits are those
// of one call; groups of channels on several threads when asked.
#include <algorithm>
#include <cstring>
#include <vector>

#include "filters.h"
#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "kernels/paths.h"
#include "threads.h"

namespace marrowick::filters {

std::size_t inputItem(Kernel kernel) { return kernelFacts(kernel).inItem; }
std::size_t outputItem(Kernel kernel) { return kernelFacts(kernel).outItem; }

int64_t stateLength(const Coefficients& c) {
    if (c.sections) return 2 * static_cast<int64_t>(c.nSections);
    return c.zeroState ? 0 : (c.nb > c.na ? c.nb : c.na) - 1;
}

namespace {

// The most bytes of states one group of a cascade gathers.
constexpr int64_t kGatherBytes = int64_t{1} << 20;

const char* at(const void* base, Layout layout, std::size_t item, int64_t i, int64_t j) {
    return static_cast<const char*>(base) + (i * layout.sample + j * layout.channel) * static_cast<int64_t>(item);
}

// Channels [jg, jg + ng) of the pass, in pieces along time, from the states
// at `state` (laid out for ng channels).
void runGroup(const Pass& p, int64_t jg, int64_t ng, void* state) {
    const std::size_t inItem = inputItem(p.kernel), outItem = outputItem(p.kernel);
    const int64_t piece = p.M <= p.limit / ng ? p.M : std::max<int64_t>(1, p.limit / ng);
    for (int64_t i0 = 0; i0 < p.M; i0 += piece) {
        const int64_t m = std::min(piece, p.M - i0);
        const void* input = at(p.input, p.inLayout, inItem, i0, jg);
        void* output = const_cast<char*>(at(p.output, p.outLayout, outItem, i0, jg));
        if (p.c.sections) {
            CascadeCall call{};
            call.first = p.kernel;
            call.sections = p.c.nSections;
            call.M = static_cast<int32_t>(m);
            call.N = static_cast<int32_t>(ng);
            call.sos = p.c.sos;
            call.input = input;
            call.inLayout = p.inLayout;
            call.output = output;
            call.outLayout = p.outLayout;
            call.state = state;
            runCascadeCall(call);
        } else {
            FilterCall call{};
            call.kernel = p.kernel;
            call.shape = FilterShape{p.c.nb, p.c.na, static_cast<int32_t>(m), static_cast<int32_t>(ng),
                                     static_cast<int32_t>(stateLength(p.c))};
            call.b = p.c.b;
            call.a = p.c.a;
            call.input = input;
            call.inLayout = p.inLayout;
            call.output = output;
            call.outLayout = p.outLayout;
            call.state = state;
            runFilterCall(call);
        }
    }
}

// Channels [j0, j0 + n): in groups within the limit. A cascade's group that
// is not all channels runs on a copy of its states (sections outermost),
// written back when the group is done.
void runChannels(const Pass& p, int64_t j0, int64_t n) {
    const int64_t L = stateLength(p.c);
    const std::size_t item = outputItem(p.kernel);
    int64_t group = std::max<int64_t>(1, std::min({n, p.limit, p.limit / std::max<int64_t>(L, 1)}));
    char* state = static_cast<char*>(p.state);
    if (!p.c.sections) {
        for (int64_t jg = j0; jg < j0 + n; jg += group) {
            const int64_t ng = std::min(group, j0 + n - jg);
            runGroup(p, jg, ng, state + jg * L * static_cast<int64_t>(item));
        }
        return;
    }
    const int64_t rowBytes = 2 * static_cast<int64_t>(item);
    const int64_t S = p.c.nSections;
    if (group < p.N) group = std::min(group, std::max<int64_t>(16, kGatherBytes / (S * rowBytes) / 16 * 16));
    std::vector<char> buffer;
    for (int64_t jg = j0; jg < j0 + n; jg += group) {
        const int64_t ng = std::min(group, j0 + n - jg);
        if (ng == p.N) {
            runGroup(p, jg, ng, state);
            continue;
        }
        buffer.resize(static_cast<std::size_t>(S * ng * rowBytes));
        const StateGroup g{item, S, p.N, jg, nullptr, ng};
        gatherStates(g, state, buffer.data());
        runGroup(p, jg, ng, buffer.data());
        scatterStates(g, buffer.data(), state);
    }
}

// Copies the group's rows between the states and the group's copy.
void copyGroup(const StateGroup& g, char* states, char* group, bool back) {
    const int64_t row = 2 * static_cast<int64_t>(g.item);
    for (int64_t s = 0; s < g.S; ++s) {
        char* to = group + s * g.n * row;
        if (g.columns == nullptr) {
            char* from = states + (s * g.N + g.j0) * row;
            if (back) std::memcpy(from, to, static_cast<std::size_t>(g.n * row));
            else std::memcpy(to, from, static_cast<std::size_t>(g.n * row));
            continue;
        }
        for (int64_t k = 0; k < g.n; ++k) {
            char* from = states + (s * g.N + static_cast<int64_t>(g.columns[k])) * row;
            if (back) std::memcpy(from, to + k * row, static_cast<std::size_t>(row));
            else std::memcpy(to + k * row, from, static_cast<std::size_t>(row));
        }
    }
}

}  // namespace

void gatherStates(const StateGroup& g, const void* states, void* group) {
    copyGroup(g, const_cast<char*>(static_cast<const char*>(states)), static_cast<char*>(group), false);
}

void scatterStates(const StateGroup& g, const void* group, void* states) {
    copyGroup(g, static_cast<char*>(states), const_cast<char*>(static_cast<const char*>(group)), true);
}

void runPass(const Pass& pass, int64_t workers) {
    if (pass.M == 0 || pass.N == 0) return;
    // One group of every channel on the calling thread: no split to make
    // (the short calls' case).
    if ((workers == 1 || pass.N == 1) && pass.N <= pass.limit / std::max<int64_t>(stateLength(pass.c), 1)) {
        runGroup(pass, 0, pass.N, pass.state);
        return;
    }
    onThreads(pass.N, workers, [&pass](int64_t j0, int64_t n) { runChannels(pass, j0, n); });
}

}  // namespace marrowick::filters
