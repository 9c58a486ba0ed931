// The runner against hostile files and paths. Every case must end with exit
// status 1, nothing on standard output, exactly one line "marrowick: ..." on
// standard error that says what is wrong, and the working directory exactly
// as it was: no output created, no existing file changed, no temporary left.
// Each case runs once with the outputs absent and once with files already in
// their place.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../common/process.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::string;

Bytes floats(std::size_t n) {
    Bytes out(n * 4, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        const float v = 0.25f * static_cast<float>(i % 7) - 0.5f;
        std::memcpy(&out[i * 4], &v, 4);
    }
    return out;
}

// A .npy image with the given header text, padded as writers pad it, and an
// optional false header length.
Bytes npy(const std::string& header, const Bytes& payload, int version = 1, long lengthOverride = -1) {
    std::string h = header;
    const std::size_t prefix = version == 1 ? 10 : 12;
    h.append((64 - (prefix + h.size() + 1) % 64) % 64, ' ');
    h += '\n';
    const std::size_t length = lengthOverride >= 0 ? static_cast<std::size_t>(lengthOverride) : h.size();
    Bytes out = "\x93NUMPY";
    out += static_cast<char>(version);
    out += '\0';
    for (std::size_t i = 0; i < (version == 1 ? 2u : 4u); ++i) out += static_cast<char>((length >> (8 * i)) & 0xff);
    return out + h + payload;
}

std::string dict(const std::string& descr, const std::string& shape, const std::string& order = "False") {
    return "{'descr': '" + descr + "', 'fortran_order': " + order + ", 'shape': " + shape + ", }";
}

Bytes f4(const std::string& shape, std::size_t n) { return npy(dict("<f4", shape), floats(n)); }
// n float64 values (two floats' bytes each: any bits are a double).
Bytes f8(const std::string& shape, std::size_t n) { return npy(dict("<f8", shape), floats(2 * n)); }

void put(const fs::path& path, const Bytes& bytes) { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }

// A scratch directory with good inputs in in/ and an empty out/.
class Workspace {
public:
    Workspace() {
        char pattern[] = "/tmp/marrowick-hostile-XXXXXX";
        root_ = mkdtemp(pattern);
        fs::create_directory(root_ / "in");
        fs::create_directory(root_ / "out");
        put(in("b"), f4("(3,)", 3));
        put(in("a"), npy(dict("<f4", "(4,)"), Bytes("\0\0\xc0\x3f", 4) + floats(3)));  // a[0] = 1.5
        put(in("x"), f4("(16, 2)", 32));
        put(in("zi"), f4("(3, 2)", 6));
    }
    ~Workspace() {
        std::error_code ignored;
        fs::permissions(root_ / "out", fs::perms::owner_all, ignored);
        fs::remove_all(root_, ignored);
    }
    std::string in(const std::string& name) const { return (root_ / "in" / (name + ".npy")).string(); }
    std::string out(const std::string& name) const { return (root_ / "out" / (name + ".npy")).string(); }
    const fs::path& root() const { return root_; }
    std::vector<std::string> args() const {
        return {"filter", in("b"), in("a"), in("x"), in("zi"), out("y"), out("zf")};
    }

private:
    fs::path root_;
};

// Every entry under a directory with its kind, permissions and content.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const fs::file_status st = fs::symlink_status(e.path());
        std::string value = std::to_string(static_cast<int>(st.type())) + ":" +
                            std::to_string(static_cast<int>(st.permissions())) + ":";
        if (fs::is_symlink(st)) {
            value += fs::read_symlink(e.path()).string();
        } else if (fs::is_regular_file(st) && fs::file_size(e.path()) > (1u << 20)) {
            // A huge (sparse) input: its size and time stand for its content.
            value += std::to_string(fs::file_size(e.path())) + "@" +
                     std::to_string(fs::last_write_time(e.path()).time_since_epoch().count());
        } else if (fs::is_regular_file(st)) {
            std::ifstream in(e.path(), std::ios::binary);
            value.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        entries[fs::relative(e.path(), root).string()] = value;
    }
    return entries;
}

