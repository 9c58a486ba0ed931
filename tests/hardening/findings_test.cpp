// Findings of the fuzz targets, kept as tests. (The saved inputs themselves
// are replayed by the fuzz-replay tests.)
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "npy.h"

namespace {

std::vector<std::uint8_t> npyWithHeader(const std::string& header) {
    std::string h = header;
    h.append((64 - (10 + h.size() + 1) % 64) % 64, ' ');
    h += '\n';
    std::string bytes = "\x93NUMPY\x01";
    bytes += '\0';
    bytes += static_cast<char>(h.size() & 0xff);
    bytes += static_cast<char>(h.size() >> 8);
    bytes += h;
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
        {"tab_in_descr", "{'descr': '<f\t4', " + tail, "dtype '<f\\x094' is not supported; use float32 '<f4' or "
                                                       "complex64 '<c8'"},
        {"long_key", "{'" + std::string(5000, 'k') + "': 1, " + tail,
         "header has unknown key '" + std::string(24, 'k') + "...'"},
    };
    for (const HeaderCase& c : cases) {
        const std::vector<std::uint8_t> file = npyWithHeader(c.header);
        mxhost::NpyArray out;
        std::string error;
        EXPECT_FALSE(mxhost::parseNpy(file.data(), file.size(), out, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

}  // namespace
