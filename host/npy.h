// Reading and writing NumPy .npy files as host arrays.
//
// Accepted: little-endian float32 ('<f4') and complex64 ('<c8'), C or Fortran
// order, any number of dimensions. The logical shape is what counts: a 1-D
// array of n elements becomes an n-by-1 host array, a 0-d array 1-by-1.
// Written: Fortran order, '<f4' for real arrays and '<c8' for complex ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host.h"

namespace mxhost {

struct NpyArray {
    std::vector<std::size_t> shape;  // as stored in the file
    ArrayPtr array;                  // column-major host array
};

// Parses a whole .npy image. On failure returns false and sets error to a
// one-line description (without the file name).
bool parseNpy(const std::uint8_t* data, std::size_t size, NpyArray& out, std::string& error);

// Reads a file; errors name the file.
bool readNpy(const std::string& path, NpyArray& out, std::string& error);

// Serialises a host array under the given logical shape (whose element count
// must match), Fortran order.
std::vector<std::uint8_t> encodeNpy(const mxArray* array, const std::vector<std::size_t>& shape);

// The shape a host array is written with when no file shape is at hand: its
// own dimensions.
std::vector<std::size_t> shapeOf(const mxArray* array);

}  // namespace mxhost