using RunResult = testproc::ProgramRun;
using testproc::slurp;

// With failures injected into publishing when publish is set (the runner's
// test hook).
RunResult runRunner(const std::vector<std::string>& args, const char* publish = nullptr) {
    testproc::ProgramOptions options;
    if (publish != nullptr) options.env.emplace_back("MARROWICK_TEST_PUBLISH", publish);
    return testproc::runProgram(MARROWICK_RUNNER_PATH, args, options);
}

using Setup = std::function<void(Workspace&, std::vector<std::string>& args)>;

struct HostileCase {
    const char* name;
    Setup setup;
    const char* says;               // part of the one-line message
    const char* publish = nullptr;  // failures injected into publishing
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

// Replaces one input with the given bytes.
Setup input(const std::string& which, const Bytes& bytes) {
    return [which, bytes](Workspace& w, std::vector<std::string>&) { put(w.in(which), bytes); };
}

Setup arg(std::size_t index, std::function<std::string(Workspace&)> path) {
    return [index, path](Workspace& w, std::vector<std::string>& args) { args[index] = path(w); };
}

// The sosfilt command on the workspace's x, with the given sections and zi.
Setup sosfilt(const Bytes& sos, const Bytes& zi) {
    return [sos, zi](Workspace& w, std::vector<std::string>& args) {
        put(w.in("sos"), sos);
        put(w.in("zi"), zi);
        args = {"sosfilt", w.in("sos"), w.in("x"), w.in("zi"), w.out("y"), w.out("zf")};
    };
}

// The filtfilt command on the workspace's inputs, with the given options.
Setup filtfilt(std::vector<std::string> options) {
    return [options](Workspace& w, std::vector<std::string>& args) {
        args = {"filtfilt"};
        args.insert(args.end(), options.begin(), options.end());
        for (const std::string& f : {w.in("b"), w.in("a"), w.in("x"), w.out("y")}) args.push_back(f);
    };
}

const HostileCase kCases[] = {
    // Files that lie or are cut short.
    {"truncated_data", input("x", f4("(16, 2)", 31)), "data holds 124 bytes, the shape needs 128"},
    {"data_longer_than_shape", input("x", f4("(16, 2)", 33)), "data holds 132 bytes, the shape needs 128"},
    {"header_length_past_end", input("x", npy(dict("<f4", "(2,)"), floats(2), 1, 4000)), "header is truncated"},
    {"header_length_cut_short", input("x", npy(dict("<f4", "(2,)"), floats(2), 1, 30)), "header"},
    {"v2_header_length_huge", input("x", npy(dict("<f4", "(2,)"), floats(2), 2, 0x7fffffff)), "implausibly large"},
    {"shape_claims_more", input("zi", f4("(300000000, 2)", 6)), "the shape needs 2400000000"},
    {"shape_product_overflows", input("x", f4("(4294967296, 4294967296, 16)", 4)), "overflows"},
    {"shape_bytes_overflow", input("x", npy(dict("<c8", "(3074457345618258603,)"), floats(2))), "overflows"},
    {"shape_negative", input("x", f4("(-1, 2)", 2)), "non-negative integers"},
    {"empty_file", input("b", ""), "bad magic"},
    {"only_the_magic", input("b", "\x93NUMPY"), "bad magic"},
    {"not_npy_at_all", input("b", "b = [1, 2, 3]\n"), "bad magic"},
    {"format_version_4", input("a", npy(dict("<f4", "(4,)"), floats(4), 4)), "format version 4"},
    {"header_not_a_dict", input("a", npy("['<f4', False, (4,)]", floats(4))), "not a dict"},
    {"header_nul_byte", input("a", npy(std::string("{'descr': '<f4'\0, }", 19), floats(4))), "non-printable"},
    {"header_missing_shape", input("a", npy("{'descr': '<f4', 'fortran_order': False, }", floats(4))), "lacks"},
    {"fortran_order_not_bool", input("a", npy(dict("<f4", "(4,)", "1"), floats(4))), "fortran_order"},
    {"unknown_key_with_newline", input("a", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (4,), "
                                                "'sh\nape': (1,), }",
                                                floats(4))),
     "unknown key 'sh\\x0aape'"},
    {"shape_not_a_tuple", input("x", f4("(32)", 32)), "'(n)' needs a comma"},
    {"shape_leading_zero", input("x", f4("(016, 2)", 32)), "leading zero"},
    {"shape_long_suffix_in_v3", input("x", npy(dict("<f4", "(16L, 2)"), floats(32), 3)), "malformed integer"},
    {"shape_long_suffix_on_next_line", input("x", npy(dict("<f4", "(16\nL, 2)"), floats(32), 2)), "tuple is malformed"},
    {"key_repeated", input("b", npy("{'descr': '<f4', 'descr': '<f4', 'fortran_order': False, 'shape': (3,), }",
                                    floats(3))),
     "key 'descr' twice"},
    {"format_version_1_1", input("a", [] { Bytes b = npy(dict("<f4", "(4,)"), floats(4)); b[7] = 1; return b; }()),
     "format version 1.1"},
    {"huge_file_small_shape",
     [](Workspace& w, std::vector<std::string>&) {
         put(w.in("x"), f4("(16, 2)", 32));
         fs::resize_file(w.in("x"), std::uintmax_t{2} << 30);  // sparse
     },
     "data holds 2147483520 bytes, the shape needs 128"},
    // Data types outside the one dtype rule, and refusals of the double-precision path.
    {"big_endian_f4", input("x", npy(dict(">f4", "(16, 2)"), floats(32))), "big-endian [marrowick:unsupportedType]"},
    {"big_endian_c8", input("zi", npy(dict(">c8", "(3, 2)"), floats(12))), "big-endian"},
    {"int64", input("x", npy(dict("<i8", "(16, 2)"), floats(64))), "'<i8' is not taken [marrowick:unsupportedType]"},
    {"uint64_coefficients", input("b", npy(dict("<u8", "(3,)"), floats(6))), "[marrowick:unsupportedType]"},
    {"bool", input("x", npy(dict("|b1", "(16, 2)"), Bytes(32, '\1'))), "'|b1' is not taken"},
    {"half", input("b", npy(dict("<f2", "(2,)"), floats(1))), "is not taken"},
    {"double_x_zi_wrong_length",
     [](Workspace& w, std::vector<std::string>&) {
         put(w.in("x"), f8("(16, 2)", 32));
         put(w.in("zi"), f8("(2, 2)", 4));
     },
     "[marrowick:ziLength]; L comes from B ("},
    {"int32_x_zi_wrong_channels",
     [](Workspace& w, std::vector<std::string>&) {
         put(w.in("x"), npy(dict("<i4", "(16, 3)"), floats(48)));
         put(w.in("zi"), f8("(3, 2)", 6));
     },
     "[marrowick:ziSize]"},
    {"double_sosfilt_zi_wrong_channels",
     [](Workspace& w, std::vector<std::string>& args) {
         put(w.in("x"), npy(dict("<c16", "(16, 2)"), floats(128)));
         sosfilt(f8("(2, 6)", 12), f8("(2, 2, 3)", 12))(w, args);
     },
     "make (2, 2, 2)"},
    {"int16_x_padlen_beyond",
     [](Workspace& w, std::vector<std::string>& args) {
         put(w.in("x"), npy(dict("<i2", "(16, 2)"), floats(16)));
         filtfilt({"--padlen=16"})(w, args);
     },
     "16 samples along its first dimension, padlen 16: the padding must be"},
    {"double_sosfiltfilt_unsteady",
     [](Workspace& w, std::vector<std::string>& args) {
         // a = [1, -2, 1] sums to 0: no steady state.
         const double row[6] = {1, 0, 0, 1, -2, 1};
         put(w.in("sos"), npy(dict("<f8", "(1, 6)"), Bytes(reinterpret_cast<const char*>(row), sizeof row)));
         put(w.in("x"), f8("(16, 2)", 32));
         args = {"sosfiltfilt", w.in("sos"), w.in("x"), w.out("y")};
     },
     "[marrowick:noSteadyState]"},
    {"object_array", input("b", npy(dict("|O", "(1,)"), "\x80\x02N.")), "'|O' is not taken"},
    {"structured_dtype", input("b", npy("{'descr': [('re', '<f4')], 'fortran_order': False, 'shape': (3,), }",
                                        floats(3))),
     "not a simple dtype string"},
    // Inputs that are not files.
    {"missing_input", arg(3, [](Workspace& w) { return w.in("nowhere"); }), "cannot open for reading"},
    {"path_with_control_characters", arg(3, [](Workspace& w) { return w.in("no\nwhere\x1b[2J\xc2\x9b"); }),
     "no\\x0awhere\\x1b[2J\\xc2\\x9b.npy: cannot open for reading"},
    {"input_is_a_directory", arg(3, [](Workspace& w) { return (w.root() / "in").string(); }), "is a directory"},
    {"input_is_a_device", arg(1, [](Workspace&) { return std::string("/dev/zero"); }), "not a regular file"},
    // Outputs that cannot be written.
    {"output_directory_missing", arg(5, [](Workspace& w) { return (w.root() / "none" / "y.npy").string(); }),
     "cannot create a file there"},
    {"output_directory_unwritable", arg(6, [](Workspace&) { return std::string("/proc/zf.npy"); }),
     "cannot create a file there"},
    {"output_parent_is_a_file", arg(6, [](Workspace& w) { return w.in("x") + "/zf.npy"; }),
     "cannot create a file there"},
    {"output_is_a_directory",
     [](Workspace& w, std::vector<std::string>& args) {
         fs::create_directory(w.root() / "out" / "zf-dir");
         args[6] = (w.root() / "out" / "zf-dir").string();
     },
     "is a directory"},
    {"output_name_empty", arg(6, [](Workspace&) { return std::string(); }), "an output file name is empty"},
    {"output_name_ends_in_slash", arg(6, [](Workspace& w) { return w.out("zf") + "/"; }),
     "cannot create a file there"},
    // The same file in two roles.
    {"y_and_zf_same_path", arg(6, [](Workspace& w) { return w.out("y"); }), "Y and ZF name the same file"},
    {"y_and_zf_same_file_spelt_apart",
     arg(6, [](Workspace& w) { return (w.root() / "out" / "." / "y.npy").string(); }), "Y and ZF name the same file"},
    {"y_and_zf_hard_linked",
     [](Workspace& w, std::vector<std::string>& args) {
         put(w.out("y"), "old y");
         fs::create_hard_link(w.out("y"), w.out("zf-link"));
         args[6] = w.out("zf-link");
     },
     "Y and ZF name the same file"},
    {"input_named_as_output", arg(5, [](Workspace& w) { return w.in("x"); }), "input x"},
    {"input_linked_as_output",
     [](Workspace& w, std::vector<std::string>& args) {
         fs::create_symlink(w.in("zi"), w.out("zf-link"));
         args[6] = w.out("zf-link");
     },
     "input zi"},
    // Calls that break the module's argument contract.
    {"zi_wrong_length", input("zi", f4("(2, 2)", 4)), "[marrowick:ziLength]; L comes from B ("},
    {"zi_wrong_channels", input("zi", f4("(3, 3)", 9)),
     ": x is filtered along its first dimension: save it as samples x channels"},
    {"coefficients_as_sections", input("b", f4("(2, 6)", 12)), "for second-order sections (n x 6) use"},
    {"big_endian_f8_coefficients", input("a", npy(dict(">f8", "(4,)"), floats(8))),
     "is big-endian [marrowick:unsupportedType]; taken: <f4, <f8, <c8, <c16, <i1..<i4, <u1..<u4"},
    {"unknown_option", [](Workspace&, std::vector<std::string>& args) { args.insert(args.begin() + 1, "--fast"); },
     "unknown option '--fast' of filter"},
    {"sosfilt_sections_of_five", sosfilt(f4("(2, 5)", 10), f4("(0,)", 0)), "[marrowick:sosShape]"},
    {"sosfilt_zi_of_filter", sosfilt(f4("(2, 6)", 12), f4("(2, 2)", 4)), "zi.npy): shape (2, 2) does not fit"},
    {"sosfilt_zi_wrong_channels", sosfilt(f4("(2, 6)", 12), f4("(2, 2, 3)", 12)), "make (2, 2, 2)"},
    {"sosfilt_zi_channels_permuted",
     [](Workspace& w, std::vector<std::string>& args) {
         put(w.in("x"), f4("(16, 2, 3)", 96));
         sosfilt(f4("(2, 6)", 12), f4("(2, 2, 3, 2)", 24))(w, args);
     },
     "make (2, 2, 2, 3)"},
    {"sosfilt_too_few_files",
     [](Workspace& w, std::vector<std::string>& args) {
         args = {"sosfilt", w.in("b"), w.in("x"), w.out("y")};
     },
     "sosfilt takes 5 file names"},
    {"empty_coefficients", input("b", f4("(0,)", 0)), "marrowick:emptyCoefficients"},
    {"padlen_empty", filtfilt({"--padlen="}), "--padlen needs a value [marrowick:padLength]"},
    {"padtype_empty", filtfilt({"--padtype="}), "--padtype needs a value [marrowick:padType]"},
    {"padlen_beyond_any_signal", filtfilt({"--padlen=99999999999999999999"}),
     "16 samples along its first dimension, padlen 99999999999999999999: the padding must be"},
    {"too_few_arguments", [](Workspace&, std::vector<std::string>& args) { args.pop_back(); }, "takes 6 file names"},
    // ZF cannot be put in place once Y is: Y is put back, with an atomic
    // exchange, or a second name for the old Y, or the old Y moved aside.
    {"zf_rename_fails", [](Workspace&, std::vector<std::string>&) {}, "zf.npy: cannot write", "fail-second"},
    {"zf_rename_fails_without_exchange", [](Workspace&, std::vector<std::string>&) {}, "zf.npy: cannot write",
     "no-exchange,fail-second"},
    {"zf_rename_fails_without_exchange_or_links", [](Workspace&, std::vector<std::string>&) {}, "zf.npy: cannot write",
     "no-exchange,no-link,fail-second"},
    {"zf_rename_fails_with_named_temporaries", [](Workspace&, std::vector<std::string>&) {}, "zf.npy: cannot write",
     "no-tmpfile,fail-second"},
};

