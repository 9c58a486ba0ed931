"""marrowick: exact IIR filtering of NumPy arrays, in single or double
precision.

Every function filters with b/a in direct-form II transposed. The signal's
dtype decides the precision, the same on every front:

=========================================  =====================================
x's dtype                                  computed in (and y's dtype)
=========================================  =====================================
float32, complex64                         single precision, x read as it is
int8, uint8, int16, uint16                 single precision, converted exactly
float64, complex128                        double precision, x read as it is
int32, uint32                              double precision, converted exactly
anything else (int64, float16, bool, ...)  refused: ``marrowick:unsupportedType``
=========================================  =====================================

y is complex (complex64 or complex128) when b, a, x or zi is complex.
Single precision has the rounding of each of marrowick's five kernels
defined to the last bit: the results are bit for bit those of the
marrowick module. Double precision has SciPy's own float64 arithmetic:
``lfilter`` and ``sosfilt`` give bit for bit what ``scipy.signal`` gives in
float64 or complex128 on x86-64, on every CPU.

- ``filter(b, a, x, zi=None, *, axis=0, workers=1) -> (y, zf)``: the module's
  call, time along ``axis``.
- ``lfilter(b, a, x, axis=-1, zi=None, *, workers=1)``: the same arithmetic with the
  signature and conventions of ``scipy.signal.lfilter``.
- ``sosfilt(sos, x, axis=-1, zi=None, *, workers=1)``: second-order
  sections in one pass, as ``scipy.signal.sosfilt``.
- ``Filter(b, a, zi=None, *, axis=0)``, ``SOSFilter(sos, zi=None, *,
  axis=0)``: streaming filter objects.
- ``marrowick.dask``: the same on Dask arrays (imported on its own).

Coefficients and states may come in any real or complex type and are
converted to the computing precision (designs usually come as float64).
Every refusal's message starts with an identifier ``marrowick:...``.

``filter`` is not in ``__all__``: ``from marrowick import *`` leaves the
builtin ``filter`` alone.
"""

import operator

import numpy as np

from . import _core
from . import zerophase
from .zerophase import filtfilt, lfilter_zi, sosfilt_zi, sosfiltfilt

__version__ = "0.1.0"

__all__ = ["lfilter", "sosfilt", "Filter", "SOSFilter", "filtfilt", "sosfiltfilt", "lfilter_zi", "sosfilt_zi"]


