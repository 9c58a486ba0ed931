// The runner end to end: .npy files written byte by byte here, the runner run
// as a separate process, its outputs read back and compared with the module.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "../common/process.h"
#include "npy.h"
#include "support.h"

namespace ut {
namespace {

using Process = testproc::ProgramRun;
using testproc::slurp;

std::set<std::string> listDir(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/marrowick-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& n : listDir(dir_)) unlink((dir_ + "/" + n).c_str()), rmdir((dir_ + "/" + n).c_str());
        rmdir(dir_.c_str());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    Process run(const std::vector<std::string>& args, const testproc::ProgramOptions& options = {}) const {
        return testproc::runProgram(MARROWICK_RUNNER_PATH, args, options);
    }

    std::vector<std::string> filterArgs(const std::string& y = "y.npy", const std::string& zf = "zf.npy") const {
        return {"filter", path("b.npy"), path("a.npy"), path("x.npy"), path("zi.npy"), path(y), path(zf)};
    }
    Process filterFiles(const std::string& y = "y.npy", const std::string& zf = "zf.npy",
                        const testproc::ProgramOptions& options = {}) const {
        return run(filterArgs(y, zf), options);
    }

    runner::NpyArray read(const std::string& name) const {
        runner::NpyArray a;
        std::string error;
        EXPECT_TRUE(runner::readNpy(path(name), a, error)) << error;
        return a;
    }

