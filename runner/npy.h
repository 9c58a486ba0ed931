// Reading and writing NumPy .npy files as host arrays.
//
// Accepted: format versions 1.0, 2.0 and 3.0 with the header dict NumPy's own
// loader accepts, the little-endian dtypes of the one dtype rule: float32
// ('<f4'), complex64 ('<c8'), float64 ('<f8'), complex128 ('<c16') and the
// 8-, 16- and 32-bit integers ('|i1', '|u1', '<i2', '<u2', '<i4', '<u4'), C
// or Fortran order, any number of dimensions. The logical shape is what
// counts: a 1-D array of n elements becomes an n-by-1 host array, a 0-d array
// 1-by-1. Written: Fortran order (or C order, header only, for data written
// piece by piece), '<f4' or '<f8' for real arrays, '<c8' or '<c16' for
// complex ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host.h"

namespace runner {

struct NpyArray {
    std::vector<std::size_t> shape;  // as stored in the file
    mxhost::ArrayPtr array;          // column-major host array
};

// The dtypes a file may hold.
enum class NpyType { F4, C8, F8, C16, I1, U1, I2, U2, I4, U4 };

// What a header says, checked: a supported dtype and a data length that fits
// in 64 bits.
struct NpyHeader {
    std::vector<std::size_t> shape;
    bool fortran = false;
    NpyType type = NpyType::F4;
    bool complex = false;
    bool doubles = false;         // float64 or complex128
    bool integer = false;         // one of the integer types
    std::size_t itemSize = 4;     // bytes per element: 1, 2, 4, 8 or 16
    std::size_t count = 1;        // elements
    std::size_t dataOffset = 0;   // bytes before the data
    std::uint64_t dataBytes = 0;  // count * itemSize
};

// Whether a signal of this dtype is filtered in double precision (float64,
// complex128, 32-bit integers) rather than single (float32, complex64, 8-
// and 16-bit integers).
inline bool doublePrecisionOf(const NpyHeader& h) {
    return h.doubles || h.type == NpyType::I4 || h.type == NpyType::U4;
}

// The bytes of one element once converted to its precision's type (float,
// double, or a complex pair of either): the item size for floating-point
// data, 4 or 8 for integers.
inline std::size_t convertedItem(const NpyHeader& h) { return h.integer ? (doublePrecisionOf(h) ? 8 : 4) : h.itemSize; }

// Converts count elements of the file's dtype at `from` to their precision's
// type at `to`, exactly (every integer taken is exact in it). The two may
// overlap when they start at one address: the elements are widened from the
// last.
void convertItems(const NpyHeader& h, const void* from, std::size_t count, void* to);

// Parses the magic, version and header at the start of data (the data may
// follow or not). On failure returns false with a one-line error; a dtype
// outside the rule is refused with marrowick:unsupportedType.
bool parseNpyHeader(const std::uint8_t* data, std::size_t size, NpyHeader& out, std::string& error);

// Parses a whole .npy image. On failure returns false and sets error to a
// one-line description (without the file name).
bool parseNpy(const std::uint8_t* data, std::size_t size, NpyArray& out, std::string& error);

// A .npy file opened for reading its data piece by piece. open() reads only
// the header and checks the file's length against the shape before anything
// else: a regular file by its size, a pipe as it is read (readData then
// finishData). Errors name the file.
class NpyReader {
public:
    NpyReader() = default;
    NpyReader(const NpyReader&) = delete;
    NpyReader& operator=(const NpyReader&) = delete;
    ~NpyReader();

    bool open(const std::string& path, std::string& error);
    const NpyHeader& header() const { return header_; }
    const std::string& path() const { return path_; }
    // Whether data can be read in any order; a pipe is read front to back.
    bool seekable() const { return seekable_; }
    // Reads bytes of the data at the given offset from its start. A pipe
    // takes only the offset where the previous read ended.
    bool readData(std::uint64_t at, void* into, std::size_t bytes, std::string& error);
    // For a pipe: all data read, checks that nothing follows.
    bool finishData(std::string& error);

private:
    bool readFully(void* into, std::size_t bytes, std::size_t& got, std::string& error);

    std::string path_;
    int fd_ = -1;
    bool seekable_ = false;
    std::uint64_t position_ = 0;  // of a pipe, within the data
    NpyHeader header_;
};

// Decodes a whole array's file data, in the file's order, into a column-major
// host array's real and imaginary parts (im is null for real data): exactly
// into doubles, rounded once into floats (as NumPy's cast rounds).
void decodeNpyData(const NpyHeader& header, const std::uint8_t* data, float* re, float* im);
void decodeNpyData(const NpyHeader& header, const std::uint8_t* data, double* re, double* im);

// Reads a whole file into a host array, single precision (rounded once) or
// double (exact); errors name the file. A file whose data is larger than
// maxDataBytes is refused before anything is allocated.
bool readNpy(const std::string& path, NpyArray& out, std::string& error, std::uint64_t maxDataBytes = UINT64_MAX,
             bool doublePrecision = false);

// The header of a file of the given shape, Fortran order unless fortran is
// false, padded so the data starts on a 64-byte boundary; float64 or
// complex128 when doubles.
std::vector<std::uint8_t> encodeNpyHeader(bool complex, const std::vector<std::size_t>& shape, bool fortran = true,
                                          bool doubles = false);

// Serialises a host array (single or double) under the given logical shape
// (whose element count must match), Fortran order.
std::vector<std::uint8_t> encodeNpy(const mxArray* array, const std::vector<std::size_t>& shape);

// The shape a host array is written with when no file shape is at hand: its
// own dimensions.
std::vector<std::size_t> shapeOf(const mxArray* array);

}  // namespace runner
