// The arrays a call hands the filters, prepared once for every call of the
// package (filter, lfilter, sosfilt and the zero-phase filters):
// coefficients of the kernel's type, and x, y and the input the kernels
// read, laid out by the layout plan (layout.h).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "kernels/record.h"
#include "layout.h"

namespace marrowick::python {

// Coefficients as the kernel takes them: rounded to single precision, or as
// double-precision numbers, real ones widened with +0 imaginary parts where
// the kernel wants complex ones. The array's own memory when it holds them
// so already (kept alive by `keep`), else a converted copy.
const void* kernelCoefficients(const py::array& values, bool complex, Kernel kernel, py::object& keep);

// y (of the kernel's output type, laid out by the plan) and the input the
// kernels read: x itself when its dtype and layout allow, else a copy of x
// converted to the kernel's input type laid out as y: y itself when the
// types agree (the call then runs in place), a new array otherwise. A
// single-precision x read as it is is copied by runReleased, without the
// GIL (plan.direct false); any other copy (a conversion: NumPy's cast,
// exact for every type taken converted) is made here.
struct SignalArrays {
    LayoutPlan plan;
    py::array y, input;
    Layout inLayout, outLayout;
};
SignalArrays prepareSignal(const py::array& x, const Dims& xShape, int axis, Kernel kernel);

// With the GIL released: copies x into the input when it is not x itself
// (nor copied already), then runs the call.
template <class Run>
void runReleased(const py::array& x, bool xComplex, const SignalArrays& s, const Run& run) {
    py::gil_scoped_release release;
    if (!s.plan.direct) copyInput(x, s.input, xComplex);
    run();
}

}  // namespace marrowick::python
