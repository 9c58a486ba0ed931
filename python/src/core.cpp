// marrowick._core: the filter call for NumPy arrays. It checks the arguments
// as the module does, lays out y and zf so the kernels write into them
// directly, and runs the typed filter call with the GIL released: in pieces
// along time and in groups of channels when the counts exceed what one call
// takes, and on several threads when asked.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kernels/paths.h"
#include "kernels/record.h"
#include "marrowick/complex_ops.h"

namespace py = pybind11;
using marrowick::ComplexSingle;
using marrowick::FilterCall;
using marrowick::FilterShape;
using marrowick::Kernel;
using marrowick::Layout;

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// The largest sample count and channel count of one kernel call, and of
// their product. Only the tests lower it, to exercise the chaining on small
// arrays.
std::atomic<int64_t> gPieceLimit{kInt32Max};

// A list of at most one entry per axis, kept on the stack: a one-sample call
// costs little more than its allocations of y and zf.
template <class T>
class AxisList {
public:
    static constexpr int kMax = 32;  // NumPy's limit on the number of dimensions
    AxisList() = default;
    AxisList(const T* first, const T* last) {
        for (; first != last; ++first) push_back(*first);
    }
    AxisList(int n, T value) {
        for (int k = 0; k < n; ++k) push_back(value);
    }
    void push_back(T v) {
        if (n_ == kMax) throw py::value_error("too many dimensions");
        v_[n_++] = v;
    }
    int size() const { return n_; }
    T& operator[](int k) { return v_[k]; }
    const T& operator[](int k) const { return v_[k]; }
    T& back() { return v_[n_ - 1]; }
    const T& back() const { return v_[n_ - 1]; }
    T* begin() { return v_; }
    T* end() { return v_ + n_; }
    const T* begin() const { return v_; }
    const T* end() const { return v_ + n_; }
    const T* data() const { return v_; }
    bool empty() const { return n_ == 0; }

private:
    T v_[kMax] = {};
    int n_ = 0;
};
using Dims = AxisList<py::ssize_t>;
using Axes = AxisList<int>;

// A new uninitialised array of the given shape and byte strides.
py::array newArray(const py::dtype& type, const Dims& shape, const Dims& strides) {
    auto& api = py::detail::npy_api::get();
    PyObject* arr = api.PyArray_NewFromDescr_(api.PyArray_Type_, py::dtype(type).release().ptr(), shape.size(),
                                              shape.data(), strides.data(), nullptr, 0, nullptr);
    if (arr == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array>(arr);
}

std::string shapeText(const py::ssize_t* shape, py::ssize_t ndim) {
    std::string s = "(";
    for (py::ssize_t k = 0; k < ndim; ++k) {
        if (k) s += ", ";
        s += std::to_string(shape[k]);
    }
    if (ndim == 1) s += ",";
    return s + ")";
}

std::string dtypeText(const py::array& arr) { return py::str(arr.dtype()).cast<std::string>(); }

// b, a or zi: any real or complex numbers, as a NumPy array; `complex` tells
// which.
py::array numericArray(py::handle obj, const char* name, bool& complex) {
    py::array arr = py::array::ensure(obj);
    if (!arr) throw py::type_error(std::string("marrowick:notSingle: ") + name + " must be an array of numbers");
    const char kind = arr.dtype().kind();
    if (kind == 'c') {
        complex = true;
    } else if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b') {
        complex = false;
    } else {
        throw py::type_error(std::string("marrowick:notSingle: ") + name + " must hold real or complex numbers, got " +
                             dtypeText(arr));
    }
    return arr;
}

// Coefficients as the kernel takes them: rounded to single precision, real
// ones widened with +0 imaginary parts where the kernel wants complex ones.
// The array's own memory when it holds them so already (kept alive by
// `keep`), else a converted copy.
const void* coefficients(const py::array& arr, bool complex, bool wantComplex, py::object& keep,
                         std::vector<ComplexSingle>& widened) {
    if (wantComplex && complex) {
        auto v = py::array_t<std::complex<float>, py::array::c_style | py::array::forcecast>::ensure(arr);
        if (!v) throw py::error_already_set();
        keep = v;
        return v.data();
    }
    auto v = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(arr);
    if (!v) throw py::error_already_set();
    keep = v;
    if (!wantComplex) return v.data();
    widened.resize(static_cast<std::size_t>(v.size()));
    for (std::size_t k = 0; k < widened.size(); ++k) widened[k] = ComplexSingle{v.data()[k], 0.0f};
    return widened.data();
}

