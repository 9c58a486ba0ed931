"""Zero-phase filtering (filtfilt, sosfiltfilt) and the steady states of a
unit step it starts from (lfilter_zi, sosfilt_zi), with SciPy's signatures.

The steady states are solved in double precision by a fixed sequence of
operations (correctly rounded sums, element-wise products, sequential
cumulative sums), so they come out the same on every machine; the zero-phase
results are then bit for bit a composition of ``filter`` calls.
"""

import math
import operator

import numpy as np

from . import _core

__all__ = ["lfilter_zi", "sosfilt_zi", "filtfilt", "sosfiltfilt"]

_PADTYPES = ("odd", "even", "constant", None)


# ----------------------------------------------------------------------------
# Arguments

def _ba(b, a):
    """b and a, each a number or a 1-D array, checked as every front checks
    them and rounded as the filter rounds them, held exactly in float64 or
    complex128."""
    b, a, _ = _core._coefficients(b, a, True)
    return [c.astype(np.complex128 if c.dtype.kind == "c" else np.float64) for c in (b, a)]


def _sos(sos):
    """sos of shape (n_sections, 6), checked and rounded, held exactly in
    float64 or complex128."""
    sos = _core._check_sections(sos)
    if sos.dtype.kind == "c":
        return sos.astype(np.complex64).astype(np.complex128)
    return sos.astype(np.float32).astype(np.float64)


def _signal(x):
    if not isinstance(x, np.ndarray):
        try:
            x = np.asarray(x)
        except Exception:
            raise TypeError("marrowick:notSingle: x must be a float32 or complex64 array, got "
                            f"{_core._argument_text(x)}") from None
    _core._check_signal(x.dtype)
    return x


def _edge(padtype, padlen, n, ntaps):
    """The padding at each end for a signal of n samples."""
    if not (padtype is None or isinstance(padtype, str) and padtype in _PADTYPES):
        raise ValueError("marrowick:padType: padtype must be 'odd', 'even', 'constant' or None, got "
                         f"{_core._argument_text(padtype)}")
    if padtype is None:
        padlen = 0
    if padlen is None:
        edge = 3 * ntaps
    else:
        try:
            edge = operator.index(padlen)
        except TypeError:
            raise TypeError("marrowick:padLength: padlen must be an integer or None, got "
                            f"{_core._argument_text(padlen)}") from None
        if edge < 0:
            raise ValueError(f"marrowick:padLength: padlen must be 0 or more, got {edge}")
    if n <= edge:  # 0 samples included, whatever the filter
        raise ValueError(f"marrowick:padLength: x must be longer than padlen along axis: {n} samples, padlen {edge}")
    return edge


# ----------------------------------------------------------------------------
# Steady states

def _sum(v):
    """The correctly rounded sum of the float64 values v (as read), so that
    the result does not depend on the order of a vectorised sum."""
    if not np.all(np.isfinite(v)):
        return float(np.sum(v))
    return math.fsum(v.tolist())


def _csum(v):
    if v.dtype.kind == "c":
        return complex(_sum(v.real), _sum(v.imag))
    return _sum(v)


# Complex products and quotients of scalars spelled out in float operations,
# each rounded on its own (a compiled complex operation may fuse them). The
# quotient's plain formula neither overflows nor underflows for sums of
# single-precision values.

def _cmul(p, q):
    return complex(p.real * q.real - p.imag * q.imag, p.real * q.imag + p.imag * q.real)


def _cdiv(p, q):
    d = q.real * q.real + q.imag * q.imag
    return complex((p.real * q.real + p.imag * q.imag) / d, (p.imag * q.real - p.real * q.imag) / d)


def _step_state(b, a, where="a", first="a[0]"):
    """The states after a unit step has settled, in the filter's own scale
    (a[0] times those of the normalised filter), and the gain at DC.

    Settled, every output is H = sum(b) / sum(a), and the recurrence gives
    state k = sum over j > k of (b[j] - a[j] * H). b and a are rounded
    coefficients; the products are formed part by part in float64."""
    if a[0] == 0:
        raise ValueError(f"marrowick:zeroLeadingCoefficient: {first} must not be 0 (the filter has no output scale)")
    n = max(a.size, b.size)
    sa, sb = _csum(a), _csum(b)
    if sa == 0:
        raise np.linalg.LinAlgError(f"marrowick:noSteadyState: the coefficients of {where} sum to 0 (a pole at "
                                    "z = 1), so a step never settles")
    bt = np.zeros(n - 1, b.dtype)
    at = np.zeros(n - 1, a.dtype)
    bt[:b.size - 1] = b[1:]
    at[:a.size - 1] = a[1:]
    if at.dtype.kind == "c" or bt.dtype.kind == "c":
        h = _cdiv(complex(sb), complex(sa))
        re = bt.real - (at.real * h.real - at.imag * h.imag)
        im = bt.imag - (at.real * h.imag + at.imag * h.real)
        z = np.empty(n - 1, np.complex128)
        z.real = np.cumsum(re[::-1])[::-1]
        z.imag = np.cumsum(im[::-1])[::-1]
    else:
        h = sb / sa
        z = np.cumsum((bt - at * h)[::-1])[::-1]
    return z, h


