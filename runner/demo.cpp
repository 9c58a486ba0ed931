// marrowick demo: a built-in multichannel signal filtered whole and in
// pieces, the two compared bit for bit, the filter's response measured and
// the signal and its output written to a directory.
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "design.h"
#include "host.h"
#include "npy.h"
#include "runner.h"

namespace runner {
namespace {

constexpr std::size_t kSamples = 1u << 18, kChannels = 8;
constexpr double kPassTone = 0.01, kStopTone = 0.2;  // cycles per sample

// Amplitude of the tone at `frequency` cycles per sample in samples [from, to).
double toneAmplitude(const float* v, std::size_t from, std::size_t to, double frequency) {
    const double pi = std::acos(-1.0);
    double c = 0, s = 0;
    for (std::size_t i = from; i < to; ++i) {
        c += v[i] * std::cos(2 * pi * frequency * static_cast<double>(i));
        s += v[i] * std::sin(2 * pi * frequency * static_cast<double>(i));
    }
    return 2.0 * std::hypot(c, s) / static_cast<double>(to - from);
}

// Writes a whole file safely, as filter writes its outputs.
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    OutputFile file;
    file.prepare(path, "output");
    file.open();
    file.writeAt(0, bytes.data(), bytes.size());
    file.finish();
    publish(&file, nullptr);
}

// The directory given, created if need be, or a new one under /tmp.
std::string outputDirectory(int argc, char** argv) {
    if (argc > 3) die("demo takes at most one argument, the output directory");
    if (argc == 3) {
        const std::string dir = argv[2];
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) die(dir + ": cannot create directory");
        return dir;
    }
    char pattern[] = "/tmp/marrowick-demo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("cannot create a directory under /tmp");
    return pattern;
}

// Per channel a pass-band tone, a stop-band tone and deterministic noise,
// column-major.
std::vector<float> makeSignal() {
    std::vector<float> x(kSamples * kChannels);
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    const double pi = std::acos(-1.0);
    for (std::size_t j = 0; j < kChannels; ++j) {
        for (std::size_t i = 0; i < kSamples; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
            const double t = static_cast<double>(i);
            x[j * kSamples + i] = static_cast<float>(std::sin(2 * pi * kPassTone * t + 0.3 * j) +
                                                     0.5 * std::sin(2 * pi * kStopTone * t + 0.7 * j) + 0.1 * noise);
        }
    }
    return x;
}

struct Demo {
    MexFunction fn;
    mxhost::ArrayPtr b, a, x;
    std::size_t L;
};

// The whole signal in one call, timed as the median of a few calls: the
// first call of a process also pays for faulting in fresh memory.
mxhost::CallResult filterWhole(const Demo& d, std::vector<double>& times) {
    mxhost::ArrayPtr zi = mxhost::makeReal({d.L, kChannels}, std::vector<float>(d.L * kChannels, 0.0f));
    mxhost::CallResult whole;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        whole = mxhost::callModule(d.fn, 2, {d.b.get(), d.a.get(), d.x.get(), zi.get()});
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!whole.ok) die("whole-signal call failed: " + whole.message);
    }
    std::sort(times.begin(), times.end());
    return whole;
}

