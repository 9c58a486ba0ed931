// The checking of every front's arguments: the signal, the axis, the
// coefficients, the sections, the states and the worker count. filter,
// lfilter, sosfilt, Filter and the Dask front all come through here, so a
// refusal has one identifier and one wording whatever the front.
//
// Two conventions differ where the package's two families differ:
// - Module (filter, Filter, the Dask front): b and a are vectors in any
//   orientation (at most one dimension longer than 1), zi has x's shape with
//   the axis of length L or 0 (0: the zero-state path).
// - SciPy (lfilter, sosfilt and the other SciPy-named functions): b and a
//   are 0-d or 1-D, zi's length along the axis is L exactly and its
//   dimensions of length 1 broadcast over x's.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "layout.h"

namespace marrowick::python {

enum class Convention { Module, SciPy };

// "(3, 4)", "(5,)", "()": a shape as NumPy prints it, for the messages.
std::string shapeText(const py::ssize_t* shape, py::ssize_t ndim);
inline std::string shapeText(const Dims& shape) { return shapeText(shape.data(), shape.size()); }

// An argument as a message names it: its type, and its value when that is
// short and on one line.
std::string argumentText(py::handle obj);

// The signal's dtype decides the precision of the call, the same on every
// front:
//   float32, complex64     single precision, read as they are;
//   float64, complex128    double precision, read as they are;
//   int8, uint8, int16, uint16   converted exactly to float32 (single);
//   int32, uint32          converted exactly to float64 (double);
//   anything else          marrowick:unsupportedType.
// (A float or complex array of the other byte order is read as its native
// twin, converted.)
struct SignalType {
    bool complex;
    bool doublePrecision;
    bool converted;  // the kernels read a converted copy, not x itself
};
SignalType checkSignalType(const py::dtype& type);
py::array checkSignal(py::handle obj, SignalType& type);
// The dtype the kernels read a signal of this type in, which is also the
// output's dtype when nothing else is complex: float32, complex64, float64
// or complex128.
py::dtype computeType(bool complex, bool doublePrecision);

// An axis of an array of ndim dimensions, anything operator.index takes,
// counted from 0: marrowick:badAxis otherwise (a TypeError for what is no
// integer, NumPy's AxisError out of range).
int checkAxis(py::handle axis, int ndim);

// workers, anything operator.index takes: a positive count of threads, -1
// for one per core, None for 1; marrowick:badWorkers otherwise. Returns the
// threads to start at most (never more than four per core).
int64_t checkWorkers(py::handle workers);

// x of ndim dimensions for a call whose zf has `lead` more:
// marrowick:tooManyDimensions when zf would exceed NumPy's 32.
void checkDimensions(int ndim, int lead);

// Any real or complex numbers as a NumPy array; `complex` tells which.
py::array checkNumbers(py::handle obj, const char* name, bool& complex);

// b or a: numbers of the convention's shape, at least one, at most 2^31 - 1.
struct Coefficients {
    py::array values;
    bool complex;
    int32_t count;
};
Coefficients checkCoefficients(py::handle obj, const char* name, Convention convention);

// L = max(len(b), len(a)) - 1.
inline int32_t stateLength(const Coefficients& b, const Coefficients& a) {
    return (b.count > a.count ? b.count : a.count) - 1;
}

// A RuntimeWarning when rounding a to single precision turns a stable
// denominator into an unstable one. Nothing to do (and no cost) when a
// already holds single-precision numbers.
void warnIfRoundingDestabilises(const Coefficients& a);

// The same for each section's denominator sos[s, 3:] (the first one that
// rounding destabilises is named).
void warnIfSectionsDestabilise(const py::array& sos);

// sos: real or complex numbers of shape (n_sections, 6), 1 <= n_sections
// <= 2^31 - 1, with the warning above when the sections are for single
// precision. `complex` tells which.
py::array checkSections(py::handle obj, bool& complex, bool single = true);
inline py::array checkSections(py::handle obj) {
    bool complex;
    return checkSections(obj, complex);
}

// zi's shape against x's: zi must be x's shape with `axis` of length L (or
// 0 under the module's convention), with one leading dimension of length
// `sections` first when sections >= 0. Returns the shape zi takes, which
// differs from zi's own only where SciPy's broadcasting stretches it.
Dims checkStateShape(const Dims& zi, const Dims& x, int axis, int64_t L, Convention convention, int64_t sections = -1);

// zi for one filter call: checked numbers of the right shape, broadcast
// where the convention allows it (with `sections` as for checkStateShape).
struct State {
    py::object values;  // an array, or None for no zi
    bool complex;
    int64_t length;  // along the axis: L, or 0 for the zero-state path
};
State checkState(py::handle obj, const Dims& x, int axis, int64_t L, Convention convention, int64_t sections = -1);

}  // namespace marrowick::python
