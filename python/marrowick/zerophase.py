"""Zero-phase filtering (filtfilt, sosfiltfilt) and the steady states of a
unit step it starts from (lfilter_zi, sosfilt_zi), with SciPy's signatures.

The arguments are checked here; the filters themselves are computed by the
library's one definition of each (the extension), which solves the steady
states in double precision by a fixed sequence of operations, so they come
out the same on every machine, and composes the zero-phase results bit for
bit from single-precision filter passes.
"""

import operator

import numpy as np

from . import _core

__all__ = ["lfilter_zi", "sosfilt_zi", "filtfilt", "sosfiltfilt"]

_PADTYPES = ("odd", "even", "constant", None)


# ----------------------------------------------------------------------------
# Arguments

def _is_double(dtype):
    """Whether a signal of this dtype is filtered in double precision (the
    dtype rule of every front; anything not taken is refused here)."""
    return _core._check_signal(dtype) in (np.float64, np.complex128)


def _ba(b, a, double=False):
    """(b, a), each a number or a 1-D array, checked as every front checks
    them and rounded as the filter rounds them (float32, or complex64), or
    as float64 (complex128) numbers for double precision."""
    return tuple(_core._coefficients(b, a, True, double)[:2])


def _sos(sos, double=False):
    """sos of shape (n_sections, 6), checked and rounded (float32, or
    complex64), or as float64 (complex128) numbers for double precision."""
    sos = _core._check_sections(sos, not double)
    if double:
        return sos.astype(np.complex128 if sos.dtype.kind == "c" else np.float64)
    return sos.astype(np.complex64 if sos.dtype.kind == "c" else np.float32)


def _signal(x):
    if not isinstance(x, np.ndarray):
        try:
            x = np.asarray(x)
        except Exception:
            raise TypeError("marrowick:unsupportedType: x must be an array of numbers, got "
                            f"{_core._argument_text(x)}") from None
    _core._check_signal(x.dtype)
    return x


def _edge(padtype, padlen, n, ntaps):
    """The padding at each end for a signal of n samples."""
    if not (padtype is None or isinstance(padtype, str) and padtype in _PADTYPES):
        raise ValueError(_core._refusal("padType", f"padtype is {_core._argument_text(padtype)}"))
    if padtype is None:
        padlen = 0
    if padlen is None:
        edge = 3 * ntaps
    else:
        try:
            edge = operator.index(padlen)
        except TypeError:
            raise TypeError(_core._refusal(
                "padLength", f"padlen is {_core._argument_text(padlen)}, not an integer or None")) from None
        if edge < 0:
            raise ValueError(_core._refusal("padLength", f"padlen is {edge}"))
    if n <= edge:  # 0 samples included, whatever the filter
        raise ValueError(_core._refusal("padLength", f"x has {n} samples along axis, padlen {edge}"))
    return edge


def _sections_taps(sos):
    """The length of the cascade as one filter, for the default padlen."""
    return 2 * sos.shape[0] + 1 - min(int((sos[:, 2] == 0).sum()), int((sos[:, 5] == 0).sum()))


def _check_method(method):
    if not (isinstance(method, str) and method == "pad"):
        if isinstance(method, str) and method == "gust":
            raise ValueError("marrowick:method: method='gust' is not available; use method='pad'")
        raise ValueError(f"marrowick:method: method must be 'pad', got {_core._argument_text(method)}")


# ----------------------------------------------------------------------------
# Steady states