def filter(b, a, x, zi=None, *, axis=0, workers=1):
    """Filter x along an axis with the rational transfer function b/a.

    Every index of x other than along `axis` is one channel; each channel is
    filtered from its initial state in `zi` with the direct-form II transposed
    structure, in single precision, bit for bit as the marrowick module does.

    Parameters
    ----------
    b : array_like
        Numerator coefficients: real or complex numbers in a vector of any
        orientation (at most one dimension longer than 1), converted to the
        computing precision.
    a : array_like
        Denominator coefficients, as `b`. In single precision they are used
        as they are, not divided by ``a[0]``; in double precision b and a are
        divided by ``a[0]``, as SciPy divides them.
    x : numpy.ndarray
        The signal; its dtype decides the precision (the table above).
    zi : array_like, optional
        Initial states: x's shape with `axis` of length
        ``L = max(len(b), len(a)) - 1``, any real or complex numbers
        (converted to the computing precision). None (the default) is the zero state. A zi of
        length 0 along `axis` takes the zero-state path ``y = b[0]*x/a[0]``.
    axis : int, optional
        The axis time runs along (default 0).
    workers : int or None, optional
        The most threads to filter groups of channels on (default 1; -1: one
        per core; None: 1; never more than four per core); the bits do not
        depend on it.

    Returns
    -------
    y : numpy.ndarray
        The output, x's shape.
    zf : numpy.ndarray
        The final states, zi's shape, to start the next piece of the signal
        from. y and zf are of the computing precision: float32 or float64,
        complex64 or complex128 when b, a, x or zi is complex (by dtype, not
        by value).

    Raises
    ------
    TypeError
        ``marrowick:unsupportedType``: x's dtype is not taken;
        ``marrowick:notSingle``: b, a or zi do not hold numbers.
    ValueError
        ``marrowick:coefficientShape``, ``marrowick:emptyCoefficients``,
        ``marrowick:ziLength``, ``marrowick:ziSize``, ``marrowick:badWorkers``,
        ``marrowick:tooLarge``, ``marrowick:tooManyDimensions``: the message
        names what was received and what is accepted.
    numpy.AxisError
        ``marrowick:badAxis``: `axis` is out of range for x (NumPy's
        AxisError, a ValueError; ``numpy.exceptions.AxisError`` from NumPy
        1.25). An `axis` or `workers` that is no integer is a TypeError with
        ``marrowick:badAxis`` or ``marrowick:badWorkers``.

    Warns
    -----
    RuntimeWarning
        ``marrowick:unstable``: a is stable as given but not once rounded to
        single precision (use second-order sections).
        ``marrowick:zeroLeadingCoefficient``, ``marrowick:overflow``: a
        stable a whose a[0] rounds to 0 (the outputs are then those of
        a[0] = 0), or a coefficient of which rounds to infinity.

    Notes
    -----
    With ``g = 1/a[0]`` and ``n = max(len(b), len(a))``, for each sample k::

        y[k]   = g * (b[0]*x[k] + z[0])
        z[i]   = b[i+1]*x[k] + z[i+1] - a[i+1]*y[k],   i = 0 .. n-3
        z[n-2] = b[n-1]*x[k] - a[n-1]*y[k]

    (missing coefficients are 0). The states are ``a[0]`` times those of the
    filter divided by ``a[0]``; the two agree when ``a[0] == 1``. ``a[0] == 0``
    is not refused: the gain is infinite, so with real b and a the outputs are
    +-inf, and NaN once infinities of opposite signs meet in the states; with
    complex b or a they are NaN.

    The all-real filter computes each stored value in double precision and
    rounds it once; the complex ones round after every operation. x is read in
    place when its other axes collapse into one channel stride, else copied
    once; y keeps x's memory pattern. The GIL is released while filtering.

    Examples
    --------
    >>> import numpy as np, marrowick
    >>> x = np.ones((4, 2), np.float32)
    >>> y, zf = marrowick.filter([0.5, 0.5], [1.0], x)
    >>> y[:, 0]
    array([0.5, 1. , 1. , 1. ], dtype=float32)
    """
    return _core._filter(b, a, x, zi, axis, workers)


def lfilter(b, a, x, axis=-1, zi=None, *, workers=1):
    """Filter x along an axis with b/a, with ``scipy.signal.lfilter``'s
    signature and conventions and marrowick's arithmetic.

    Parameters
    ----------
    b : array_like
        Numerator coefficients, a scalar or 1-D array of real or complex
        numbers (rounded to single precision).
    a : array_like
        Denominator coefficients, as `b`; used as they are, not divided by
        ``a[0]``.
    x : numpy.ndarray
        The signal; its dtype decides the precision (see the package's
        table).
    axis : int, optional
        The axis time runs along (default -1).
    zi : array_like, optional
        Initial states: x's shape with `axis` of length
        ``L = max(len(b), len(a)) - 1``; dimensions of length 1 other than
        `axis` broadcast over x's. None (the default) is the zero state.
    workers : int or None, optional
        The most threads to filter groups of channels on, as in `filter`
        (default 1); the bits do not depend on it.

    Returns
    -------
    y : numpy.ndarray
        The output, x's shape, of the computing precision (complex when b, a,
        x or zi is).
    zf : numpy.ndarray
        The final states, returned only when `zi` is given.

    Raises
    ------
    TypeError
        ``marrowick:unsupportedType``: x's dtype is not taken;
        ``marrowick:notSingle``: b, a or
        zi do not hold numbers.
    ValueError
        ``marrowick:coefficientShape`` (b or a not 0-d or 1-D),
        ``marrowick:emptyCoefficients``, ``marrowick:ziLength`` (zi's length
        along `axis` is not L; a length 0 is refused when L > 0),
        ``marrowick:ziSize``, ``marrowick:badWorkers``,
        ``marrowick:tooManyDimensions``.
    numpy.AxisError
        ``marrowick:badAxis``: `axis` is out of range for x (a TypeError
        when it is no integer).

    Warns
    -----
    RuntimeWarning
        ``marrowick:unstable``: a is stable as given but not once rounded to
        single precision; use second-order sections and `sosfilt`.
        ``marrowick:zeroLeadingCoefficient``, ``marrowick:overflow``: a
        stable a whose a[0] rounds to 0 (the outputs are then those of
        a[0] = 0), or a coefficient of which rounds to infinity.

    Notes
    -----
    The recurrence is `filter`'s. Where it differs from SciPy: single
    precision throughout; y is scaled by ``1/a[0]`` at the end and the states
    zi and zf are ``a[0]`` times SciPy's (the same when ``a[0] == 1``);
    ``a[0] == 0`` is not refused: the outputs are +-inf and NaN with real b
    and a, NaN with complex ones.

    Examples
    --------
    >>> import numpy as np, marrowick
    >>> from scipy import signal
    >>> b, a = signal.butter(2, 0.25)
    >>> x = np.zeros(64, np.float32)
    >>> marrowick.lfilter(b, a, x).dtype
    dtype('float32')
    """
    y, zf = _core._lfilter(b, a, x, zi, axis, workers)
    return y if zi is None else (y, zf)