class RunnerHostile : public ::testing::TestWithParam<std::tuple<HostileCase, bool>> {};

TEST_P(RunnerHostile, FailsWithOneLineAndTouchesNothing) {
    const HostileCase& c = std::get<0>(GetParam());
    const bool outputsExist = std::get<1>(GetParam());
    Workspace w;
    if (outputsExist) {
        put(w.out("y"), "existing y");
        put(w.out("zf"), "existing zf");
    }
    std::vector<std::string> args = w.args();
    c.setup(w, args);
    const auto before = snapshot(w.root());

    const RunResult run = runRunner(args, c.publish);

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    const std::string prefix = "marrowick: ";
    EXPECT_EQ(run.err.compare(0, prefix.size(), prefix), 0) << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not exactly one line: " << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << "message: " << run.err << "expected: " << c.says;
    EXPECT_EQ(snapshot(w.root()), before) << "the failed call changed the working directory";
}

INSTANTIATE_TEST_SUITE_P(Cases, RunnerHostile, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_outputs_exist" : "_no_outputs");
                         });

// An output directory the runner may not write to (needs a user whom the
// permission bits bind; root passes them).
TEST(RunnerHostileOwnership, ReadOnlyOutputDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root; /proc covers the unwritable case";
    Workspace w;
    fs::permissions(w.root() / "out", fs::perms::owner_read | fs::perms::owner_exec);
    const auto before = snapshot(w.root());
    const RunResult run = runRunner(w.args());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot create a file there"), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(w.root()), before);
}

