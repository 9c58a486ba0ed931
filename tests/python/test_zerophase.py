"""Zero-phase filtering and steady states: bit for bit the composition of
filter calls they are defined as, close to SciPy's float64 results, and the
refusals."""

import numpy as np
import pytest
from conftest import assert_bits
from scipy import signal

import marrowick


def design(name, complex_):
    """(b, a) or sos as designs come (float64), optionally turned into a
    complex filter by shifting its response in frequency."""
    if name == "ba":
        c = signal.butter(4, 0.2)
    elif name == "ba_a0":  # a[0] = 2.5: states a[0] times SciPy's
        c = tuple(2.5 * v for v in signal.butter(3, 0.3))
    elif name == "fir":
        c = (np.array([0.2, 0.5, 0.2]), np.float64(1.0))
    elif name == "gain":  # no state at all
        c = (np.float64(0.5), np.float64(2.0))
    elif name == "sos":
        c = signal.butter(8, [0.1, 0.3], "bandpass", output="sos")
    elif name == "sos_odd":  # a first-order section: a shorter default padlen
        c = signal.butter(5, 0.25, output="sos")
    else:  # "sos_a0": sections with a0 other than 1
        c = signal.butter(6, 0.15, output="sos") * np.array([2.0, 0.5, 4.0])[:, None]
    if complex_:
        if isinstance(c, tuple):
            c = tuple(np.atleast_1d(v) * np.exp(0.4j * np.arange(np.size(v))) for v in c)
        else:
            c = c * np.tile(np.exp(0.4j * np.arange(3)), 2)
    return c


def rounded(c):
    c = np.asarray(c)
    return c.astype(np.complex64 if c.dtype.kind == "c" else np.float32).astype(c.dtype)


def literal(c, x, axis, padtype, padlen):
    """The definition, spelled out with filter calls section after section."""
    if isinstance(c, tuple):
        ntaps = max(np.size(c[0]), np.size(c[1]))
        sections, zis = [c], [marrowick.lfilter_zi(*c) if ntaps > 1 else np.zeros(0)]  # a gain: no state
    else:
        sections, zis = [(s[:3], s[3:]) for s in c], list(marrowick.sosfilt_zi(c))
        ntaps = 2 * len(c) + 1 - min((rounded(c)[:, 2] == 0).sum(), (rounded(c)[:, 5] == 0).sum())
    n = 0 if padtype is None else 3 * ntaps if padlen is None else padlen
    v = np.moveaxis(x, axis, -1)
    if n:
        if padtype == "odd":
            ends = 2 * v[..., :1] - v[..., n:0:-1], 2 * v[..., -1:] - v[..., -2:-n - 2:-1]
        elif padtype == "even":
            ends = v[..., n:0:-1], v[..., -2:-n - 2:-1]
        else:
            ends = np.ones(n, v.dtype) * v[..., :1], np.ones(n, v.dtype) * v[..., -1:]
        v = np.concatenate([ends[0], v, ends[1]], axis=-1)

    def run(v):
        single = np.complex64 if v.dtype.kind == "c" or zis[0].dtype.kind == "c" else np.float32
        states = [(z * v[..., :1]).astype(single) for z in zis]
        for (b, a), zi in zip(sections, states):
            v = marrowick.filter(b, a, v, zi, axis=-1)[0]
        return v

    y = run(run(v)[..., ::-1])[..., ::-1]
    return np.moveaxis(y[..., n:y.shape[-1] - n], -1, axis)


CASES = [
    # design, complex coefficients, complex x, padtype, padlen, x shape, axis, memory order, workers
    ("ba", False, False, "odd", None, (3, 200), -1, "C", 1),
    ("ba", False, True, "even", None, (200, 3), 0, "F", 1),
    ("ba", True, False, "constant", 7, (2, 3, 100), 2, "C", 1),
    ("ba", True, True, None, None, (100,), 0, "C", 1),
    ("ba_a0", False, False, "odd", 0, (50, 4), 0, "C", 2),
    ("ba_a0", True, False, "odd", 49, (50, 4), 0, "F", 1),
    ("fir", False, True, "constant", None, (4, 30), 1, "F", 1),
    ("gain", False, False, "odd", None, (7, 2), 0, "C", 1),
    ("sos", False, False, "odd", None, (4, 300), -1, "C", 1),
    ("sos", False, False, "even", 20, (300, 4), 0, "F", 2),
    ("sos", True, True, "constant", None, (3, 300), 1, "F", 1),
    ("sos", True, False, None, 5, (2, 300, 3), 1, "C", 1),
    ("sos_odd", False, True, "odd", None, (300, 2), 0, "C", 1),
    ("sos_a0", False, False, "odd", 299, (300, 2), 0, "C", 1),
    ("sos_a0", True, True, "even", None, (2, 5, 120), 2, "F", 1),
    ("sos", False, False, "odd", None, (600, 37), 0, "C", 2),  # lanes of channels and their remainder
    ("ba", True, True, "even", None, (37, 600), 1, "C", 1),
]


