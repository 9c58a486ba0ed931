// marrowick._core: the filter call for NumPy arrays. The call checks its
// arguments (checks.h), plans the layout of y and zf so the kernels write
// into them directly (layout.h), and runs the whole-array pass of the
// filters (filters/filters.h) with the GIL released. The checks are also
// exported, for the package's other fronts.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "arrays.h"
#include "checks.h"
#include "filters/filters.h"
#include "kernels/record.h"
#include "layout.h"
#include "marrowick/complex_ops.h"

namespace py = pybind11;

namespace marrowick::python {
void defineZeroPhase(py::module_& m);  // zerophase.cpp
}

using marrowick::ComplexSingle;
using marrowick::Kernel;
using marrowick::Layout;
namespace filters = marrowick::filters;
using namespace marrowick::python;

namespace {

// The largest count of one kernel call; only the tests lower it.
std::atomic<int64_t> gPieceLimit{filters::kCallLimit};

// The channel count of an array of this shape with time along `axis`.
int64_t channelCount(const Dims& shape, int axis) {
    int64_t N = 1;
    for (int k = 0; k < shape.size(); ++k)
        if (k != axis) N *= shape[k];
    return N;
}

// The arrays of a call: the signal's (arrays.h), and zf (the zero state,
// or zi copied in), its first `lead` axes (the sections) outermost, then
// the plan's order.
struct CallArrays : SignalArrays {
    py::array zf;