def lfilter_zi(b, a, *, dtype=np.float32):
    """Steady-state initial conditions of a unit step, for ``filter`` and
    ``lfilter``.

    The states of the filter b/a, as marrowick applies it, once its response
    to an input of all ones has settled: starting from ``zi * x[0]``, the
    output starts without the transient of a filter from rest.

    Parameters
    ----------
    b, a : array_like
        Numerator and denominator coefficients, each a number or a 1-D
        array of real or complex numbers.
    dtype : data-type, optional
        The dtype of the signals the states are for, which decides the
        precision as for every filter (default float32). For single
        precision (float32, complex64, 8- and 16-bit integers) b and a are
        rounded to single precision first, as the filter rounds them; for
        double precision (float64, complex128, 32-bit integers) they are
        used as given.

    Returns
    -------
    zi : ndarray
        Shape ``(max(len(a), len(b)) - 1,)``, float64, or complex128 when b
        or a is complex.

    Raises
    ------
    TypeError
        ``marrowick:notSingle``: b or a does not hold numbers.
    ValueError
        ``marrowick:coefficientShape``, ``marrowick:emptyCoefficients``: b or
        a is not a number or a 1-D array, or is empty;
        ``marrowick:zeroLeadingCoefficient``: a[0] is 0 (once rounded);
        ``marrowick:noState``: b and a have one coefficient each (a gain has
        no state), refused as SciPy refuses it.
    numpy.linalg.LinAlgError
        ``marrowick:noSteadyState``: the coefficients of a sum to 0.

    Notes
    -----
    For single precision the states are in the scale of the
    single-precision filters: a[0] times those of ``scipy.signal.lfilter_zi``
    on the same rounded coefficients (the same when a[0] is 1). For double
    precision they are in SciPy's scale (divided by a[0]), as the
    double-precision filters divide by a[0]. They are solved in double precision from the rounded
    coefficients by a fixed sequence of operations (the gain at DC
    ``H = sum(b) / sum(a)`` from correctly rounded sums, then state k as the
    sum over j > k of ``b[j] - a[j] * H``, summed from the last), so the
    result is the same on every machine.

    Examples
    --------
    >>> import numpy as np
    >>> import marrowick
    >>> b, a = [0.25, 0.5, 0.25], [1.0, -0.5, 0.5]
    >>> zi = marrowick.lfilter_zi(b, a)
    >>> y = marrowick.lfilter(b, a, np.ones(4, np.float32), zi=zi.astype(np.float32))[0]
    >>> np.allclose(y, 1.0)
    True
    """
    double = _is_double(dtype)
    b, a = _ba(b, a, double)
    if max(a.size, b.size) < 2:
        raise ValueError("marrowick:noState: b and a have one coefficient each, so the filter has no state to "
                         "settle; give at least two coefficients in b or a")
    return _core._steady_states((b, a), double)


def sosfilt_zi(sos, *, dtype=np.float32):
    """Steady-state initial conditions of a unit step, for ``sosfilt``.

    Parameters
    ----------
    sos : array_like
        Second-order sections, shape ``(n_sections, 6)``, rows
        ``b0 b1 b2 a0 a1 a2``, real or complex.
    dtype : data-type, optional
        The dtype of the signals the states are for, as for `lfilter_zi`
        (default float32: sos rounded to single precision first, as the
        filter rounds it; float64 or complex128: sos as given).

    Returns
    -------
    zi : ndarray
        Shape ``(n_sections, 2)``, float64, or complex128 when sos is
        complex.

    Raises
    ------
    TypeError
        ``marrowick:notSingle``: sos does not hold numbers.
    ValueError
        ``marrowick:sosShape``: sos is not of shape ``(n_sections, 6)``;
        ``marrowick:zeroLeadingCoefficient``: a section's a0 is 0.
    numpy.linalg.LinAlgError
        ``marrowick:noSteadyState``: a section's denominator sums to 0.

    Notes
    -----
    Section k's row is its ``lfilter_zi`` times the product of the gains at
    DC of the sections before it (``sum(b) / sum(a)`` of each), so a unit
    step into the cascade settles in every section. Compared with
    ``scipy.signal.sosfilt_zi`` on the same rounded coefficients, each row
    is multiplied by its section's a0 for single precision (the scale of
    the single-precision filters; the same when every a0 is 1), and is in
    SciPy's scale for double precision.

    Examples
    --------
    >>> import numpy as np
    >>> import marrowick
    >>> sos = [[0.25, 0.5, 0.25, 1.0, -0.5, 0.5], [0.5, 0.0, 0.0, 1.0, -0.5, 0.0]]
    >>> marrowick.sosfilt_zi(sos).shape
    (2, 2)
    """
    double = _is_double(dtype)
    return _core._steady_states(_sos(sos, double), double)


# ----------------------------------------------------------------------------
# Zero-phase filtering

