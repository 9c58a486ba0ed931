// Benchmarks: each workload of workloads.h, the kernel alone (its gain front
// end on ready buffers, the path chosen as in a call) and end to end (a whole
// call of the module through the host layer: argument checks, conversions,
// the kernel, building y and zf, releasing scratch, destroying the outputs).
// Copies/W times the memory passes of a whole call around the kernel as plain
// memset and memcpy of the same sizes.
// Each reports ns_per_sample_channel, wall-clock ns per sample per channel
// (for W7, one sample of one channel, the time per call), a plain number. The cascade
// workloads (SOS1, SOS16, SOS256 and 24-section variants) run the typed
// cascade call alone, on every path, and also report the time per section.
// The double-precision workloads (names ending in D) run the typed filter or
// cascade call of the all-real double kernel alone, on every path.
//
//   marrowick_bench [benchmark options]     run (filter with --benchmark_filter)
//   marrowick_bench --dump DIR [NAME...]    write each workload's b, a, x and zi
//                                           as DIR/NAME/{b,a,x,zi}.npy
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "kernels/paths.h"
#include "kernels/record.h"
#include "load_module.h"
#include "npy.h"
#include "workloads.h"

namespace bench {

MexFunction moduleEntry() { return loadMarrowickModule(); }

namespace {

// The wall-clock time of a benchmark's loop, started just before it. The
// figures are plain counters in ns: the library prints a rate counter with a
// unit of seconds whatever its scale.
class LoopClock {
public:
    LoopClock() : start_(std::chrono::steady_clock::now()) {}
    // ns per iteration and item, once the loop has run.
    double nsPer(const benchmark::State& state, double items) const {
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start_;
        return state.iterations() > 0 ? elapsed.count() / static_cast<double>(state.iterations()) / items : 0.0;
    }

private:
    std::chrono::steady_clock::time_point start_;
};

void setCounter(benchmark::State& state, const Workload& w, const LoopClock& clock) {
    state.counters["ns_per_sample_channel"] = clock.nsPer(state, static_cast<double>(w.samples) * w.channels);
}

// The kernel alone: the kernel the call would run, on buffers in the kernel's
// own form, on an explicit path, with x and y column-major (as the module
// holds them) or channel-interleaved (a C-order samples x channels array, as
// NumPy users hold them). The state carries over from one iteration to the
// next, as it does from piece to piece.
struct KernelCase {
    const Workload* workload;
    marrowick::KernelPath path;
    bool interleaved;
    bool freshState;  // zi restored before every call instead of carried over
};

void kernelAlone(benchmark::State& state, KernelCase kc) {
    const Workload& w = *kc.workload;
    KernelBuffers buffers(w, kc.interleaved);
    const std::vector<float> zi = buffers.z;
    const LoopClock clock;
    for (auto _ : state) {
        if (kc.freshState) std::memcpy(buffers.z.data(), zi.data(), zi.size() * sizeof(float));
        marrowick::runFilterCall(buffers.call, kc.path);
    }
    setCounter(state, w, clock);
    // The share of the final state's floats that are subnormal: a state that
    // decays into subnormals makes every update of the next call slow on
    // CPUs that handle them with microcode assists.
    std::size_t subnormal = 0;
    for (float v : buffers.z) subnormal += std::fpclassify(v) == FP_SUBNORMAL;
    state.counters["state_subnormal"] = static_cast<double>(subnormal) / static_cast<double>(buffers.z.size());
    state.SetLabel(std::string(marrowick::pathName(kc.path)) + (kc.interleaved ? " interleaved" : ""));
}

// A cascade of second-order sections alone, on an explicit path; the states
// carry over from one iteration to the next.
struct CascadeCase {
    const CascadeWorkload* workload;
    marrowick::KernelPath path;
    bool interleaved;
};

void cascadeAlone(benchmark::State& state, CascadeCase cc) {
    const CascadeWorkload& w = *cc.workload;
    CascadeBuffers buffers(w, cc.interleaved);
    const LoopClock clock;
    for (auto _ : state) marrowick::runCascadeCall(buffers.call, cc.path);
    const double items = static_cast<double>(w.samples) * w.channels;
    state.counters["ns_per_sample_channel"] = clock.nsPer(state, items);
    state.counters["ns_per_section_sample_channel"] = clock.nsPer(state, items * buffers.call.sections);
    state.SetLabel(std::string(marrowick::pathName(cc.path)) + (cc.interleaved ? " interleaved" : ""));
}

// A double-precision workload alone (the filter or the cascade), on an
// explicit path; the states carry over from one iteration to the next.
struct DoubleCase {
    const DoubleWorkload* workload;
    marrowick::KernelPath path;
    bool interleaved;
};

void doubleAlone(benchmark::State& state, DoubleCase dc) {
    const DoubleWorkload& w = *dc.workload;
    DoubleBuffers buffers(w, dc.interleaved);
    const LoopClock clock;
    for (auto _ : state) buffers.run(dc.path);
    state.counters["ns_per_sample_channel"] = clock.nsPer(state, static_cast<double>(w.samples) * w.channels);
    state.SetLabel(std::string(marrowick::pathName(dc.path)) + (dc.interleaved ? " interleaved" : ""));
}

// A whole call through the host layer, outputs destroyed each time.
void endToEnd(benchmark::State& state, const Workload* wp) {
    const Workload& w = *wp;
    Arrays arr = makeArrays(w);
    const std::vector<const mxArray*> inputs{arr.b.get(), arr.a.get(), arr.x.get(), arr.zi.get()};
    const MexFunction fn = moduleEntry();
    const LoopClock clock;
    for (auto _ : state) {
        mxhost::CallResult r = mxhost::callModule(fn, 2, inputs);
        if (!r.ok) {
            state.SkipWithError(r.message.c_str());
            break;
        }
        benchmark::DoNotOptimize(r.outputs.data());
    }
    setCounter(state, w, clock);
}

// The memory passes a whole call makes around the kernel, as plain memset
// and memcpy of the same sizes on buffers kept from one iteration to the
// next (as the call's scratch is, with freed memory kept): E2E minus Kernel
// against this says whether those passes run at memset/memcpy speed. The
// passes, S being the bytes of one real M x N array:
//   all-real:  the zeroed output scratch (memset S), y created zeroed
//              (memset S), the output copied into y (memcpy S);
//   complex:   the zeroed interleaved output (memset 2S), y's real and
//              imaginary arrays created zeroed (memset 2S) and split from it
//              (memcpy 2S); with complex x also its zeroed interleaved copy
//              (memset 2S, memcpy 2S).
// The states (L x N, small) are left out.
void copies(benchmark::State& state, const Workload* wp) {
    const Workload& w = *wp;
    const marrowick::Kernel kernel = marrowick::chooseKernel(w.complexCoef, w.complexData, w.complexState);
    const std::size_t S = static_cast<std::size_t>(w.samples) * w.channels * sizeof(float);
    struct Pass {
        int dst, src;  // buffer indices; src < 0: memset
        std::size_t bytes;
    };
    std::vector<Pass> passes;
    const std::size_t part = kernel == marrowick::Kernel::RR ? S : 2 * S;
    if (kernel == marrowick::Kernel::CC || kernel == marrowick::Kernel::RC) {
        passes.push_back({2, -1, part});
        passes.push_back({2, 3, part});
    }
    passes.push_back({0, -1, part});
    passes.push_back({1, -1, part});
    passes.push_back({1, 0, part});
    std::vector<std::vector<char>> buffers(4);
    for (const Pass& p : passes) {
        for (int i : {p.dst, p.src})
            if (i >= 0 && buffers[i].size() < p.bytes) buffers[i].assign(p.bytes, 1);
    }
    const LoopClock clock;
    for (auto _ : state) {
        for (const Pass& p : passes) {
            if (p.src < 0) {
                std::memset(buffers[p.dst].data(), 0, p.bytes);
            } else {
                std::memcpy(buffers[p.dst].data(), buffers[p.src].data(), p.bytes);
            }
        }
        benchmark::ClobberMemory();
    }
    setCounter(state, w, clock);
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

int dump(int argc, char** argv) {
    const std::string dir = argv[2];
    ::mkdir(dir.c_str(), 0755);
    std::vector<const Workload*> chosen;
    for (int i = 3; i < argc; ++i) {
        const Workload* w = findWorkload(argv[i]);
        if (w == nullptr) {
            std::fprintf(stderr, "unknown workload %s\n", argv[i]);
            return 2;
        }
        chosen.push_back(w);
    }
    if (chosen.empty())
        for (const Workload& w : workloads()) chosen.push_back(&w);
    for (const Workload* w : chosen) {
        const std::string sub = dir + "/" + w->name;
        ::mkdir(sub.c_str(), 0755);
        Arrays arr = makeArrays(*w);
        const std::pair<const char*, const mxArray*> files[] = {
            {"b", arr.b.get()}, {"a", arr.a.get()}, {"x", arr.x.get()}, {"zi", arr.zi.get()}};
        for (const auto& [name, array] : files) {
            if (!writeFile(sub + "/" + name + ".npy", runner::encodeNpy(array, runner::shapeOf(array)))) {
                std::fprintf(stderr, "cannot write %s/%s.npy\n", sub.c_str(), name);
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--dump") == 0) return bench::dump(argc, argv);
    using marrowick::KernelPath;
    for (const bench::Workload& w : bench::workloads()) {
        // Kernel/W2 is the path a call takes on this CPU; Kernel/W2/avx2 and
        // so on force each path the CPU has; /interleaved is channel-
        // interleaved data on that path.
        const marrowick::FilterShape shape{w.nb, w.na, w.samples, w.channels, 0};
        std::vector<benchmark::internal::Benchmark*> all;
        all.push_back(benchmark::RegisterBenchmark(("Kernel/" + w.name).c_str(), bench::kernelAlone,
                                                   bench::KernelCase{&w, marrowick::choosePath(shape), false, false}));
        for (KernelPath path :
             {KernelPath::OneChannelFast, KernelPath::Sse2, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!marrowick::pathAvailable(path)) continue;
            for (bool interleaved : {false, true}) {
                const std::string name =
                    "Kernel/" + w.name + "/" + marrowick::pathName(path) + (interleaved ? "/interleaved" : "");
                all.push_back(benchmark::RegisterBenchmark(name.c_str(), bench::kernelAlone,
                                                           bench::KernelCase{&w, path, interleaved, false}));
            }
            // A complex state over real data keeps imaginary parts that only
            // decay: the same call with zi restored before every call.
            if (w.complexState)
                all.push_back(benchmark::RegisterBenchmark(
                    ("Kernel/" + w.name + "/" + marrowick::pathName(path) + "/fresh-state").c_str(), bench::kernelAlone,
                    bench::KernelCase{&w, path, false, true}));
        }
        all.push_back(benchmark::RegisterBenchmark(("E2E/" + w.name).c_str(), bench::endToEnd, &w));
        all.push_back(benchmark::RegisterBenchmark(("Copies/" + w.name).c_str(), bench::copies, &w));
        for (auto* b : all) {
            b->UseRealTime()->Unit(benchmark::kMillisecond);
            if (w.iterations > 0) b->Iterations(w.iterations)->Unit(benchmark::kMicrosecond);
        }
    }
    // Cascades: Kernel/SOS1 is the path a call takes on this CPU, then each
    // path the CPU has, column-major and channel-interleaved.
    for (const bench::CascadeWorkload& w : bench::cascadeWorkloads()) {
        marrowick::CascadeCall shape{};
        shape.M = w.samples;
        shape.N = w.channels;
        std::vector<benchmark::internal::Benchmark*> all;
        all.push_back(benchmark::RegisterBenchmark(("Kernel/" + w.name).c_str(), bench::cascadeAlone,
                                                   bench::CascadeCase{&w, marrowick::chooseCascadePath(shape), false}));
        for (KernelPath path :
             {KernelPath::OneChannelFast, KernelPath::Sse2, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!marrowick::pathAvailable(path)) continue;
            for (bool interleaved : {false, true}) {
                if (interleaved && w.channels == 1) continue;
                const std::string name =
                    "Kernel/" + w.name + "/" + marrowick::pathName(path) + (interleaved ? "/interleaved" : "");
                all.push_back(benchmark::RegisterBenchmark(name.c_str(), bench::cascadeAlone,
                                                           bench::CascadeCase{&w, path, interleaved}));
            }
        }
        for (auto* b : all) b->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    // Double precision: Kernel/SOS16D and so on, each path the CPU has
    // (the filter's one-channel path as its definition has it).
    for (const bench::DoubleWorkload& w : bench::doubleWorkloads()) {
        for (KernelPath path :
             {KernelPath::OneChannelFast, KernelPath::Sse2, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!marrowick::pathAvailable(path)) continue;
            for (bool interleaved : {false, true}) {
                if (interleaved && w.channels == 1) continue;
                const std::string name =
                    "Kernel/" + w.name + "/" + marrowick::pathName(path) + (interleaved ? "/interleaved" : "");
                benchmark::RegisterBenchmark(name.c_str(), bench::doubleAlone, bench::DoubleCase{&w, path, interleaved})
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