constexpr uid_t kNobody = 65534;

// The inputs readable by an unprivileged user and out/ that user's.
void shareWithNobody(Workspace& w) {
    fs::permissions(w.root(), fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    for (const char* name : {"b", "a", "x", "zi"})
        fs::permissions(w.in(name), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(w.root() / "in", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    ASSERT_EQ(chown((w.root() / "out").c_str(), kNobody, kNobody), 0);
}

// An output directory that can be written but not read cannot be locked or
// synced: refused, whether the outputs exist or not. (Run as the directory's
// owner, unprivileged, whom root can switch to.)
TEST(RunnerHostileOwnership, UnreadableOutputDirectoryIsRefused) {
    for (bool outputsExist : {false, true}) {
        Workspace w;
        testproc::ProgramOptions options;
        if (geteuid() == 0) {
            shareWithNobody(w);
            options.uid = kNobody;
        }
        if (outputsExist) {
            put(w.out("y"), "existing y");
            put(w.out("zf"), "existing zf");
        }
        fs::permissions(w.root() / "out", fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                                              fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec);
        const auto before = snapshot(w.root());
        const RunResult run = testproc::runProgram(MARROWICK_RUNNER_PATH, w.args(), options);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("its directory cannot be opened to lock and sync it"), std::string::npos) << run.err;
        EXPECT_EQ(snapshot(w.root()), before);
    }
}

// ZF in a sticky directory, owned by another user: Y must stay as it was.
// (Run as an unprivileged user, which root can switch to.)
TEST(RunnerHostileOwnership, StickyDirectoryOfAnotherUserLeavesYAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to set up files of two users";
    const uid_t nobody = kNobody;
    Workspace w;
    shareWithNobody(w);
    put(w.out("y"), "existing y");
    ASSERT_EQ(chown(w.out("y").c_str(), nobody, nobody), 0);
    const fs::path sticky = w.root() / "sticky";
    fs::create_directory(sticky);
    fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
    put(sticky / "zf.npy", "root's zf");
    std::vector<std::string> args = w.args();
    args[6] = (sticky / "zf.npy").string();
    const auto before = snapshot(w.root());
    const RunResult run = testproc::runProgram(MARROWICK_RUNNER_PATH, args, {{}, "", nobody});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("belongs to another user in a sticky directory"), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(w.root()), before);
}

// sosfiltfilt into a pipe (Y is /dev/stdout on a FIFO the test reads), its
// forward pass's temporary in TMPDIR: what another user may have made there
// first must neither fail, hang nor read the run, and the run leaves TMPDIR
// as it was; a run that fails writes nothing to the pipe. Each row runs with
// unnamed temporaries and without.
struct PipeCase {
    const char* name;
    std::function<void(const fs::path& tmp)> plant;
    bool succeeds;
};

const PipeCase kPipeCases[] = {
    {"nothing_planted", [](const fs::path&) {}, true},
    {"file_planted", [](const fs::path& t) { put(t / "marrowick-forward", "theirs"); }, true},
    {"folder_planted", [](const fs::path& t) { fs::create_directory(t / "marrowick-forward"); }, true},
    {"symlink_planted",
     [](const fs::path& t) {
         put(t / "their-copy", "");
         fs::create_symlink(t / "their-copy", t / "marrowick-forward");
     },
     true},
    {"fifo_planted", [](const fs::path& t) { mkfifo((t / "marrowick-forward").c_str(), 0666); }, true},
    {"tmpdir_missing", [](const fs::path& t) { fs::remove(t); }, false},
};

void PrintTo(const PipeCase& c, std::ostream* os) { *os << c.name; }

// Runs the runner with its standard output on a FIFO read by a thread;
// killed after 20 s (a hang).
RunResult runIntoPipe(const std::vector<std::string>& args, const fs::path& fifo, const testproc::ProgramOptions& o) {
    mkfifo(fifo.c_str(), 0600);
    std::string piped;
    std::thread reader([&] { piped = slurp(fifo.string()); });
    const std::string err = fifo.string() + ".err";
    const pid_t pid = testproc::startProgram(MARROWICK_RUNNER_PATH, args, fifo.string(), err, o);
    int status = 0, waited = 0;
    for (int tenths = 0; (waited = waitpid(pid, &status, WNOHANG)) == 0 && tenths < 200; ++tenths)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waited == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    reader.join();
    RunResult run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = piped;
    run.err = slurp(err);
    fs::remove(err);
    fs::remove(fifo);
    return run;
}

class RunnerPipe : public ::testing::TestWithParam<std::tuple<PipeCase, bool>> {};

TEST_P(RunnerPipe, ForwardTemporaryIsNobodysName) {
    const PipeCase& c = std::get<0>(GetParam());
    Workspace w;
    Bytes sections;
    for (float v : {0.25f, 0.5f, 0.25f, 1.0f, -0.5f, 0.25f, 1.0f, 0.0f, 0.0f, 1.0f, 0.1f, 0.0f})
        sections.append(reinterpret_cast<const char*>(&v), 4);
    put(w.in("sos"), npy(dict("<f4", "(2, 6)"), sections));
    const RunResult file = runRunner({"sosfiltfilt", w.in("sos"), w.in("x"), w.out("y")});
    ASSERT_EQ(file.status, 0) << file.err;
    const fs::path tmp = w.root() / "tmp";
    fs::create_directory(tmp);
    c.plant(tmp);
    const auto before = fs::exists(tmp) ? snapshot(tmp) : std::map<std::string, std::string>{};
    testproc::ProgramOptions options;
    options.env = {{"TMPDIR", tmp.string()}};
    if (std::get<1>(GetParam())) options.env.emplace_back("MARROWICK_TEST_PUBLISH", "no-tmpfile");
    const RunResult run =
        runIntoPipe({"sosfiltfilt", w.in("sos"), w.in("x"), "/dev/stdout"}, w.root() / "pipe", options);
    if (c.succeeds) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, slurp(w.out("y")));
        EXPECT_EQ(snapshot(tmp), before) << "TMPDIR changed";
    } else {
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.out, "") << "a failed run wrote to the pipe";
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RunnerPipe, ::testing::Combine(::testing::ValuesIn(kPipeCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_named" : "_unnamed");
                         });

// The harness itself: the good inputs do go through and write both outputs,
// also where the file system has no atomic exchange, nor hard links, nor
// unnamed files.
TEST(RunnerHostileControl, GoodInputsWriteBothOutputs) {
    for (const char* publish : {"", "no-exchange", "no-exchange,no-link", "no-tmpfile"}) {
        Workspace w;
        put(w.out("y"), "existing y");
        put(w.out("zf"), "existing zf");
        const RunResult run = runRunner(w.args(), publish);
        EXPECT_EQ(run.status, 0) << publish << ": " << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(slurp(w.out("y")).compare(0, 6, "\x93NUMPY"), 0) << publish;
        EXPECT_EQ(slurp(w.out("zf")).compare(0, 6, "\x93NUMPY"), 0) << publish;
        EXPECT_EQ(snapshot(w.root()).size(), 8u) << publish << ": temporaries left behind";
    }
}

}  // namespace
