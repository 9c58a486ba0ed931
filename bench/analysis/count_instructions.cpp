// Counts the instructions one kernel call executes, by single-stepping it:
// a child process prepares a workload (optionally with fewer samples or
// channels), runs the call once untraced, then once more between two stops
// while this process steps it with ptrace and counts each instruction
// address. Prints
//     samples M channels N steps S
//     0x<address> <count>           (one line per address executed)
// for bench/analysis/bounds, which names each address's instruction from the
// disassembly of this binary (linked at a fixed address) and groups them.
//
//   marrowick_count WORKLOAD PATH [--samples M] [--channels N] [--interleaved]
//   WORKLOAD: a filter workload (W1 ...) or a double one (SOS16D ...)
//   PATH: one-channel, sse2, avx2, avx512
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kernels/kernels.h"
#include "kernels/paths.h"
#include "load_module.h"
#include "workloads.h"

namespace bench {
MexFunction moduleEntry() { return loadMarrowickModule(); }
}  // namespace bench

namespace {

bool parsePath(const std::string& s, marrowick::KernelPath& path) {
    using marrowick::KernelPath;
    for (KernelPath p :
         {KernelPath::OneChannelFast, KernelPath::Sse2, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (s == marrowick::pathName(p)) {
            path = p;
            return true;
        }
    }
    return false;
}

// Runs `call` once untraced, then once between the two stops.
template <class Call>
[[noreturn]] void traced(const Call& call) {
    call();  // warm: pages, caches, predictors
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
    call();
    raise(SIGSTOP);
    std::_Exit(0);
}

[[noreturn]] void child(bench::Workload w, marrowick::KernelPath path, bool interleaved) {
    bench::KernelBuffers buffers(w, interleaved);
    traced([&] { marrowick::runFilterCall(buffers.call, path); });
}

[[noreturn]] void doubleChild(bench::DoubleWorkload w, marrowick::KernelPath path, bool interleaved) {
    bench::DoubleBuffers buffers(w, interleaved);
    traced([&] { buffers.run(path); });
}

const bench::DoubleWorkload* findDoubleWorkload(const std::string& name) {
    for (const bench::DoubleWorkload& w : bench::doubleWorkloads())
        if (w.name == name) return &w;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s WORKLOAD PATH [--samples M] [--channels N] [--interleaved]\n", argv[0]);
        return 2;
    }
    const bench::Workload* found = bench::findWorkload(argv[1]);
    const bench::DoubleWorkload* foundDouble = findDoubleWorkload(argv[1]);
    marrowick::KernelPath path;
    if ((found == nullptr && foundDouble == nullptr) || !parsePath(argv[2], path)) {
        std::fprintf(stderr, "unknown workload or path\n");
        return 2;
    }
    if (!marrowick::pathAvailable(path)) {
        std::fprintf(stderr, "path %s is not available on this CPU\n", argv[2]);
        return 3;
    }
    int32_t samples = found != nullptr ? found->samples : foundDouble->samples;
    int32_t channels = found != nullptr ? found->channels : foundDouble->channels;
    bool interleaved = false;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--samples") == 0 && i + 1 < argc) {
            samples = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--channels") == 0 && i + 1 < argc) {
            channels = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--interleaved") == 0) {
            interleaved = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    const pid_t pid = fork();
    if (pid == 0) {
        if (found != nullptr) {
            bench::Workload w = *found;
            w.samples = samples;
            w.channels = channels;
            child(w, path, interleaved);
        }
        bench::DoubleWorkload w = *foundDouble;
        w.samples = samples;
        w.channels = channels;
        doubleChild(w, path, interleaved);
    }
    int status = 0;
    waitpid(pid, &status, 0);  // the first stop: the traced call begins
    if (!WIFSTOPPED(status)) return 1;
    std::map<unsigned long long, unsigned long long> counts;
    unsigned long long steps = 0;
    for (;;) {
        if (ptrace(PTRACE_SINGLESTEP, pid, nullptr, nullptr) != 0) return 1;
        waitpid(pid, &status, 0);
        if (!WIFSTOPPED(status)) return 1;
        if (WSTOPSIG(status) == SIGSTOP) break;  // the second stop: the call is over
        user_regs_struct regs;
        ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
        ++counts[regs.rip];
        ++steps;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    std::printf("samples %d channels %d steps %llu\n", samples, channels, steps);
    for (const auto& [address, count] : counts) std::printf("0x%llx %llu\n", address, count);
    return 0;
}