def sosfilt(sos, x, axis=-1, zi=None, *, workers=1):
    """Filter x along an axis with a cascade of second-order sections, with
    ``scipy.signal.sosfilt``'s signature and conventions.

    Parameters
    ----------
    sos : array_like
        Real or complex numbers of shape ``(n_sections, 6)``, one section a
        row ``b0 b1 b2 a0 a1 a2`` (a0 need not be 1), converted to the
        computing precision.
    x : numpy.ndarray
        The signal; its dtype decides the precision (see the package's
        table).
    axis : int, optional
        The axis time runs along (default -1).
    zi : array_like, optional
        Initial states of shape ``(n_sections, ..., 2, ...)``: per section
        x's shape with `axis` of length 2; dimensions of length 1 other than
        `axis` broadcast. None (the default) is the zero state.
    workers : int or None, optional
        The most threads to filter groups of channels on, as in `filter`
        (default 1, -1: one per core, None: 1); the bits do not depend on
        it.

    Returns
    -------
    y : numpy.ndarray
        The output, x's shape.
    zf : numpy.ndarray
        The final states, ``(n_sections, ..., 2, ...)``; returned only when
        `zi` is given. y and zf are float32, or complex64 when sos, x or zi
        is complex (by dtype, not by value).

    Raises
    ------
    TypeError
        ``marrowick:unsupportedType``: x's dtype is not taken;
        ``marrowick:notSingle``: sos or zi
        do not hold numbers.
    ValueError
        ``marrowick:sosShape``: sos is not of shape ``(n_sections, 6)`` with
        at least one section; ``marrowick:ziLength``, ``marrowick:ziSize``,
        ``marrowick:badWorkers``.
    numpy.AxisError
        ``marrowick:badAxis``: `axis` is out of range for x (a TypeError
        when it is no integer).

    Warns
    -----
    RuntimeWarning
        ``marrowick:unstable``: a section's denominator is stable as given
        but not once rounded to single precision.
        ``marrowick:zeroLeadingCoefficient``, ``marrowick:overflow``: a
        stable section's a0 rounds to 0, or a coefficient of its denominator
        to infinity.

    Notes
    -----
    Bit for bit the same as filtering section after section with
    ``filter(sos[k, :3], sos[k, 3:], y, zi[k], axis=axis)``, but in one pass
    over memory: each sample goes through every section before the next
    one. Each section is scaled by ``1/a0`` and keeps its states ``a0``
    times SciPy's. Complex sections over a real x make the first section's
    output complex, and so do complex states over real sections and x.
    x is read in place when its other axes collapse into one channel
    stride, else copied once; the GIL is released while filtering.
    High-order filters are only usable in single precision as sections.

    Examples
    --------
    >>> import numpy as np, marrowick
    >>> from scipy import signal
    >>> sos = signal.butter(8, [0.1, 0.3], btype="band", output="sos")
    >>> marrowick.sosfilt(sos, np.zeros((2, 100), np.float32)).shape
    (2, 100)
    """
    y, zf = _core._sosfilt(sos, x, zi, axis, workers)
    return y if zi is None else (y, zf)


def _single_sections(sos):
    """sos checked as sections and rounded to float32, or complex64 when
    complex: as the kernels take them."""
    sos = _core._check_sections(sos)
    return sos.astype(np.complex64 if sos.dtype.kind == "c" else np.float32)


