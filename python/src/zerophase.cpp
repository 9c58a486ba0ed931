// The steady states and the zero-phase filters for NumPy arrays: the
// package's checked arguments handed to the filters' one definition
// (filters/filters.h), y laid out as the filter call lays it out.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <cstring>
#include <stdexcept>
#include <string>

#include "arrays.h"
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

// b/a or sections as the kernel of the zero-phase filters of a signal of
// type x takes them, with the arrays kept alive.
struct Held {
    py::object b, a, sos;
    filters::Coefficients c;
    bool complex;
    Kernel kernel;
};
Held hold(const py::object& coefficients, const SignalType& x) {
    Held h{};
    const bool tuple = py::isinstance<py::tuple>(coefficients);
    const py::array b = py::array::ensure(tuple ? py::object(py::tuple(coefficients)[0]) : coefficients);
    const py::array a = tuple ? py::array::ensure(py::tuple(coefficients)[1]) : b;
    if (!b || !a) throw py::error_already_set();
    h.complex = isComplex(b) || isComplex(a);
    h.kernel = marrowick::chooseKernel(x.doublePrecision, h.complex, x.complex, h.complex);
    if (tuple) {
        const void* bData = kernelCoefficients(b, h.complex, h.kernel, h.b);
        const void* aData = kernelCoefficients(a, h.complex, h.kernel, h.a);
        h.c = filters::Coefficients{
            false, bData, static_cast<int32_t>(b.size()), aData, static_cast<int32_t>(a.size()), nullptr, 0};
    } else {
        h.c = filters::Coefficients{true,
                                    nullptr,
                                    0,
                                    nullptr,
                                    0,
                                    kernelCoefficients(b, h.complex, h.kernel, h.sos),
                                    static_cast<int32_t>(b.shape(0))};
    }
    h.c.doublePrecision = x.doublePrecision;
    h.c.widened = marrowick::kernelFacts(h.kernel).coefComplex && !h.complex;
    return h;
}

