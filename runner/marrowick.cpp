// The runner: loads the marrowick module as a host does and calls it on
// arrays stored in .npy files, or on a built-in example.
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "design.h"
#include "host.h"
#include "load_module.h"
#include "npy.h"
#include "runner.h"

using runner::die;

namespace {

const char* const kUsage =
    "usage: marrowick <command> [arguments]\n"
    "\n"
    "  filter B.npy A.npy X.npy ZI.npy Y.npy ZF.npy\n"
    "        [y, zf] = marrowick(b, a, x, zi): filter every column of x with b/a\n"
    "        starting from zi; write the output y and the final states zf\n"
    "  demo [DIR]\n"
    "        filter a built-in multichannel signal whole and in pieces, check that\n"
    "        both agree bit for bit, report, and write x and y to DIR (default: a\n"
    "        new directory under /tmp)\n"
    "  help [filter|demo]\n"
    "\n"
    "The module is loaded from marrowick.so beside this program, or from the\n"
    "path in MARROWICK_MODULE.\n";

const char* const kFilterHelp =
    "usage: marrowick filter B.npy A.npy X.npy ZI.npy Y.npy ZF.npy\n"
    "\n"
    "Inputs are .npy files of little-endian float32 ('<f4') or complex64 ('<c8'),\n"
    "C or Fortran order, any number of dimensions; a 1-D array is a column.\n"
    "b and a are the numerator and denominator coefficients (flat); x is filtered\n"
    "along its first dimension, each column (channel) separately; zi holds L rows\n"
    "of initial states per channel, L = max(len(b), len(a)) - 1, or L = 0.\n"
    "Y.npy has the shape and the order (C or Fortran) of X.npy, ZF.npy the shape\n"
    "of ZI.npy in Fortran order; float32 when every input is real and complex64\n"
    "otherwise. Feed ZF back as ZI to filter a long signal in pieces.\n"
    "\n"
    "Size: X is read and Y written in blocks, so X and Y may be as large as the\n"
    "disk holds; memory stays under about 200 MiB whatever their size. B, A and\n"
    "ZI are read whole, up to 16 MiB of data each.\n"
    "\n"
    "Outputs: a regular file is replaced (a link is followed; an existing file\n"
    "keeps its mode), both or neither, in a directory the run can read, lock and\n"
    "sync; a device, FIFO, pipe or socket (also through /dev/stdout) is written\n"
    "into. On any error the exit status is non-zero and no file is created or\n"
    "changed.\n";

const char* const kDemoHelp =
    "usage: marrowick demo [DIR]\n"
    "\n"
    "Builds a deterministic 8-channel signal (a pass-band tone, a stop-band tone\n"
    "and noise per channel), filters it with a 4th-order low-pass filter whole\n"
    "and again in pieces with zf fed back as zi, checks that both agree bit for\n"
    "bit, prints sizes, kernel, time, throughput and the stop-band attenuation,\n"
    "and writes x.npy and y.npy to DIR.\n";

// marrowick.so beside this program.
std::string moduleBesideProgram() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "./marrowick.so";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/') + 1);
    return dir + "marrowick.so";
}

}  // namespace

MexFunction runner::loadModule() {
    std::string error;
    const MexFunction fn = mxhost::loadEntryPoint(mxhost::modulePath(moduleBesideProgram()), error);
    if (fn == nullptr) die(error);
    return fn;
}

namespace {

// ---- demo ----

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
    runner::OutputFile file;
    file.prepare(path, "output");
    file.open();
    file.writeAt(0, bytes.data(), bytes.size());
    file.finish();
    runner::publish(&file, nullptr);
}