@pytest.mark.parametrize("name,ccoef,cx,padtype,padlen,shape,axis,order,workers", CASES)
def test_zero_phase(name, ccoef, cx, padtype, padlen, shape, axis, order, workers):
    c = design(name, ccoef)
    rng = np.random.default_rng(len(shape) * 7 + shape[0])
    x = rng.standard_normal(shape) + (1j * rng.standard_normal(shape) if cx else 0)
    x = np.asarray(x.astype(np.complex64 if cx else np.float32), order=order)
    sections = not isinstance(c, tuple)
    if sections:
        y = marrowick.sosfiltfilt(c, x, axis, padtype, padlen, workers=workers)
    else:
        y = marrowick.filtfilt(*c, x, axis, padtype, padlen, workers=workers)
    assert_bits(y, literal(c, x, axis, padtype, padlen))

    # SciPy in double precision on the same rounded coefficients (sections
    # normalised to a0 = 1, as SciPy wants them; the a0 used are powers of 2).
    r = rounded(c) if sections else tuple(rounded(v) for v in c)
    x64 = x.astype(np.complex128 if cx else np.float64)
    if name == "gain":  # no state to settle: lfilter_zi refuses it, as SciPy does
        with pytest.raises(ValueError, match="marrowick:noState"):
            marrowick.lfilter_zi(*c)
        want, zi, want_zi = x64 / 16, np.zeros(0), np.zeros(0)
    elif sections:
        want = signal.sosfiltfilt(r / r[:, 3:4], x64, axis, padtype, padlen)
        zi, want_zi = marrowick.sosfilt_zi(c), signal.sosfilt_zi(r) * r[:, 3:4]
    else:
        want = signal.filtfilt(*r, x64, axis, padtype, padlen)
        zi, want_zi = marrowick.lfilter_zi(*c), signal.lfilter_zi(*r) * np.atleast_1d(r[1])[0]
    assert np.sqrt(np.mean(np.abs(y - want) ** 2) / np.mean(np.abs(want) ** 2)) < 1e-4
    assert zi.dtype == (np.complex128 if ccoef else np.float64) and zi.shape == want_zi.shape
    assert np.max(np.abs(zi - want_zi), initial=0) <= 1e-9 * np.max(np.abs(want_zi), initial=0)


