#include "checks.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "filters/threads.h"

namespace marrowick::python {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

std::string dtypeText(const py::dtype& type) { return py::str(static_cast<py::handle>(type)).cast<std::string>(); }

[[noreturn]] void refuse(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// The type of an object that is no array, for the messages (the error that
// converting it raised is replaced).
std::string typeName(py::handle obj) {
    PyErr_Clear();
    return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

std::string axisText(int axis) { return "axis " + std::to_string(axis); }

// A stable denominator has every root of a[0] z^n + a[1] z^(n-1) + ... + a[n]
// strictly inside the unit circle: every reflection coefficient of the
// step-down recursion (Schur-Cohn) below 1 in magnitude. The n + 1 values
// re + i im are overwritten; the arithmetic is written out in long double.
bool stable(long double* re, long double* im, std::size_t n) {
    const long double r0 = re[0], i0 = im[0], d = r0 * r0 + i0 * i0;
    if (!(d > 0)) return false;
    for (std::size_t i = 0; i <= n; ++i) {  // c / c[0] = c conj(c[0]) / |c[0]|^2
        const long double r = re[i], m = im[i];
        re[i] = (r * r0 + m * i0) / d;
        im[i] = (m * r0 - r * i0) / d;
    }
    for (std::size_t m = n; m >= 1; --m) {
        const long double kr = re[m], ki = im[m], kk = kr * kr + ki * ki;
        if (!(kk < 1)) return false;
        const long double s = 1 / (1 - kk);
        // c[i] = (c[i] - k conj(c[m - i])) s, in place: c[i] and c[m - i]
        // each come from the other (c[m] drops).
        for (std::size_t i = 0; 2 * i <= m; ++i) {
            const std::size_t j = m - i;
            const long double ar = re[i], ai = im[i], br = re[j], bi = im[j];
            re[i] = (ar - (kr * br + ki * bi)) * s;
            im[i] = (ai - (ki * br - kr * bi)) * s;
            if (j != i && j < m) {
                re[j] = (br - (kr * ar + ki * ai)) * s;
                im[j] = (bi - (ki * ar - kr * ai)) * s;
            }
        }
    }
    return true;
}

}  // namespace

py::dtype computeType(bool complex, bool doublePrecision) {
    if (doublePrecision) return complex ? py::dtype::of<std::complex<double>>() : py::dtype::of<double>();
    return complex ? py::dtype::of<std::complex<float>>() : py::dtype::of<float>();
}

py::array checkSignal(py::handle obj, SignalType& type) {
    py::array x = py::array::ensure(obj);
    if (!x)
        refuse(PyExc_TypeError,
               "marrowick:unsupportedType: x must be an array of float32, float64, complex64, "
               "complex128 or integers of at most 32 bits, got " +
                   typeName(obj));
    type = checkSignalType(x.dtype());
    return x;
}

SignalType checkSignalType(const py::dtype& type) {
    const char kind = type.kind();
    const py::ssize_t size = type.itemsize();
    SignalType t{false, false, false};
    if (kind == 'f' && (size == 4 || size == 8)) {
        t.doublePrecision = size == 8;
    } else if (kind == 'c' && (size == 8 || size == 16)) {
        t.complex = true;
        t.doublePrecision = size == 16;
    } else if ((kind == 'i' || kind == 'u') && size <= 4) {
        t.doublePrecision = size == 4;
    } else {
        std::string message =
            "marrowick:unsupportedType: x must be float32, float64, complex64, complex128 or "
            "integers of at most 32 bits, got " +
            dtypeText(type);
        if (kind == 'i' || kind == 'u') message += "; convert it explicitly, e.g. x.astype(numpy.float64)";
        else if (kind == 'f') message += "; convert it explicitly, e.g. x.astype(numpy.float32)";
        else if (kind == 'c') message += "; convert it explicitly, e.g. x.astype(numpy.complex128)";
        refuse(PyExc_TypeError, message);
    }
    t.converted = !type.equal(computeType(t.complex, t.doublePrecision));
    return t;
}

namespace {

// obj as a Python int, as operator.index takes it, or a TypeError with the
// identifier.
py::object integerArgument(py::handle obj, const char* name, const char* id) {
    PyObject* index = PyNumber_Index(obj.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        refuse(PyExc_TypeError, std::string(id) + ": " + name + " must be an integer, got " + argumentText(obj));
    }
    return py::reinterpret_steal<py::object>(index);
}

// The int's value, or false when it is beyond int64.
bool int64Value(const py::object& index, int64_t& value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    value = v;
    return true;
}

}  // namespace

std::string shapeText(const py::ssize_t* shape, py::ssize_t ndim) {
    std::string s = "(";
    for (py::ssize_t k = 0; k < ndim; ++k) {
        if (k) s += ", ";
        s += std::to_string(shape[k]);
    }
    if (ndim == 1) s += ",";
    return s + ")";
}

std::string argumentText(py::handle obj) {
    std::string text = py::type::handle_of(obj).attr("__name__").cast<std::string>();
    PyObject* r = PyObject_Repr(obj.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        return text;
    }
    const std::string value = py::reinterpret_steal<py::str>(r).cast<std::string>();
    const bool plain = value.size() <= 40 && std::none_of(value.begin(), value.end(), [](char c) {
                           return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                       });
    return plain ? text + " " + value : text;
}

int checkAxis(py::handle axisObj, int ndim) {
    const py::object index = integerArgument(axisObj, "axis", "marrowick:badAxis");
    int64_t axis = 0;
    if (int64Value(index, axis) && axis >= -ndim && axis < ndim) return static_cast<int>(axis < 0 ? axis + ndim : axis);
    py::module_ numpy = py::module_::import("numpy");
    py::object axisError = py::hasattr(numpy, "exceptions") && py::hasattr(numpy.attr("exceptions"), "AxisError")
                               ? numpy.attr("exceptions").attr("AxisError")
                               : numpy.attr("AxisError");
    const py::object error = axisError(index, ndim, "marrowick:badAxis");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

int64_t checkWorkers(py::handle workersObj) {
    if (workersObj.is_none()) return 1;
    const py::object index = integerArgument(workersObj, "workers", "marrowick:badWorkers");
    int64_t workers = 0;
    if (!int64Value(index, workers) || (workers < 1 && workers != -1))
        refuse(PyExc_ValueError,
               "marrowick:badWorkers: workers must be a positive number of threads, -1 (one per core) or None (1), "
               "got " +
                   py::str(index).cast<std::string>());
    return marrowick::filters::workerCount(workers);
}

void checkDimensions(int ndim, int lead) {
    if (ndim + lead <= Dims::kMax) return;
    refuse(PyExc_ValueError, "marrowick:tooManyDimensions: x may have at most " + std::to_string(Dims::kMax - lead) +
                                 " dimensions" + (lead ? " here, since zf has one more (the sections)" : "") +
                                 ", got " + std::to_string(ndim));
}

py::array checkNumbers(py::handle obj, const char* name, bool& complex) {
    py::array arr = py::array::ensure(obj);
    if (!arr)
        refuse(PyExc_TypeError,
               std::string("marrowick:notSingle: ") + name + " must be an array of numbers, got " + typeName(obj));
    const char kind = arr.dtype().kind();
    if (kind == 'c') {
        complex = true;
    } else if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b') {
        complex = false;
    } else {
        refuse(PyExc_TypeError, std::string("marrowick:notSingle: ") + name +
                                    " must hold real or complex numbers (a bool, integer, float or complex dtype), "
                                    "got " +
                                    dtypeText(arr.dtype()));
    }
    return arr;
}

Coefficients checkCoefficients(py::handle obj, const char* name, Convention convention) {
    bool complex;
    Coefficients c{checkNumbers(obj, name, complex), complex, 0};
    const int nd = static_cast<int>(c.values.ndim());
    const py::ssize_t* shape = c.values.shape();
    int longer = 0;
    for (int k = 0; k < nd; ++k) longer += shape[k] > 1;
    const bool fits = convention == Convention::SciPy ? nd <= 1 : longer <= 1;
    if (!fits) {
        std::string message =
            std::string("marrowick:coefficientShape: ") + name +
            (convention == Convention::SciPy ? " must be a scalar or a 1-D array"
                                             : " must be a vector (at most one dimension longer than 1)") +
            ", got shape " + shapeText(shape, nd);
        if (nd == 2 && shape[1] == 6) message += "; second-order sections (n_sections, 6) go to sosfilt";
        else if (nd == 2 && shape[0] == 2) message += "; a (b, a) pair goes in as two arguments, e.g. lfilter(*ba, x)";
        refuse(PyExc_ValueError, message);
    }
    const py::ssize_t n = c.values.size();
    if (n == 0)
        refuse(PyExc_ValueError, std::string("marrowick:emptyCoefficients: ") + name +
                                     " must have at least one element, got shape " + shapeText(shape, nd));
    if (n > kInt32Max)
        refuse(PyExc_ValueError, std::string("marrowick:tooLarge: ") + name +
                                     " may have at most 2^31 - 1 elements, got " + std::to_string(n));
    c.count = static_cast<int32_t>(n);
    return c;
}

namespace {

// The largest magnitude of a root of n values (real parts, then imaginary
// parts), for a message: " (a pole moves to |z| = r)", or "" when NumPy
// cannot tell.
std::string poleText(const long double* values, std::size_t n) {
    try {
        py::array_t<std::complex<double>> array(static_cast<py::ssize_t>(n));
        for (std::size_t k = 0; k < n; ++k)
            array.mutable_data()[k] =
                std::complex<double>(static_cast<double>(values[k]), static_cast<double>(values[n + k]));
        py::module_ numpy = py::module_::import("numpy");
        const double radius = numpy.attr("abs")(numpy.attr("roots")(array)).attr("max")().cast<double>();
        char text[48];
        std::snprintf(text, sizeof text, " (a pole moves to |z| = %.4g)", radius);
        return text;
    } catch (const py::error_already_set&) {
    } catch (const py::cast_error&) {
    }
    return "";
}

// What rounding to single precision does to the n values at `data`
// (doubles, or complex doubles when `complex`) of a denominator: the
// warning it deserves, or "" when it stays stable or was not stable as
// given. `name(k)` names value k in the messages; a pole pushed out is told
// as `subject` + " is stable as given but ..." + `consequence`. The values
// as given and rounded, and a scratch copy, real and imaginary parts apart,
// live on the stack for the usual orders. Nothing here raises: the caller
// issues the warning.
template <class Name>
std::string roundingProblem(const char* data, bool complex, std::size_t n, const Name& name, const std::string& subject,
                            const char* consequence) {
    constexpr std::size_t kSmall = 32;
    long double small[6 * kSmall];
    std::vector<long double> large(n > kSmall ? 6 * n : 0);
    long double* exact = n > kSmall ? large.data() : small;  // re[0..n), im[n..2n)
    long double* rounded = exact + 2 * n;
    long double* scratch = rounded + 2 * n;
    bool changed = false;
    for (std::size_t k = 0; k < n; ++k) {
        double re, im = 0;
        if (complex) {
            std::memcpy(&re, data + 16 * k, sizeof re);
            std::memcpy(&im, data + 16 * k + 8, sizeof im);
        } else {
            std::memcpy(&re, data + 8 * k, sizeof re);
        }
        const float reSingle = static_cast<float>(re), imSingle = static_cast<float>(im);
        exact[k] = re;
        exact[n + k] = im;
        rounded[k] = reSingle;
        rounded[n + k] = imSingle;
        if (exact[k] != rounded[k] || exact[n + k] != rounded[n + k]) changed = true;
    }
    if (!changed) return "";
    std::copy(exact, exact + 2 * n, scratch);
    if (!stable(scratch, scratch + n, n - 1)) return "";

    auto valueText = [&](std::size_t k) {
        char text[64];
        if (complex)
            std::snprintf(text, sizeof text, "(%.4g%+.4gj)", static_cast<double>(exact[k]),
                          static_cast<double>(exact[n + k]));
        else std::snprintf(text, sizeof text, "%.4g", static_cast<double>(exact[k]));
        return std::string(text);
    };
    for (std::size_t k = 0; k < n; ++k)
        if (std::isinf(rounded[k]) || std::isinf(rounded[n + k]))
            return "marrowick:overflow: " + name(k) + " = " + valueText(k) +
                   " is beyond single precision and rounds to inf, so the filter run is not the one given; scale "
                   "the coefficients down together";
    if (rounded[0] == 0 && rounded[n] == 0)
        return "marrowick:zeroLeadingCoefficient: " + name(0) + " = " + valueText(0) +
               " rounds to 0 in single precision, so the gain 1/" + name(0) +
               " is infinite and the outputs are +-inf or NaN, as for a leading coefficient of 0; scale the "
               "coefficients up together";
    std::copy(rounded, rounded + 2 * n, scratch);
    if (stable(scratch, scratch + n, n - 1)) return "";

    return "marrowick:unstable: " + subject + " is stable as given but unstable rounded to single precision" +
           poleText(rounded, n) + consequence;
}

void warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
}

bool singlePrecision(const py::array& values) {
    const int type = values.dtype().num();
    return type == py::detail::npy_api::NPY_FLOAT_ || type == py::detail::npy_api::NPY_CFLOAT_;
}

// The values as native doubles or complex doubles in C order: the array
// itself when it holds them so already, else a converted copy (kept alive by
// `keep`). Any byte order and any real or complex dtype is read by value.
const char* asDoubles(const py::array& values, py::object& keep, bool& complex) {
    const int type = values.dtype().num();
    const bool native = values.dtype().attr("isnative").cast<bool>();
    if (native && (type == py::detail::npy_api::NPY_DOUBLE_ || type == py::detail::npy_api::NPY_CDOUBLE_) &&
        (values.flags() & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_)) {
        complex = type == py::detail::npy_api::NPY_CDOUBLE_;
        return static_cast<const char*>(values.data());
    }
    keep = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!keep) throw py::error_already_set();
    complex = true;
    return static_cast<const char*>(py::array(keep).data());
}

}  // namespace

