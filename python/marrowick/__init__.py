"""marrowick: exact single-precision IIR filtering of NumPy arrays.

Every function filters with b/a in direct-form II transposed, in single
precision (float32, or complex64 when b, a, x or zi is complex), with the
rounding of each of marrowick's five kernels defined to the last bit: the
results are bit for bit those of the marrowick module.

- ``filter(b, a, x, zi=None, *, axis=0, workers=1) -> (y, zf)``: the module's
  call, time along ``axis``.
- ``lfilter(b, a, x, axis=-1, zi=None)``: the same arithmetic with the
  signature and return convention of ``scipy.signal.lfilter``.
- ``sosfilt(sos, x, axis=-1, zi=None)``: second-order sections, as
  ``scipy.signal.sosfilt``.
- ``Filter(b, a, zi=None, *, axis=0)``: a streaming filter object.

The signal x must be float32 or complex64 (anything else is a TypeError: it
is never converted); coefficients and states may come in any real or complex
type and are rounded to single precision (designs usually come as float64).
"""

import numpy as np

from ._core import filter
from .zerophase import filtfilt, lfilter_zi, sosfilt_zi, sosfiltfilt

__all__ = ["filter", "lfilter", "sosfilt", "Filter", "filtfilt", "sosfiltfilt", "lfilter_zi", "sosfilt_zi"]


def _broadcast_zi(zi, shape, axis):
    # zi's size-1 dimensions other than axis stretch over x's, as SciPy allows.
    if zi.ndim == len(shape):
        target = shape[:axis] + zi.shape[axis:axis + 1] + shape[axis + 1:]
        if zi.shape != target and all(k == axis or zi.shape[k] in (1, shape[k]) for k in range(len(shape))):
            zi = np.broadcast_to(zi, target)
    return zi


def lfilter(b, a, x, axis=-1, zi=None):
    """Filters x along axis with b/a: ``scipy.signal.lfilter``'s signature
    and return convention (y alone without zi, ``(y, zf)`` with it), with
    marrowick's arithmetic.

    Where it differs from SciPy:

    - Single precision throughout: x must be float32 or complex64 (TypeError
      otherwise), b, a and zi are rounded to single precision, y and zf are
      float32 or complex64.
    - b and a are used as they are, not divided by a[0]: y is scaled by
      1/a[0] at the end, and the states zi and zf are a[0] times SciPy's
      (the same when a[0] == 1). a[0] == 0 gives NaN outputs, not an error.
    - A zi of length 0 along axis is accepted and means no state at all:
      y = b[0] * x / a[0].
    """
    if zi is None:
        return filter(b, a, x, None, axis=axis)[0]
    try:
        return filter(b, a, x, zi, axis=axis)
    except ValueError as e:
        x = np.asarray(x)
        if "marrowick:ziSize" not in str(e) or x.ndim == 0:
            raise
        zi = np.asarray(zi)
        broadcast = _broadcast_zi(zi, x.shape, axis % x.ndim)
        if broadcast.shape == zi.shape:
            raise
    return filter(b, a, x, broadcast, axis=axis)


def _sections(sos):
    sos = np.asarray(sos)
    if sos.ndim != 2 or sos.shape[1] != 6 or sos.shape[0] < 1:
        raise ValueError("sos must have shape (n_sections, 6), got %r" % (sos.shape,))
    return sos


def sosfilt(sos, x, axis=-1, zi=None):
    """Filters x along axis with the cascade of second-order sections sos
    (shape ``(n_sections, 6)``, rows ``b0 b1 b2 a0 a1 a2``), with SciPy's
    conventions: zi of shape ``(n_sections, ..., 2, ...)`` (x's shape with
    axis replaced by 2, per section); y alone without zi, ``(y, zf)`` with it.

    Bit for bit the same as filtering section after section with
    ``filter(sos[k, :3], sos[k, 3:], y, zi[k], axis=axis)``. Unlike SciPy,
    a0 need not be 1 (each section is scaled by 1/a0 and keeps its states
    a0 times SciPy's). High-order filters are only usable in single
    precision as sections.
    """
    sos = _sections(sos)
    y = np.asarray(x)
    if y.ndim == 0:
        filter(sos[0, :3], sos[0, 3:], y, axis=axis)  # raises numpy's AxisError
    if zi is None:
        for k in range(sos.shape[0]):
            y = filter(sos[k, :3], sos[k, 3:], y, None, axis=axis)[0]
        return y
    zi = np.asarray(zi)
    ax = axis % y.ndim
    expected = (sos.shape[0],) + tuple(2 if k == ax else n for k, n in enumerate(y.shape))
    if zi.ndim == len(expected) and zi.shape[0] == sos.shape[0]:
        zi = np.stack([_broadcast_zi(zi[k], y.shape, ax) for k in range(sos.shape[0])])
    if zi.shape != expected:
        raise ValueError("marrowick:ziSize: zi must have shape %r, got %r" % (expected, zi.shape))
    zf = []
    for k in range(sos.shape[0]):
        y, z = filter(sos[k, :3], sos[k, 3:], y, zi[k], axis=axis)
        zf.append(z)
    return y, np.stack(zf)


class Filter:
    """A streaming filter: ``process(x)`` filters the next block of a signal
    (time along ``axis``) and returns its y, carrying the state from block to
    block, so that blocks of any length (0 included) give the bits of one
    whole ``filter`` call.

    ``zi`` is the current state (None until the first block when started
    from rest), ``reset(zi=None)`` starts again, and the object pickles.
    """

    def __init__(self, b, a, zi=None, *, axis=0):
        self.b = self._coefficients(b, "b")
        self.a = self._coefficients(a, "a")
        if self.b.size == 0 or self.a.size == 0:
            raise ValueError("marrowick:emptyCoefficients: %s must have at least one element"
                             % ("b" if self.b.size == 0 else "a"))
        self.axis = int(axis)
        self.reset(zi)

    @staticmethod
    def _coefficients(c, name):
        c = np.asarray(c)
        if c.dtype.kind == "c":
            return c.astype(np.complex64).ravel()
        if c.dtype.kind in "biuf":
            return c.astype(np.float32).ravel()
        raise TypeError("marrowick:notSingle: %s must hold real or complex numbers, got %s" % (name, c.dtype))

    @property
    def zi(self):
        """The state the next block starts from (None: from rest)."""
        return self._zi

    def reset(self, zi=None):
        """Starts again from the state zi (None: from rest)."""
        self._zi = None if zi is None else np.array(zi, copy=True)

    def process(self, x):
        """Filters the next block x and returns its y."""
        y, self._zi = filter(self.b, self.a, x, self._zi, axis=self.axis)
        return y

    def __repr__(self):
        return "marrowick.Filter(b=%r, a=%r, axis=%d)" % (self.b, self.a, self.axis)