def _is_double(x):
    """Whether the signal x (anything that is an array, or becomes one) is
    filtered in double precision: the one dtype rule (refused here when its
    dtype is not taken)."""
    return zerophase._is_double(zerophase._signal(x).dtype)


def _block_shape_error(state, axis, lead, shape):
    """marrowick:blockShape: a block that does not fit the state of a
    streaming filter (the state's first `lead` dimensions are not the
    block's)."""
    block = state.shape[lead:]
    expected = ", ".join("M" if k == axis else str(n) for k, n in enumerate(block))
    return ValueError(
        f"marrowick:blockShape: this filter's state {state.shape!r} is for blocks of shape "
        f"({expected}{',' if len(block) == 1 else ''}) with time along axis {axis}, got a block of shape "
        f"{tuple(shape)!r}")


def _stream_axis(axis, most):
    """axis as a streaming filter keeps it, checked when the filter is made:
    an integer that is an axis of blocks of `most` dimensions (NumPy's limit,
    less the state's leading dimensions)."""
    _core._check_axis(axis, most)
    return operator.index(axis)


def _fits(state, axis, lead, shape):
    block = state.shape[lead:]
    return len(shape) == len(block) and all(n == m for k, (n, m) in enumerate(zip(shape, block)) if k != axis)


class _Streaming:
    """The block and state handling a streaming filter shares: the state
    `zi` carried from block to block (checked by `_check`), a block fitting
    it along every axis but time (the state's first `_lead` dimensions are
    not the block's), and `_run(x, zi)` returning y and the next state."""

    _lead = 0

    @property
    def zi(self):
        """The state the next block starts from (None: from rest)."""
        return self._zi

    def reset(self, zi=None):
        """Starts again from the state zi (None: from rest), checked here."""
        if zi is not None:
            zi = np.array(_core._check_numbers(zi, "zi"), copy=True)
            self._check(zi)
        self._zi = zi

    def __setstate__(self, state):
        """Restores a pickled filter, checking what it holds as the
        constructor and `reset` check theirs."""
        if not isinstance(state, dict):
            raise TypeError(f"marrowick:badState: a pickled {type(self).__name__} holds a dict of its attributes, "
                            f"got {type(state).__name__}")
        self._restore(state)

    def process(self, x):
        """Filters the next block x and returns its y."""
        zi = self._zi
        if zi is not None and isinstance(x, np.ndarray):  # anything else is refused as a signal
            axis = self.axis % (zi.ndim - self._lead)
            if not _fits(zi, axis, self._lead, np.shape(x)):
                raise _block_shape_error(zi, axis, self._lead, np.shape(x))
        y, self._zi = self._run(x, zi)
        return y


class Filter(_Streaming):
    """A streaming filter: the blocks of a signal filtered one after the
    other give the bits of one whole `filter` call.

    Parameters
    ----------
    b, a : array_like
        Coefficients as for `filter` (vectors of real or complex numbers in
        any orientation), checked here and kept as given; each block filters
        with them in its own precision (rounded to single precision for a
        single-precision block).
    zi : array_like, optional
        The state to start from: the shape of a block with `axis` of length
        ``L = max(len(b), len(a)) - 1`` (or 0: the zero-state path). None
        (the default) starts from rest, with the shape taken from the first
        block.
    axis : int, optional
        The axis time runs along in every block (default 0).

    Attributes
    ----------
    b, a : numpy.ndarray
        The coefficients: 1-D float64, or complex128 when complex.
    axis : int
        The time axis.
    zi : numpy.ndarray or None
        The state the next block starts from.

    Raises
    ------
    ValueError, TypeError, numpy.AxisError
        As `filter`, here at construction for the coefficients and zi.

    Notes
    -----
    ``process(x)`` filters the next block (any dtype `filter` takes, any
    length along `axis`, 0 included) and returns its y; a block must have
    the state's shape along the other axes (``marrowick:blockShape``
    otherwise). ``reset(zi=None)`` starts again. The object pickles.

    Examples
    --------
    >>> import numpy as np, marrowick
    >>> f = marrowick.Filter([0.5, 0.5], [1.0])
    >>> x = np.ones((6, 3), np.float32)
    >>> y = np.concatenate([f.process(x[:2]), f.process(x[2:])])
    >>> bool(np.array_equal(y, marrowick.filter([0.5, 0.5], [1.0], x)[0]))
    True
    """

    def __init__(self, b, a, zi=None, *, axis=0):
        # Rounded once for single-precision blocks (warning here where
        # rounding destabilises a), kept as given for double-precision ones.
        self._single = _core._coefficients(b, a)[:2]
        self.b, self.a, _ = _core._coefficients(b, a, False, True)
        self.axis = _stream_axis(axis, 32)
        self.reset(zi)

    def _restore(self, state):
        Filter.__init__(self, state.get("b"), state.get("a"), state.get("_zi"), axis=state.get("axis"))

    def _check(self, zi):
        axis = _core._check_axis(self.axis, zi.ndim)
        L = max(self.b.size, self.a.size) - 1
        _core._check_state(zi.shape, zi.shape, axis, L)

    def _run(self, x, zi):
        b, a = (self.b, self.a) if _is_double(x) else self._single
        return filter(b, a, x, zi, axis=self.axis)

    def __repr__(self):
        return f"marrowick.Filter(b={self.b!r}, a={self.a!r}, axis={self.axis})"