int runDemo(int argc, char** argv) {
    // Like a long-running host, keep freed memory for the next call instead of
    // handing it back to the system and faulting in fresh pages every time.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    if (argc > 3) die("demo takes at most one argument, the output directory");
    std::string dir;
    if (argc == 3) {
        dir = argv[2];
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) die(dir + ": cannot create directory");
    } else {
        char pattern[] = "/tmp/marrowick-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) die("cannot create a directory under /tmp");
        dir = pattern;
    }

    const std::size_t M = 1u << 18, N = 8;
    const double passTone = 0.01, stopTone = 0.2;  // cycles per sample
    std::vector<float> b, a;
    std::vector<double> bd, ad;
    design::butterworth(4, 0.1, bd, ad);  // cutoff 0.05 cycles per sample
    b.assign(bd.begin(), bd.end());
    a.assign(ad.begin(), ad.end());
    const std::size_t L = std::max(b.size(), a.size()) - 1;

    std::vector<float> x(M * N);
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    const double pi = std::acos(-1.0);
    for (std::size_t j = 0; j < N; ++j) {
        for (std::size_t i = 0; i < M; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
            const double t = static_cast<double>(i);
            x[j * M + i] = static_cast<float>(std::sin(2 * pi * passTone * t + 0.3 * j) +
                                              0.5 * std::sin(2 * pi * stopTone * t + 0.7 * j) + 0.1 * noise);
        }
    }

    const MexFunction fn = runner::loadModule();
    mxhost::ArrayPtr bArr = mxhost::makeReal({b.size(), 1}, b);
    mxhost::ArrayPtr aArr = mxhost::makeReal({a.size(), 1}, a);
    mxhost::ArrayPtr xArr = mxhost::makeReal({M, N}, x);
    mxhost::ArrayPtr ziArr = mxhost::makeReal({L, N}, std::vector<float>(L * N, 0.0f));

    // The whole signal in one call, timed as the median of a few calls: the
    // first call of a process also pays for faulting in fresh memory.
    mxhost::CallResult whole;
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        whole = mxhost::callModule(fn, 2, {bArr.get(), aArr.get(), xArr.get(), ziArr.get()});
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!whole.ok) die("whole-signal call failed: " + whole.message);
    }
    std::sort(times.begin(), times.end());
    const double seconds = times[times.size() / 2];
    const float* y = static_cast<const float*>(mxGetData(whole.outputs[0].get()));

    // The same signal in uneven pieces, the final states of each piece
    // starting the next.
    const std::size_t cuts[] = {0, 1, 1000, 1000, 4097, 100000, M};
    mxhost::ArrayPtr zi = mxhost::makeReal({L, N}, std::vector<float>(L * N, 0.0f));
    std::vector<float> pieced(M * N);
    int pieces = 0;
    for (std::size_t c = 0; c + 1 < sizeof cuts / sizeof cuts[0]; ++c) {
        const std::size_t from = cuts[c], len = cuts[c + 1] - cuts[c];
        std::vector<float> part(len * N);
        for (std::size_t j = 0; j < N; ++j) std::memcpy(&part[j * len], &x[j * M + from], len * sizeof(float));
        mxhost::ArrayPtr xPart = mxhost::makeReal({len, N}, part);
        mxhost::CallResult r = mxhost::callModule(fn, 2, {bArr.get(), aArr.get(), xPart.get(), zi.get()});
        if (!r.ok) die("piecewise call failed: " + r.message);
        const float* yp = static_cast<const float*>(mxGetData(r.outputs[0].get()));
        for (std::size_t j = 0; j < N; ++j) std::memcpy(&pieced[j * M + from], &yp[j * len], len * sizeof(float));
        zi = std::move(r.outputs[1]);
        ++pieces;
    }
    const bool same = std::memcmp(pieced.data(), y, M * N * sizeof(float)) == 0 &&
                      std::memcmp(mxGetData(zi.get()), mxGetData(whole.outputs[1].get()), L * N * sizeof(float)) == 0;

    double attenuation = 0, passGain = 0;
    for (std::size_t j = 0; j < N; ++j) {
        const std::size_t from = 4096;  // past the start-up transient
        attenuation +=
            20 * std::log10(toneAmplitude(&y[j * M], from, M, stopTone) / toneAmplitude(&x[j * M], from, M, stopTone));
        passGain +=
            20 * std::log10(toneAmplitude(&y[j * M], from, M, passTone) / toneAmplitude(&x[j * M], from, M, passTone));
    }
    attenuation /= N;
    passGain /= N;

    writeFile(dir + "/x.npy", mxhost::encodeNpy(xArr.get(), {M, N}));
    writeFile(dir + "/y.npy", mxhost::encodeNpy(whole.outputs[0].get(), {M, N}));

    std::printf("marrowick demo\n");
    std::printf(
        "  signal     %zu samples x %zu channels, float32 (pass-band tone %.2f, stop-band tone %.2f "
        "cycles/sample, noise)\n",
        M, N, passTone, stopTone);
    std::printf("  filter     4th-order low-pass, nb = %zu, na = %zu, L = %zu; kernel: all-real (KernelRR)\n", b.size(),
                a.size(), L);
    std::printf("  time       %.3f ms for the whole signal (median of %zu calls), %.1f Msample-channels/s\n",
                seconds * 1e3, times.size(), static_cast<double>(M * N) / seconds / 1e6);
    std::printf("  pieces     %d calls with zf fed back as zi: %s\n", pieces,
                same ? "identical to the whole-signal result, bit for bit" : "MISMATCH");
    std::printf("  response   stop-band tone %.1f dB, pass-band tone %.2f dB\n", attenuation, passGain);
    std::printf("  files      %s/x.npy, %s/y.npy\n", dir.c_str(), dir.c_str());
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("marrowick: usage: marrowick <command> [arguments]; see 'marrowick --help'\n", stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return runner::finishStdout(0);
    }
    if (command == "help") {
        const std::string topic = argc > 2 ? argv[2] : "";
        if (topic == "filter") std::fputs(kFilterHelp, stdout);
        else if (topic == "demo") std::fputs(kDemoHelp, stdout);
        else std::fputs(kUsage, stdout);
        return runner::finishStdout(0);
    }
    try {
        if (command == "filter") {
            runner::installSignalHandlers();
            return runner::filterFiles(argc, argv);
        }
        if (command == "demo") {
            runner::installSignalHandlers();
            return runner::finishStdout(runDemo(argc, argv));
        }
    } catch (const std::exception& e) {
        die(e.what());
    }
    std::fprintf(stderr, "marrowick: unknown command '%s'; see 'marrowick --help'\n",
                 runner::printable(command).c_str());
    return 2;
}
