// The per-call record: sizes, shapes and the working buffer of every operand
// in the form the chosen kernel works on, and the building of y and zf.
#pragma once

#include <cstdint>

#include "marrowick/complex_ops.h"
#include "marrowick/mex.h"

namespace marrowick {

// A new buffer of rows*cols interleaved complex values from the host's
// scratch allocator; imaginary parts are +0 when the array is real.
ComplexSingle* toInterleaved(const mxArray* array, int32_t rows, int32_t cols);

// A new complex host array of the given shape whose parts are copied bit for
// bit from the interleaved buffer.
mxArray* makeComplexOutput(const ComplexSingle* buffer, mwSize numDims, const mwSize* dims, mxClassID classId);

class FilterJobBase {
public:
    FilterJobBase(const mxArray* b, const mxArray* x, const mxArray* zi, bool coefComplex, bool stateComplex);
    FilterJobBase(const FilterJobBase&) = delete;
    FilterJobBase& operator=(const FilterJobBase&) = delete;
    ~FilterJobBase();

    mxArray* buildY(mxClassID classId) const;
    mxArray* buildZf(mxClassID classId) const;

    int32_t dataComplex = 0;
    int32_t coefComplex = 0;
    int32_t stateComplex = 0;
    int32_t anyComplex = 0;
    ComplexSingle* complexInput = nullptr;
    ComplexSingle* complexOutput = nullptr;
    ComplexSingle* complexNum = nullptr;
    ComplexSingle* complexState = nullptr;
    const float* realInput = nullptr;
    float* realOutput = nullptr;
    const float* realNum = nullptr;
    float* realState = nullptr;
    int32_t numSamples = 0;
    int32_t numChannels = 0;
    mwSize xNumDims = 0;
    mwSize ziNumDims = 0;
    const mwSize* xDims = nullptr;
    const mwSize* ziDims = nullptr;
    int32_t nb = 0;
    int32_t stateLength = 0;
};

class FilterJob : public FilterJobBase {
public:
    FilterJob(const mxArray* b, const mxArray* a, const mxArray* x, const mxArray* zi, bool coefComplex,
              bool stateComplex);
    ~FilterJob();

    ComplexSingle* complexDen = nullptr;
    const float* realDen = nullptr;
    int32_t na = 0;
};

}  // namespace marrowick
