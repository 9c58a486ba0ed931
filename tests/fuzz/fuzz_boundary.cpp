// Fuzz target for the module boundary, called through the host layer as a
// host calls it. The bytes describe one call: the output and input counts,
// and for each input its class, complexity, dimensions and data. Most inputs
// describe calls that keep the argument contract (so every kernel runs on
// empty, N-dimensional and non-finite data); a few bytes more break it.
//
// Every call must either keep the contract and return outputs of the right
// shapes and complexity, identical when repeated, or break it and fail
// through the host's error call with a one-line message. Either way the
// inputs stay unchanged and nothing the call made outlives it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host.h"
#include "load_module.h"

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    // Mostly small exact values; otherwise zeros, infinities, NaNs,
    // subnormals, extremes or raw bit patterns.
    float value() {
        const std::uint8_t sel = byte();
        if (sel < 192) return static_cast<float>(static_cast<int>(sel) - 96) / 16.0f;
        switch (sel % 10) {
            case 0: return 0.0f;
            case 1: return -0.0f;
            case 2: return std::numeric_limits<float>::infinity();
            case 3: return -std::numeric_limits<float>::infinity();
            case 4: return std::numeric_limits<float>::quiet_NaN();
            case 5: return std::numeric_limits<float>::denorm_min();
            case 6: return std::numeric_limits<float>::max();
            case 7: return -std::numeric_limits<float>::min();
            default: {
                const std::uint32_t bits = u32();
                float f;
                std::memcpy(&f, &bits, sizeof f);
                return f;
            }
        }
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

struct InputSpec {
    mxClassID classId = mxSINGLE_CLASS;
    bool complex = false;
    std::vector<mwSize> dims;
};

const mxClassID kOtherClasses[] = {mxDOUBLE_CLASS, mxINT32_CLASS,  mxUINT8_CLASS, mxLOGICAL_CLASS,
                                   mxINT16_CLASS,  mxUINT64_CLASS, mxCHAR_CLASS};

// A dimension far beyond 32 bits; only ever used next to a zero dimension,
// so that the array it belongs to stays empty.
mwSize hugeDimension(Reader& r) {
    static const mwSize kHuge[] = {mwSize{1} << 31, (mwSize{1} << 32) + 3, mwSize{1} << 62,
                                   std::numeric_limits<mwSize>::max()};
    return kHuge[r.byte() % 4];
}

std::vector<mwSize> randomDims(Reader& r) {
    std::vector<mwSize> dims(r.byte() % 5);
    for (mwSize& d : dims) d = r.byte() % 6;
    return dims;
}

mwSize product(const std::vector<mwSize>& dims, std::size_t from) {
    mwSize n = 1;
    for (std::size_t k = from; k < dims.size(); ++k) n *= dims[k];
    return n;
}

// A call that keeps the contract: nb and na coefficients in any shape, x of
// 1 to 4 dimensions (some possibly 0), zi with L rows and x's channels.
void contractCall(Reader& r, InputSpec plan[4]) {
    const mwSize nb = 1 + r.byte() % 6, na = 1 + r.byte() % 6;
    for (int i = 0; i < 2; ++i) {
        const mwSize n = i == 0 ? nb : na;
        switch (r.byte() % 4) {
            case 0: plan[i].dims = {n, 1}; break;
            case 1: plan[i].dims = {1, n}; break;
            case 2: plan[i].dims = {1, 1, n}; break;
            default: plan[i].dims = {n}; break;
        }
    }
    std::vector<mwSize>& x = plan[2].dims;
    x.assign(1 + r.byte() % 4, 1);
    x[0] = r.byte() % 40;
    for (std::size_t k = 1; k < x.size(); ++k) x[k] = r.byte() % (k == 1 ? 20 : 4);
    const mwSize L = (r.byte() & 1) ? std::max(nb, na) - 1 : 0;
    std::vector<mwSize>& zi = plan[3].dims;
    switch (r.byte() % 3) {
        case 0: zi = {L, product(x, 1)}; break;
        case 1:
            zi = x;
            zi[0] = L;
            break;  // x's trailing dimensions
        default: zi = {L, product(x, 1), 1, 1}; break;
    }
}

// One way of breaking the contract (or, for some, of getting close to it).
void breakContract(Reader& r, InputSpec plan[4], int& nlhs, int& nrhs, bool& nullInput) {
    const int which = r.byte() % 4;
    switch (r.byte() % 8) {
        case 0: plan[which].classId = kOtherClasses[r.byte() % 7]; break;
        case 1:
            if (plan[3].dims.empty()) plan[3].dims.push_back(1);
            plan[3].dims[0] += 1 + r.byte() % 2;
            break;
        case 2: plan[3].dims.push_back(2); break;
        case 3: plan[which % 2].dims = {static_cast<mwSize>(r.byte() % 2), 0}; break;  // empty coefficients
        case 4: nrhs = r.byte() % 6; break;
        case 5: nlhs = 3 + r.byte() % 2; break;
        case 6: nullInput = true; break;
        default: {  // a huge dimension beside a zero one: empty, but too big to index
            std::vector<mwSize>& dims = plan[which].dims;
            dims = {0, hugeDimension(r)};
            if (r.byte() & 1) std::swap(dims[0], dims[1]);
            if (r.byte() & 1) dims.push_back(hugeDimension(r));
            break;
        }
    }
}

mxhost::ArrayPtr makeInput(const InputSpec& plan, Reader& r) {
    mxhost::ArrayPtr array = mxhost::makeArray(plan.dims, plan.classId, plan.complex);
    if (plan.classId != mxSINGLE_CLASS) return array;
    const std::size_t n = mxGetNumberOfElements(array.get());
    float* parts[2] = {static_cast<float*>(mxGetData(array.get())),
                       plan.complex ? static_cast<float*>(mxGetImagData(array.get())) : nullptr};
    for (float* part : parts) {
        if (part == nullptr) continue;
        for (std::size_t i = 0; i < n; ++i) part[i] = r.value();
    }
    return array;
}

std::vector<mwSize> dimsOf(const mxArray* array) {
    const mwSize* d = mxGetDimensions(array);
    return std::vector<mwSize>(d, d + mxGetNumberOfDimensions(array));
}

std::vector<std::uint8_t> bytesOf(const mxArray* array) {
    const mwSize count = mxGetNumberOfElements(array);
    std::size_t size = 0;
    switch (mxGetClassID(array)) {
        case mxLOGICAL_CLASS:
        case mxUINT8_CLASS:
        case mxINT8_CLASS: size = 1; break;
        case mxCHAR_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS: size = 2; break;
        case mxSINGLE_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS: size = 4; break;
        default: size = 8; break;
    }
    const std::size_t bytes = count * size;
    std::vector<std::uint8_t> out(bytes * (mxIsComplex(array) ? 2 : 1));
    if (bytes == 0) return out;
    std::memcpy(out.data(), mxGetData(array), bytes);
    if (mxIsComplex(array)) std::memcpy(out.data() + bytes, mxGetImagData(array), bytes);
    return out;
}

// The argument contract, decided from the arrays themselves.
bool keepsContract(int nlhs, int nrhs, const std::vector<const mxArray*>& in) {
    constexpr mwSize kMax = static_cast<mwSize>(std::numeric_limits<std::int32_t>::max());
    if (nrhs != 4 || nlhs > 2) return false;
    for (const mxArray* a : in) {
        if (a == nullptr || mxGetClassID(a) != mxSINGLE_CLASS || mxGetNumberOfElements(a) > kMax) return false;
    }
    const mwSize nb = mxGetNumberOfElements(in[0]), na = mxGetNumberOfElements(in[1]);
    if (nb == 0 || na == 0) return false;
    const std::vector<mwSize> x = dimsOf(in[2]);
    __uint128_t N = 1;
    for (std::size_t k = 1; k < x.size(); ++k) N = std::min<__uint128_t>(N * x[k], __uint128_t{1} << 64);
    if (x[0] > kMax || N > kMax) return false;
    const mwSize L = mxGetDimensions(in[3])[0];
    if (L != 0 && L != std::max(nb, na) - 1) return false;
    return mxGetNumberOfElements(in[3]) == L * static_cast<mwSize>(N);
}

bool isOneLine(const std::string& s) {
    return !s.empty() && s.size() < 300 && s.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const MexFunction mexFunction = loadMarrowickModule();
    Reader r(data, size);
    const std::uint8_t mode = r.byte();
    int nlhs = mode % 4;
    int nrhs = 4;
    bool nullInput = false;

    InputSpec plan[4];
    if (mode & 0x40) {  // free-form: every array's shape and class at random
        for (InputSpec& s : plan) {
            s.dims = randomDims(r);
            if (r.byte() % 8 == 0) s.classId = kOtherClasses[r.byte() % 7];
        }
    } else {
        contractCall(r, plan);
    }
    const std::uint8_t complexMask = r.byte();
    for (int i = 0; i < 4; ++i) plan[i].complex = (complexMask >> i) & 1;
    if (mode & 0x80) breakContract(r, plan, nlhs, nrhs, nullInput);

    mxhost::ArrayPtr arrays[4];
    for (int i = 0; i < 4; ++i) arrays[i] = makeInput(plan[i], r);
    std::vector<const mxArray*> inputs;
    for (const mxhost::ArrayPtr& a : arrays) inputs.push_back(a.get());
    if (nullInput) inputs[r.byte() % 4] = nullptr;
    inputs.resize(static_cast<std::size_t>(nrhs), nullptr);

    std::vector<std::vector<std::uint8_t>> before;
    for (const mxhost::ArrayPtr& a : arrays) before.push_back(bytesOf(a.get()));
    const bool valid = keepsContract(nlhs, nrhs, inputs);
    const std::size_t arraysBefore = mxhost::liveArrays();

    mxhost::CallResult result = mxhost::callModule(mexFunction, nlhs, inputs);

    FUZZ_CHECK(mxhost::scratchBlocksAlive() == 0, "%zu scratch blocks outlive the call", mxhost::scratchBlocksAlive());
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(bytesOf(arrays[i].get()) == before[i], "input %d was modified", i);
    if (!valid) {
        FUZZ_CHECK(!result.ok, "a call that breaks the contract succeeded");
        FUZZ_CHECK(result.identifier.rfind("marrowick:", 0) == 0, "error identifier '%s'", result.identifier.c_str());
        FUZZ_CHECK(isOneLine(result.message), "error message '%s'", result.message.c_str());
        FUZZ_CHECK(mxhost::liveArrays() == arraysBefore, "a failed call left %zu arrays behind",
                   mxhost::liveArrays() - arraysBefore);
        return 0;
    }
    FUZZ_CHECK(result.ok, "a call within the contract failed: %s [%s]", result.message.c_str(),
               result.identifier.c_str());
    const std::size_t handed = static_cast<std::size_t>(std::max(nlhs, 1));
    FUZZ_CHECK(result.outputs.size() == handed, "%zu outputs for nlhs %d", result.outputs.size(), nlhs);
    FUZZ_CHECK(mxhost::liveArrays() == arraysBefore + handed, "the call left %zu arrays, handed %zu",
               mxhost::liveArrays() - arraysBefore, handed);
    const bool anyComplex = plan[0].complex || plan[1].complex || plan[2].complex || plan[3].complex;
    for (std::size_t k = 0; k < handed; ++k) {
        const mxArray* out = result.outputs[k].get();
        FUZZ_CHECK(out != nullptr, "output %zu is missing", k);
        FUZZ_CHECK(mxGetClassID(out) == mxSINGLE_CLASS, "output %zu is not single", k);
        FUZZ_CHECK(mxIsComplex(out) == anyComplex, "output %zu complexity", k);
        FUZZ_CHECK(dimsOf(out) == dimsOf(arrays[k == 0 ? 2 : 3].get()), "output %zu has the wrong shape", k);
    }

    // The same call again gives the same bits: nothing depends on memory
    // the module did not write.
    mxhost::CallResult again = mxhost::callModule(mexFunction, nlhs, inputs);
    FUZZ_CHECK(again.ok, "a repeated call failed: %s", again.message.c_str());
    for (std::size_t k = 0; k < handed; ++k) {
        FUZZ_CHECK(bytesOf(again.outputs[k].get()) == bytesOf(result.outputs[k].get()),
                   "output %zu differs between two identical calls", k);
    }
    return 0;
}