x2 = np.zeros((3, 40), np.float32)
b2, a2 = signal.butter(2, 0.3)
sos2 = signal.butter(4, 0.3, output="sos")
REFUSALS = [
    # (call, exception, text in the message)
    (lambda: marrowick.filtfilt(b2, a2, x2.astype(np.int64)), TypeError, "marrowick:unsupportedType: x .* int64"),
    (lambda: marrowick.sosfiltfilt(sos2, [["a"]]), TypeError, "marrowick:unsupportedType"),
    (lambda: marrowick.filtfilt(["1"], a2, x2), TypeError, "marrowick:notSingle: b"),
    (lambda: marrowick.filtfilt(b2, a2, x2, padtype="zero"), ValueError, "marrowick:padType: .*'zero'"),
    (lambda: marrowick.filtfilt(b2, a2, x2, padlen=40), ValueError, "marrowick:padLength: .*40 samples"),
    (lambda: marrowick.sosfiltfilt(sos2, x2[:, :15]), ValueError, "marrowick:padLength: .*padlen 15"),
    (lambda: marrowick.filtfilt(b2, a2, x2, padlen=-1), ValueError, "marrowick:padLength"),
    (lambda: marrowick.filtfilt(b2, a2, x2, padlen=2.0), TypeError, "marrowick:padLength"),
    (lambda: marrowick.filtfilt(b2, a2, x2, method="gust"), ValueError, "marrowick:method"),
    (lambda: marrowick.filtfilt(b2, a2, x2, axis=2), np.AxisError, "axis 2"),
    (lambda: marrowick.sosfiltfilt(sos2, x2[0, 0]), np.AxisError, "axis -1"),
    (lambda: marrowick.sosfiltfilt(sos2[:, :5], x2), ValueError, "marrowick:sosShape: .*\\(2, 5\\)"),
    (lambda: marrowick.lfilter_zi([b2], a2), ValueError, "marrowick:coefficientShape: b .*\\(1, 3\\)"),
    (lambda: marrowick.lfilter_zi(b2, []), ValueError, "marrowick:emptyCoefficients: a"),
    (lambda: marrowick.lfilter_zi(b2, [0.0, 1.0]), ValueError, "marrowick:zeroLeadingCoefficient"),
    (lambda: marrowick.sosfilt_zi(sos2 * [1, 1, 1, 0, 1, 1]), ValueError, r"zeroLeadingCoefficient: sos\[0, 3\]"),
    (lambda: marrowick.filtfilt([1.0], [1.0, -1.0], x2), np.linalg.LinAlgError, "marrowick:noSteadyState"),
    (lambda: marrowick.lfilter_zi(3.0, 2.0), ValueError, "marrowick:noState"),
    # 0 samples: refused whatever the filter's order and the padding, as SciPy refuses them
    (lambda: marrowick.sosfiltfilt(sos2, x2[:, :0], padtype=None), ValueError, "marrowick:padLength: .*0 samples"),
    (lambda: marrowick.filtfilt(b2, a2, x2[:, :0], padtype=None), ValueError, "marrowick:padLength: .*0 samples"),
    (lambda: marrowick.filtfilt([1.0, 0.5], [1.0], x2[:, :0], padtype=None), ValueError, "marrowick:padLength"),
    (lambda: marrowick.filtfilt(b2, a2, x2[:, :0], padlen=0), ValueError, "marrowick:padLength: .*0 samples"),
    (lambda: marrowick.filtfilt(b2, a2, x2, axis=1.0), TypeError, "marrowick:badAxis: axis must be an integer"),
]


@pytest.mark.parametrize("call,error,text", REFUSALS)
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


def steady_literal(b, a):
    """The steady states' definition spelled out: H = sum(b) / sum(a) from
    correctly rounded sums (a complex quotient by the plain formula), state k
    the sum over j > k of b[j] - a[j] * H, summed from the last."""
    import math
    b, a = (np.atleast_1d(rounded(v)) for v in (b, a))
    complex_ = b.dtype.kind == "c" or a.dtype.kind == "c"
    n = max(a.size, b.size)
    bt, at = np.zeros(n - 1, np.complex128), np.zeros(n - 1, np.complex128)
    bt[:b.size - 1], at[:a.size - 1] = b[1:], a[1:]

    def total(v):
        v = np.asarray(v, np.complex128)
        return complex(*(math.fsum(p.tolist()) if np.all(np.isfinite(p)) else float(np.sum(p))
                         for p in (v.real, v.imag)))

    sb, sa = total(b), total(a)
    if not complex_:
        return np.cumsum((bt.real - at.real * (sb.real / sa.real))[::-1])[::-1]
    d = sa.real * sa.real + sa.imag * sa.imag
    h = complex((sb.real * sa.real + sb.imag * sa.imag) / d, (sb.imag * sa.real - sb.real * sa.imag) / d)
    re = bt.real - (at.real * h.real - at.imag * h.imag)
    im = bt.imag - (at.real * h.imag + at.imag * h.real)
    z = np.empty(n - 1, np.complex128)
    z.real, z.imag = np.cumsum(re[::-1])[::-1], np.cumsum(im[::-1])[::-1]
    return z


STEADY = [
    # b, a: cancellation the rounded sums must get right, a[0] other than 1,
    # complex and mixed coefficients, infinities and signed zeros
    ([1e8, 1.0, -1e8, 3.0], [2.0, 1e-7, 0.25]),
    ([0.25, 0.5, 0.25], [2.5, -1.25, 0.5, -0.125]),
    ([0.5 + 0.5j, 0.25j, -0.125], [1.0, -0.5 + 0.25j, 0.125]),
    ([0.2, 0.6, 0.2], [1.0 + 0.0j, -0.3j]),
    ([1.0, np.inf * 1j, 0.5], [1.0, -0.5j, 0.25]),
    ([np.inf, 1.0, 1.0], [1.0, -0.5]),
    ([-0.0, -0.0, -0.0], [1.0, 0.5, -0.0]),
]


@pytest.mark.parametrize("b,a", STEADY)
def test_steady_state_definition(b, a):
    with np.errstate(all="ignore"):
        want = steady_literal(b, a)
    assert_bits(marrowick.lfilter_zi(b, a), want)
