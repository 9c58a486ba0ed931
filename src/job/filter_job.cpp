#include "filter_job.h"

#include <cstring>

#include "../kernels/record.h"

namespace marrowick {

namespace {

float* zeroedFloats(int32_t count) { return static_cast<float*>(mxCalloc(static_cast<mwSize>(count), sizeof(float))); }

ComplexSingle* zeroedComplex(int32_t count) {
    return static_cast<ComplexSingle*>(mxCalloc(static_cast<mwSize>(count), sizeof(ComplexSingle)));
}

int32_t elementCount(const mxArray* array) { return static_cast<int32_t>(mxGetNumberOfElements(array)); }

int32_t product(int32_t rows, int32_t cols) { return static_cast<int32_t>(static_cast<int64_t>(rows) * cols); }

void freeIfSet(ComplexSingle* buffer) {
    if (buffer != nullptr) mxFree(buffer);
}

}  // namespace

ComplexSingle* toInterleaved(const mxArray* array, int32_t rows, int32_t cols) {
    const int32_t count = product(rows, cols);
    ComplexSingle* buffer = zeroedComplex(count);
    const float* re = static_cast<const float*>(mxGetData(array));
    const float* im = mxIsComplex(array) ? static_cast<const float*>(mxGetImagData(array)) : nullptr;
    for (int32_t i = 0; i < count; ++i) {
        buffer[i].re = re[i];
        buffer[i].im = (im != nullptr) ? im[i] : 0.0f;
    }
    return buffer;
}

mxArray* makeComplexOutput(const ComplexSingle* buffer, mwSize numDims, const mwSize* dims, mxClassID classId) {
    mxArray* out = mxCreateNumericArray(numDims, dims, classId, mxCOMPLEX);
    const mwSize n = mxGetNumberOfElements(out);
    float* re = static_cast<float*>(mxGetData(out));
    float* im = static_cast<float*>(mxGetImagData(out));
    for (mwSize i = 0; i < n; ++i) {
        std::memcpy(&re[i], &buffer[i].re, sizeof(float));
        std::memcpy(&im[i], &buffer[i].im, sizeof(float));
    }
    return out;
}

FilterJobBase::FilterJobBase(const mxArray* b, const mxArray* x, const mxArray* zi, bool coefComplexIn,
                             bool stateComplexIn) {
    nb = elementCount(b);
    xNumDims = mxGetNumberOfDimensions(x);
    xDims = mxGetDimensions(x);
    numSamples = static_cast<int32_t>(xDims[0]);
    numChannels = static_cast<int32_t>(mxGetN(x));
    ziNumDims = mxGetNumberOfDimensions(zi);
    ziDims = mxGetDimensions(zi);
    stateLength = static_cast<int32_t>(ziDims[0]);

    coefComplex = coefComplexIn ? 1 : 0;
    stateComplex = stateComplexIn ? 1 : 0;
    dataComplex = mxIsComplex(x) ? 1 : 0;
    anyComplex = (dataComplex || coefComplex || stateComplex) ? 1 : 0;

    const int32_t M = numSamples;
    const int32_t N = numChannels;
    const int32_t L = stateLength;
    const int32_t samples = product(M, N);
    switch (chooseKernel(coefComplex, dataComplex, stateComplex)) {
        case Kernel::CC:
            complexNum = toInterleaved(b, nb, 1);
            complexState = toInterleaved(zi, L, N);
            complexInput = toInterleaved(x, M, N);
            complexOutput = zeroedComplex(samples);
            break;
        case Kernel::CR:
            complexNum = toInterleaved(b, nb, 1);
            complexState = toInterleaved(zi, L, N);
            realInput = static_cast<const float*>(mxGetData(x));
            complexOutput = zeroedComplex(samples);
            break;
        case Kernel::RC:
            realNum = static_cast<const float*>(mxGetData(b));
            complexState = toInterleaved(zi, L, N);
            complexInput = toInterleaved(x, M, N);
            complexOutput = zeroedComplex(samples);
            break;
        case Kernel::RRZ:
            realNum = static_cast<const float*>(mxGetData(b));
            complexState = toInterleaved(zi, L, N);
            realInput = static_cast<const float*>(mxGetData(x));
            complexOutput = zeroedComplex(samples);
            break;
        case Kernel::RR:
            // The duplicate of zi is updated in place, zi itself never.
            realNum = static_cast<const float*>(mxGetData(b));
            realState = static_cast<float*>(mxGetData(mxDuplicateArray(zi)));
            realInput = static_cast<const float*>(mxGetData(x));
            realOutput = zeroedFloats(samples);
            break;
        case Kernel::DRR:
        case Kernel::DCC:
        case Kernel::DCR: break;  // the module's table never chooses a double-precision kernel
    }
}

// The all-real case leaves its zeroed output and the duplicate of zi to the
// host, which reclaims a call's scratch when the call returns.
FilterJobBase::~FilterJobBase() {
    freeIfSet(complexNum);
    freeIfSet(complexState);
    freeIfSet(complexInput);
    freeIfSet(complexOutput);
}

mxArray* FilterJobBase::buildY(mxClassID classId) const {
    if (anyComplex) return makeComplexOutput(complexOutput, xNumDims, xDims, classId);
    mxArray* y = mxCreateNumericArray(xNumDims, xDims, classId, mxREAL);
    std::memcpy(mxGetData(y), realOutput, mxGetNumberOfElements(y) * sizeof(float));
    return y;
}

mxArray* FilterJobBase::buildZf(mxClassID classId) const {
    if (anyComplex) return makeComplexOutput(complexState, ziNumDims, ziDims, classId);
    mxArray* zf = mxCreateNumericArray(ziNumDims, ziDims, classId, mxREAL);
    std::memcpy(mxGetData(zf), realState, mxGetNumberOfElements(zf) * sizeof(float));
    return zf;
}

FilterJob::FilterJob(const mxArray* b, const mxArray* a, const mxArray* x, const mxArray* zi, bool coefComplexIn,
                     bool stateComplexIn)
    : FilterJobBase(b, x, zi, coefComplexIn, stateComplexIn) {
    na = elementCount(a);
    if (coefComplex) {
        complexDen = toInterleaved(a, na, 1);
    } else {
        realDen = static_cast<const float*>(mxGetData(a));
    }
}

// The denominator's buffer is released first, then the base's.
FilterJob::~FilterJob() { freeIfSet(complexDen); }

}  // namespace marrowick
