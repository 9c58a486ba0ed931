// The arrays a call hands the filters: the coefficients converted to the
// kernel's type, and y and the kernels' input laid out by the plan.
#include "arrays.h"

#include <complex>

#include "checks.h"

namespace marrowick::python {
namespace {

template <class Real>
const void* coefficientsOf(const py::array& values, bool complex, bool wantComplex, py::object& keep) {
    using Complex = std::complex<Real>;
    if (wantComplex && complex) {
        auto v = py::array_t<Complex, py::array::c_style | py::array::forcecast>::ensure(values);
        if (!v) throw py::error_already_set();
        keep = v;
        return v.data();
    }
    auto v = py::array_t<Real, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!v) throw py::error_already_set();
    if (!wantComplex) {
        keep = v;
        return v.data();
    }
    py::array_t<Complex> widened(v.size());
    for (py::ssize_t k = 0; k < v.size(); ++k) widened.mutable_data()[k] = Complex(v.data()[k], Real(0));
    keep = widened;
    return widened.data();
}

}  // namespace

const void* kernelCoefficients(const py::array& values, bool complex, Kernel kernel, py::object& keep) {
    const KernelFacts f = kernelFacts(kernel);
    return f.doublePrecision ? coefficientsOf<double>(values, complex, f.coefComplex, keep)
                             : coefficientsOf<float>(values, complex, f.coefComplex, keep);
}

SignalArrays prepareSignal(const py::array& x, const Dims& xShape, int axis, Kernel kernel) {
    const KernelFacts f = kernelFacts(kernel);
    const py::ssize_t outItem = f.outItem;
    const py::dtype inType = computeType(f.inComplex, f.doublePrecision);
    const bool xReadable = x.dtype().equal(inType);
    const LayoutPlan plan = planLayout(xShape.size(), xShape.data(), x.strides(), x.itemsize(),
                                       xReadable && (x.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0, axis);
    const py::dtype outType = computeType(f.outComplex, f.doublePrecision);
    py::array y = newArray(outType, xShape, compactStrides(xShape.data(), plan.memoryOrder, outItem));
    const Layout outLayout = elementLayout(plan, y.strides(), outItem, axis, xShape[axis]);
    const bool direct = plan.direct && xReadable;
    py::array input = direct ? x
                      : outType.equal(inType)
                          ? y
                          : newArray(inType, xShape, compactStrides(xShape.data(), plan.memoryOrder, f.inItem));
    const Layout inLayout = direct ? plan.inLayout : outLayout;
    const bool copyLater = !direct && xReadable && !f.doublePrecision;
    if (!direct && !copyLater) py::module_::import("numpy").attr("copyto")(input, x, py::arg("casting") = "unsafe");
    LayoutPlan done = plan;
    done.direct = !copyLater;
    return SignalArrays{done, std::move(y), std::move(input), inLayout, outLayout};
}

}  // namespace marrowick::python
