// The host's array library and extension interface, as seen by an extension
// module. Arrays are column-major; a complex single-precision array keeps its
// real and imaginary parts in two separate float vectors.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#define MX_EXPORT __declspec(dllexport)
#else
#define MX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

typedef struct mxArray_tag mxArray;
typedef std::size_t mwSize;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxLOGICAL_CLASS = 3,
    mxCHAR_CLASS = 4,
    mxVOID_CLASS = 5,
    mxDOUBLE_CLASS = 6,
    mxSINGLE_CLASS = 7,
    mxINT8_CLASS = 8,
    mxUINT8_CLASS = 9,
    mxINT16_CLASS = 10,
    mxUINT16_CLASS = 11,
    mxINT32_CLASS = 12,
    mxUINT32_CLASS = 13,
    mxINT64_CLASS = 14,
    mxUINT64_CLASS = 15
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

// Array queries.
MX_EXPORT bool mxIsComplex(const mxArray* array);
MX_EXPORT mxClassID mxGetClassID(const mxArray* array);
MX_EXPORT mwSize mxGetNumberOfElements(const mxArray* array);
MX_EXPORT mwSize mxGetNumberOfDimensions(const mxArray* array);
MX_EXPORT const mwSize* mxGetDimensions(const mxArray* array);
MX_EXPORT mwSize mxGetM(const mxArray* array);
MX_EXPORT mwSize mxGetN(const mxArray* array);
MX_EXPORT void* mxGetData(const mxArray* array);
MX_EXPORT void* mxGetImagData(const mxArray* array);

// Array creation and destruction. Data is zeroed.
MX_EXPORT mxArray* mxCreateNumericArray(mwSize numDims, const mwSize* dims, mxClassID classId, mxComplexity complexity);
MX_EXPORT mxArray* mxDuplicateArray(const mxArray* array);
MX_EXPORT void mxDestroyArray(mxArray* array);

// Scratch memory. mxCalloc returns zeroed memory or does not return at all.
MX_EXPORT void* mxCalloc(mwSize count, mwSize size);
MX_EXPORT void mxFree(void* block);

MX_EXPORT bool mxIsNaN(double value);

// Reports an error to the host and never returns to the caller.
[[noreturn]] MX_EXPORT void mexErrMsgIdAndTxt(const char* id, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The entry point every module exports.
typedef void (*MexFunction)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // extern "C"