void warnIfRoundingDestabilises(const Coefficients& a) {
    if (a.count < 2 || a.count > 1024 || singlePrecision(a.values)) return;
    py::object keep;
    bool complex;
    const char* data = asDoubles(a.values, keep, complex);
    const std::string message = roundingProblem(
        data, complex, static_cast<std::size_t>(a.count), [](std::size_t k) { return "a[" + std::to_string(k) + "]"; },
        "a",
        ", so the output grows without bound; filter with second-order sections instead (a design with "
        "output='sos' and marrowick.sosfilt)");
    if (!message.empty()) warn(message);
}

void warnIfSectionsDestabilise(const py::array& sos) {
    if (singlePrecision(sos)) return;
    py::object keep;
    bool complex;
    const char* data = asDoubles(sos, keep, complex);
    const std::size_t item = complex ? 16 : 8;
    for (py::ssize_t s = 0; s < sos.shape(0); ++s) {
        const std::string row = std::to_string(s);
        const std::string message = roundingProblem(
            data + (6 * s + 3) * item, complex, 3,
            [&row](std::size_t k) { return "sos[" + row + ", " + std::to_string(3 + k) + "]"; },
            "section " + row + "'s denominator sos[" + row + ", 3:]", ", so the filter is no longer stable");
        if (message.empty()) continue;
        warn(message);
        return;
    }
}

