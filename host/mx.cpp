// The host layer: the array library modules link against, and the call
// boundary. The host may keep process state; modules may not.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "host.h"
#include "marrowick/mex.h"

namespace mxhost {
namespace {

// A few items kept inline, the rest on the heap: a call makes a handful of
// blocks and arrays, an array has a handful of dimensions, and the host's
// per-call cost is what a one-sample call pays.
template <class T, std::size_t Inline>
class SmallVector {
public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;

    void assign(const T* items, std::size_t n) {
        size_ = 0;
        more_.clear();
        for (std::size_t i = 0; i < n; ++i) push_back(items[i]);
    }
    void push_back(T item) {
        if (size_ < Inline) {
            inline_[size_] = item;
        } else {
            if (more_.empty()) more_.assign(inline_, inline_ + Inline);
            more_.push_back(item);
        }
        ++size_;
    }
    // Removes one occurrence, searching from the most recent; false if absent.
    bool erase(T item) {
        T* items = data();
        for (std::size_t i = size_; i-- > 0;) {
            if (items[i] == item) {
                for (std::size_t k = i + 1; k < size_; ++k) items[k - 1] = items[k];
                if (size_ > Inline) more_.pop_back();
                --size_;
                if (size_ == Inline) {
                    // Back to the inline storage, which still holds what it
                    // held before the list grew.
                    std::copy(more_.begin(), more_.end(), inline_);
                    more_.clear();
                }
                return true;
            }
        }
        return false;
    }
    std::size_t size() const { return size_; }
    T* data() { return size_ > Inline ? more_.data() : inline_; }
    const T* data() const { return size_ > Inline ? more_.data() : inline_; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }

private:
    T inline_[Inline] = {};
    std::vector<T> more_;  // all items, once there are more than Inline
    std::size_t size_ = 0;
};

}  // namespace
}  // namespace mxhost

struct mxArray_tag {
    mxClassID classId = mxSINGLE_CLASS;
    bool complex = false;
    mxhost::SmallVector<mwSize, 4> dims;
    mwSize count = 0;
    std::size_t elementSize = 0;
    void* re = nullptr;
    void* im = nullptr;
};

