// Writes the outputs of seeded filter and cascade calls, every kernel (the
// double-precision ones too, on a grid of doubles), a few
// channel counts (one channel, part of a group, whole groups and more) and
// both layouts the lane paths take, each on the path the kernels choose on
// this machine. The inputs come from a fixed generator on integers alone, so
// every platform computes the same calls; their outputs must be the same
// files byte for byte. The coefficients keep every filter stable, so no NaN
// (whose bits platforms may set differently) can arise.
//
// It also writes one call per kernel as .npy inputs of the runner,
// DIR/runner-<kernel>/{b,a,x,zi,sos}.npy (the double-precision kernels'
// as float64 and complex128 files), whose outputs (filter, and sosfilt from
// rest) are compared the same way.
//
//   marrowick_seeded_outputs DIR [SEED]
//   writes DIR/filter-<kernel>.bin, DIR/cascade-<kernel>.bin and the runner's
//   inputs
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "kernels/cascade.h"
#include "kernels/kernels.h"
#include "npy.h"

namespace {

using marrowick::CascadeCall;
using marrowick::FilterCall;
using marrowick::Kernel;
using marrowick::Layout;

// splitmix64: the same sequence on every platform.
struct Seeded {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A float of [lo, hi) on a grid of 2^-24 of the range, exact everywhere.
    float uniform(float lo, float hi) {
        const float unit = static_cast<float>(next() >> 40) * (1.0f / 16777216.0f);
        return lo + (hi - lo) * unit;
    }
    std::vector<float> values(std::size_t n, float lo, float hi) {
        std::vector<float> v(n);
        for (float& e : v) e = uniform(lo, hi);
        return v;
    }
    // A double of [lo, hi) on a grid of 2^-53 of the range.
    double uniformDouble(double lo, double hi) {
        const double unit = static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
        return lo + (hi - lo) * unit;
    }
    template <class E>
    std::vector<E> valuesOf(std::size_t n, E lo, E hi) {
        if constexpr (std::is_same<E, float>::value) {
            return values(n, lo, hi);
        } else {
            std::vector<E> v(n);
            for (E& e : v) e = uniformDouble(lo, hi);
            return v;
        }
    }
};

struct Complexity {
    bool coef;
    bool in;
    bool out;
};
Complexity complexityOf(Kernel k) {
    const marrowick::KernelFacts f = marrowick::kernelFacts(k);
    return {f.coefComplex, f.inComplex, f.outComplex};
}
const char* nameOf(Kernel k) {
    switch (k) {
        case Kernel::CC: return "cc";
        case Kernel::CR: return "cr";
        case Kernel::RC: return "rc";
        case Kernel::RRZ: return "rrz";
        case Kernel::RR: return "rr";
        case Kernel::DRR: return "drr";
        case Kernel::DCC: return "dcc";
        case Kernel::DCR: return "dcr";
    }
    return "?";
}

// Coefficients of a stable filter: a0 away from zero (a gain when it is not
// one), the rest of a small beside it.
template <class E = float>
std::vector<E> denominator(Seeded& rng, int32_t na, bool complex) {
    const int parts = complex ? 2 : 1;
    std::vector<E> a = rng.valuesOf<E>(static_cast<std::size_t>(na) * parts, E(-0.4) / na, E(0.4) / na);
    a[0] = rng.valuesOf<E>(1, E(1), E(2))[0];
    return a;
}

template <class E>
void append(std::ofstream& out, const std::vector<E>& v) {
    out.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(E)));
}

// E is the kernel's element type: float, or double for the double kernels.
template <class E>
void filterCases(Kernel k, Seeded& rng, std::ofstream& out) {
    const Complexity c = complexityOf(k);
    const int coefParts = c.coef ? 2 : 1, inParts = c.in ? 2 : 1, outParts = c.out ? 2 : 1;
    const int32_t M = 67;
    for (int32_t N : {1, 3, 4, 7, 9}) {
        for (int32_t nb : {3, 9}) {
            const int32_t na = nb == 3 ? 4 : 2;
            const int32_t L = (nb > na ? nb : na) - 1;
            for (bool interleaved : {false, true}) {
                const std::vector<E> b = rng.valuesOf<E>(static_cast<std::size_t>(nb) * coefParts, E(-1), E(1));
                const std::vector<E> a = denominator<E>(rng, na, c.coef);
                const std::vector<E> x = rng.valuesOf<E>(static_cast<std::size_t>(M) * N * inParts, E(-1), E(1));
                std::vector<E> zf = rng.valuesOf<E>(static_cast<std::size_t>(L) * N * outParts, E(-0.5), E(0.5));
                std::vector<E> y(static_cast<std::size_t>(M) * N * outParts);
                const Layout layout = interleaved ? Layout{N, 1} : Layout{1, M};
                const FilterCall call{k,      {nb, na, M, N, L}, b.data(), a.data(), x.data(),
                                      layout, y.data(),          layout,   zf.data()};
                marrowick::runFilterCall(call);
                append(out, y);
                append(out, zf);
            }
        }
    }
}