py::array steadyStates(const py::object& coefficients, bool doublePrecision) {
    const Held h = hold(coefficients, SignalType{false, doublePrecision, false});
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
// padding (checked against x) at both ends; y laid out as the filter call
// lays it out.
py::array zeroPhase(const py::object& coefficients, const py::array& x, int axis, const py::object& padtype,
                    int64_t edge, int64_t workers) {
    const SignalType xType = checkSignalType(x.dtype());
    const Held h = hold(coefficients, xType);
    const Dims shape(x.shape(), x.shape() + x.ndim());
    SignalArrays s = prepareSignal(x, shape, axis, h.kernel);
    int64_t N = 1;
    for (int k = 0; k < shape.size(); ++k)
        if (k != axis) N *= shape[k];
    const filters::ZeroPhase call{h.kernel,           h.c,         shape[axis],        N,   s.input.data(), s.inLayout,
                                  s.y.mutable_data(), s.outLayout, padTypeOf(padtype), edge};
    filters::Result r{};
    runReleased(x, xType.complex, s, [&] { r = filters::runZeroPhase(call, workers); });
    if (r.status == filters::Status::PadLength)
        throw py::value_error(refusalMessage(
            r.status, "x has " + std::to_string(shape[axis]) + " samples along axis, padlen " + std::to_string(edge)));
    if (r.status != filters::Status::Ok) refuseSteady(r, h.c.sections);
    return s.y;
}

// The two ends of the zero-phase recipe for a front that runs the passes
// over x's blocks itself (the Dask front), for one group of channels. x's
// precision and complexity come from `dtype`; samples have time along
// their last axis; states come and go as the group holds them: shaped
// (..., L), or (n_sections, ..., 2) for sections.
class Ends {
public:
    Ends(const py::object& coefficients, const py::dtype& dtype, const py::object& padtype, int64_t edge)
        : type_(checkSignalType(dtype)),
          held_(hold(coefficients, type_)),
          facts_(marrowick::kernelFacts(held_.kernel)),
          plan_(held_.kernel, held_.c, padTypeOf(padtype), edge) {
        if (plan_.status().status != filters::Status::Ok) refuseSteady(plan_.status(), held_.c.sections);
    }

    // The states the forward pass over x starts from, from x's first
    // edge + 1 samples.
    py::array start(const py::array& first) {
        const py::array v = samples(first, facts_.inComplex);
        filters::ZeroPhaseGroup group(plan_, channels(v));
        const Layout layout = layoutOf(v);
        group.padFront(v.data(), layout);
        group.begin(v.data(), layout);
        return statesOf(group, v);
    }

    // The states the backward pass over x starts from: with padding, from
    // x's last edge + 1 samples and the forward pass's states after x;
    // without, from the forward output's last samples.
    py::array turn(const py::array& last, const py::object& forwardStates) {
        const bool padded = plan_.edge() > 0;
        const py::array v = samples(last, padded ? facts_.inComplex : facts_.outComplex);
        filters::ZeroPhaseGroup group(plan_, channels(v));
        const Layout layout = layoutOf(v);
        const int64_t m = v.shape(v.ndim() - 1);
        const std::size_t item = padded ? facts_.inItem : facts_.outItem;
        const char* end = static_cast<const char*>(v.data()) + (m - 1 - plan_.edge()) * static_cast<int64_t>(item);
        if (padded) {
            group.padBack(end, layout);
            const py::array states = ofPrecision(forwardStates, facts_.outComplex, type_.doublePrecision);
            if (states.size() != channels(v) * filters::stateLength(held_.c))
                throw py::value_error("marrowick:ziSize: the forward states do not fit x's channels");
            group.resume(states.data());
        }
        group.turn(end + plan_.edge() * static_cast<int64_t>(item), layout);
        return statesOf(group, v);
    }

private:
    py::array samples(const py::array& v, bool complex) const {
        const py::array out = ofPrecision(v, complex, type_.doublePrecision);
        if (out.ndim() == 0 || out.shape(out.ndim() - 1) <= plan_.edge())
            throw py::value_error(refusalMessage(filters::Status::PadLength, "too few samples at x's end"));
        return out;
    }
    static int64_t channels(const py::array& v) {
        int64_t N = 1;
        for (py::ssize_t k = 0; k + 1 < v.ndim(); ++k) N *= v.shape(k);
        return N;
    }
    static Layout layoutOf(const py::array& v) { return Layout{1, v.shape(v.ndim() - 1)}; }
    py::array statesOf(const filters::ZeroPhaseGroup& group, const py::array& v) const {
        Dims shape;
        if (held_.c.sections) shape.push_back(held_.c.nSections);
        for (py::ssize_t k = 0; k + 1 < v.ndim(); ++k) shape.push_back(v.shape(k));
        shape.push_back(held_.c.sections ? 2 : filters::stateLength(held_.c));
        py::array states(computeType(facts_.outComplex, type_.doublePrecision),
                         std::vector<py::ssize_t>(shape.begin(), shape.end()));
        if (states.nbytes() > 0)
            std::memcpy(states.mutable_data(), group.states(), static_cast<std::size_t>(states.nbytes()));
        return states;
    }

    SignalType type_;
    Held held_;
    marrowick::KernelFacts facts_;
    filters::ZeroPhasePlan plan_;
};

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
    m.def(
        "_zero_phase_start",
        [](const py::object& coefficients, const py::dtype& dtype, const py::object& padtype, int64_t edge,
           const py::array& first) { return Ends(coefficients, dtype, padtype, edge).start(first); },
        py::arg("coefficients"), py::arg("dtype"), py::arg("padtype"), py::arg("edge"), py::arg("first"),
        "_zero_phase_start(coefficients, dtype, padtype, edge, first)\n--\n\nThe states the forward pass of "
        "filtfilt or sosfiltfilt (x of dtype, a computing dtype) starts from, from x's first edge + 1 samples "
        "(time last): (..., L), or (n_sections, ..., 2).");
    m.def(
        "_zero_phase_turn",
        [](const py::object& coefficients, const py::dtype& dtype, const py::object& padtype, int64_t edge,
           const py::array& last,
           const py::object& states) { return Ends(coefficients, dtype, padtype, edge).turn(last, states); },
        py::arg("coefficients"), py::arg("dtype"), py::arg("padtype"), py::arg("edge"), py::arg("last"),
        py::arg("states"),
        "_zero_phase_turn(coefficients, dtype, padtype, edge, last, states)\n--\n\nThe states the backward "
        "pass starts from: with padding, from x's last edge + 1 samples (time last) and the forward pass's "
        "states after x (as _zero_phase_start gives them); without (edge 0), from the forward output's last "
        "samples (states unused).");
}

}  // namespace marrowick::python