namespace mxhost {
namespace {

struct CallContext {
    SmallVector<void*, 8> blocks;
    SmallVector<mxArray*, 8> arrays;
    CallContext* outer = nullptr;
};

thread_local CallContext* currentCall = nullptr;
std::atomic<std::size_t> arraysAlive{0};
std::atomic<std::size_t> reclaimed{0};
std::atomic<std::size_t> scratchAlive{0};

std::size_t elementSizeOf(mxClassID id) {
    switch (id) {
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS: return 1;
        case mxCHAR_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS: return 2;
        case mxSINGLE_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS: return 4;
        case mxDOUBLE_CLASS:
        case mxINT64_CLASS:
        case mxUINT64_CLASS: return 8;
        default: return 0;
    }
}

// calloc gives lazily zeroed pages for large blocks, so a huge array that is
// never touched costs no memory. Never returns null: at least one byte.
void* zeroedBytes(mwSize count, mwSize size) {
    if (size != 0 && count > std::numeric_limits<mwSize>::max() / size) {
        mexErrMsgIdAndTxt("host:outOfMemory", "cannot allocate %zu blocks of %zu bytes: size overflows",
                          static_cast<size_t>(count), static_cast<size_t>(size));
    }
    const mwSize bytes = std::max<mwSize>(count * size, 1);
    void* p = std::calloc(bytes, 1);
    if (p == nullptr) {
        mexErrMsgIdAndTxt("host:outOfMemory", "out of memory allocating %zu bytes", static_cast<size_t>(bytes));
    }
    return p;
}

void destroy(mxArray* array) {
    std::free(array->re);
    std::free(array->im);
    delete array;
    --arraysAlive;
}

mxArray* track(mxArray* array) {
    if (currentCall != nullptr) currentCall->arrays.push_back(array);
    return array;
}

}  // namespace

std::size_t liveScratchBlocks() { return currentCall ? currentCall->blocks.size() : 0; }
std::size_t liveCallArrays() { return currentCall ? currentCall->arrays.size() : 0; }
std::size_t liveArrays() { return arraysAlive.load(); }
std::size_t reclaimedTotal() { return reclaimed.load(); }
std::size_t scratchBlocksAlive() { return scratchAlive.load(); }

ArrayPtr makeArray(const std::vector<mwSize>& dims, mxClassID classId, bool complex) {
    std::vector<mwSize> d = dims;
    while (d.size() < 2) d.push_back(1);
    return ArrayPtr(mxCreateNumericArray(d.size(), d.data(), classId, complex ? mxCOMPLEX : mxREAL));
}

ArrayPtr makeReal(const std::vector<mwSize>& dims, const std::vector<float>& re) {
    ArrayPtr a = makeArray(dims);
    if (re.size() != mxGetNumberOfElements(a.get())) throw std::invalid_argument("makeReal: element count");
    if (!re.empty()) std::memcpy(mxGetData(a.get()), re.data(), re.size() * sizeof(float));
    return a;
}

ArrayPtr makeComplex(const std::vector<mwSize>& dims, const std::vector<float>& re, const std::vector<float>& im) {
    ArrayPtr a = makeArray(dims, mxSINGLE_CLASS, true);
    const mwSize n = mxGetNumberOfElements(a.get());
    if (re.size() != n || im.size() != n) throw std::invalid_argument("makeComplex: element count");
    if (n != 0) {
        std::memcpy(mxGetData(a.get()), re.data(), n * sizeof(float));
        std::memcpy(mxGetImagData(a.get()), im.data(), n * sizeof(float));
    }
    return a;
}

CallResult callModule(MexFunction fn, int nlhs, const std::vector<const mxArray*>& inputs) {
    CallResult result;
    CallContext context;
    context.outer = currentCall;
    currentCall = &context;
    // However the call ends, the current call is the outer one again: no
    // pointer to this frame outlives it.
    struct Restore {
        CallContext& context;
        ~Restore() { currentCall = context.outer; }
    } restore{context};

    const int slots = std::max(nlhs, 2);
    std::vector<mxArray*> plhsMore;
    mxArray* plhsInline[8] = {};
    mxArray** plhs = plhsInline;
    if (slots > 8) {
        plhsMore.assign(static_cast<std::size_t>(slots), nullptr);
        plhs = plhsMore.data();
    }
    result.outputs.reserve(static_cast<std::size_t>(std::max(nlhs, 1)));
    try {
        // The module only reads the list of inputs.
        fn(nlhs, plhs, static_cast<int>(inputs.size()), const_cast<const mxArray**>(inputs.data()));
        result.ok = true;
    } catch (const HostError& error) {
        result.identifier = error.identifier();
        result.message = error.what();
    } catch (const std::exception& error) {
        // Any other exception is a fault of the module; the call fails and
        // its memory is reclaimed as for an error call.
        result.identifier = "host:moduleException";
        result.message = std::string("the module raised an exception: ") + error.what();
    } catch (...) {
        result.identifier = "host:moduleException";
        result.message = "the module raised an exception";
    }

    if (result.ok) {
        // Hand out the requested outputs; an array the module did not create
        // in this call is duplicated so the caller always owns what it gets.
        const int handed = std::max(nlhs, 1);
        for (int i = 0; i < handed; ++i) {
            mxArray* out = plhs[static_cast<std::size_t>(i)];
            if (out == nullptr) {
                result.outputs.emplace_back(nullptr);
                continue;
            }
            if (!context.arrays.erase(out)) {
                currentCall = context.outer;
                out = mxDuplicateArray(out);
                currentCall = &context;
            }
            result.outputs.emplace_back(out);
        }
    }
    // Reclaim whatever the call left behind: unreturned outputs, scratch
    // blocks and arrays.
    currentCall = context.outer;
    for (mxArray* array : context.arrays) {
        destroy(array);
        ++reclaimed;
    }
    for (void* block : context.blocks) {
        std::free(block);
        --scratchAlive;
        ++reclaimed;
    }
    return result;
}

}  // namespace mxhost

