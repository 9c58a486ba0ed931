// The runner end to end: .npy files written byte by byte here, the runner run
// as a separate process, its outputs read back and compared with the module.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

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
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
    }

    Process run(const std::vector<std::string>& args) const {
        return testproc::runProgram(MARROWICK_RUNNER_PATH, args);
    }

    Process filterFiles(const std::string& y = "y.npy", const std::string& zf = "zf.npy") const {
        return run({"filter", path("b.npy"), path("a.npy"), path("x.npy"), path("zi.npy"), path(y), path(zf)});
    }

    mxhost::NpyArray read(const std::string& name) const {
        mxhost::NpyArray a;
        std::string error;
        EXPECT_TRUE(mxhost::readNpy(path(name), a, error)) << error;
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
        const mxhost::NpyArray y = read("y.npy"), zf = read("zf.npy");
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
    mxhost::NpyArray y = read("y.npy"), zf = read("zf.npy");
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
        {"missing file", [&] { good(); unlink(path("x.npy").c_str()); }},
        {"input is a directory", [&] { good(); unlink(path("a.npy").c_str()); mkdir(path("a.npy").c_str(), 0700); }},
        {"malformed header", [&] { good(); write("a.npy", npy("<f4", true, {1}, payload(a, {1}, true))); 
                                  std::string s = slurp(path("a.npy")); s[10] = '['; 
                                  write("a.npy", std::vector<std::uint8_t>(s.begin(), s.end())); }},
        {"unsupported dtype", [&] { good(); write("x.npy", npy("<f8", true, {3}, std::vector<std::uint8_t>(24))); }},
        {"big-endian dtype", [&] { good(); write("zi.npy", npy(">f4", true, {1}, std::vector<std::uint8_t>(4))); }},
        {"short data", [&] { good(); write("x.npy", npy("<f4", true, {3}, std::vector<std::uint8_t>(8))); }},
        {"rejected by the module", [&] { good(); write("zi.npy", npyOf(col({0, 0}), {2}, true)); }},
        {"empty coefficients", [&] { good(); write("b.npy", npyOf(real({0, 1}, {}), {0}, true)); }},
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

TEST_F(Runner, HelpIsAvailable) {
    Process r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: marrowick"), std::string::npos);
    EXPECT_NE(r.out.find("filter"), std::string::npos);
    r = run({"help", "filter"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("marrowick filter B.npy A.npy X.npy ZI.npy Y.npy ZF.npy"), std::string::npos);
    r = run({});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
}

}  // namespace
}  // namespace ut
