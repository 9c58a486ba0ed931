// Findings of the fuzz targets, kept as tests. (The saved inputs themselves
// are replayed by the fuzz-replay tests.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../common/process.h"
#include "host.h"
#include "npy.h"

namespace {

std::vector<std::uint8_t> npyWithHeader(const std::string& header, int major = 1, int minor = 0,
                                        std::size_t dataBytes = 0) {
    std::string h = header;
    const std::size_t prefix = major == 1 ? 10 : 12;
    h.append((64 - (prefix + h.size() + 1) % 64) % 64, ' ');
    h += '\n';
    std::string bytes = "\x93NUMPY";
    bytes += static_cast<char>(major);
    bytes += static_cast<char>(minor);
    for (std::size_t i = 0; i < prefix - 8; ++i) bytes += static_cast<char>((h.size() >> (8 * i)) & 0xff);
    bytes += h + std::string(dataBytes, '\0');
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

struct HeaderCase {
    const char* name;
    std::string header;
    std::string error;
};

// Header values quoted in an error come out escaped and clipped: the message
// stays one short printable line whatever the file holds. (First found as a
// key holding a DEL byte.)
TEST(NpyFindings, QuotedHeaderValuesStayOnePrintableLine) {
    const std::string tail = "'fortran_order': False, 'shape': (0,), }";
    const HeaderCase cases[] = {
        {"del_in_key", "{'descr': '<f4', 'fortran\x7forder': False, 'shape': (0,), }",
         "header holds non-printable bytes"},
        {"newline_in_key", "{'descr': '<f4', 'a\nb': 1, " + tail, "header has unknown key 'a\\x0ab'"},
        {"tab_in_descr", "{'descr': '<f\t4', " + tail,
         "dtype '<f\\x094' is not taken [marrowick:unsupportedType]; taken: <f4, <f8, <c8, <c16, <i1..<i4, "
         "<u1..<u4"},
        {"control_bytes_in_a_long_descr", "{'descr': '>f4" + std::string(40, '\t') + "', " + tail,
         "dtype '>f4\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09\\x09"
         "\\x09\\x09\\x09\\x09...' is not taken [marrowick:unsupportedType]; taken: <f4, <f8, <c8, <c16, <i1..<i4, "
         "<u1..<u4"},
        {"long_key", "{'" + std::string(5000, 'k') + "': 1, " + tail,
         "header has unknown key '" + std::string(24, 'k') + "...'"},
    };
    for (const HeaderCase& c : cases) {
        const std::vector<std::uint8_t> file = npyWithHeader(c.header);
        runner::NpyArray out;
        std::string error;
        EXPECT_FALSE(runner::parseNpy(file.data(), file.size(), out, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

// Which headers are taken is NumPy's call: each of these is accepted or
// refused exactly as NumPy's own loader does (with the data the shape
// needs). Repeated keys are the one deliberate
// difference: NumPy keeps the last, the reader refuses the file.
TEST(NpyFindings, AcceptsTheHeadersNumPyAccepts) {
    const std::string python = "/usr/bin/python3";
    if (access(python.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << python;
    struct Case {
        std::string shape;
        int major, minor;
        std::size_t dataBytes = 12;
    };
    const std::vector<Case> cases = {
        {"(3,)", 1, 0},    {"(3)", 1, 0},           {"(03,)", 1, 0},         {"(00,)", 2, 0, 0}, {"(3L,)", 1, 0},
        {"(3 L,)", 2, 0},  {"(3L,)", 3, 0},         {"(3l,)", 1, 0},         {"(0x3,)", 1, 0},   {"(0b11,)", 3, 0},
        {"(+3,)", 1, 0},   {"(1_0_0,)", 1, 0},      {"(3_,)", 1, 0},         {"(3,)", 1, 1},     {"(3,)", 4, 0},
        {"(3,)", 3, 0},    {"( 3 , )", 1, 0},       {"(3, 1, 1)", 1, 0},     {"(3.0,)", 1, 0},   {"(3,,)", 1, 0},
        {"(,)", 1, 0},     {"((3,),)", 1, 0},       {"(3, L)", 1, 0},        {"(0o3,)", 2, 0},   {"(3Lx,)", 1, 0},
        {"(True,)", 1, 0}, {"(3\nL, 4)", 1, 0, 48}, {"(3\nL, 4)", 2, 0, 48}, {"(3 \nL,)", 1, 0},
    };
    char dir[] = "/tmp/marrowick-numpy-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::vector<bool> ours;
    std::string script =
        "import numpy as np, sys\nfor p in sys.argv[1:]:\n"
        "    try:\n        np.load(p); print(1)\n    except Exception:\n        print(0)\n";
    std::vector<std::string> args = {"-c", script};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': " + c.shape + ", }";
        const std::vector<std::uint8_t> file = npyWithHeader(header, c.major, c.minor, c.dataBytes);
        const std::string path = std::string(dir) + "/" + std::to_string(i) + ".npy";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        runner::NpyArray out;
        std::string error;
        ours.push_back(runner::parseNpy(file.data(), file.size(), out, error));
        args.push_back(path);
    }
    const testproc::ProgramRun numpy = testproc::runProgram(python, args);
    for (std::size_t i = 0; i < cases.size(); ++i)
        std::remove((std::string(dir) + "/" + std::to_string(i) + ".npy").c_str());
    rmdir(dir);
    ASSERT_EQ(numpy.status, 0) << numpy.err;
    ASSERT_EQ(numpy.out.size(), 2 * cases.size()) << numpy.out;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(ours[i], numpy.out[2 * i] == '1')
            << cases[i].shape << " in version " << cases[i].major << "." << cases[i].minor;
    }
}

// ---- the call boundary, driven with small hand-written modules

// Nine scratch blocks (one more than a call keeps inline), the first freed.
void nineBlocksFreeFirst(int, mxArray*[], int, const mxArray*[]) {
    void* blocks[9];
    for (void*& b : blocks) b = mxCalloc(1, 16);
    mxFree(blocks[0]);
}

// Scratch, then an exception that is not the host's error.
void throwsStdException(int, mxArray*[], int, const mxArray*[]) {
    mxCalloc(4, 4);
    mxCreateNumericArray(0, nullptr, mxSINGLE_CLASS, mxREAL);
    throw std::runtime_error("module fault");
}

void throwsAnything(int, mxArray*[], int, const mxArray*[]) { throw 42; }

// A nested call from inside a module, then normal work.
void callsAnotherModule(int, mxArray* plhs[], int, const mxArray*[]) {
    const mxhost::CallResult inner = mxhost::callModule(throwsStdException, 0, {});
    mxCalloc(1, 1);  // tracked by this call, not the dead inner one
    if (inner.ok || mxhost::liveScratchBlocks() != 1) mexErrMsgIdAndTxt("test:inner", "inner call state");
    plhs[0] = mxCreateNumericArray(0, nullptr, mxSINGLE_CLASS, mxREAL);
}

void allocatesOne(int, mxArray*[], int, const mxArray*[]) { mxCalloc(1, 1); }

TEST(HostFindings, CallBoundaryRecoversFromModules) {
    struct Case {
        const char* name;
        MexFunction fn;
        bool ok;
        const char* identifier;
    };
    const Case cases[] = {
        {"nine blocks, first freed", nineBlocksFreeFirst, true, ""},
        {"std::exception", throwsStdException, false, "host:moduleException"},
        {"anything else thrown", throwsAnything, false, "host:moduleException"},
        {"nested call", callsAnotherModule, true, ""},
    };
    for (const Case& c : cases) {
        const std::size_t arrays = mxhost::liveArrays();
        {
            const mxhost::CallResult r = mxhost::callModule(c.fn, 1, {});
            EXPECT_EQ(r.ok, c.ok) << c.name << ": " << r.message;
            EXPECT_EQ(r.identifier, c.identifier) << c.name;
        }
        EXPECT_EQ(mxhost::liveScratchBlocks(), 0u) << c.name << ": still inside a call";
        EXPECT_EQ(mxhost::scratchBlocksAlive(), 0u) << c.name;
        EXPECT_EQ(mxhost::liveArrays(), arrays) << c.name;
        // The host works normally afterwards.
        EXPECT_TRUE(mxhost::callModule(allocatesOne, 0, {}).ok) << c.name;
        EXPECT_EQ(mxhost::scratchBlocksAlive(), 0u) << c.name;
    }
}

}  // namespace
