// The module's boundary with the host: [y, zf] = marrowick(b, a, x, zi).
#include <cstdint>
#include <limits>

#include "../job/filter_job.h"
#include "../kernels/kernels.h"
#include "../kernels/record.h"
#include "marrowick/mex.h"

namespace marrowick {

namespace {

constexpr mwSize kMaxCount = static_cast<mwSize>(std::numeric_limits<int32_t>::max());

const char* className(mxClassID id) {
    switch (id) {
        case mxCELL_CLASS: return "cell";
        case mxSTRUCT_CLASS: return "struct";
        case mxLOGICAL_CLASS: return "logical";
        case mxCHAR_CLASS: return "char";
        case mxDOUBLE_CLASS: return "double";
        case mxSINGLE_CLASS: return "single";
        case mxINT8_CLASS: return "int8";
        case mxUINT8_CLASS: return "uint8";
        case mxINT16_CLASS: return "int16";
        case mxUINT16_CLASS: return "uint16";
        case mxINT32_CLASS: return "int32";
        case mxUINT32_CLASS: return "uint32";
        case mxINT64_CLASS: return "int64";
        case mxUINT64_CLASS: return "uint64";
        default: return "unknown";
    }
}

void requireFits(const char* name, const char* what, mwSize value) {
    if (value > kMaxCount) {
        mexErrMsgIdAndTxt("marrowick:tooLarge", "input %s: %s is %zu, more than the %zu this module supports", name,
                          what, static_cast<size_t>(value), static_cast<size_t>(kMaxCount));
    }
}

// The argument contract, enforced before anything is allocated: the kernels
// index zi by L*N and by max(nb, na) - 1, so a mismatched zi would make them
// read and write past their buffers.
void checkArguments(int nlhs, int nrhs, const mxArray* prhs[]) {
    if (nrhs != 4) {
        mexErrMsgIdAndTxt("marrowick:nrhs", "marrowick takes 4 inputs (b, a, x, zi), got %d", nrhs);
    }
    if (nlhs > 2) {
        mexErrMsgIdAndTxt("marrowick:nlhs", "marrowick returns at most 2 outputs (y, zf), %d were requested", nlhs);
    }
    const char* const kInputNames[4] = {"b", "a", "x", "zi"};
    for (int i = 0; i < 4; ++i) {
        if (prhs[i] == nullptr) {
            mexErrMsgIdAndTxt("marrowick:missingInput", "input %s is missing", kInputNames[i]);
        }
        const mxClassID id = mxGetClassID(prhs[i]);
        if (id != mxSINGLE_CLASS) {
            mexErrMsgIdAndTxt("marrowick:notSingle", "input %s must be single precision, got %s", kInputNames[i],
                              className(id));
        }
        requireFits(kInputNames[i], "the element count", mxGetNumberOfElements(prhs[i]));
    }
    const mwSize nb = mxGetNumberOfElements(prhs[0]);
    const mwSize na = mxGetNumberOfElements(prhs[1]);
    if (nb == 0) mexErrMsgIdAndTxt("marrowick:emptyCoefficients", "input b must have at least one element, got 0");
    if (na == 0) mexErrMsgIdAndTxt("marrowick:emptyCoefficients", "input a must have at least one element, got 0");

    const mxArray* x = prhs[2];
    const mxArray* zi = prhs[3];
    const mwSize M = mxGetDimensions(x)[0];
    const mwSize N = mxGetN(x);
    requireFits("x", "the first dimension", M);
    requireFits("x", "the channel count (product of the dimensions after the first)", N);

    const mwSize L = mxGetDimensions(zi)[0];
    const mwSize expectedL = (nb > na ? nb : na) - 1;
    if (L != 0 && L != expectedL) {
        mexErrMsgIdAndTxt("marrowick:ziLength",
                          "input zi must have first dimension 0 or max(numel(b), numel(a)) - 1 = %zu, got %zu",
                          static_cast<size_t>(expectedL), static_cast<size_t>(L));
    }
    // L and N are both within 32 bits here, so the product cannot overflow 64.
    const mwSize expectedCount = L * N;
    const mwSize ziCount = mxGetNumberOfElements(zi);
    if (ziCount != expectedCount) {
        mexErrMsgIdAndTxt("marrowick:ziSize",
                          "input zi must have L*N = %zu*%zu = %zu elements (one column of %zu states per channel "
                          "of x), got %zu",
                          static_cast<size_t>(L), static_cast<size_t>(N), static_cast<size_t>(expectedCount),
                          static_cast<size_t>(L), static_cast<size_t>(ziCount));
    }
}

// Runs the kernel that the dispatch table chooses, through its front end.
void runKernel(FilterJob& job) {
    const int32_t nb = job.nb, na = job.na, M = job.numSamples, L = job.stateLength, N = job.numChannels;
    switch (chooseKernel(job.coefComplex, job.dataComplex, job.stateComplex)) {
        case Kernel::CC:
            computeGain(job.complexOutput, job.complexState, job.complexNum, job.complexDen, job.complexInput, nb, na,
                        M, L, N);
            return;
        case Kernel::CR:
            computeGain(job.complexOutput, job.complexState, job.complexNum, job.complexDen, job.realInput, nb, na, M,
                        L, N);
            return;
        case Kernel::RC:
            computeGain(job.complexOutput, job.complexState, job.realNum, job.realDen, job.complexInput, nb, na, M, L,
                        N);
            return;
        case Kernel::RRZ:
            computeGain(job.complexOutput, job.complexState, job.realNum, job.realDen, job.realInput, nb, na, M, L, N);
            return;
        case Kernel::RR:
            computeGain(job.realOutput, job.realState, job.realNum, job.realDen, job.realInput, nb, na, M, L, N);
            return;
        case Kernel::DRR:
        case Kernel::DCC:
        case Kernel::DCR: return;  // the module's table never chooses a double-precision kernel
    }
}

void runFilter(mxArray* plhs[], const mxArray* prhs[], mxClassID classId) {
    const mxArray* b = prhs[0];
    const mxArray* a = prhs[1];
    const mxArray* x = prhs[2];
    const mxArray* zi = prhs[3];
    const bool coefComplex = mxIsComplex(b) || mxIsComplex(a);
    const bool stateComplex = mxIsComplex(zi);

    FilterJob job(b, a, x, zi, coefComplex, stateComplex);
    runKernel(job);
    plhs[0] = job.buildY(classId);
    plhs[1] = job.buildZf(classId);
}

}  // namespace

}  // namespace marrowick

extern "C" MX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    marrowick::checkArguments(nlhs, nrhs, prhs);
    marrowick::runFilter(plhs, prhs, mxSINGLE_CLASS);
}
