// Fuzz target for the .npy reader: any bytes either parse into an array that
// the file's payload fully justifies, or are refused with one short printable
// line. What parses survives a write-and-read round trip bit for bit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host.h"
#include "npy.h"

namespace {

bool isOneClearLine(const std::string& s) {
    if (s.empty() || s.size() > 200) return false;
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
    }
    return true;
}

std::vector<std::uint8_t> bytesOf(const mxArray* array) {
    const std::size_t n = mxGetNumberOfElements(array) * 4;
    std::vector<std::uint8_t> out(n * (mxIsComplex(array) ? 2 : 1));
    if (n == 0) return out;
    std::memcpy(out.data(), mxGetData(array), n);
    if (mxIsComplex(array)) std::memcpy(out.data() + n, mxGetImagData(array), n);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    runner::NpyArray parsed;
    std::string error;
    const std::size_t arraysBefore = mxhost::liveArrays();
    if (!runner::parseNpy(data, size, parsed, error)) {
        FUZZ_CHECK(isOneClearLine(error), "refusal is not one short printable line: '%s'", error.c_str());
        FUZZ_CHECK(parsed.array == nullptr, "a refused file left an array behind");
        FUZZ_CHECK(mxhost::liveArrays() == arraysBefore, "a refused file leaked an array");
        return 0;
    }
    const mxArray* array = parsed.array.get();
    FUZZ_CHECK(array != nullptr, "accepted without an array");
    FUZZ_CHECK(mxGetClassID(array) == mxSINGLE_CLASS, "accepted array is not single");

    // Everything allocated is justified by the payload: each element takes
    // at least its smallest stored item (an int8 widened to a float, a
    // complex64) of what follows the header.
    std::size_t count = 1;
    for (std::size_t d : parsed.shape) count *= d;
    const std::size_t n = mxGetNumberOfElements(array);
    const std::size_t itemSize = mxIsComplex(array) ? 8 : 1;
    FUZZ_CHECK(n == count, "element count %zu differs from the shape's %zu", n, count);
    FUZZ_CHECK(n <= size / itemSize, "%zu elements of %zu bytes from a file of %zu bytes", n, itemSize, size);

    // The host array's dimensions are the file's shape, padded to a matrix.
    const mwSize* dims = mxGetDimensions(array);
    const std::size_t nd = mxGetNumberOfDimensions(array);
    FUZZ_CHECK(nd == std::max<std::size_t>(parsed.shape.size(), 2), "dimension count %zu", nd);
    for (std::size_t k = 0; k < nd; ++k) {
        const std::size_t expected = k < parsed.shape.size() ? parsed.shape[k] : 1;
        FUZZ_CHECK(dims[k] == expected, "dimension %zu is %zu, the shape says %zu", k, dims[k], expected);
    }

    // Written back (Fortran order) and read again, the data is unchanged.
    const std::vector<std::uint8_t> image = runner::encodeNpy(array, parsed.shape);
    runner::NpyArray again;
    FUZZ_CHECK(runner::parseNpy(image.data(), image.size(), again, error), "own output refused: %s", error.c_str());
    FUZZ_CHECK(again.shape == parsed.shape, "shape changed in a round trip");
    FUZZ_CHECK(bytesOf(again.array.get()) == bytesOf(array), "data changed in a round trip");
    return 0;
}