using mxhost::currentCall;

extern "C" {

bool mxIsComplex(const mxArray* array) { return array->complex; }
mxClassID mxGetClassID(const mxArray* array) { return array->classId; }
mwSize mxGetNumberOfElements(const mxArray* array) { return array->count; }
mwSize mxGetNumberOfDimensions(const mxArray* array) { return array->dims.size(); }
const mwSize* mxGetDimensions(const mxArray* array) { return array->dims.data(); }
mwSize mxGetM(const mxArray* array) { return array->dims.data()[0]; }
// An empty array may have dimensions whose product does not fit; the count
// then saturates rather than wrapping to a small number.
mwSize mxGetN(const mxArray* array) {
    mwSize n = 1;
    for (std::size_t i = 1; i < array->dims.size(); ++i) {
        const mwSize d = array->dims.data()[i];
        if (d != 0 && n > std::numeric_limits<mwSize>::max() / d) return std::numeric_limits<mwSize>::max();
        n *= d;
    }
    return n;
}
void* mxGetData(const mxArray* array) { return array->re; }
void* mxGetImagData(const mxArray* array) { return array->im; }

mxArray* mxCreateNumericArray(mwSize numDims, const mwSize* dims, mxClassID classId, mxComplexity complexity) {
    const std::size_t elementSize = mxhost::elementSizeOf(classId);
    if (elementSize == 0) mexErrMsgIdAndTxt("host:badClass", "class %d is not a numeric class", classId);
    mwSize count = 1;
    for (mwSize i = 0; i < numDims; ++i) {
        const mwSize n = dims[i];
        if (n != 0 && count > std::numeric_limits<mwSize>::max() / n) {
            mexErrMsgIdAndTxt("host:tooLarge", "array dimensions overflow the element count");
        }
        count *= n;
    }
    if (numDims == 0) count = 0;
    auto* array = new mxArray_tag;
    array->classId = classId;
    array->complex = complexity == mxCOMPLEX;
    // The host keeps at least two dimensions, as every array is a matrix.
    array->dims.assign(dims, numDims);
    while (array->dims.size() < 2) array->dims.push_back(array->dims.size() == 0 ? 0 : 1);
    array->count = count;
    array->elementSize = elementSize;
    try {
        array->re = mxhost::zeroedBytes(count, elementSize);
        if (array->complex) array->im = mxhost::zeroedBytes(count, elementSize);
    } catch (...) {
        std::free(array->re);
        delete array;
        throw;
    }
    ++mxhost::arraysAlive;
    return mxhost::track(array);
}

mxArray* mxDuplicateArray(const mxArray* array) {
    mxArray* copy = mxCreateNumericArray(array->dims.size(), array->dims.data(), array->classId,
                                         array->complex ? mxCOMPLEX : mxREAL);
    const std::size_t bytes = array->count * array->elementSize;
    if (bytes != 0) {
        std::memcpy(copy->re, array->re, bytes);
        if (array->complex) std::memcpy(copy->im, array->im, bytes);
    }
    return copy;
}

void mxDestroyArray(mxArray* array) {
    if (array == nullptr) return;
    if (currentCall != nullptr) currentCall->arrays.erase(array);
    mxhost::destroy(array);
}

void* mxCalloc(mwSize count, mwSize size) {
    void* block = mxhost::zeroedBytes(count, size);
    if (currentCall != nullptr) currentCall->blocks.push_back(block);
    ++mxhost::scratchAlive;
    return block;
}

void mxFree(void* block) {
    if (block == nullptr) return;
    if (currentCall != nullptr) currentCall->blocks.erase(block);
    std::free(block);
    --mxhost::scratchAlive;
}

bool mxIsNaN(double value) { return value != value; }

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    throw mxhost::HostError(id != nullptr ? id : "", buffer);
}

}  // extern "C"