def _zero_phase(coefficients, x, axis, padtype, padlen, ntaps, workers):
    _core._check_dimensions(x.ndim, 0 if isinstance(coefficients, tuple) else 1)  # as sosfilt's zf would
    axis = _core._check_axis(axis, x.ndim)
    workers = _core._check_workers(workers)
    edge = _edge(padtype, padlen, x.shape[axis], ntaps)
    return _core._zero_phase(coefficients, x, axis, padtype, edge, workers)


_DEFINITION = """
    The result is defined to the bit, as this composition of passes of x's
    precision (``run`` being {call}):

    1. ``ext``: x extended by padlen samples at both ends along axis, as
       SciPy extends it, computed in x's dtype: 'odd' ``2*x[0] - x[padlen:0:-1]``
       before and ``2*x[-1] - x[-2:-padlen-2:-1]`` after, 'even'
       ``x[padlen:0:-1]`` and ``x[-2:-padlen-2:-1]``, 'constant'
       ``ones * x[0]`` and ``ones * x[-1]``; none with padtype None or
       padlen 0.
    2. Forward: ``y = run(ext, zi)`` with ``zi = {zi} * ext[0]`` (the
       steady states laid along axis, times each channel's first sample),
       the product formed by NumPy in float64 (complex128) and, for single
       precision, rounded once to float32, or complex64 when x or the
       coefficients are complex.
    3. Backward: ``y = run(y[::-1], zi)`` with ``zi = {zi} * y[-1]``
       (y the forward output, the product formed and rounded the same way);
       the result is that output reversed with padlen samples cut from each
       end.

    The steady states are themselves solved by a fixed sequence of
    operations (for double precision, from the design as given, in SciPy's
    scale), so the result is the same on every machine. In single
    precision it agrees with SciPy's float64 result to about single
    precision for well-conditioned filters; in double precision SciPy's
    steady states come from a linear solver instead, which moves its result
    by a few units in the last place, more for low-cutoff designs (see
    docs/python.md).
"""


def filtfilt(b, a, x, axis=-1, padtype="odd", padlen=None, method="pad", irlen=None, *, workers=1):
    """Zero-phase filtering: b/a applied forward, then backward.

    ``scipy.signal.filtfilt``'s signature and conventions, with marrowick's
    arithmetic in x's precision.

    Parameters
    ----------
    b, a : array_like
        Numerator and denominator coefficients, each a number or a 1-D
        array, real or complex; converted to the computing precision.
    x : ndarray
        The signal; its dtype decides the precision (see the package's
        table).
    axis : int, optional
        The time axis of x. Default -1.
    padtype : {'odd', 'even', 'constant', None}, optional
        The extension of x at both ends before filtering. Default 'odd'.
    padlen : int or None, optional
        Samples added at each end (0: none). Default
        ``3 * max(len(a), len(b))``. x must be longer than padlen (so
        have one sample at least, whatever padtype).
    method : {'pad'}, optional
        Only 'pad' is available.
    irlen : int or None, optional
        Accepted for SciPy's signature; unused with 'pad'.
    workers : int or None, optional
        The most threads per pass, as in ``filter`` (-1: one per core,
        None: 1). The result does not depend on it.

    Returns
    -------
    y : ndarray
        x's shape; float32, or complex64 when x, b or a is complex.

    Raises
    ------
    TypeError
        ``marrowick:unsupportedType``: x's dtype is not taken;
        ``marrowick:notSingle``: b or a
        does not hold numbers; ``marrowick:padLength``: padlen is not an
        integer.
    ValueError
        ``marrowick:padType``, ``marrowick:padLength``: an unknown padtype,
        a negative padlen, or x not longer than padlen along axis;
        ``marrowick:method``: a method other than 'pad'; as ``lfilter_zi``
        for b and a.
    numpy.AxisError
        ``marrowick:badAxis``: axis is out of range for x (a TypeError when
        it is no integer); ``marrowick:badWorkers`` as in ``filter``.
    numpy.linalg.LinAlgError
        ``marrowick:noSteadyState``: the coefficients of a sum to 0.

    Warns
    -----
    RuntimeWarning
        ``marrowick:unstable``: a is stable as given but not once rounded to
        single precision.
        ``marrowick:zeroLeadingCoefficient``, ``marrowick:overflow``: a
        stable a whose a[0] rounds to 0 (the outputs are then those of
        a[0] = 0), or a coefficient of which rounds to infinity.

    Notes
    -----{definition}
    Examples
    --------
    >>> import numpy as np
    >>> import marrowick
    >>> b, a = [0.25, 0.5, 0.25], [1.0, -0.5, 0.5]
    >>> x = np.ones((2, 50), np.float32)
    >>> y = marrowick.filtfilt(b, a, x)
    >>> y.shape, y.dtype, bool(np.allclose(y, 1.0, atol=1e-6))
    ((2, 50), dtype('float32'), True)
    """
    _check_method(method)
    x = _signal(x)
    b, a = _ba(b, a, _is_double(x.dtype))
    return _zero_phase((b, a), x, axis, padtype, padlen, max(a.size, b.size), workers)