// The same signal in uneven pieces, the final states of each piece starting
// the next: whether y and zf are those of the whole call, bit for bit.
bool samePieced(const Demo& d, const mxhost::CallResult& whole, int& pieces) {
    const std::size_t M = kSamples, N = kChannels;
    const float* x = static_cast<const float*>(mxGetData(d.x.get()));
    const std::size_t cuts[] = {0, 1, 1000, 1000, 4097, 100000, M};
    mxhost::ArrayPtr zi = mxhost::makeReal({d.L, N}, std::vector<float>(d.L * N, 0.0f));
    std::vector<float> pieced(M * N);
    for (std::size_t c = 0; c + 1 < sizeof cuts / sizeof cuts[0]; ++c) {
        const std::size_t from = cuts[c], len = cuts[c + 1] - cuts[c];
        std::vector<float> part(len * N);
        for (std::size_t j = 0; j < N; ++j) std::memcpy(&part[j * len], &x[j * M + from], len * sizeof(float));
        mxhost::ArrayPtr xPart = mxhost::makeReal({len, N}, part);
        mxhost::CallResult r = mxhost::callModule(d.fn, 2, {d.b.get(), d.a.get(), xPart.get(), zi.get()});
        if (!r.ok) die("piecewise call failed: " + r.message);
        const float* yp = static_cast<const float*>(mxGetData(r.outputs[0].get()));
        for (std::size_t j = 0; j < N; ++j) std::memcpy(&pieced[j * M + from], &yp[j * len], len * sizeof(float));
        zi = std::move(r.outputs[1]);
        ++pieces;
    }
    return std::memcmp(pieced.data(), mxGetData(whole.outputs[0].get()), M * N * sizeof(float)) == 0 &&
           std::memcmp(mxGetData(zi.get()), mxGetData(whole.outputs[1].get()), d.L * N * sizeof(float)) == 0;
}

// The mean gain in dB of a tone over the channels, past the start-up
// transient.
double toneGain(const float* x, const float* y, double tone) {
    const std::size_t from = 4096;
    double gain = 0;
    for (std::size_t j = 0; j < kChannels; ++j) {
        const std::size_t at = j * kSamples;
        gain +=
            20 * std::log10(toneAmplitude(&y[at], from, kSamples, tone) / toneAmplitude(&x[at], from, kSamples, tone));
    }
    return gain / kChannels;
}

}  // namespace

int runDemo(int argc, char** argv) {
    // Like a long-running host, keep freed memory for the next call instead of
    // handing it back to the system and faulting in fresh pages every time.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    const std::string dir = outputDirectory(argc, argv);
    std::vector<double> bd, ad;
    design::butterworth(4, 0.1, bd, ad);  // cutoff 0.05 cycles per sample
    const std::vector<float> b(bd.begin(), bd.end()), a(ad.begin(), ad.end());
    const std::size_t M = kSamples, N = kChannels;
    const Demo d{loadModule(), mxhost::makeReal({b.size(), 1}, b), mxhost::makeReal({a.size(), 1}, a),
                 mxhost::makeReal({M, N}, makeSignal()), std::max(b.size(), a.size()) - 1};

    std::vector<double> times;
    const mxhost::CallResult whole = filterWhole(d, times);
    const double seconds = times[times.size() / 2];
    int pieces = 0;
    const bool same = samePieced(d, whole, pieces);
    const float* x = static_cast<const float*>(mxGetData(d.x.get()));
    const float* y = static_cast<const float*>(mxGetData(whole.outputs[0].get()));
    writeFile(dir + "/x.npy", encodeNpy(d.x.get(), {M, N}));
    writeFile(dir + "/y.npy", encodeNpy(whole.outputs[0].get(), {M, N}));

    std::printf("marrowick demo\n");
    std::printf(
        "  signal     %zu samples x %zu channels, float32 (pass-band tone %.2f, stop-band tone %.2f "
        "cycles/sample, noise)\n",
        M, N, kPassTone, kStopTone);
    std::printf("  filter     4th-order low-pass, nb = %zu, na = %zu, L = %zu; kernel: all-real (KernelRR)\n", b.size(),
                a.size(), d.L);
    std::printf("  time       %.3f ms for the whole signal (median of %zu calls), %.1f Msample-channels/s\n",
                seconds * 1e3, times.size(), static_cast<double>(M * N) / seconds / 1e6);
    std::printf("  pieces     %d calls with zf fed back as zi: %s\n", pieces,
                same ? "identical to the whole-signal result, bit for bit" : "MISMATCH");
    std::printf("  response   stop-band tone %.1f dB, pass-band tone %.2f dB\n", toneGain(x, y, kStopTone),
                toneGain(x, y, kPassTone));
    std::printf("  files      %s/x.npy, %s/y.npy\n", dir.c_str(), dir.c_str());
    return same ? 0 : 1;
}

}  // namespace runner
