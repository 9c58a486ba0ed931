// The host side of the extension interface: creating and owning arrays
// outside a call, and the call boundary that runs a module's mexFunction.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "marrowick/mex.h"

namespace mxhost {

// What mexErrMsgIdAndTxt raises; the call boundary turns it into a failed
// CallResult. Outside a call (arrays made by the host program itself) it
// reaches the program as an ordinary exception.
class HostError : public std::runtime_error {
public:
    HostError(std::string identifier, const std::string& message)
        : std::runtime_error(message), identifier_(std::move(identifier)) {}
    const std::string& identifier() const { return identifier_; }

private:
    std::string identifier_;
};

struct ArrayDeleter {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// Convenience constructors for host programs and tests.
ArrayPtr makeArray(const std::vector<mwSize>& dims, mxClassID classId = mxSINGLE_CLASS, bool complex = false);
ArrayPtr makeReal(const std::vector<mwSize>& dims, const std::vector<float>& re);
ArrayPtr makeComplex(const std::vector<mwSize>& dims, const std::vector<float>& re, const std::vector<float>& im);

struct CallResult {
    bool ok = false;
    std::string identifier;         // set on failure
    std::string message;            // set on failure
    std::vector<ArrayPtr> outputs;  // on success: max(nlhs, 1) arrays
};

// Calls fn(nlhs, plhs, nrhs, prhs) with an output list that has room for at
// least two arrays. Every scratch block and array made during the call is
// tracked; what the module did not free or return is reclaimed when the call
// ends, normally or through the error call. On success the caller owns the
// first max(nlhs, 1) outputs.
CallResult callModule(MexFunction fn, int nlhs, const std::vector<const mxArray*>& inputs);

// Bookkeeping, for tests: blocks and arrays live inside the current call (0
// outside any call), and arrays alive in the whole process.
std::size_t liveScratchBlocks();
std::size_t liveCallArrays();
std::size_t liveArrays();
// Scratch blocks and call arrays reclaimed by the host (not released by the
// module itself) since the process started.
std::size_t reclaimedTotal();
// Scratch blocks from mxCalloc not yet freed by the module or reclaimed by
// the host, across the whole process: 0 whenever no call is running.
std::size_t scratchBlocksAlive();

}  // namespace mxhost