py::array checkSections(py::handle obj, bool& complex, bool single) {
    py::array sos = checkNumbers(obj, "sos", complex);
    if (sos.ndim() != 2 || sos.shape(1) != 6 || sos.shape(0) < 1)
        refuse(PyExc_ValueError,
               "marrowick:sosShape: sos must have shape (n_sections, 6) with n_sections >= 1, rows b0 b1 b2 a0 a1 a2, "
               "got shape " +
                   shapeText(sos.shape(), sos.ndim()));
    if (sos.shape(0) > kInt32Max)
        refuse(PyExc_ValueError,
               "marrowick:tooLarge: sos may have at most 2^31 - 1 sections, got " + std::to_string(sos.shape(0)));
    if (single) warnIfSectionsDestabilise(sos);
    return sos;
}

Dims checkStateShape(const Dims& zi, const Dims& x, int axis, int64_t L, Convention convention, int64_t sections) {
    const bool scipy = convention == Convention::SciPy;
    const int lead = sections >= 0 ? 1 : 0;
    const int ndim = x.size();
    Dims expected;
    if (lead) expected.push_back(sections);
    for (int k = 0; k < ndim; ++k) expected.push_back(k == axis ? L : x[k]);
    auto sizeError = [&] {
        std::string message = "marrowick:ziSize: zi must have ";
        message += lead ? "shape (n_sections,) + x's shape" : "x's shape";
        message += " with " + axisText(axis) + " of length " + std::to_string(L) + ", " + shapeText(expected);
        if (scipy) message += " (dimensions of length 1 other than the axis broadcast)";
        refuse(PyExc_ValueError, message + ", got " + shapeText(zi));
    };
    if (zi.size() != ndim + lead) sizeError();
    if (lead && zi[0] != sections) sizeError();
    const py::ssize_t along = zi[lead + axis];
    if (along != L && !(along == 0 && !scipy)) {
        // zi's own axis: behind the sections' one when there is one.
        if (lead)
            refuse(PyExc_ValueError, "marrowick:ziLength: zi must have length 2 (each section's two states) along " +
                                         axisText(axis + lead) + ", x's axis " + std::to_string(axis) +
                                         " after the sections' axis, got " + std::to_string(along));
        refuse(PyExc_ValueError,
               "marrowick:ziLength: zi must have length L = max(len(b), len(a)) - 1 = " + std::to_string(L) +
                   (scipy ? "" : " (or 0)") + " along " + axisText(axis) + ", got " + std::to_string(along));
    }
    Dims target(zi);
    for (int k = 0; k < ndim; ++k) {
        if (k == axis || zi[lead + k] == x[k]) continue;
        if (!scipy || zi[lead + k] != 1) sizeError();
        target[lead + k] = x[k];
    }
    return target;
}

State checkState(py::handle obj, const Dims& x, int axis, int64_t L, Convention convention, int64_t sections) {
    bool complex;
    py::array values = checkNumbers(obj, "zi", complex);
    const Dims shape(values.shape(), values.shape() + values.ndim());
    const Dims target = checkStateShape(shape, x, axis, L, convention, sections);
    bool same = true;
    for (int k = 0; k < shape.size(); ++k) same &= shape[k] == target[k];
    if (!same) {
        py::tuple t(target.size());
        for (int k = 0; k < target.size(); ++k) t[k] = target[k];
        values = py::module_::import("numpy").attr("broadcast_to")(values, t);
    }
    return State{std::move(values), complex, target[(sections >= 0 ? 1 : 0) + axis]};
}

}  // namespace marrowick::python