// Copies src into dst, two arrays of one shape with their own byte strides,
// converting each element. The loops run in dst's memory order.
template <class S, class D, class Convert>
void stridedCopy(const char* src, const Dims& srcStrides, char* dst, const Dims& dstStrides, const Dims& shape,
                 Convert convert) {
    const int nd = shape.size();
    for (int k = 0; k < nd; ++k)
        if (shape[k] == 0) return;
    if (nd == 0) {
        S v;
        std::memcpy(&v, src, sizeof v);
        *reinterpret_cast<D*>(dst) = convert(v);
        return;
    }
    Axes order;
    for (int k = 0; k < nd; ++k) order.push_back(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](int p, int q) { return std::abs(dstStrides[p]) > std::abs(dstStrides[q]); });
    Dims sh, ss, ds;
    for (int k : order) {
        sh.push_back(shape[k]);
        ss.push_back(srcStrides[k]);
        ds.push_back(dstStrides[k]);
    }
    const py::ssize_t inner = sh[nd - 1], sInner = ss[nd - 1], dInner = ds[nd - 1];
    Dims index(nd, 0);
    for (;;) {
        const char* s = src;
        char* d = dst;
        for (int k = 0; k + 1 < nd; ++k) {
            s += index[k] * ss[k];
            d += index[k] * ds[k];
        }
        for (py::ssize_t i = 0; i < inner; ++i) {
            S v;  // the source may be unaligned
            std::memcpy(&v, s + i * sInner, sizeof v);
            *reinterpret_cast<D*>(d + i * dInner) = convert(v);
        }
        int k = nd - 1;
        for (;;) {
            if (k == 0) return;
            --k;
            if (++index[k] < sh[k]) break;
            index[k] = 0;
        }
    }
}

struct Same {
    template <class T>
    T operator()(T v) const { return v; }
};
struct Widen {
    ComplexSingle operator()(float v) const { return ComplexSingle{v, 0.0f}; }
};

// Compact byte strides for `shape` whose memory order (outermost first) is
// `memoryOrder`, given back in the axes' own order.
Dims compactStrides(const py::ssize_t* shape, const Axes& memoryOrder, py::ssize_t itemsize) {
    Dims strides(memoryOrder.size(), 0);
    py::ssize_t step = itemsize;
    for (int k = memoryOrder.size() - 1; k >= 0; --k) {
        strides[memoryOrder[k]] = step;
        step *= std::max<py::ssize_t>(shape[memoryOrder[k]], 1);
    }
    return strides;
}

// One filtering task on raw buffers: the call's kernel and coefficients, the
// input and output with their element layouts, the state.
struct Task {
    Kernel kernel;
    int32_t nb, na, L;
    int64_t M, N;
    const void* b;
    const void* a;
    const char* input;
    Layout inLayout;
    std::size_t inItem;
    char* output;
    Layout outLayout;
    std::size_t outItem;
    char* state;
    std::size_t stateItem;
};

// Channels [j0, j0 + n) of the task, in groups and pieces within the limit;
// each piece's final state is the next piece's initial state, in place.
void runChannels(const Task& t, int64_t j0, int64_t n, int64_t limit) {
    const int64_t group = std::max<int64_t>(1, std::min({n, limit, limit / std::max<int64_t>(t.L, 1)}));
    for (int64_t jg = j0; jg < j0 + n; jg += group) {
        const int64_t ng = std::min(group, j0 + n - jg);
        const int64_t piece = std::max<int64_t>(1, std::min(t.M, limit / ng));
        for (int64_t i0 = 0; i0 < t.M; i0 += piece) {
            const int64_t m = std::min(piece, t.M - i0);
            FilterCall call{};
            call.kernel = t.kernel;
            call.shape = FilterShape{t.nb, t.na, static_cast<int32_t>(m), static_cast<int32_t>(ng), t.L};
            call.b = t.b;
            call.a = t.a;
            call.input = t.input + (i0 * t.inLayout.sample + jg * t.inLayout.channel) * static_cast<int64_t>(t.inItem);
            call.inLayout = t.inLayout;
            call.output =
                t.output + (i0 * t.outLayout.sample + jg * t.outLayout.channel) * static_cast<int64_t>(t.outItem);
            call.outLayout = t.outLayout;
            call.state = t.state + jg * t.L * static_cast<int64_t>(t.stateItem);
            marrowick::runFilterCall(call);
        }
    }
}

