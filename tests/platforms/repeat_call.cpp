// Makes one workload's call a given number of times on the widest lane path
// or the fast one-channel path, for counting the instructions one call
// executes under an emulator (bench/analysis/count-emulated: the difference
// between two calls and one).
//
//   marrowick_repeat_call rr|cc|sos lanes|one-channel CALLS
//   rr, cc: KernelRR, KernelCC with nb = na = 5; sos: 4 real sections;
//   4096 samples x 8 channels, column-major
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernels/cascade.h"
#include "kernels/kernels.h"

int main(int argc, char** argv) {
    using namespace marrowick;
    const std::string what = argc == 4 ? argv[1] : "", where = argc == 4 ? argv[2] : "";
    if ((what != "rr" && what != "cc" && what != "sos") || (where != "lanes" && where != "one-channel")) {
        std::fprintf(stderr, "usage: %s rr|cc|sos lanes|one-channel CALLS\n", argv[0]);
        return 2;
    }
    const KernelPath path = where == "lanes" ? widestLanePath() : KernelPath::OneChannelFast;
    const int calls = std::atoi(argv[3]);
    const int32_t M = 4096, N = 8;
    const int parts = what == "cc" ? 2 : 1;
    std::vector<float> x(static_cast<std::size_t>(M) * N * parts), y(x.size()),
        z(static_cast<std::size_t>(8) * N * parts);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 17) * 0.1f - 0.8f;
    std::vector<float> b(static_cast<std::size_t>(5) * parts, 0.1f), a(b.size(), 0.01f);
    a[0] = 1.0f;
    std::vector<float> sos;
    for (int s = 0; s < 4; ++s) sos.insert(sos.end(), {0.2f, 0.4f, 0.2f, 1.0f, -0.5f, 0.1f});
    for (int c = 0; c < calls; ++c) {
        if (what == "sos") {
            runCascadeCall({Kernel::RR, 4, M, N, sos.data(), x.data(), Layout{1, M}, y.data(), Layout{1, M}, z.data()},
                           path);
        } else {
            runFilterCall({what == "cc" ? Kernel::CC : Kernel::RR,
                           {5, 5, M, N, 4},
                           b.data(),
                           a.data(),
                           x.data(),
                           Layout{1, M},
                           y.data(),
                           Layout{1, M},
                           z.data()},
                          path);
        }
    }
    std::printf("%s %s on %s\n", what.c_str(), where.c_str(), pathName(path));
    return 0;
}