    std::string dir_;
};

// A .npy image by hand: version 1 or 2 header, padded to 64 bytes.
std::vector<std::uint8_t> npy(const std::string& descr, bool fortran, const std::vector<std::size_t>& shape,
                              const std::vector<std::uint8_t>& payload, int version = 1) {
    std::string h = "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': (";
    for (std::size_t d : shape) h += std::to_string(d) + ", ";
    if (shape.size() > 1) h.resize(h.size() - 2);
    if (shape.size() == 1) h.pop_back();
    h += "), }";
    const std::size_t prefix = version == 1 ? 10 : 12;
    h.append((64 - (prefix + h.size() + 1) % 64) % 64, ' ');
    h += '\n';
    std::vector<std::uint8_t> bytes = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<std::uint8_t>(version), 0};
    for (std::size_t i = 0; i < prefix - 8; ++i) bytes.push_back(static_cast<std::uint8_t>(h.size() >> (8 * i)));
    bytes.insert(bytes.end(), h.begin(), h.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

// The payload of a column-major operand, in C or Fortran order.
std::vector<std::uint8_t> payload(const Operand& o, const std::vector<std::size_t>& shape, bool fortran) {
    std::vector<std::uint8_t> bytes;
    const std::size_t n = o.count(), nd = shape.size();
    for (std::size_t f = 0; f < n; ++f) {
        std::size_t i = f;  // file index -> column-major index
        if (!fortran) {
            std::size_t rest = f, colMajor = 0, stride = 1;
            std::vector<std::size_t> idx(nd);
            for (std::size_t k = nd; k-- > 0;) idx[k] = rest % shape[k], rest /= shape[k];
            for (std::size_t k = 0; k < nd; ++k) colMajor += idx[k] * stride, stride *= shape[k];
            i = colMajor;
        }
        auto put = [&](float v) {
            const std::uint32_t u = bits(v);
            for (int s = 0; s < 32; s += 8) bytes.push_back(static_cast<std::uint8_t>(u >> s));
        };
        put(o.re[i]);
        if (o.cx) put(o.im[i]);
    }
    return bytes;
}

// Runs the runner and counts its read and write calls, from its /proc entry
// before it is reaped.
struct CallCount {
    int status = -1;
    long reads = -1, writes = -1;
};
CallCount countCalls(const std::vector<std::string>& args, const testproc::ProgramOptions& options) {
    const pid_t pid = testproc::startProgram(MARROWICK_RUNNER_PATH, args, "/dev/null", "/dev/null", options);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    CallCount c;
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    for (std::string key; io >> key;) {
        long value = 0;
        io >> value;
        if (key == "syscr:") c.reads = value;
        if (key == "syscw:") c.writes = value;
    }
    c.status = testproc::waitProgram(pid).status;
    return c;
}

// Float bits of a deterministic signal.
std::vector<std::uint8_t> samples(std::size_t n) {
    std::vector<std::uint8_t> data(n * 4);
    for (std::size_t i = 0; i < n; ++i) {
        const float v = static_cast<float>(i % 1000) * 0.001f - 0.5f;
        std::memcpy(&data[i * 4], &v, 4);
    }
    return data;
}

std::vector<std::uint8_t> npyOf(const Operand& o, const std::vector<std::size_t>& shape, bool fortran,
                                int version = 1) {
    return npy(o.cx ? "<c8" : "<f4", fortran, shape, payload(o, shape, fortran), version);
}

TEST_F(Runner, FiltersFilesAsTheModuleDoes) {
    Rng rng(11);
    for (bool cx : {false, true}) {
        const Operand b = rng.operand({3, 1}, cx, 0), a = col({1, -0.25f});
        const Operand x = rng.operand({5, 2, 3}, cx, 0), zi = rng.operand({2, 2, 3}, false, 0);
        write("b.npy", npyOf(b, {3}, true));
        write("a.npy", npyOf(a, {2}, false, 2));
        write("x.npy", npyOf(x, {5, 2, 3}, false));  // C order
        write("zi.npy", npyOf(zi, {2, 2, 3}, true, 3));
        const Process r = filterFiles();
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const Outputs want = filter(b, a, x, zi);
        const runner::NpyArray y = read("y.npy"), zf = read("zf.npy");
        EXPECT_EQ(y.shape, (std::vector<std::size_t>{5, 2, 3}));
        EXPECT_EQ(zf.shape, (std::vector<std::size_t>{2, 2, 3}));
        EXPECT_TRUE(sameOperand("y", fromHost(y.array.get()), want.y));
        EXPECT_TRUE(sameOperand("zf", fromHost(zf.array.get()), want.zf));
        EXPECT_NE(slurp(path("y.npy")).find(cx ? "'<c8'" : "'<f4'"), std::string::npos);
    }
}

TEST_F(Runner, KeepsZeroAndOneDimensionalShapes) {
    write("b.npy", npyOf(col({2}), {}, false));
    write("a.npy", npyOf(col({4}), {1}, false));
    write("x.npy", npyOf(col({3}), {}, true));
    write("zi.npy", npyOf(real({0, 1}, {}), {0}, false));
    Process r = filterFiles();
    ASSERT_EQ(r.status, 0) << r.err;
    runner::NpyArray y = read("y.npy"), zf = read("zf.npy");
    EXPECT_TRUE(y.shape.empty());
    EXPECT_EQ(zf.shape, std::vector<std::size_t>{0});
    EXPECT_TRUE(sameOperand("y", fromHost(y.array.get()), col({1.5f})));

    const Operand b = col({1, 2, 3}), a = col({1, 0.5f}), x = col({1, -1, 2, 0, 5, 7}), zi = col({0.5f, -2});
    write("b.npy", npyOf(b, {3}, false));
    write("a.npy", npyOf(a, {2}, false));
    write("x.npy", npyOf(x, {6}, false));
    write("zi.npy", npyOf(zi, {2}, true));
    r = filterFiles();
    ASSERT_EQ(r.status, 0) << r.err;
    y = read("y.npy");
    zf = read("zf.npy");
    EXPECT_EQ(y.shape, std::vector<std::size_t>{6});
    EXPECT_EQ(zf.shape, std::vector<std::size_t>{2});
    const Outputs want = referenceFilter(b, a, x, zi);
    EXPECT_TRUE(sameOperand("y", fromHost(y.array.get()), want.y));
    EXPECT_TRUE(sameOperand("zf", fromHost(zf.array.get()), want.zf));
}

// Every failure exits non-zero with one line on stderr and writes nothing.
TEST_F(Runner, FailuresWriteNothing) {
    const Operand b = col({1, 2}), a = col({1}), x = col({1, 2, 3}), zi = col({0});
    struct Failure {
        const char* what;
        std::function<void()> setUp;
        const char* y = "y.npy";
        const char* zf = "zf.npy";
    };
    auto good = [&] {
        write("b.npy", npyOf(b, {2}, true));
        write("a.npy", npyOf(a, {1}, true));
        write("x.npy", npyOf(x, {3}, true));
        write("zi.npy", npyOf(zi, {1}, true));
    };
    const Failure failures[] = {
        {"missing file",
         [&] {
             good();
             unlink(path("x.npy").c_str());
         }},
        {"input is a directory",
         [&] {
             good();
             unlink(path("a.npy").c_str());
             mkdir(path("a.npy").c_str(), 0700);
         }},
        {"malformed header",
         [&] {
             good();
             write("a.npy", npy("<f4", true, {1}, payload(a, {1}, true)));
             std::string s = slurp(path("a.npy"));
             s[10] = '[';
             write("a.npy", std::vector<std::uint8_t>(s.begin(), s.end()));
         }},
        {"unsupported dtype",
         [&] {
             good();
             write("x.npy", npy("<i8", true, {3}, std::vector<std::uint8_t>(24)));
         }},
        {"big-endian dtype",
         [&] {
             good();
             write("zi.npy", npy(">f4", true, {1}, std::vector<std::uint8_t>(4)));
         }},
        {"short data",
         [&] {
             good();
             write("x.npy", npy("<f4", true, {3}, std::vector<std::uint8_t>(8)));
         }},
        {"rejected by the module",
         [&] {
             good();
             write("zi.npy", npyOf(col({0, 0}), {2}, true));
         }},
        {"empty coefficients",
         [&] {
             good();
             write("b.npy", npyOf(real({0, 1}, {}), {0}, true));
         }},
        {"Y in a missing directory", good, "missing/y.npy"},
        {"ZF in a missing directory", good, "y.npy", "missing/zf.npy"},
        {"Y and ZF the same file", good, "y.npy", "y.npy"},
    };
    for (const Failure& f : failures) {
        for (const std::string& n : listDir(dir_)) unlink(path(n).c_str()), rmdir(path(n).c_str());
        f.setUp();
        const std::set<std::string> inputs = listDir(dir_);
        const Process r = filterFiles(f.y, f.zf);
        EXPECT_NE(r.status, 0) << f.what;
        EXPECT_FALSE(r.err.empty()) << f.what;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << f.what << ": " << r.err;
        EXPECT_EQ(r.err.back(), '\n') << f.what;
        EXPECT_EQ(listDir(dir_), inputs) << f.what << ": output or temporary file left behind";
    }
}

// Blocks smaller than X: read and written piece by piece, states carried,
// the files identical to those of one call, for every kernel's kind of
// operands, both orders and a pipe; and far less memory.
TEST_F(Runner, StreamsInBlocksWithTheBitsOfOneCall) {
    Rng rng(12);
    const testproc::ProgramOptions small{{{"MARROWICK_BLOCK_BYTES", "2000"}}, "", 0};
    struct Kind {
        bool b, x, zi;
    };
    for (const Kind k : {Kind{false, false, false}, Kind{false, false, true}, Kind{false, true, false},
                         Kind{true, false, false}, Kind{true, true, true}}) {
        for (bool fortran : {false, true}) {
            const Operand b = rng.operand({3, 1}, k.b, 0), a = col({1, -0.5f, 0.25f});
            const Operand x = rng.operand({301, 2, 3}, k.x, 0), zi = rng.operand({2, 2, 3}, k.zi, 0);
            write("b.npy", npyOf(b, {3}, true));
            write("a.npy", npyOf(a, {3}, true));
            write("x.npy", npyOf(x, {301, 2, 3}, fortran));
            write("zi.npy", npyOf(zi, {2, 2, 3}, false));
            ASSERT_EQ(filterFiles("y1.npy", "zf1.npy").status, 0);
            Process r = filterFiles("y2.npy", "zf2.npy", small);
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string what = std::string(fortran ? "F" : "C") + (k.b ? " b" : "") + (k.x ? " x" : "") +
                                     (k.zi ? " zi" : "") + " complex";
            EXPECT_TRUE(slurp(path("y1.npy")) == slurp(path("y2.npy"))) << what;
            EXPECT_TRUE(slurp(path("zf1.npy")) == slurp(path("zf2.npy"))) << what;
        }
    }
    // X from a pipe, in C order and in Fortran order.
    for (bool fortran : {false, true}) {
        const Operand x = rng.operand({301, 2, 3}, false, 0);
        write("x.npy", npyOf(x, {301, 2, 3}, fortran));
        ASSERT_EQ(filterFiles("y1.npy", "zf1.npy").status, 0);
        const std::string command = "cat '" + path("x.npy") + "' | '" MARROWICK_RUNNER_PATH "' filter '" +
                                    path("b.npy") + "' '" + path("a.npy") + "' /dev/stdin '" + path("zi.npy") + "' '" +
                                    path("y2.npy") + "' '" + path("zf2.npy") + "'";
        ASSERT_EQ(testproc::runProgram("/bin/sh", {"-c", command}, small).status, 0);
        EXPECT_TRUE(slurp(path("y1.npy")) == slurp(path("y2.npy"))) << "pipe, fortran " << fortran;
        EXPECT_TRUE(slurp(path("zf1.npy")) == slurp(path("zf2.npy"))) << "pipe, fortran " << fortran;
    }

    // 8 MiB of X: one call holds it several times over, blocks do not. (The
    // sanitizers keep freed memory in quarantine: only the bits count there.)
    const std::size_t M = 1 << 20, N = 2;
    const std::vector<std::uint8_t> data = samples(M * N);
    write("zi.npy", npyOf(real({2, 2}, {1, 2, 3, 4}), {2, 2}, true));
    // A child's peak counts the memory it shares with this process before it
    // starts the runner: under an emulator that alone exceeds a whole call,
    // and then only the bits can be compared.
    for (bool fortran : {false, true}) {
        write("x.npy", npy("<f4", fortran, {M, N}, data));
        [[maybe_unused]] const long startPeak = testproc::runProgram(MARROWICK_RUNNER_PATH, {"--help"}, small).peakKb;
        const Process whole = filterFiles("y1.npy", "zf1.npy");
        const Process blocks = filterFiles("y2.npy", "zf2.npy", {{{"MARROWICK_BLOCK_BYTES", "262144"}}, "", 0});
        ASSERT_EQ(blocks.status, 0) << blocks.err;
        EXPECT_TRUE(slurp(path("y1.npy")) == slurp(path("y2.npy")));
        EXPECT_TRUE(slurp(path("zf1.npy")) == slurp(path("zf2.npy")));
#if !defined(__SANITIZE_ADDRESS__)
        if (startPeak + 16 * 1024 < whole.peakKb) {
            EXPECT_LT(blocks.peakKb + 16 * 1024, whole.peakKb)
                << "blocks " << blocks.peakKb << " KiB, one call " << whole.peakKb << " KiB";
        }
#endif
    }
}

// X in C order with many channels: Y in the same order and with the values
// of Fortran-order X, read and written in a few calls per block, not one per
// channel; and the worst case of the documented sizes (complex X, a real zi
// of 16 MiB, complex b) within the documented memory.
TEST_F(Runner, COrderKeepsItsOrderAndItsBounds) {
    const std::size_t M = 16, N = 1 << 16;
    const std::vector<std::uint8_t> rows = samples(M * N);
    std::vector<std::uint8_t> columns(rows.size());
    for (std::size_t i = 0; i < M; ++i) {
        for (std::size_t j = 0; j < N; ++j) std::memcpy(&columns[(j * M + i) * 4], &rows[(i * N + j) * 4], 4);
    }
    write("b.npy", npyOf(col({0.25f, 0.5f, 0.25f}), {3}, true));
    write("a.npy", npyOf(col({1, -0.5f, 0.125f}), {3}, true));
    write("zi.npy", npy("<f4", true, {2, N}, samples(2 * N)));
    // 4 MiB of X: one block of whole rows; or 64 KiB blocks, tiles of 16
    // rows of 512 channels. One read and one write per block or row.
    struct Blocks {
        const char* bytes;
        long calls;
    };
    // (Counted beyond the calls of a run that does nothing, which loads the
    // libraries and, under the sanitizers, reads the process's maps.)
    for (const Blocks blocks : {Blocks{"33554432", 50}, Blocks{"65536", 50 + 2 * 16 * 128}}) {
        const testproc::ProgramOptions options{{{"MARROWICK_BLOCK_BYTES", blocks.bytes}}, "", 0};
        const CallCount idle = countCalls({"--help"}, options);
        std::vector<std::string> images;
        for (bool fortran : {true, false}) {
            write("x.npy", npy("<f4", fortran, {M, N}, fortran ? columns : rows));
            const CallCount c = countCalls(filterArgs(), options);
            ASSERT_EQ(c.status, 0);
            EXPECT_LT(c.reads + c.writes - idle.reads - idle.writes, blocks.calls)
                << (fortran ? "F" : "C") << " order, blocks of " << blocks.bytes << ": " << c.reads << " reads, "
                << c.writes << " writes, " << idle.reads + idle.writes << " of them idle";
            const std::string y = slurp(path("y.npy"));
            EXPECT_NE(y.find(fortran ? "'fortran_order': True" : "'fortran_order': False"), std::string::npos);
            const runner::NpyArray a = read("y.npy");
            const auto* v = static_cast<const char*>(mxGetData(a.array.get()));
            images.emplace_back(v, v + M * N * 4);
        }
        EXPECT_TRUE(images[0] == images[1]) << "blocks of " << blocks.bytes;
    }

#if !defined(__SANITIZE_ADDRESS__)
    // 128 MiB of complex X in 16 rows of 2^20 channels, zi of 4 x 2^20. (Not
    // under an emulator, where a child's peak starts high; see above.)
    if (testproc::runProgram(MARROWICK_RUNNER_PATH, {"--help"}).peakKb > 64 * 1024) return;
    const std::size_t wide = 1 << 20;
    write("b.npy", npyOf(ccol({0.25f, 0.5f, 0.25f, 0, 0.125f}, {0, 0.5f, 0, 0, 0}), {5}, true));
    write("a.npy", npyOf(col({1, -0.5f, 0.125f, 0, 0}), {5}, true));
    {
        std::ofstream zi(path("zi.npy"), std::ios::binary), x(path("x.npy"), std::ios::binary);
        const std::vector<std::uint8_t> ziHead = npy("<f4", false, {4, wide}, {}),
                                        xHead = npy("<c8", false, {16, wide}, {});
        const std::vector<std::uint8_t> chunk = samples(wide);
        zi.write(reinterpret_cast<const char*>(ziHead.data()), static_cast<std::streamsize>(ziHead.size()));
        x.write(reinterpret_cast<const char*>(xHead.data()), static_cast<std::streamsize>(xHead.size()));
        for (int k = 0; k < 4; ++k)
            zi.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        for (int k = 0; k < 32; ++k)
            x.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
    const Process r = filterFiles();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.peakKb, 200 * 1024) << "peak " << r.peakKb / 1024 << " MiB";
    // The same X through a section from rest: its tiles span the channels.
    write("sos.npy", npy("<f4", false, {1, 6}, samples(6)));
    const Process s = run({"sosfilt", path("sos.npy"), path("x.npy"), "rest", path("y.npy"), path("zf.npy")});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_LT(s.peakKb, 200 * 1024) << "sosfilt: peak " << s.peakKb / 1024 << " MiB";
    // Many sections over many channels: 500 sections of 2^16 channels hold
    // 256 MiB of states, so a group of channels holds fewer of them.
    {
        std::vector<float> rows;
        for (int k = 0; k < 500; ++k) rows.insert(rows.end(), {0.25f, 0.5f, 0.25f, 1.0f, -0.5f, 0.25f});
        std::vector<std::uint8_t> bytes(rows.size() * 4);
        std::memcpy(bytes.data(), rows.data(), bytes.size());
        write("sos.npy", npy("<f4", false, {500, 6}, bytes));
        write("x.npy", npy("<f4", false, {16, 1 << 16}, samples(16 << 16)));
    }
    const Process z = run({"sosfiltfilt", "--padtype=none", path("sos.npy"), path("x.npy"), path("y.npy")});
    EXPECT_EQ(z.status, 0) << z.err;
    EXPECT_LT(z.peakKb, 200 * 1024) << "sosfiltfilt: peak " << z.peakKb / 1024 << " MiB";
    for (const char* name : {"x.npy", "zi.npy", "y.npy"}) unlink(path(name).c_str());
#endif
}

// Outputs that are links, devices, FIFOs, existing files with their own
// modes, and names of the longest length a directory takes.
TEST_F(Runner, WritesOutputsInPlaceOfWhatTheyName) {
    const Operand b = col({1, 2}), a = col({1, 0.5f}), x = col({1, 2, 3, 4}), zi = col({0.5f});
    write("b.npy", npyOf(b, {2}, true));
    write("a.npy", npyOf(a, {2}, true));
    write("x.npy", npyOf(x, {4}, true));
    write("zi.npy", npyOf(zi, {1}, true));
    ASSERT_EQ(filterFiles("want-y.npy", "want-zf.npy").status, 0);
    const std::string wantY = slurp(path("want-y.npy")), wantZf = slurp(path("want-zf.npy"));
    auto modeOf = [&](const std::string& name) {
        struct stat st {};
        lstat(path(name).c_str(), &st);
        return st.st_mode;
    };
    const std::string longName = std::string(251, 'y') + ".npy";
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::string y, zf;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"a symlinked Y: the file it names is replaced, the link stays",
         [&] {
             write("real-y.npy", {1, 2, 3}), symlink("real-y.npy", path("y.npy").c_str());
         },
         "y.npy", "zf.npy",
         [&] {
             EXPECT_TRUE(S_ISLNK(modeOf("y.npy")));
             EXPECT_TRUE(slurp(path("real-y.npy")) == wantY);
         }},
        {"ZF a character device: written into, not replaced", [] {}, "y.npy", "/dev/null",
         [&] {
             struct stat st {};
             EXPECT_EQ(stat("/dev/null", &st), 0);
             EXPECT_TRUE(S_ISCHR(st.st_mode));
         }},
        {"new files get 0666 less the umask", [] { umask(027); }, "y.npy", "zf.npy",
         [&] {
             umask(022);
             EXPECT_EQ(modeOf("y.npy") & 0777, 0640u);
             EXPECT_EQ(modeOf("zf.npy") & 0777, 0640u);
         }},
        {"an existing output keeps its mode", [&] { write("y.npy", {1}), chmod(path("y.npy").c_str(), 0604); }, "y.npy",
         "zf.npy", [&] { EXPECT_EQ(modeOf("y.npy") & 0777, 0604u); }},
        {"a 255-byte name", [] {}, longName, "zf.npy", [&] { EXPECT_TRUE(slurp(path(longName)) == wantY); }},
    };
    for (const Case& c : cases) {
        for (const std::string& n : listDir(dir_)) {
            if (n.rfind("want-", 0) != 0 && n.find(".npy") != std::string::npos && n != "b.npy" && n != "a.npy" &&
                n != "x.npy" && n != "zi.npy") {
                unlink(path(n).c_str());
            }
        }
        c.setUp();
        const Process r = run({"filter", path("b.npy"), path("a.npy"), path("x.npy"), path("zi.npy"),
                               c.y[0] == '/' ? c.y : path(c.y), c.zf[0] == '/' ? c.zf : path(c.zf)});
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        c.check();
        if (c.zf[0] != '/') {
            EXPECT_TRUE(slurp(path(c.zf)) == wantZf) << c.what;
        }
        for (const std::string& n : listDir(dir_)) EXPECT_NE(n.rfind(".marrowick", 0), 0u) << c.what << ": " << n;
    }