template <class E>
void cascadeCases(Kernel k, Seeded& rng, std::ofstream& out) {
    const Complexity c = complexityOf(k);
    const int coefParts = c.coef ? 2 : 1, inParts = c.in ? 2 : 1, outParts = c.out ? 2 : 1;
    const int32_t M = 53;
    for (int32_t N : {1, 3, 4, 7}) {
        for (int32_t sections : {1, 5}) {
            for (bool interleaved : {false, true}) {
                std::vector<E> sos;
                for (int32_t s = 0; s < sections; ++s) {
                    const std::vector<E> b = rng.valuesOf<E>(static_cast<std::size_t>(3) * coefParts, E(-1), E(1));
                    const std::vector<E> a = denominator<E>(rng, 3, c.coef);
                    sos.insert(sos.end(), b.begin(), b.end());
                    sos.insert(sos.end(), a.begin(), a.end());
                }
                const std::vector<E> x = rng.valuesOf<E>(static_cast<std::size_t>(M) * N * inParts, E(-1), E(1));
                std::vector<E> zf =
                    rng.valuesOf<E>(static_cast<std::size_t>(sections) * N * 2 * outParts, E(-0.5), E(0.5));
                std::vector<E> y(static_cast<std::size_t>(M) * N * outParts);
                const Layout layout = interleaved ? Layout{N, 1} : Layout{1, M};
                const CascadeCall call{k, sections, M, N, sos.data(), x.data(), layout, y.data(), layout, zf.data()};
                marrowick::runCascadeCall(call);
                append(out, y);
                append(out, zf);
            }
        }
    }
}

// float32 or complex64 values, or (doubles) the same values widened to
// float64 or complex128.
void writeNpy(const std::string& path, const std::vector<float>& v, bool complex, const std::vector<std::size_t>& shape,
              bool doubles = false) {
    const std::vector<std::uint8_t> header = runner::encodeNpyHeader(complex, shape, true, doubles);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    if (!doubles) {
        append(out, v);
        return;
    }
    const std::vector<double> wide(v.begin(), v.end());
    out.write(reinterpret_cast<const char*>(wide.data()), static_cast<std::streamsize>(wide.size() * sizeof(double)));
}

// One runner call: b and a complex for the kernels with complex
// coefficients, x complex for those over complex data, zi complex for
// KernelRRZ (the dispatch table picks the kernel from these); for the
// double-precision kernels every file float64 or complex128 (DCR: complex
// b and a over real x).
void runnerCase(Kernel k, Seeded& rng, const std::string& dir) {
    const Complexity c = complexityOf(k);
    const bool wide = marrowick::kernelFacts(k).doublePrecision;
    const std::size_t M = 301, N = 7, nb = 5, na = 3, L = 4;
    const int coefParts = c.coef ? 2 : 1, inParts = c.in ? 2 : 1;
    const bool ziComplex = k == Kernel::RRZ;
    mkdir(dir.c_str(), 0755);
    writeNpy(dir + "/b.npy", rng.values(nb * coefParts, -1.0f, 1.0f), c.coef, {nb}, wide);
    writeNpy(dir + "/a.npy", denominator(rng, na, c.coef), c.coef, {na}, wide);
    writeNpy(dir + "/x.npy", rng.values(M * N * inParts, -1.0f, 1.0f), c.in, {M, N}, wide);
    writeNpy(dir + "/zi.npy", rng.values(L * N * (ziComplex ? 2 : 1), -0.5f, 0.5f), ziComplex, {L, N}, wide);
    // Three sections for the runner's sosfilt, rows b0 b1 b2 a0 a1 a2 in
    // Fortran order.
    const std::size_t n = 3;
    std::vector<float> rows;
    for (std::size_t r = 0; r < n; ++r) {
        const std::vector<float> b = rng.values(3 * coefParts, -1.0f, 1.0f);
        const std::vector<float> a = denominator(rng, 3, c.coef);
        rows.insert(rows.end(), b.begin(), b.end());
        rows.insert(rows.end(), a.begin(), a.end());
    }
    std::vector<float> sos(rows.size());
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t k = 0; k < 6; ++k) {
            for (int part = 0; part < coefParts; ++part) {
                sos[(k * n + r) * coefParts + part] = rows[(r * 6 + k) * coefParts + part];
            }
        }
    }
    writeNpy(dir + "/sos.npy", sos, c.coef, {n, 6}, wide);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s DIR [SEED]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    Seeded rng{argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 28};
    for (Kernel k : {Kernel::CC, Kernel::CR, Kernel::RC, Kernel::RRZ, Kernel::RR}) {
        std::ofstream filter(dir + "/filter-" + nameOf(k) + ".bin", std::ios::binary);
        filterCases<float>(k, rng, filter);
        std::ofstream cascade(dir + "/cascade-" + nameOf(k) + ".bin", std::ios::binary);
        cascadeCases<float>(k, rng, cascade);
        runnerCase(k, rng, dir + "/runner-" + nameOf(k));
        if (!filter || !cascade) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], dir.c_str());
            return 1;
        }
    }
    for (Kernel k : {Kernel::DRR, Kernel::DCC, Kernel::DCR}) {
        std::ofstream filter(dir + "/filter-" + nameOf(k) + ".bin", std::ios::binary);
        filterCases<double>(k, rng, filter);
        std::ofstream cascade(dir + "/cascade-" + nameOf(k) + ".bin", std::ios::binary);
        cascadeCases<double>(k, rng, cascade);
        if (!filter || !cascade) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], dir.c_str());
            return 1;
        }
    }
    // The runner's double precision: float64 and complex128 files.
    for (Kernel k : {Kernel::DRR, Kernel::DCC, Kernel::DCR}) runnerCase(k, rng, dir + "/runner-" + nameOf(k));
    return 0;
}