    // The pass of this call's arrays over M samples of N channels.
    filters::Pass pass(Kernel kernel, const filters::Coefficients& c, int64_t M, int64_t N) {
        filters::Pass p{kernel, c, M, N, input.data(), inLayout, y.mutable_data(), outLayout, zf.mutable_data()};
        p.limit = gPieceLimit.load();
        return p;
    }
};

CallArrays prepareArrays(const py::array& x, const Dims& xShape, int axis, const State& zi, bool haveZi, Kernel kernel,
                         const Dims& stateShape, int lead) {
    const marrowick::KernelFacts f = marrowick::kernelFacts(kernel);
    CallArrays c{prepareSignal(x, xShape, axis, kernel), py::array()};
    Axes zfOrder;
    for (int k = 0; k < lead; ++k) zfOrder.push_back(k);
    for (int k : c.plan.stateOrder) zfOrder.push_back(k + lead);
    c.zf = newArray(computeType(f.outComplex, f.doublePrecision), stateShape,
                    compactStrides(stateShape.data(), zfOrder, f.outItem));
    if (!haveZi) {
        if (c.zf.nbytes() > 0) std::memset(c.zf.mutable_data(), 0, static_cast<std::size_t>(c.zf.nbytes()));
    } else if (f.doublePrecision) {
        py::module_::import("numpy").attr("copyto")(c.zf, zi.values, py::arg("casting") = "unsafe");
    } else {
        copyState(zi.values, zi.complex, f.outComplex, c.zf, stateShape);
    }
    return c;
}

py::tuple filterWith(Convention convention, py::handle bObj, py::handle aObj, py::handle xObj, py::handle ziObj,
                     py::handle axisArg, py::handle workersArg) {
    SignalType xType;
    const py::array x = checkSignal(xObj, xType);
    const Coefficients b = checkCoefficients(bObj, "b", convention);
    const Coefficients a = checkCoefficients(aObj, "a", convention);
    const int64_t workers = checkWorkers(workersArg);
    const int ndim = static_cast<int>(x.ndim());
    checkDimensions(ndim, 0);
    const int axis = checkAxis(axisArg, ndim);
    const int32_t L = stateLength(b, a);
    const Dims xShape(x.shape(), x.shape() + ndim);
    const bool haveZi = !ziObj.is_none();
    const State zi = haveZi ? checkState(ziObj, xShape, axis, L, convention) : State{py::none(), false, L};
    if (!xType.doublePrecision) warnIfRoundingDestabilises(a);

    Dims stateShape(xShape);
    stateShape[axis] = zi.length;

    const Kernel kernel =
        marrowick::chooseKernel(xType.doublePrecision, b.complex || a.complex, xType.complex, zi.complex);
    CallArrays c = prepareArrays(x, xShape, axis, zi, haveZi, kernel, stateShape, 0);

    py::object bKeep, aKeep;
    const void* bData = kernelCoefficients(b.values, b.complex, kernel, bKeep);
    const void* aData = kernelCoefficients(a.values, a.complex, kernel, aKeep);

    filters::Coefficients coefficients{false, bData, b.count, aData, a.count, nullptr, 0};
    coefficients.zeroState = zi.length == 0;  // the module's empty zi
    coefficients.doublePrecision = xType.doublePrecision;
    const auto pass = c.pass(kernel, coefficients, xShape[axis], channelCount(xShape, axis));
    runReleased(x, xType.complex, c, [&] { filters::runPass(pass, workers); });
    return py::make_tuple(std::move(c.y), std::move(c.zf));
}

// The cascade of second-order sections in one call, under SciPy's
// conventions: zi is (n_sections,) + x's shape with the axis of length 2,
// its dimensions of length 1 broadcast. Returns (y, zf) (zf from rest when
// zi is None). zf is laid out sections outermost, then the channels in the
// order the plan numbers them, the two states innermost, which is the
// cascade's order of the states.
py::tuple sosfilt(py::handle sosObj, py::handle xObj, py::handle ziObj, py::handle axisArg, py::handle workersArg) {
    SignalType xType;
    bool sosComplex;
    const py::array x = checkSignal(xObj, xType);
    const py::array sos = checkSections(sosObj, sosComplex, !xType.doublePrecision);
    const int64_t workers = checkWorkers(workersArg);
    const int ndim = static_cast<int>(x.ndim());
    checkDimensions(ndim, 1);
    const int axis = checkAxis(axisArg, ndim);
    const int32_t S = static_cast<int32_t>(sos.shape(0));
    const Dims xShape(x.shape(), x.shape() + ndim);
    const bool haveZi = !ziObj.is_none();
    const State zi = haveZi ? checkState(ziObj, xShape, axis, 2, Convention::SciPy, S) : State{py::none(), false, 2};

    Dims stateShape;
    stateShape.push_back(S);
    for (int k = 0; k < ndim; ++k) stateShape.push_back(k == axis ? 2 : xShape[k]);

    const Kernel first = marrowick::chooseKernel(xType.doublePrecision, sosComplex, xType.complex, zi.complex);
    CallArrays c = prepareArrays(x, xShape, axis, zi, haveZi, first, stateShape, 1);

    // The sections as the kernels take them (complex ones for the kernels of
    // complex sections).
    py::object keep;
    filters::Coefficients sections{true, nullptr, 0, nullptr, 0, kernelCoefficients(sos, sosComplex, first, keep), S};
    sections.doublePrecision = xType.doublePrecision;
    const auto pass = c.pass(first, sections, xShape[axis], channelCount(xShape, axis));
    runReleased(x, xType.complex, c, [&] { filters::runPass(pass, workers); });
    return py::make_tuple(std::move(c.y), std::move(c.zf));
}

py::tuple filter(py::handle b, py::handle a, py::handle x, py::handle zi, py::handle axis, py::handle workers) {
    return filterWith(Convention::Module, b, a, x, zi, axis, workers);
}

Convention conventionOf(bool scipy) { return scipy ? Convention::SciPy : Convention::Module; }

Dims dimsOf(const py::sequence& shape) {
    Dims d;
    for (py::handle n : shape) d.push_back(n.cast<py::ssize_t>());
    return d;
}

py::tuple tupleOf(const Dims& d) {
    py::tuple t(d.size());
    for (int k = 0; k < d.size(); ++k) t[k] = d[k];
    return t;
}

// b or a as the kernels take them: a new 1-D float32 or complex64 array, or
// float64 or complex128 for double precision.
template <class Real>
py::array vectorOf(const Coefficients& c) {
    using T = Real;
    if (c.complex) {
        auto v = py::array_t<std::complex<T>, py::array::c_style | py::array::forcecast>::ensure(c.values);
        if (!v) throw py::error_already_set();
        py::array_t<std::complex<T>> out(c.count);
        std::memcpy(out.mutable_data(), v.data(), static_cast<std::size_t>(c.count) * sizeof(std::complex<T>));
        return std::move(out);
    }
    auto v = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(c.values);
    if (!v) throw py::error_already_set();
    py::array_t<T> out(c.count);
    std::memcpy(out.mutable_data(), v.data(), static_cast<std::size_t>(c.count) * sizeof(T));
    return std::move(out);
}

}  // namespace