class SOSFilter(_Streaming):
    """A streaming cascade of second-order sections: the blocks of a signal
    filtered one after the other give the bits of one whole `sosfilt` call.

    Parameters
    ----------
    sos : array_like
        Sections as for `sosfilt`: real or complex numbers of shape
        ``(n_sections, 6)``, checked here and kept as given; each block
        filters with them in its own precision.
    zi : array_like, optional
        The state to start from: ``(n_sections,)`` followed by the shape of
        a block with `axis` of length 2. None (the default) starts from
        rest, with the shape taken from the first block.
    axis : int, optional
        The axis time runs along in every block (default 0).

    Attributes
    ----------
    sos : numpy.ndarray
        The sections: ``(n_sections, 6)`` float64, or complex128 when
        complex.
    axis : int
        The time axis of the blocks.
    zi : numpy.ndarray or None
        The state the next block starts from.

    Raises
    ------
    ValueError, TypeError, numpy.AxisError
        As `sosfilt`, here at construction for sos and zi.

    Warns
    -----
    RuntimeWarning
        ``marrowick:unstable``, as `sosfilt`, at construction.

    Notes
    -----
    ``process(x)`` filters the next block (any dtype `sosfilt` takes, any
    length along `axis`, 0 included) and returns its y; a block must have
    the state's shape along the other axes (``marrowick:blockShape``
    otherwise). ``reset(zi=None)`` starts again. The object pickles.

    Examples
    --------
    >>> import numpy as np, marrowick
    >>> from scipy import signal
    >>> f = marrowick.SOSFilter(signal.butter(4, 0.2, output="sos"))
    >>> x = np.ones((6, 3), np.float32)
    >>> y = np.concatenate([f.process(x[:2]), f.process(x[2:])])
    >>> want = marrowick.sosfilt(signal.butter(4, 0.2, output="sos"), x, axis=0)
    >>> bool(np.array_equal(y, want))
    True
    """

    _lead = 1  # zi's sections axis

    def __init__(self, sos, zi=None, *, axis=0):
        self._single = _single_sections(sos)
        sos = _core._check_sections(sos, False)
        self.sos = sos.astype(np.complex128 if sos.dtype.kind == "c" else np.float64)
        self.axis = _stream_axis(axis, 31)
        self.reset(zi)

    def _restore(self, state):
        SOSFilter.__init__(self, state.get("sos"), state.get("_zi"), axis=state.get("axis"))

    def _check(self, zi):
        if zi.ndim < 2:
            raise ValueError("marrowick:ziSize: zi must have shape (n_sections,) + a block's shape with "
                             f"the time axis of length 2, got {zi.shape!r}")
        axis = _core._check_axis(self.axis, zi.ndim - 1)
        _core._check_state(zi.shape, zi.shape[1:], axis, 2, True, self.sos.shape[0])

    def _run(self, x, zi):
        return _core._sosfilt(self.sos if _is_double(x) else self._single, x, zi, self.axis, 1)

    def __repr__(self):
        return f"marrowick.SOSFilter(sos={self.sos!r}, axis={self.axis})"