    // Y a FIFO, read as it is written.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = slurp(path("fifo")); });
    const Process r = filterFiles("fifo", "zf.npy");
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(got == wantY);

    // Y through the names of standard output: on a pipe, and on a socket.
    const std::string inputs =
        "'" + path("b.npy") + "' '" + path("a.npy") + "' '" + path("x.npy") + "' '" + path("zi.npy") + "' ";
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        const std::string command = "'" MARROWICK_RUNNER_PATH "' filter " + inputs + name + " '" + path("zf.npy") +
                                    "' | cat > '" + path("piped") + "'";
        testproc::runProgram("/bin/sh", {"-c", command});
        EXPECT_TRUE(slurp(path("piped")) == wantY) << name << " on a pipe";
    }
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pair[1], STDOUT_FILENO);
        close(pair[0]);
        unsetenv("MARROWICK_MODULE");
        execl(MARROWICK_RUNNER_PATH, MARROWICK_RUNNER_PATH, "filter", path("b.npy").c_str(), path("a.npy").c_str(),
              path("x.npy").c_str(), path("zi.npy").c_str(), "/dev/stdout", path("zf.npy").c_str(), nullptr);
        _exit(127);
    }
    close(pair[1]);
    std::string socketY;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pair[0], buffer, sizeof buffer)) > 0;)
        socketY.append(buffer, static_cast<std::size_t>(n));
    close(pair[0]);
    EXPECT_EQ(testproc::waitProgram(pid).status, 0);
    EXPECT_TRUE(socketY == wantY) << "/dev/stdout on a socket";
}