namespace {

// The calls: filter, lfilter and sosfilt (the zero-phase filters and the
// steady states are zerophase.cpp's), and the tests' piece limit.
void defineCalls(py::module_& m) {
    m.def("_filter", &filter, py::arg("b"), py::arg("a"), py::arg("x"), py::arg("zi"), py::arg("axis"),
          py::arg("workers"),
          "_filter(b, a, x, zi, axis, workers)\n--\n\nThe module's call on NumPy arrays (marrowick.filter's "
          "work); returns (y, zf).");
    m.def(
        "_lfilter",
        [](py::handle b, py::handle a, py::handle x, py::handle zi, py::handle axis, py::handle workers) {
            return filterWith(Convention::SciPy, b, a, x, zi, axis, workers);
        },
        py::arg("b"), py::arg("a"), py::arg("x"), py::arg("zi"), py::arg("axis"), py::arg("workers") = 1,
        "_lfilter(b, a, x, zi, axis, workers=1)\n--\n\nfilter under SciPy's conventions (b and a 0-d or 1-D, zi of "
        "length L "
        "exactly, broadcast); returns (y, zf).");
    m.def("_sosfilt", &sosfilt, py::arg("sos"), py::arg("x"), py::arg("zi"), py::arg("axis"), py::arg("workers"),
          "_sosfilt(sos, x, zi, axis, workers)\n--\n\nThe cascade of second-order sections in one call, under "
          "SciPy's conventions (zi of shape (n_sections, ..., 2, ...), broadcast; None: from rest); returns "
          "(y, zf).");
    m.def(
        "_set_piece_limit",
        [](int64_t limit) {
            if (limit < 1 || limit > std::numeric_limits<int32_t>::max())
                throw py::value_error("marrowick:badLimit: the piece limit must be 1 to 2^31 - 1, got " +
                                      std::to_string(limit));
            return gPieceLimit.exchange(limit);
        },
        py::arg("limit"),
        "_set_piece_limit(limit)\n--\n\nSets the largest count of one kernel call (tests only); returns the "
        "previous one.");
}

// The checks of the signal and the call's other arguments, for the package's other fronts.
void defineChecks(py::module_& m) {
    m.def(
        "_coefficients",
        [](py::handle b, py::handle a, bool scipy, bool doublePrecision) {
            const Coefficients bc = checkCoefficients(b, "b", conventionOf(scipy));
            const Coefficients ac = checkCoefficients(a, "a", conventionOf(scipy));
            if (doublePrecision) return py::make_tuple(vectorOf<double>(bc), vectorOf<double>(ac), stateLength(bc, ac));
            warnIfRoundingDestabilises(ac);
            return py::make_tuple(vectorOf<float>(bc), vectorOf<float>(ac), stateLength(bc, ac));
        },
        py::arg("b"), py::arg("a"), py::arg("scipy") = false, py::arg("double") = false,
        "_coefficients(b, a, scipy=False, double=False)\n--\n\nChecks b and a as filter does; returns them as new "
        "1-D single-precision arrays (warning where rounding makes a unstable), or double-precision ones when "
        "double, and L.");
    m.def(
        "_check_signal",
        [](const py::object& dtype) {
            const SignalType t = checkSignalType(py::dtype::from_args(dtype));
            return computeType(t.complex, t.doublePrecision);
        },
        py::arg("dtype"),
        "_check_signal(dtype)\n--\n\nRefuses a signal dtype the filters do not take; returns the dtype they "
        "compute a signal of this dtype in (float32, complex64, float64 or complex128).");
    m.def("_check_axis", &checkAxis, py::arg("axis"), py::arg("ndim"),
          "_check_axis(axis, ndim)\n--\n\nThe axis counted from 0, or marrowick:badAxis (NumPy's AxisError out of "
          "range).");
    m.def("_argument_text", &argumentText, py::arg("value"),
          "_argument_text(value)\n--\n\nA value as a message names it: its type, and its repr when short and on "
          "one line.");
    m.def("_check_workers", &checkWorkers, py::arg("workers"),
          "_check_workers(workers)\n--\n\nThe threads to start at most, or marrowick:badWorkers.");
    m.def("_check_dimensions", &checkDimensions, py::arg("ndim"), py::arg("lead"),
          "_check_dimensions(ndim, lead)\n--\n\nRefuses x of ndim dimensions when its zf, `lead` dimensions "
          "more, would exceed NumPy's limit.");
}

// The checks of the coefficients and the states, for the package's other fronts.
void defineNumberChecks(py::module_& m) {
    m.def(
        "_check_numbers",
        [](py::handle v, const char* name) {
            bool complex;
            return checkNumbers(v, name, complex);
        },
        py::arg("values"), py::arg("name"),
        "_check_numbers(values, name)\n--\n\nvalues as a NumPy array of real or complex numbers, or TypeError.");
    m.def(
        "_check_sections",
        [](py::handle sos, bool single) {
            bool complex;
            return checkSections(sos, complex, single);
        },
        py::arg("sos"), py::arg("single") = true,
        "_check_sections(sos, single=True)\n--\n\nsos as an (n_sections, 6) array of numbers, or ValueError; "
        "for single precision, warns where rounding makes a section unstable.");
    m.def(
        "_check_state",
        [](const py::sequence& ziShape, const py::sequence& xShape, int axis, int64_t L, bool scipy, int64_t sections) {
            return tupleOf(checkStateShape(dimsOf(ziShape), dimsOf(xShape), axis, L, conventionOf(scipy), sections));
        },
        py::arg("zi_shape"), py::arg("x_shape"), py::arg("axis"), py::arg("L"), py::arg("scipy") = false,
        py::arg("sections") = -1,
        "_check_state(zi_shape, x_shape, axis, L, scipy=False, sections=-1)\n--\n\nChecks zi's shape against x's "
        "(axis counted from 0; sections >= 0: zi has that many sections first); returns the shape zi broadcasts "
        "to.");
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "marrowick's filter call on NumPy arrays, and the argument checks of the package's fronts";
    py::options options;
    options.disable_function_signatures();
    defineCalls(m);
    defineZeroPhase(m);
    defineChecks(m);
    defineNumberChecks(m);
}
