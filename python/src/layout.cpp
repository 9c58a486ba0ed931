#include "layout.h"

#include <complex>

namespace marrowick::python {

py::array newArray(const py::dtype& type, const Dims& shape, const Dims& strides) {
    auto& api = py::detail::npy_api::get();
    PyObject* arr = api.PyArray_NewFromDescr_(api.PyArray_Type_, py::dtype(type).release().ptr(), shape.size(),
                                              shape.data(), strides.data(), nullptr, 0, nullptr);
    if (arr == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array>(arr);
}

Dims compactStrides(const py::ssize_t* shape, const Axes& memoryOrder, py::ssize_t itemsize) {
    Dims strides(memoryOrder.size(), 0);
    py::ssize_t step = itemsize;
    for (int k = memoryOrder.size() - 1; k >= 0; --k) {
        strides[memoryOrder[k]] = step;
        step *= std::max<py::ssize_t>(shape[memoryOrder[k]], 1);
    }
    return strides;
}

LayoutPlan planLayout(int ndim, const py::ssize_t* shape, const py::ssize_t* strides, py::ssize_t itemsize,
                      bool aligned, int axis) {
    const py::ssize_t M = shape[axis];
    Axes others;
    for (int k = 0; k < ndim; ++k)
        if (k != axis) others.push_back(k);
    std::stable_sort(others.begin(), others.end(), [&](int p, int q) { return strides[p] > strides[q]; });
    Axes wide;  // the other axes of more than one element, largest stride first
    for (int k : others)
        if (shape[k] > 1) wide.push_back(k);

    // x goes as it is when its other axes collapse into one channel stride.
    bool direct = aligned;
    for (int m = 0; m < wide.size(); ++m) {
        const py::ssize_t s = strides[wide[m]];
        if (s <= 0 || s % itemsize != 0) direct = false;
        if (m + 1 < wide.size() && s != strides[wide[m + 1]] * shape[wide[m + 1]]) direct = false;
    }
    const py::ssize_t timeStride = strides[axis];
    if (M > 1 && (timeStride == 0 || timeStride % itemsize != 0)) direct = false;

    LayoutPlan plan;
    plan.channelAxis = wide.empty() ? -1 : wide.back();
    // A reversed view along time (the backward pass of the zero-phase
    // filters) is read in place where the kernels' lane paths take it as it
    // is: one channel, or the channels side by side.
    if (M > 1 && timeStride < 0 && plan.channelAxis >= 0 && strides[plan.channelAxis] != itemsize) direct = false;
    plan.direct = direct;
    // y keeps x's pattern: the samples of a channel adjacent (time innermost),
    // or the channels side by side at each sample (time outermost).
    const bool timeOuter = plan.channelAxis >= 0 && M > 1 && std::abs(timeStride) > std::abs(strides[plan.channelAxis]);
    if (timeOuter) plan.memoryOrder.push_back(axis);
    for (int k : others) plan.memoryOrder.push_back(k);
    if (!timeOuter) plan.memoryOrder.push_back(axis);
    plan.stateOrder = others;
    plan.stateOrder.push_back(axis);
    plan.inLayout = direct ? elementLayout(plan, strides, itemsize, axis, M) : Layout{1, 1};
    return plan;
}

void copyState(const py::object& zi, bool ziComplex, bool stateComplex, py::array& zf, const Dims& shape) {
    const int ndim = shape.size();
    char* state = static_cast<char*>(zf.mutable_data());
    const Dims to(zf.strides(), zf.strides() + ndim);
    if (ziComplex) {
        auto z = py::array_t<std::complex<float>, py::array::forcecast>::ensure(zi);
        if (!z) throw py::error_already_set();
        stridedCopy<ComplexSingle, ComplexSingle>(reinterpret_cast<const char*>(z.data()),
                                                  Dims(z.strides(), z.strides() + ndim), state, to, shape, Same{});
        return;
    }
    auto z = py::array_t<float, py::array::forcecast>::ensure(zi);
    if (!z) throw py::error_already_set();
    const Dims from(z.strides(), z.strides() + ndim);
    const char* src = reinterpret_cast<const char*>(z.data());
    if (stateComplex) stridedCopy<float, ComplexSingle>(src, from, state, to, shape, Widen{});
    else stridedCopy<float, float>(src, from, state, to, shape, Same{});
}

void copyInput(const py::array& x, const py::array& input, bool complex) {
    const int ndim = static_cast<int>(x.ndim());
    const Dims shape(x.shape(), x.shape() + ndim);
    const Dims from(x.strides(), x.strides() + ndim), to(input.strides(), input.strides() + ndim);
    const char* src = static_cast<const char*>(x.data());
    char* dst = static_cast<char*>(const_cast<void*>(input.data()));
    if (complex) stridedCopy<ComplexSingle, ComplexSingle>(src, from, dst, to, shape, Same{});
    else stridedCopy<float, float>(src, from, dst, to, shape, Same{});
}

}  // namespace marrowick::python
