// The memory side of a call: small per-axis lists, new arrays of a chosen
// layout, the strided copy, the layout plan that decides whether x goes to
// the kernels as it is and how y and zf are laid out, and the copies of x
// and zi into the arrays the plan lays out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kernels/record.h"
#include "marrowick/complex_ops.h"

namespace marrowick::python {

namespace py = pybind11;

// A list of at most one entry per axis, kept on the stack: a one-sample call
// costs little more than its allocations of y and zf.
template <class T>
class AxisList {
public:
    static constexpr int kMax = 32;  // NumPy's limit on the number of dimensions
    AxisList() = default;
    // Copies only the entries in use: the rest are never read.
    AxisList(const AxisList& other) : n_(other.n_) { std::copy(other.v_, other.v_ + other.n_, v_); }
    AxisList& operator=(const AxisList& other) {
        n_ = other.n_;
        std::copy(other.v_, other.v_ + other.n_, v_);
        return *this;
    }
    AxisList(const T* first, const T* last) {
        for (; first != last; ++first) push_back(*first);
    }
    AxisList(int n, T value) {
        for (int k = 0; k < n; ++k) push_back(value);
    }
    void push_back(T v) {
        if (n_ == kMax) throw py::value_error("marrowick:tooManyDimensions: at most 32 dimensions");
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
    T v_[kMax];  // the first n_ in use, the rest left unset (a call makes a dozen of these)
    int n_ = 0;
};
using Dims = AxisList<py::ssize_t>;
using Axes = AxisList<int>;

// A new uninitialised array of the given shape and byte strides.
py::array newArray(const py::dtype& type, const Dims& shape, const Dims& strides);

// Compact byte strides for `shape` whose memory order (outermost first) is
// `memoryOrder`, given back in the axes' own order.
Dims compactStrides(const py::ssize_t* shape, const Axes& memoryOrder, py::ssize_t itemsize);

// How a call's arrays are laid out. Channels are numbered in C order over the
// axes other than time, taken from the largest stride of x to the smallest.
struct LayoutPlan {
    bool direct;       // x goes to the kernels as it is (else a copy laid out as y)
    int channelAxis;   // the other axis of more than one element with the smallest stride, or -1
    Axes memoryOrder;  // y's axes, outermost first: x's pattern, time innermost or outermost
    Axes stateOrder;   // zf's axes, outermost first: time (the states) innermost
    Layout inLayout;   // x's element layout when direct
};

// A pure function of x's shape, byte strides, item size and alignment and
// the time axis.
LayoutPlan planLayout(int ndim, const py::ssize_t* shape, const py::ssize_t* strides, py::ssize_t itemsize,
                      bool aligned, int axis);

// The element layout of an array with these byte strides under the plan; a
// dimension of one element takes unit stride, so the lane paths see their
// pattern.
inline Layout elementLayout(const LayoutPlan& plan, const py::ssize_t* strides, py::ssize_t itemsize, int axis,
                            int64_t M) {
    return Layout{M > 1 ? strides[axis] / itemsize : 1,
                  plan.channelAxis >= 0 ? strides[plan.channelAxis] / itemsize : 1};
}

struct Same {
    template <class T>
    T operator()(T v) const {
        return v;
    }
};
struct Widen {
    ComplexSingle operator()(float v) const { return ComplexSingle{v, 0.0f}; }
};

// Copies src into dst, two arrays of one shape with their own byte strides
// (a stride of 0 repeats a value), converting each element. The loops run in
// dst's memory order.
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
    py::ssize_t sh[Dims::kMax] = {}, ss[Dims::kMax] = {}, ds[Dims::kMax] = {};  // in dst's memory order
    for (int m = 0; m < nd; ++m) {
        sh[m] = shape[order[m]];
        ss[m] = srcStrides[order[m]];
        ds[m] = dstStrides[order[m]];
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

// Copies zi (any real or complex numbers, complex when `ziComplex`), rounded
// to single precision (widened to complex where the kernel's state is
// complex), into zf of `shape`, which the kernels then update in place.
void copyState(const py::object& zi, bool ziComplex, bool stateComplex, py::array& zf, const Dims& shape);

// Copies x into `input`, a new array of x's shape laid out as y (the GIL
// may be released).
void copyInput(const py::array& x, const py::array& input, bool complex);

}  // namespace marrowick::python
