// The steady states and the zero-phase filters for NumPy arrays: the
// package's checked arguments handed to the filters' one definition
// (filters/filters.h), y laid out as the filter call lays it out.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <stdexcept>
#include <string>

#include "checks.h"
#include "filters/filters.h"
#include "layout.h"

namespace py = pybind11;
using marrowick::ComplexSingle;
using marrowick::Kernel;
using marrowick::Layout;
namespace filters = marrowick::filters;

namespace marrowick::python {
namespace {

template <class T>
using Dense = py::array_t<T, py::array::c_style | py::array::forcecast>;

// Numbers as a C-ordered array of the precision's real or complex type.
py::array ofPrecision(const py::array& v, bool complex, bool doublePrecision) {
    py::array out =
        doublePrecision
            ? (complex ? py::array(Dense<std::complex<double>>::ensure(v)) : py::array(Dense<double>::ensure(v)))
            : (complex ? py::array(Dense<std::complex<float>>::ensure(v)) : py::array(Dense<float>::ensure(v)));
    if (!out) throw py::error_already_set();
    return out;
}

bool isComplex(const py::array& v) { return v.dtype().kind() == 'c'; }

// One of the filters' refusals as the package words every refusal: its
// identifier, the context, the one core text.
std::string refusalMessage(filters::Status status, const std::string& context) {
    const filters::Refusal& r = filters::refusalOf(status);
    return std::string(r.identifier) + ": " + context + ": " + r.text;
}

std::string refusalNamed(const std::string& name, const std::string& context) {
    for (int k = 1; k < static_cast<int>(sizeof filters::kRefusals / sizeof filters::kRefusals[0]); ++k) {
        if (filters::kRefusals[k].identifier == "marrowick:" + name)
            return refusalMessage(static_cast<filters::Status>(k), context);
    }
    throw std::logic_error("no refusal " + name);
}

[[noreturn]] void refuseSteady(filters::Result r, bool sections) {
    const std::string s = std::to_string(r.section);
    if (r.status == filters::Status::ZeroLeadingCoefficient)
        throw py::value_error(refusalMessage(r.status, sections ? "sos[" + s + ", 3]" : "a[0]"));
    const py::object error = py::module_::import("numpy.linalg").attr("LinAlgError");
    PyErr_SetString(error.ptr(), refusalMessage(r.status, sections ? "sos[" + s + ", 3:]" : "a").c_str());
    throw py::error_already_set();
}

// b/a or sections as the filters take them, with the arrays kept alive;
// real ones widened to complex when `asComplex` (the double-precision
// kernels over complex data take complex coefficients).
struct Held {
    py::array b, a, sos;
    filters::Coefficients c;
    bool complex;
};
Held hold(const py::object& coefficients, bool doublePrecision, bool asComplex = false) {
    Held h{};
    if (py::isinstance<py::tuple>(coefficients)) {
        const py::tuple ba = coefficients;
        const py::array b = py::array::ensure(ba[0]), a = py::array::ensure(ba[1]);
        if (!b || !a) throw py::error_already_set();
        h.complex = asComplex || isComplex(b) || isComplex(a);
        h.b = ofPrecision(b, h.complex, doublePrecision);
        h.a = ofPrecision(a, h.complex, doublePrecision);
        h.c = filters::Coefficients{
            false,   h.b.data(), static_cast<int32_t>(h.b.size()), h.a.data(), static_cast<int32_t>(h.a.size()),
            nullptr, 0};
    } else {
        const py::array sos = py::array::ensure(coefficients);
        if (!sos) throw py::error_already_set();
        h.complex = asComplex || isComplex(sos);
        h.sos = ofPrecision(sos, h.complex, doublePrecision);
        h.c = filters::Coefficients{true, nullptr, 0, nullptr, 0, h.sos.data(), static_cast<int32_t>(h.sos.shape(0))};
    }
    h.c.doublePrecision = doublePrecision;
    return h;
}

py::array steadyStates(const py::object& coefficients, bool doublePrecision) {
    const Held h = hold(coefficients, doublePrecision);
    const int64_t L = filters::stateLength(h.c);
    const py::dtype type = h.complex ? py::dtype::of<std::complex<double>>() : py::dtype::of<double>();
    Dims shape;
    if (h.c.sections) {
        shape.push_back(h.c.nSections);
        shape.push_back(2);
    } else {
        shape.push_back(L);
    }
    py::array zi(type, std::vector<py::ssize_t>(shape.begin(), shape.end()));
    const filters::Result r = h.c.sections ? filters::sectionsSteadyState(h.complex, h.c.sos, h.c.nSections,
                                                                          zi.mutable_data(), doublePrecision)
                                           : filters::steadyState(h.complex, h.c.b, h.c.nb, h.c.a, h.c.na,
                                                                  zi.mutable_data(), nullptr, doublePrecision);
    if (r.status != filters::Status::Ok) refuseSteady(r, h.c.sections);
    return zi;
}

filters::PadType padTypeOf(const py::object& padtype) {
    if (padtype.is_none()) return filters::PadType::None;
    const std::string s = py::str(padtype);
    if (s == "odd") return filters::PadType::Odd;
    if (s == "even") return filters::PadType::Even;
    if (s == "constant") return filters::PadType::Constant;
    throw py::value_error(refusalMessage(filters::Status::PadType, "padtype is '" + s + "'"));
}

// x filtered forward and backward along `axis` (checked), `edge` samples of
// padding (checked against x) at both ends.
py::array zeroPhase(const py::object& coefficients, const py::array& x, int axis, const py::object& padtype,
                    int64_t edge, int64_t workers) {
    const SignalType xType = checkSignalType(x.dtype());
    Held h = hold(coefficients, xType.doublePrecision);
    const Kernel kernel = marrowick::chooseKernel(xType.doublePrecision, h.complex, xType.complex, h.complex);
    const marrowick::KernelFacts f = marrowick::kernelFacts(kernel);
    if (f.coefComplex && !h.complex) h = hold(coefficients, xType.doublePrecision, true);
    const int ndim = static_cast<int>(x.ndim());
    const Dims shape(x.shape(), x.shape() + ndim);
    const py::ssize_t xItem = x.itemsize(), outItem = f.outItem;
    const py::dtype inType = computeType(f.inComplex, f.doublePrecision);
    const LayoutPlan plan =
        planLayout(ndim, shape.data(), x.strides(), xItem,
                   !xType.converted && (x.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0, axis);
    const py::dtype outType = computeType(f.outComplex, f.doublePrecision);
    py::array y = newArray(outType, shape, compactStrides(shape.data(), plan.memoryOrder, outItem));
    const Layout outLayout = elementLayout(plan, y.strides(), outItem, axis, shape[axis]);
    // x itself, or a copy converted to the kernel's input type laid out as
    // y: y itself when the types agree (the filter runs in place on it).
    const bool direct = plan.direct && !xType.converted;
    py::array input = direct ? x
                      : outType.equal(inType)
                          ? y
                          : newArray(inType, shape, compactStrides(shape.data(), plan.memoryOrder, f.inItem));
    if (!direct) py::module_::import("numpy").attr("copyto")(input, x, py::arg("casting") = "unsafe");
    int64_t N = 1;
    for (int k = 0; k < ndim; ++k)
        if (k != axis) N *= shape[k];
    const filters::ZeroPhase call{
        kernel,           h.c,       shape[axis],        N,   input.data(), direct ? plan.inLayout : outLayout,
        y.mutable_data(), outLayout, padTypeOf(padtype), edge};
    filters::Result r{};
    {
        py::gil_scoped_release release;
        r = filters::runZeroPhase(call, workers);
    }
    if (r.status == filters::Status::PadLength)
        throw py::value_error(refusalMessage(
            r.status, "x has " + std::to_string(shape[axis]) + " samples along axis, padlen " + std::to_string(edge)));
    if (r.status != filters::Status::Ok) refuseSteady(r, h.c.sections);
    return y;
}

}  // namespace

void defineZeroPhase(py::module_& m) {
    m.def("_refusal", &refusalNamed, py::arg("name"), py::arg("context"),
          "_refusal(name, context)\n--\n\nThe message of the filters' refusal marrowick:name after its context.");
    m.def("_steady_states", &steadyStates, py::arg("coefficients"), py::arg("double") = false,
          "_steady_states(coefficients, double=False)\n--\n\nThe steady states of (b, a) (1-D arrays) or of "
          "sections (n_sections, 6) rounded to single precision, or as double-precision numbers (divided by a[0]) "
          "when double: lfilter_zi and sosfilt_zi.");
    m.def(
        "_zero_phase",
        [](const py::object& coefficients, const py::array& x, int axis, const py::object& padtype, int64_t edge,
           py::handle workers) { return zeroPhase(coefficients, x, axis, padtype, edge, checkWorkers(workers)); },
        py::arg("coefficients"), py::arg("x"), py::arg("axis"), py::arg("padtype"), py::arg("edge"), py::arg("workers"),
        "_zero_phase(coefficients, x, axis, padtype, edge, workers)\n--\n\nfiltfilt or sosfiltfilt of x (of a "
        "checked dtype, which decides the precision) along axis (counted from 0) with edge samples of padtype's "
        "padding (checked).");
}

}  // namespace marrowick::python