// Whether the process holds an output temporary in dir open: a named one,
// or an unnamed one, which /proc shows as "dir/#inode (deleted)".
bool holdsTemporary(pid_t pid, const std::string& dir) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string& n : listDir(fds)) {
        char target[4096];
        const ssize_t len = readlink((fds + "/" + n).c_str(), target, sizeof target - 1);
        if (len <= 0) continue;
        const std::string t(target, static_cast<std::size_t>(len));
        if (t.rfind(dir + "/.marrowick", 0) == 0 || t.rfind(dir + "/#", 0) == 0) return true;
    }
    return false;
}

// A signal in the middle of a run leaves no temporary file behind, an
// unnamed temporary not even SIGKILL; also where the file system makes no
// unnamed files ("no-tmpfile"), for the signals a program can catch.
TEST_F(Runner, SignalsLeaveNoTemporaries) {
    write("b.npy", npyOf(col({1}), {1}, true));
    write("a.npy", npyOf(col({1}), {1}, true));
    write("zi.npy", npyOf(real({0, 1}, {}), {0}, true));
    const int probe = open(dir_.c_str(), O_TMPFILE | O_RDWR, 0600);
    const bool unnamed = probe >= 0;
    if (probe >= 0) close(probe);
    struct Case {
        int sig;
        const char* publish;
    };
    for (const Case c : {Case{SIGINT, ""}, Case{SIGTERM, ""}, Case{SIGHUP, ""}, Case{SIGKILL, ""},
                         Case{SIGINT, "no-tmpfile"}, Case{SIGTERM, "no-tmpfile"}, Case{SIGHUP, "no-tmpfile"}}) {
        if (c.sig == SIGKILL && !unnamed) continue;  // nothing can remove a named temporary then
        unlink(path("x.npy").c_str());
        ASSERT_EQ(mkfifo(path("x.npy").c_str(), 0600), 0);
        const pid_t pid =
            testproc::startProgram(MARROWICK_RUNNER_PATH, filterArgs(), "/dev/null", "/dev/null",
                                   {{{"MARROWICK_BLOCK_BYTES", "64"}, {"MARROWICK_TEST_PUBLISH", c.publish}}, "", 0});
        // Half of X: the run waits for the rest with its temporaries open.
        const int fd = open(path("x.npy").c_str(), O_WRONLY);
        const std::vector<std::uint8_t> head = npy("<f4", true, {1000}, std::vector<std::uint8_t>(2000));
        ASSERT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        bool started = false;
        for (int i = 0; i < 500 && !started; ++i) {
            started = holdsTemporary(pid, dir_);
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(started) << "no temporary appeared";
        kill(pid, c.sig);
        EXPECT_EQ(testproc::waitProgram(pid).status, 128 + c.sig);
        close(fd);
        for (const std::string& n : listDir(dir_)) EXPECT_NE(n.rfind(".marrowick", 0), 0u) << "signal " << c.sig;
        EXPECT_EQ(listDir(dir_).count("y.npy"), 0u);
    }
}

// Progress on stderr only on a terminal, unless asked for: X arrives slowly
// through a FIFO, so the run takes more than a second.
TEST_F(Runner, ShowsProgressWhenAsked) {
    write("b.npy", npyOf(col({1}), {1}, true));
    write("a.npy", npyOf(col({1}), {1}, true));
    write("zi.npy", npyOf(real({0, 1}, {}), {0}, true));
    for (bool asked : {false, true}) {
        unlink(path("x.npy").c_str());
        ASSERT_EQ(mkfifo(path("x.npy").c_str(), 0600), 0);
        std::vector<std::string> args = filterArgs();
        if (asked) args.insert(args.begin() + 1, "--progress");
        const pid_t pid = testproc::startProgram(MARROWICK_RUNNER_PATH, args, "/dev/null", path("err"),
                                                 {{{"MARROWICK_BLOCK_BYTES", "64"}}, "", 0});
        const int fd = open(path("x.npy").c_str(), O_WRONLY);
        const std::vector<std::uint8_t> data = npy("<f4", true, {1000}, std::vector<std::uint8_t>(4000));
        const std::size_t half = data.size() / 2;
        ASSERT_EQ(::write(fd, data.data(), half), static_cast<ssize_t>(half));
        // Once the run has begun to write (its clock started), stall it.
        for (int i = 0; i < 500 && !holdsTemporary(pid, dir_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ASSERT_EQ(::write(fd, data.data() + half, data.size() - half), static_cast<ssize_t>(data.size() - half));
        close(fd);
        EXPECT_EQ(testproc::waitProgram(pid).status, 0);
        const std::string err = slurp(path("err"));
        EXPECT_EQ(err.find("marrowick: filtering: ") != std::string::npos, asked) << err;
        // Asked for, it ends with a closing line at 100 %.
        EXPECT_EQ(err.find("marrowick: filtering: 100% of 0.0 MiB in ") != std::string::npos, asked) << err;
        unlink(path("err").c_str());
    }
    // Two passes: the closing line names the last and counts its own bytes
    // (1 MiB of X, not 2).
    unlink(path("x.npy").c_str());
    write("x.npy", npy("<f4", false, {65536, 4}, std::vector<std::uint8_t>(1u << 20)));
    for (const char* axis : {"--axis=0", "--axis=-2"}) {
        const Process r =
            run({"filtfilt", "--progress", axis, path("b.npy"), path("a.npy"), path("x.npy"), path("y.npy")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.rfind("marrowick: filtering: pass 2 of 2: 100% of 1.0 MiB in ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(Runner, HelpIsAvailable) {
    Process r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: marrowick"), std::string::npos);
    EXPECT_NE(r.out.find("filter"), std::string::npos);
    r = run({"help", "filter"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("marrowick filter [--progress] [--axis=N] B.npy A.npy X.npy ZI.npy Y.npy ZF.npy"),
              std::string::npos);
    r = run({"help", "sosfilt"});
    EXPECT_NE(r.out.find("marrowick sosfilt [--progress] [--axis=N] SOS.npy X.npy ZI.npy Y.npy ZF.npy"),
              std::string::npos);
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("marrowick ", 0), 0u) << r.out;
    r = run({});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
    // Errors are one line, whatever the command line holds.
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"fil\nter"}, {"\x1b[2J"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    }
    // A report that cannot be written is a failure.
    r = run({"--help"}, {{}, "/dev/full", 0});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace ut