// All channels, split into `workers` groups (whole lane groups where there
// are enough channels) filtered side by side.
void runTask(const Task& t, int64_t workers) {
    if (t.M == 0 || t.N == 0) return;
    const int64_t limit = gPieceLimit.load();
    workers = std::max<int64_t>(1, std::min(workers, t.N));
    if (workers == 1) {
        runChannels(t, 0, t.N, limit);
        return;
    }
    int64_t share = (t.N + workers - 1) / workers;
    if (t.N >= 16 * workers) share = (share + 15) / 16 * 16;
    std::vector<std::thread> threads;
    try {
        for (int64_t j = share; j < t.N; j += share) {
            const int64_t n = std::min(share, t.N - j);
            threads.emplace_back([&t, j, n, limit] { runChannels(t, j, n, limit); });
        }
    } catch (...) {
        for (std::thread& th : threads) th.join();
        throw;
    }
    runChannels(t, 0, std::min(share, t.N), limit);
    for (std::thread& th : threads) th.join();
}

int64_t workerCount(int64_t workers) {
    if (workers == -1) return std::max(1u, std::thread::hardware_concurrency());
    if (workers < 1) throw py::value_error("workers must be a positive number of threads or -1, got " +
                                           std::to_string(workers));
    return workers;
}

py::tuple filter(py::handle bObj, py::handle aObj, py::handle xObj, py::handle ziObj, int64_t axisArg,
                 int64_t workersArg) {
    // x: single precision as it is; no conversion of the signal.
    py::array x = py::array::ensure(xObj);
    if (!x) throw py::type_error("marrowick:notSingle: x must be a float32 or complex64 array");
    bool xComplex;
    if (x.dtype().equal(py::dtype::of<float>())) {
        xComplex = false;
    } else if (x.dtype().equal(py::dtype::of<std::complex<float>>())) {
        xComplex = true;
    } else {
        throw py::type_error("marrowick:notSingle: x must be float32 or complex64, got " + dtypeText(x) +
                             " (convert it explicitly, e.g. x.astype(numpy.float32))");
    }
    bool bComplex, aComplex, ziComplex = false;
    py::array bArr = numericArray(bObj, "b", bComplex);
    py::array aArr = numericArray(aObj, "a", aComplex);
    const bool haveZi = !ziObj.is_none();
    const py::array ziArr = haveZi ? numericArray(ziObj, "zi", ziComplex) : bArr;
    const int64_t workers = workerCount(workersArg);

    const int ndim = static_cast<int>(x.ndim());
    if (axisArg < -ndim || axisArg >= ndim) {
        const py::object error = py::module_::import("numpy").attr("AxisError")(axisArg, ndim);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
    const int axis = static_cast<int>(axisArg < 0 ? axisArg + ndim : axisArg);

    if (bArr.size() == 0) throw py::value_error("marrowick:emptyCoefficients: b must have at least one element");
    if (aArr.size() == 0) throw py::value_error("marrowick:emptyCoefficients: a must have at least one element");
    if (bArr.size() > kInt32Max || aArr.size() > kInt32Max)
        throw py::value_error("marrowick:tooLarge: b and a may have at most 2^31 - 1 elements");
    const int32_t nb = static_cast<int32_t>(bArr.size()), na = static_cast<int32_t>(aArr.size());
    const int32_t L = std::max(nb, na) - 1;

    const py::ssize_t* shape = x.shape();
    const int64_t M = shape[axis];
    int64_t N = 1;
    for (int k = 0; k < ndim; ++k)
        if (k != axis) N *= shape[k];

    // zi: x's shape with axis replaced by 0 or L.
    int64_t Lz = L;
    Dims stateShape(shape, shape + ndim);
    if (haveZi) {
        const py::ssize_t* zs = ziArr.shape();
        Dims expected(shape, shape + ndim);  // for the messages
        expected[axis] = L;
        if (ziArr.ndim() != ndim)
            throw py::value_error("marrowick:ziSize: zi must have x's shape with axis " + std::to_string(axis) +
                                  " of length " + std::to_string(L) + ", " + shapeText(expected.data(), ndim) +
                                  ", got " + shapeText(zs, ziArr.ndim()));
        if (zs[axis] != 0 && zs[axis] != L)
            throw py::value_error("marrowick:ziLength: zi must have length max(len(b), len(a)) - 1 = " +
                                  std::to_string(L) + " (or 0) along axis " + std::to_string(axis) + ", got " +
                                  std::to_string(zs[axis]));
        for (int k = 0; k < ndim; ++k)
            if (k != axis && zs[k] != shape[k])
                throw py::value_error("marrowick:ziSize: zi must have x's shape with axis " + std::to_string(axis) +
                                      " of length " + std::to_string(L) + ", " + shapeText(expected.data(), ndim) +
                                      ", got " + shapeText(zs, ndim));
        Lz = zs[axis];
    }
    stateShape[axis] = Lz;

    const Kernel kernel = marrowick::chooseKernel(bComplex || aComplex, xComplex, ziComplex);
    const bool outComplex = kernel != Kernel::RR;
    const bool coefComplex = kernel == Kernel::CC || kernel == Kernel::CR;
    const py::ssize_t xItem = x.itemsize();
    const py::ssize_t outItem = outComplex ? 8 : 4;

    // Channels are numbered in C order over the other axes taken from the
    // largest stride of x to the smallest; x goes to the kernels as it is
    // when those axes collapse into one channel stride.
    const py::ssize_t* xs = x.strides();
    Axes others;
    for (int k = 0; k < ndim; ++k)
        if (k != axis) others.push_back(k);
    std::stable_sort(others.begin(), others.end(), [&](int p, int q) { return xs[p] > xs[q]; });
    Axes wide;  // the other axes of more than one element, largest stride first
    for (int k : others)
        if (shape[k] > 1) wide.push_back(k);
    const bool anyOther = !wide.empty();
    bool direct = true;
    for (int m = 0; m < wide.size(); ++m) {
        const py::ssize_t s = xs[wide[m]];
        if (s <= 0 || s % xItem != 0) direct = false;
        if (m + 1 < wide.size() && s != xs[wide[m + 1]] * shape[wide[m + 1]]) direct = false;
    }
    const py::ssize_t timeStride = xs[axis];
    if (M > 1 && (timeStride <= 0 || timeStride % xItem != 0)) direct = false;
    if (!(x.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) direct = false;
    // y keeps x's pattern: the samples of a channel adjacent (time innermost),
    // or the channels side by side at each sample (time outermost).
    const bool timeOuter = anyOther && M > 1 && std::abs(timeStride) > std::abs(xs[wide.back()]);

    Axes memoryOrder;
    if (timeOuter) memoryOrder.push_back(axis);
    for (int k : others) memoryOrder.push_back(k);
    if (!timeOuter) memoryOrder.push_back(axis);
    Axes stateOrder(others);
    stateOrder.push_back(axis);

    const py::dtype outType = outComplex ? py::dtype::of<std::complex<float>>() : py::dtype::of<float>();
    const Dims xShape(shape, shape + ndim);
    py::array y = newArray(outType, xShape, compactStrides(shape, memoryOrder, outItem));
    py::array zf = newArray(outType, stateShape, compactStrides(stateShape.data(), stateOrder, outItem));
    char* state = static_cast<char*>(zf.mutable_data());

    // The initial state, rounded to single precision (and widened to complex
    // where the kernel's state is complex), channel j's Lz values at j * Lz.
    if (!haveZi) {
        if (zf.nbytes() > 0) std::memset(state, 0, static_cast<std::size_t>(zf.nbytes()));
    } else if (ziComplex) {
        auto z = py::array_t<std::complex<float>, py::array::forcecast>::ensure(ziArr);
        if (!z) throw py::error_already_set();
        stridedCopy<ComplexSingle, ComplexSingle>(reinterpret_cast<const char*>(z.data()),
                                                  Dims(z.strides(), z.strides() + ndim), state,
                                                  Dims(zf.strides(), zf.strides() + ndim), stateShape, Same{});
    } else {
        auto z = py::array_t<float, py::array::forcecast>::ensure(ziArr);
        if (!z) throw py::error_already_set();
        const Dims zs(z.strides(), z.strides() + ndim), ds(zf.strides(), zf.strides() + ndim);
        if (outComplex)
            stridedCopy<float, ComplexSingle>(reinterpret_cast<const char*>(z.data()), zs, state, ds, stateShape, Widen{});
        else
            stridedCopy<float, float>(reinterpret_cast<const char*>(z.data()), zs, state, ds, stateShape, Same{});
    }

    py::object bKeep, aKeep;
    std::vector<ComplexSingle> bWide, aWide;
    const void* bData = coefficients(bArr, bComplex, coefComplex, bKeep, bWide);
    const void* aData = coefficients(aArr, aComplex, coefComplex, aKeep, aWide);

    // Element layouts; a dimension of one element takes unit stride, so the
    // lane paths see their pattern.
    const py::ssize_t* ys = y.strides();
    const Layout outLayout{M > 1 ? ys[axis] / outItem : 1, anyOther ? ys[wide.back()] / outItem : 1};
    // x itself, or a copy laid out as y.
    const py::array xCopy =
        direct ? x : newArray(x.dtype(), xShape, compactStrides(shape, memoryOrder, xItem));
    const Layout inLayout =
        direct ? Layout{M > 1 ? timeStride / xItem : 1, anyOther ? xs[wide.back()] / xItem : 1} : outLayout;

    Task t{kernel,
           nb,
           na,
           static_cast<int32_t>(Lz),
           M,
           N,
           bData,
           aData,
           static_cast<const char*>(xCopy.data()),
           inLayout,
           static_cast<std::size_t>(xItem),
           static_cast<char*>(y.mutable_data()),
           outLayout,
           static_cast<std::size_t>(outItem),
           state,
           static_cast<std::size_t>(outItem)};
    {
        py::gil_scoped_release release;
        if (!direct) {
            const Dims from(xs, xs + ndim), to(xCopy.strides(), xCopy.strides() + ndim);
            char* dst = static_cast<char*>(const_cast<void*>(xCopy.data()));
            if (xComplex)
                stridedCopy<ComplexSingle, ComplexSingle>(static_cast<const char*>(x.data()), from, dst, to, xShape, Same{});
            else
                stridedCopy<float, float>(static_cast<const char*>(x.data()), from, dst, to, xShape, Same{});
        }
        runTask(t, workers);
    }
    return py::make_tuple(std::move(y), std::move(zf));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "marrowick's filter call on NumPy arrays (see the marrowick package)";
    m.def("filter", &filter, py::arg("b"), py::arg("a"), py::arg("x"), py::arg("zi") = py::none(), py::kw_only(),
          py::arg("axis") = 0, py::arg("workers") = 1,
          R"doc(filter(b, a, x, zi=None, *, axis=0, workers=1) -> (y, zf)

Filters x along `axis` with b/a (direct-form II transposed), every other
index of x one channel, starting from the states zi; returns the output y
and the final states zf, bit for bit what the module's call gives.

x must be float32 or complex64 (TypeError otherwise: the signal is never
converted). b, a and zi may be any real or complex numbers and are rounded
to single precision. zi has x's shape with `axis` replaced by
L = max(len(b), len(a)) - 1; None is the zero state (a filter from rest);
a zi of length 0 along `axis` takes the zero-state path y = b[0]*x/a[0].
y has x's shape and zf zi's; both are float32, or complex64 when b, a, x or
zi is complex. The output scale is 1/a[0]; the states are a[0] times those
of the normalised filter.

Time-contiguous and channel-interleaved x is read in place, other views are
copied once. The GIL is released while filtering; workers=n filters groups
of channels on n threads (-1: one per core) with the same bits.)doc");
    m.def(
        "_set_piece_limit",
        [](int64_t limit) {
            if (limit < 1 || limit > kInt32Max) throw py::value_error("piece limit out of range");
            return gPieceLimit.exchange(limit);
        },
        py::arg("limit"), "Sets the largest count of one kernel call (tests only); returns the previous one.");
}