def lfilter_zi(b, a):
    """Steady-state initial conditions of a unit step, for ``filter`` and
    ``lfilter``.

    The states of the filter b/a, as marrowick applies it, once its response
    to an input of all ones has settled: starting from ``zi * x[0]``, the
    output starts without the transient of a filter from rest.

    Parameters
    ----------
    b, a : array_like
        Numerator and denominator coefficients, each a number or a 1-D
        array of real or complex numbers. They are rounded to single
        precision first (float32, or complex64 when complex), as the filter
        rounds them.

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
    The states are in marrowick's scale: a[0] times those of
    ``scipy.signal.lfilter_zi`` on the same rounded coefficients (the same
    when a[0] is 1). They are solved in double precision from the rounded
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
    b, a = _ba(b, a)
    if max(a.size, b.size) < 2:
        raise ValueError("marrowick:noState: b and a have one coefficient each, so the filter has no state to "
                         "settle; give at least two coefficients in b or a")
    return _step_state(b, a)[0]


def sosfilt_zi(sos):
    """Steady-state initial conditions of a unit step, for ``sosfilt``.

    Parameters
    ----------
    sos : array_like
        Second-order sections, shape ``(n_sections, 6)``, rows
        ``b0 b1 b2 a0 a1 a2``, real or complex; rounded to single precision
        first (float32, or complex64 when complex), as the filter rounds
        them.

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
    is multiplied by its section's a0 (marrowick's scale of the states; the
    same when every a0 is 1).

    Examples
    --------
    >>> import numpy as np
    >>> import marrowick
    >>> sos = [[0.25, 0.5, 0.25, 1.0, -0.5, 0.5], [0.5, 0.0, 0.0, 1.0, -0.5, 0.0]]
    >>> marrowick.sosfilt_zi(sos).shape
    (2, 2)
    """
    return _sections_zi(_sos(sos))


def _sections_zi(sos):
    zi = np.empty((sos.shape[0], 2), np.complex128 if sos.dtype.kind == "c" else np.float64)
    scale = 1.0
    for k in range(sos.shape[0]):
        z, h = _step_state(sos[k, :3], sos[k, 3:], f"sos[{k}, 3:]", f"sos[{k}, 3]")
        if sos.dtype.kind == "c":
            zi[k].real = scale.real * z.real - scale.imag * z.imag
            zi[k].imag = scale.real * z.imag + scale.imag * z.real
            scale = _cmul(complex(scale), h)
        else:
            zi[k] = scale * z
            scale = scale * h
    return zi


# ----------------------------------------------------------------------------
# Zero-phase filtering

def _apply(coefficients, x, zi, axis, workers):
    """One pass over x along axis from the states zi; returns the output and
    the final states (of zi's shape).

    coefficients is ``(b, a)`` (zi of x's shape with axis of length L) or
    sections of shape ``(n_sections, 6)`` (zi stacking one such state per
    section). Each pass allocates its output: the forward pass's output is
    the zero-phase filters' one working buffer of y's size, the backward
    pass's output their result.
    """
    if isinstance(coefficients, tuple):
        b, a = coefficients
        return _core._filter(b, a, x, zi, axis, workers)
    return _core._sosfilt(coefficients, x, zi, axis, workers)


def _at(axis, index):
    return (slice(None),) * axis + (index,)


def _ends(x, edge, axis, padtype):
    """The edge samples SciPy's extensions add before and after x along
    axis, in x's dtype and memory order, by the same NumPy operations."""
    n = x.shape[axis]
    shape = list(x.shape)
    shape[axis] = edge
    left, right = np.empty_like(x, shape=shape), np.empty_like(x, shape=shape)
    first, last = x[_at(axis, slice(0, 1))], x[_at(axis, slice(n - 1, n))]
    if padtype == "constant":
        ones = np.ones((1,) * x.ndim, x.dtype)
        np.multiply(ones, first, out=left)
        np.multiply(ones, last, out=right)
        return left, right
    head = x[_at(axis, slice(edge, 0, -1))]
    tail = x[_at(axis, slice(n - 2, n - edge - 2 if n - edge - 2 >= 0 else None, -1))]
    if padtype == "even":
        left[...] = head
        right[...] = tail
    else:
        np.subtract(2 * first, head, out=left)
        np.subtract(2 * last, tail, out=right)
    return left, right


def _zero_phase(coefficients, zi, x, axis, padtype, padlen, ntaps, workers):
    _core._check_dimensions(x.ndim, zi.ndim - 1)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
    n = x.shape[axis]
    edge = _edge(padtype, padlen, n, ntaps)
    single = np.complex64 if x.dtype.kind == "c" or zi.dtype.kind == "c" else np.float32
    shape = [1] * x.ndim
    shape[axis] = zi.shape[-1]
    zi = zi.reshape(zi.shape[:-1] + tuple(shape))

    def steady(v, k):  # the steady states times sample k of v
        return (zi * v[_at(axis, slice(k, k + 1))]).astype(single)

    # The extended signal goes through each pass in pieces, the states
    # carried from piece to piece, which gives the bits of one pass over it:
    # x is read in place, and the backward pass skips the padding it cuts.
    # The short pieces of padding run on the calling thread alone.
    reverse = _at(axis, slice(None, None, -1))
    if edge == 0:
        y = _apply(coefficients, x, steady(x, 0), axis, workers)[0]
        return _apply(coefficients, y[reverse], steady(y, n - 1), axis, workers)[0][reverse]
    left, right = _ends(x, edge, axis, padtype)
    z = _apply(coefficients, left, steady(left, 0), axis, 1)[1]
    y, z = _apply(coefficients, x, z, axis, workers)
    tail = _apply(coefficients, right, z, axis, 1)[0]
    z = _apply(coefficients, tail[reverse], steady(tail, edge - 1), axis, 1)[1]
    return _apply(coefficients, y[reverse], z, axis, workers)[0][reverse]


_DEFINITION = """
    The result is defined to the bit, as this composition of single-precision
    passes (``run`` being {call}):

    1. ``ext``: x extended by padlen samples at both ends along axis, as
       SciPy extends it, computed in x's dtype: 'odd' ``2*x[0] - x[padlen:0:-1]``
       before and ``2*x[-1] - x[-2:-padlen-2:-1]`` after, 'even'
       ``x[padlen:0:-1]`` and ``x[-2:-padlen-2:-1]``, 'constant'
       ``ones * x[0]`` and ``ones * x[-1]``; none with padtype None or
       padlen 0.
    2. Forward: ``y = run(ext, zi)`` with ``zi = {zi} * ext[0]`` (the
       steady states laid along axis, times each channel's first sample),
       the product formed by NumPy in float64 (complex128) and rounded once
       to float32, or complex64 when x or the coefficients are complex.
    3. Backward: ``y = run(y[::-1], zi)`` with ``zi = {zi} * y[-1]``
       (y the forward output, the product formed and rounded the same way);
       the result is that output reversed with padlen samples cut from each
       end.

    The steady states are themselves solved by a fixed sequence of
    operations, so the result is the same on every machine. It agrees with
    SciPy's float64 result to about single precision for well-conditioned
    filters.
"""


def filtfilt(b, a, x, axis=-1, padtype="odd", padlen=None, method="pad", irlen=None, *, workers=1):
    """Zero-phase filtering: b/a applied forward, then backward.

    ``scipy.signal.filtfilt``'s signature and conventions, with marrowick's
    single-precision arithmetic.

    Parameters
    ----------
    b, a : array_like
        Numerator and denominator coefficients, each a number or a 1-D
        array, real or complex; rounded to single precision.
    x : ndarray
        The signal, float32 or complex64 (never converted).
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
        ``marrowick:notSingle``: x is not float32 or complex64, or b or a
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
    if not (isinstance(method, str) and method == "pad"):
        if isinstance(method, str) and method == "gust":
            raise ValueError("marrowick:method: method='gust' is not available; use method='pad'")
        raise ValueError(f"marrowick:method: method must be 'pad', got {_core._argument_text(method)}")
    b, a = _ba(b, a)
    x = _signal(x)
    zi = _step_state(b, a)[0]
    return _zero_phase((b, a), zi, x, axis, padtype, padlen, max(a.size, b.size), workers)


def sosfiltfilt(sos, x, axis=-1, padtype="odd", padlen=None, *, workers=1):
    """Zero-phase filtering with second-order sections: the cascade applied
    forward, then backward.

    ``scipy.signal.sosfiltfilt``'s signature and conventions, with
    marrowick's single-precision arithmetic.

    Parameters
    ----------
    sos : array_like
        Second-order sections, shape ``(n_sections, 6)``, rows
        ``b0 b1 b2 a0 a1 a2``, real or complex; rounded to single precision.
    x : ndarray
        The signal, float32 or complex64 (never converted).
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
        ``marrowick:notSingle``: x is not float32 or complex64, or sos does
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
    sos = _sos(sos)
    x = _signal(x)
    zi = _sections_zi(sos)
    ntaps = 2 * sos.shape[0] + 1 - min(int((sos[:, 2] == 0).sum()), int((sos[:, 5] == 0).sum()))
    return _zero_phase(sos, zi, x, axis, padtype, padlen, ntaps, workers)


if filtfilt.__doc__:  # None under python -OO
    filtfilt.__doc__ = filtfilt.__doc__.replace("{definition}", _DEFINITION.format(
        call="``filter(b, a, v, zi, axis=axis)[0]``", zi="lfilter_zi(b, a)"))
    sosfiltfilt.__doc__ = sosfiltfilt.__doc__.replace("{definition}", _DEFINITION.format(
        call="``sosfilt(sos, v, axis=axis, zi=zi)[0]``", zi="sosfilt_zi(sos)"))