def sosfiltfilt(sos, x, axis=-1, padtype="odd", padlen=None, *, workers=1):
    """Zero-phase filtering with second-order sections: the cascade applied
    forward, then backward.

    ``scipy.signal.sosfiltfilt``'s signature and conventions, with
    marrowick's arithmetic in x's precision.

    Parameters
    ----------
    sos : array_like
        Second-order sections, shape ``(n_sections, 6)``, rows
        ``b0 b1 b2 a0 a1 a2``, real or complex; converted to the computing
        precision.
    x : ndarray
        The signal; its dtype decides the precision (see the package's
        table).
    axis : int, optional
        The time axis of x. Default -1.
    padtype : {'odd', 'even', 'constant', None}, optional
        The extension of x at both ends before filtering. Default 'odd'.
    padlen : int or None, optional
        Samples added at each end (0: none). Default
        ``3 * (2 * n_sections + 1 - min((sos[:, 2] == 0).sum(),
        (sos[:, 5] == 0).sum()))``. x must be longer than padlen (so have
        one sample at least, whatever padtype).
    workers : int or None, optional
        The most threads per pass, as in ``filter`` (-1: one per core,
        None: 1). The result does not depend on it.

    Returns
    -------
    y : ndarray
        x's shape; float32, or complex64 when x or sos is complex.

    Raises
    ------
    TypeError
        ``marrowick:unsupportedType``: x's dtype is not taken;
        ``marrowick:notSingle``: sos does
        not hold numbers; ``marrowick:padLength``: padlen is not an integer.
    ValueError
        ``marrowick:padType``, ``marrowick:padLength``: an unknown padtype,
        a negative padlen, or x not longer than padlen along axis; as
        ``sosfilt_zi`` for sos.
    numpy.AxisError
        ``marrowick:badAxis``: axis is out of range for x (a TypeError when
        it is no integer); ``marrowick:badWorkers`` as in ``filter``.
    numpy.linalg.LinAlgError
        ``marrowick:noSteadyState``: a section's denominator sums to 0.

    Warns
    -----
    RuntimeWarning
        ``marrowick:unstable``: a section's denominator is stable as given
        but not once rounded to single precision.
        ``marrowick:zeroLeadingCoefficient``, ``marrowick:overflow``: a
        stable section's a0 rounds to 0, or a coefficient of its denominator
        to infinity.

    Notes
    -----{definition}
    Examples
    --------
    >>> import numpy as np
    >>> import marrowick
    >>> sos = [[0.25, 0.5, 0.25, 1.0, -0.5, 0.5], [0.5, 0.0, 0.0, 1.0, -0.5, 0.0]]
    >>> x = np.ones((100, 3), np.float32)
    >>> y = marrowick.sosfiltfilt(sos, x, axis=0)
    >>> y.shape, bool(np.allclose(y, 1.0, atol=1e-6))
    ((100, 3), True)
    """
    x = _signal(x)
    sos = _sos(sos, _is_double(x.dtype))
    return _zero_phase(sos, x, axis, padtype, padlen, _sections_taps(sos), workers)


if filtfilt.__doc__:  # None under python -OO
    filtfilt.__doc__ = filtfilt.__doc__.replace("{definition}", _DEFINITION.format(
        call="``filter(b, a, v, zi, axis=axis)[0]``", zi="lfilter_zi(b, a)"))
    sosfiltfilt.__doc__ = sosfiltfilt.__doc__.replace("{definition}", _DEFINITION.format(
        call="``sosfilt(sos, v, axis=axis, zi=zi)[0]``", zi="sosfilt_zi(sos)"))
