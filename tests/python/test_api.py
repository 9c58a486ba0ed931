"""The SciPy-style functions against SciPy in double precision, refusals,
and the GIL released during a call."""

import builtins
import doctest
import importlib.util
import inspect
import operator
import os
import pickle
import re
import subprocess
import threading
import time

import dask.array as da
import numpy as np
import pytest
from conftest import assert_bits
from scipy import signal

import marrowick
import marrowick.dask as mdask

pytestmark = pytest.mark.filterwarnings("ignore::dask.array.core.PerformanceWarning")


def close(got, want, scale=1.0):
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-4 * scale)


@pytest.mark.parametrize("complex_", [False, True])
def test_lfilter_and_sosfilt_close_to_scipy(complex_):
    rng = np.random.default_rng(5)
    x = rng.uniform(-1, 1, (3, 500))
    if complex_:
        x = x + 1j * rng.uniform(-1, 1, x.shape)
    x32 = x.astype(np.complex64 if complex_ else np.float32)
    b, a = signal.butter(4, 0.2)
    close(marrowick.lfilter(b, a, x32), signal.lfilter(b, a, x32.astype(x.dtype)))
    # a[0] other than 1: the states are a[0] times SciPy's.
    zi = rng.uniform(-1, 1, (3, 4))
    y, zf = marrowick.lfilter(2.5 * b, 2.5 * a, x32, zi=2.5 * zi)
    want_y, want_zf = signal.lfilter(b, a, x32.astype(x.dtype), zi=zi)
    close(y, want_y)
    close(zf, 2.5 * want_zf, 2.5)
    # SciPy's broadcasting of a zi with size-1 dimensions.
    y1, _ = marrowick.lfilter(b, a, x32, zi=zi[:1])
    close(y1, signal.lfilter(b, a, x32.astype(x.dtype), zi=np.repeat(zi[:1], 3, axis=0))[0])
    sos = signal.butter(12, [0.1, 0.3], btype="band", output="sos")
    close(marrowick.sosfilt(sos, x32), signal.sosfilt(sos, x32.astype(x.dtype)))
    zi = signal.sosfilt_zi(sos)[:, None, :] * x[None, :, :1]
    y, zf = marrowick.sosfilt(sos, x32.T, axis=0, zi=zi.transpose(0, 2, 1))
    want_y, want_zf = signal.sosfilt(sos, x.T, axis=0, zi=zi.transpose(0, 2, 1))
    close(y, want_y)
    close(zf, want_zf)


def test_outputs_stay_single_precision():
    b, a = signal.butter(2, 0.3)
    x = np.ones(8, np.float32)
    assert marrowick.filter(b, a, x)[0].dtype == np.float32
    assert marrowick.filter(b + 0j, a, x)[0].dtype == np.complex64
    assert marrowick.filter(b, a, x, np.zeros(2, np.complex128))[1].dtype == np.complex64


x2 = np.zeros((10, 3), np.float32)
BA = signal.butter(4, 0.1)
SOS = signal.butter(4, 0.1, output="sos")
FRONTS = ["filter", "lfilter", "Filter", "dask"]
# Refusals a streaming object makes at construction, before any block.
AT_CONSTRUCTION = ("coefficientShape", "emptyCoefficients", "ziLength", "badAxis: axis must", "badAxis: axis 1180")
HUGE = 2**70
BIG_ENDIAN = tuple(v.astype(">f8") for v in BA)
X32 = np.zeros((2,) + (1,) * 31, np.float32)  # NumPy's 32 dimensions


def call_front(front, b, a, x, zi, axis):
    if front == "filter":
        return marrowick.filter(b, a, x, zi, axis=axis)
    if front == "lfilter":
        return marrowick.lfilter(b, a, x, axis=axis, zi=zi)
    if front == "dask":
        return mdask.filter(b, a, da.from_array(np.asarray(x)), zi, axis=axis)
    return marrowick.Filter(b, a, zi, axis=axis).process(x)


N, T, V, S, A = None, TypeError, ValueError, "marrowick:ziSize", np.AxisError
# One table for every front: b, a, x, zi, axis, and per front None (accepted)
# or (exception, pattern of the message); "*" stands for the fronts not named.
ARGUMENTS = [
    # The dtype rule: float64, complex128, 8- to 32-bit integers, lists and
    # the other byte order are taken; the rest is refused.
    ([1], [1], x2.astype(np.float64), N, 0, {"*": N}),
    ([1], [1], x2.astype(np.complex128), N, 0, {"*": N}),
    ([1], [1], [1.0, 2.0], N, 0, {"*": N}),
    ([1], [1], x2.astype(">f4"), N, 0, {"*": N}),
    ([1], [1], x2.astype(np.int16), N, 0, {"*": N}),
    ([1], [1], x2.astype(np.uint32), N, 0, {"*": N}),
    ([1], [1], x2.astype(np.int64), N, 0,
     {"*": (T, r"marrowick:unsupportedType: x .* got int64.*astype\(numpy.float64\)$")}),
    ([1], [1], x2.astype(np.float16), N, 0, {"*": (T, r"marrowick:unsupportedType: x .* got float16")}),
    ([1], [1], x2.astype(bool), N, 0, {"*": (T, r"marrowick:unsupportedType: x .* got bool")}),
    ([1], [1], x2.astype("U1"), N, 0, {"*": (T, r"marrowick:unsupportedType: x .* got <U1")}),
    (["1"], [1], x2, N, 0, {"*": (T, "marrowick:notSingle: b must hold real or complex numbers .*got <U1")}),
    ([], [1], x2, N, 0, {"*": (V, r"marrowick:emptyCoefficients: b .* got shape \(0,\)")}),
    ([1], [], x2, N, 0, {"*": (V, "marrowick:emptyCoefficients: a ")}),
    (BA, 1.0, x2, N, 0, {"*": (V, r"marrowick:coefficientShape: b .* got shape \(2, 5\).*lfilter\(\*ba, x\)")}),
    (SOS, [1.0], x2, N, 0, {"*": (V, r"marrowick:coefficientShape: b .*\(2, 6\).*sosfilt")}),
    ([1], np.ones((2, 2)), x2, N, 0, {"*": (V, r"marrowick:coefficientShape: a .*\(2, 2\)")}),
    (np.ones((3, 1)), np.ones((1, 1, 2)), x2, N, 0, {"*": N, "lfilter": (V, r"b must be a scalar or a 1-D array")}),
    (2.0, np.float32(1), x2, N, 0, {"*": N}),
    ([1, 2, 3], [1], x2, np.zeros((1, 3)), 0,
     {"*": (V, r"marrowick:ziLength: .* = 2( \(or 0\))? along axis 0, got 1")}),
    ([1, 2, 3], [1], x2, np.zeros((0, 3)), 0,
     {"*": N, "lfilter": (V, r"marrowick:ziLength: .* = 2 along axis 0, got 0")}),
    ([1, 2, 3], [1], x2, np.zeros((2, 4)), 0,
     {"*": (V, r"marrowick:ziSize: .* \(2, 3\).*, got \(2, 4\)"), "Filter": (V, r"marrowick:blockShape: .*\(M, 4\)")}),
    ([1, 2, 3], [1], x2, np.zeros(6), 0, {"*": (V, S), "Filter": (V, "marrowick:ziLength")}),
    ([1, 2, 3], [1], x2, np.zeros((2, 1)), 0, {"*": (V, S), "lfilter": N, "Filter": (V, "marrowick:blockShape")}),
    ([1, 2], [1], x2, np.zeros((10, 2)), -1, {"*": (V, "marrowick:ziLength")}),
    ([1], [1], x2, N, 2, {"*": (A, "marrowick:badAxis: axis 2")}),
    ([1], [1], np.float32(1), N, 0, {"*": (A, "marrowick:badAxis: axis 0")}),
    ([1], [1], x2, N, 1.5, {"*": (T, r"marrowick:badAxis: axis must be an integer, got float 1.5$")}),
    ([1], [1], x2, N, "0", {"*": (T, r"marrowick:badAxis: axis must be an integer, got str '0'$")}),
    ([1], [1], x2, N, None, {"*": (T, r"marrowick:badAxis: axis must be an integer, got NoneType None$")}),
    ([1], [1], x2, N, HUGE, {"*": (A, r"marrowick:badAxis: axis 1180591620717411303424 is out")}),
    ([1], [1], x2, N, np.uint8(1), {"*": N}),
    (*BIG_ENDIAN, x2, N, 0, {"*": N}),  # a design from a file of another byte order
    ([1], [1e-46, 1e-47], x2, N, 0, {"*": N}),  # a rounds to zeros: a[0] = 0, as in float32
    ([1], [1], X32, N, 0, {"*": N}),
]


@pytest.mark.filterwarnings("ignore:marrowick.zeroLeadingCoefficient:RuntimeWarning")
@pytest.mark.parametrize("front", FRONTS)
@pytest.mark.parametrize("b, a, x, zi, axis, expected", ARGUMENTS)
def test_arguments(front, b, a, x, zi, axis, expected):
    outcome = expected.get(front, expected.get("*"))
    if outcome is None:
        call_front(front, b, a, x, zi, axis)
        return
    error, pattern = outcome
    with pytest.raises(error, match=pattern):
        if front == "Filter" and any(name in pattern for name in AT_CONSTRUCTION):
            marrowick.Filter(b, a, zi, axis=axis)
        else:
            call_front(front, b, a, x, zi, axis)


SOS_FRONTS = ["sosfilt", "SOSFilter", "dask", "sosfiltfilt"]
x40 = np.zeros((40, 3), np.float32)
SOS2 = np.ones((2, 6))


def call_sos_front(front, sos, x, zi, axis):
    if front == "sosfilt":
        return marrowick.sosfilt(sos, x, axis=axis, zi=zi)
    if front == "dask":
        return mdask.sosfilt(sos, da.from_array(np.asarray(x)), axis, zi)
    if front == "sosfiltfilt":  # no zi
        return marrowick.sosfiltfilt(sos, x, axis=axis)
    return marrowick.SOSFilter(sos, zi, axis=axis).process(x)


# The same for the fronts of sections: sos, x, zi, axis, and per front None
# (accepted) or (exception, pattern of the message); "*" for the others.
SOS_ARGUMENTS = [
    ([["1"] * 6], x40, N, 0, {"*": (T, "marrowick:notSingle: sos must hold real or complex numbers")}),
    (np.ones((2, 5)), x40, N, 0, {"*": (V, r"marrowick:sosShape: .* got shape \(2, 5\)")}),
    (np.ones((0, 6)), x40, N, 0, {"*": (V, r"marrowick:sosShape: .* got shape \(0, 6\)")}),
    (np.ones(6), x40, N, 0, {"*": (V, r"marrowick:sosShape: .* got shape \(6,\)")}),
    (SOS2, x40.astype(np.int64), N, 0, {"*": (T, "marrowick:unsupportedType: x .* got int64")}),
    (SOS2, x40, N, 2, {"*": (A, "marrowick:badAxis: axis 2")}),
    (SOS2, x40, np.zeros((2, 40, 3)), 0,
     {"*": (V, r"marrowick:ziLength: zi must have length 2 \(each section's two states\) along axis 1, .*got 40"),
      "sosfiltfilt": N}),
    (SOS2, x40, np.zeros((3, 2, 3)), 0, {"*": (V, S), "sosfiltfilt": N}),
    (SOS2, x40, np.zeros((2, 2)), 0, {"*": (V, S), "SOSFilter": (V, r"blockShape: .*\(M,\)"), "sosfiltfilt": N}),
    (SOS2, x40, np.zeros((2, 2, 1)), 0, {"*": N, "SOSFilter": (V, r"marrowick:blockShape: .*\(M, 1\)")}),
    (SOS2, x40, np.zeros((2, 2, 4)), 0, {"*": (V, S), "SOSFilter": (V, r"marrowick:blockShape: .*\(M, 4\)"),
                                         "sosfiltfilt": N}),
    (np.array([[1, 0, 0, 1, 0, 0]], ">f8"), x40, N, 0, {"*": N}),
    (SOS2, x40, N, 1.5, {"*": (T, r"marrowick:badAxis: axis must be an integer, got float 1.5$")}),
    (SOS2, x40, N, HUGE, {"*": (A, r"marrowick:badAxis: axis 1180591620717411303424 is out")}),
    (SOS2, np.zeros((16,) + (1,) * 31, np.float32), N, 0,
     {"*": (V, r"marrowick:tooManyDimensions: x may have at most 31 dimensions.*got 32$")}),
]


@pytest.mark.parametrize("front", SOS_FRONTS)
@pytest.mark.parametrize("sos, x, zi, axis, expected", SOS_ARGUMENTS)
def test_sections_arguments(front, sos, x, zi, axis, expected):
    outcome = expected.get(front, expected.get("*"))
    if outcome is None:
        call_sos_front(front, sos, x, zi, axis)
        return
    error, pattern = outcome
    with pytest.raises(error, match=pattern):
        if front == "SOSFilter" and any(name in pattern for name in ("sos", "ziLength", "ziSize") + AT_CONSTRUCTION):
            marrowick.SOSFilter(sos, zi, axis=axis)  # refused at construction, before any block
        else:
            call_sos_front(front, sos, x, zi, axis)


def tampered(f, **attributes):
    """f pickled with some attributes changed, and unpickled."""
    f.__dict__.update(attributes)
    return pickle.loads(pickle.dumps(f))


@pytest.mark.parametrize("call, error, pattern", [
    (lambda: marrowick.filter([1], [1], x2, workers=0), ValueError, "marrowick:badWorkers: .* got 0"),
    (lambda: marrowick.sosfilt(SOS2, x2, workers=-2), ValueError, "marrowick:badWorkers: .* got -2"),
    (lambda: marrowick.lfilter([1], [1], x2, workers=HUGE), ValueError, "marrowick:badWorkers: .* got 1180591"),
    (lambda: marrowick.sosfiltfilt(SOS2, x40, 0, workers=2.0), TypeError, "marrowick:badWorkers: .* got float 2.0$"),
    (lambda: mdask.sosfilt(SOS2, da.zeros((3, 8), dtype=np.float32), workers="1"), TypeError, "marrowick:badWorkers"),
    (lambda: marrowick.lfilter([1], [1], x2, workers=None), None, None),
    (lambda: mdask.filtfilt([1, 2], [1], da.zeros((3, 6), dtype=np.float32)), ValueError,
     "marrowick:padLength: x has 6 samples along axis, padlen 6: the padding must be"),
    (lambda: mdask.sosfiltfilt(SOS2, da.zeros((8, 3), dtype=np.float32), 0, "mirror"), ValueError,
     "marrowick:padType: padtype is str 'mirror': the padding must be"),
    (lambda: mdask.filtfilt([1, 2], [1], da.zeros((8,), dtype=np.float32)[da.arange(8) > 2]), ValueError,
     r"marrowick:unknownChunks: .*compute_chunk_sizes\(\)"),
    (lambda: marrowick.Filter([1, 2], [1]).process(x2.astype(np.int64)), TypeError, "marrowick:unsupportedType"),
    (lambda: tampered(marrowick.SOSFilter(SOS2, axis=0), _zi=np.zeros(3)), ValueError, "marrowick:ziSize"),
    (lambda: tampered(marrowick.Filter([1, 2], [1]), axis=HUGE), np.AxisError, "marrowick:badAxis"),
    (lambda: tampered(marrowick.Filter([1, 2], [1]), b=["x"]), TypeError, "marrowick:notSingle: b"),
])
def test_other_refusals(call, error, pattern):
    if error is None:
        call()
        return
    with pytest.raises(error, match=pattern):
        call()


# Every public function with arguments it accepts; each argument in turn
# takes each odd value, and the call must either work or be refused with an
# identifier on one line (never a binding's or NumPy's own message).
ODD_VALUES = [1.5, HUGE, -HUGE, None, "0", "odd", np.zeros(3, ">f8"), np.float64(2.0), np.zeros(0), np.zeros((0, 6)),
              np.ones((2, 2), np.float32), object(), [[1.0, 2.0], [3.0]], np.array(["x"], object)]
x30 = np.zeros((30, 2), np.float32)
PUBLIC = {
    "filter": (marrowick.filter, dict(b=BA[0], a=BA[1], x=x30, zi=None, axis=0, workers=1)),
    "lfilter": (marrowick.lfilter, dict(b=BA[0], a=BA[1], x=x30, axis=0, zi=None, workers=1)),
    "sosfilt": (marrowick.sosfilt, dict(sos=SOS, x=x30, axis=0, zi=None, workers=1)),
    "filtfilt": (marrowick.filtfilt, dict(b=[1.0, 0.5], a=[1.0, -0.5], x=x30, axis=0, padtype="odd", padlen=None,
                                          method="pad", irlen=None, workers=1)),
    "sosfiltfilt": (marrowick.sosfiltfilt, dict(sos=SOS[:1], x=x30, axis=0, padtype="odd", padlen=None, workers=1)),
    "lfilter_zi": (marrowick.lfilter_zi, dict(b=BA[0], a=BA[1])),
    "sosfilt_zi": (marrowick.sosfilt_zi, dict(sos=SOS)),
    "Filter": (marrowick.Filter, dict(b=BA[0], a=BA[1], zi=None, axis=0)),
    "Filter.process": (lambda x: marrowick.Filter(*BA, np.zeros((4, 2))).process(x), dict(x=x30)),
    "SOSFilter": (marrowick.SOSFilter, dict(sos=SOS, zi=None, axis=0)),
    "SOSFilter.process": (lambda x: marrowick.SOSFilter(SOS, np.zeros((2, 2, 2))).process(x), dict(x=x30)),
    "dask.filter": (mdask.filter, dict(b=BA[0], a=BA[1], x=da.from_array(x30), zi=None, axis=0, workers=1)),
    "dask.lfilter": (mdask.lfilter, dict(b=BA[0], a=BA[1], x=da.from_array(x30), axis=0, zi=None, workers=1)),
    "dask.sosfilt": (mdask.sosfilt, dict(sos=SOS, x=da.from_array(x30), axis=0, zi=None, workers=1)),
    "dask.filtfilt": (mdask.filtfilt, dict(b=[1.0, 0.5], a=[1.0, -0.5], x=da.from_array(x30), axis=0, padtype="odd",
                                           padlen=None, method="pad", irlen=None, workers=1)),
    "dask.sosfiltfilt": (mdask.sosfiltfilt, dict(sos=SOS[:1], x=da.from_array(x30), axis=0, padtype="odd", padlen=None,
                                                 workers=1)),
    "NpyFile": (mdask.NpyFile, dict(path="a.npy")),
    "NpyFile.create": (mdask.NpyFile.create, dict(path="new.npy", shape=(2, 3), dtype=np.float32, overwrite=True)),
    "NpyFile[]": (lambda index: mdask.NpyFile("a.npy")[index], dict(index=0)),
    "NpyFile[]=": (lambda index, value: mdask.NpyFile("a.npy").__setitem__(index, value), dict(index=0, value=1.0)),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::DeprecationWarning", "ignore::FutureWarning",
                            "ignore::numpy.ComplexWarning")
@pytest.mark.parametrize("name, argument", [(n, a) for n, (_, args) in PUBLIC.items() for a in args])
def test_odd_arguments_are_refused_with_an_identifier(name, argument, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    np.save("a.npy", np.zeros((3, 4), np.float32))
    f, arguments = PUBLIC[name]
    raw = []
    for value in ODD_VALUES:
        try:
            f(**dict(arguments, **{argument: value}))
        except Exception as e:
            if not re.fullmatch(r"marrowick:\w+: [^\n]*", str(e)):
                raw.append((value, type(e).__name__, str(e)[:200]))
    assert not raw, raw


def unstable_designs():
    # Stable in double precision; rounded to single a pole moves to |z| = 1.42
    # (1.40 with the poles turned, complex coefficients), in either byte
    # order. A denominator that rounds to zeros, or to infinity, is told so.
    b, a = signal.butter(8, [0.1, 0.2], btype="band")
    turn = np.exp(0.3j * np.arange(a.size))
    pole = r"marrowick:unstable: .*\|z\| = %s.*sosfilt"
    return [(b, a, pole % "1.416"), (b * turn, a * turn, pole % "1.399"),
            (b.astype(">f8"), a.astype(">f8"), pole % "1.416"), ((b * turn).astype(">c16"), a * turn, pole % "1.399"),
            (np.ones(1), np.array([1e-46, 1e-47]), r"marrowick:zeroLeadingCoefficient: a\[0\] = 1e-46 rounds to 0"),
            (np.ones(1), np.array([1e39, 1e38]), r"marrowick:overflow: a\[0\] = 1e\+39 .* rounds to inf, ")]


def output(result):
    """y of any front's result, computed."""
    y = result[0] if isinstance(result, tuple) else result
    return y.compute(scheduler="sync") if isinstance(y, da.Array) else y


@pytest.mark.filterwarnings("error::RuntimeWarning")
@pytest.mark.parametrize("front", FRONTS)
def test_rounding_that_makes_a_unstable_warns(front):
    x = np.linspace(-1, 1, 30, dtype=np.float32).reshape(10, 3)
    for b, a, pattern in unstable_designs():
        with pytest.warns(RuntimeWarning, match=pattern), np.errstate(over="ignore"):
            got = output(call_front(front, b, a, x, None, 0))
        single = np.complex64 if a.dtype.kind == "c" else np.float32
        with np.errstate(over="ignore"):
            b1, a1 = b.astype(single), a.astype(single)
        want = output(call_front(front, b1, a1, x, None, 0))  # already single: no check
        assert_bits(got, want)
    call_front(front, *signal.butter(4, 0.1), x2, None, 0)


@pytest.mark.filterwarnings("error::RuntimeWarning")
@pytest.mark.parametrize("front", SOS_FRONTS)
def test_rounding_that_makes_a_section_unstable_warns(front):
    r = 1 - 1e-9  # poles inside the unit circle; a2 = r*r rounds to 1
    sos = np.array([[1, 0, 0, 1, 0.5, 0.1], [1, 0, 0, 1, -2 * r * np.cos(0.3), r * r]])
    with pytest.warns(RuntimeWarning, match=r"marrowick:unstable: section 1's .*sos\[1, 3:\].*\|z\| = 1\)"):
        call_sos_front(front, sos, x40, None, 0)
    call_sos_front(front, sos.astype(np.float32), x40, None, 0)  # already single: no check


# Calls of each Dask function, the same as calls of the package's function of its name but
# for x: (name, arguments, keywords). Every such function is here, with and without zi.
RETURNS = [
    ("filter", (*BA, x30), {}),
    ("filter", (*BA, x30), dict(zi=np.zeros((4, 2)))),
    ("lfilter", (*BA, x30), dict(axis=0)),
    ("lfilter", (*BA, x30), dict(axis=0, zi=np.zeros((4, 1)))),
    ("sosfilt", (SOS, x30), dict(axis=0)),
    ("sosfilt", (SOS, x30), dict(axis=0, zi=np.zeros((2, 2, 2)))),
    ("filtfilt", (*BA, x30), dict(axis=0)),
    ("sosfiltfilt", (SOS, x30), dict(axis=0, padlen=5)),
]


@pytest.mark.parametrize("name, args, kwargs", RETURNS)
def test_dask_returns_what_the_package_returns(name, args, kwargs):
    """The same convention call for call: an array alone, or a tuple of as many, each the
    package's shape and dtype, lazy."""
    want = getattr(marrowick, name)(*args, **kwargs)
    got = getattr(mdask, name)(*args[:-1], da.from_array(args[-1]), **kwargs)
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and len(got) == len(want), (name, kwargs)
    else:
        assert isinstance(want, np.ndarray) and isinstance(got, da.Array), (name, kwargs)
        want, got = (want,), (got,)
    for g, w in zip(got, want):
        assert isinstance(g, da.Array) and (g.shape, g.dtype) == (w.shape, w.dtype), (name, kwargs)


def test_package_explains_itself():
    names = {}
    exec("from marrowick import *", names)
    assert "filter" not in names and {"lfilter", "sosfilt", "Filter", "SOSFilter"} <= set(names)
    assert re.fullmatch(r"\d+\.\d+\.\d+", marrowick.__version__)
    assert str(inspect.signature(marrowick.filter)) == "(b, a, x, zi=None, *, axis=0, workers=1)"
    assert str(inspect.signature(marrowick.lfilter)) == "(b, a, x, axis=-1, zi=None, *, workers=1)"
    for name in mdask.__all__:  # the Dask front takes what the package's function of the same name takes
        if hasattr(marrowick, name):
            assert inspect.signature(getattr(mdask, name)) == inspect.signature(getattr(marrowick, name)), name
    assert {n for n in mdask.__all__ if hasattr(marrowick, n)} == {call[0] for call in RETURNS}
    for f in (marrowick.filter, marrowick.lfilter, marrowick.sosfilt, marrowick.Filter, marrowick.SOSFilter,
              mdask.filter, mdask.lfilter, mdask.sosfilt, mdask.filtfilt, mdask.sosfiltfilt):
        assert all(s in f.__doc__ for s in ("Parameters", "Examples")), f
    # The docstrings' examples run as shown, and the exceptions they name exist on this NumPy.
    for module in (marrowick, marrowick.zerophase, mdask, marrowick.npyfile):
        assert doctest.testmod(module).failed == 0, module
    documented = [getattr(marrowick, n) for n in marrowick.__all__ + ["filter"]]
    for f in documented + [mdask.filter, mdask.lfilter, mdask.sosfilt, mdask.filtfilt, mdask.sosfiltfilt, mdask.NpyFile,
                           mdask.NpyFile.create]:
        raises = f.__doc__.split("Raises\n")[1].split("\n\n    Warns")[0].split("\n    Notes")[0]
        for line in re.findall(r"^ {4}(\w.*)$", raises, re.M):
            for name in line.split(", "):
                module, _, attribute = name.rpartition(".")
                where = np if module == "numpy" else operator.attrgetter(module[6:])(np) if module else builtins
                assert hasattr(where, attribute), (f, name)


@pytest.mark.parametrize("call", [
    lambda x: marrowick.filter(*signal.butter(8, 0.2), x),
    lambda x: marrowick.sosfilt(signal.butter(8, 0.2, output="sos"), x),
])
def test_other_threads_run_during_a_call(call):
    x = np.random.default_rng(0).uniform(-1, 1, 1 << 22).astype(np.float32)
    seen = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            seen.append(time.perf_counter())

    t = threading.Thread(target=count)
    t.start()
    try:
        while len(seen) < 10:
            time.sleep(0.001)
        start = time.perf_counter()
        call(x)
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
    # The call holds nothing a Python thread needs: the counter ran inside it,
    # well away from its ends.
    margin = (end - start) / 4
    assert any(start + margin < s < end - margin for s in seen), (end - start)


# The README as a newcomer runs it: its fenced code blocks in order, in a
# scratch directory that holds the checkout and the build as `build/`.
#
# By language: `sh` commands run with bash, except those that build or install
# (the README's first command is what the suite runs after; the others take
# minutes); `python` blocks run with Debian's interpreter and the package on
# PYTHONPATH, each section's blocks as one session, skipped where a module they
# import is missing; a `c` or `cpp` block opens with a comment naming its file,
# which is written for the `sh` commands after it to compile and run; `text`
# blocks are synopses and are not run.
README_SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# tools/package-deb and tools/build-wheel are tools/check's own stage.
README_NOT_RUN = ("tools/install-deps", "tools/check", "cmake ", "/usr/bin/python3 -m venv", "build/bench/",
                  "bench/compare", "tools/package-deb", "tools/build-wheel")
README_FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def readme_blocks():
    """(index, section, language, text) of every fenced block."""
    with open(os.path.join(README_SOURCE, "README.md")) as f:
        readme = f.read()
    found = []
    for match in README_FENCE.finditer(readme):
        headings = re.findall(r"^#+ (.*)$", readme[:match.start()], re.M)
        found.append((len(found), headings[-1] if headings else "", match.group(1), match.group(2)))
    return found


def readme_commands(text):
    """The commands of a shell block, continued lines joined."""
    return [c.strip() for c in text.replace("\\\n", " ").splitlines() if c.strip() and not c.startswith("#")]


@pytest.fixture(scope="module")
def readme_scratch(tmp_path_factory):
    runner = os.environ.get("MARROWICK_RUNNER")
    if not runner:
        pytest.skip("MARROWICK_RUNNER is not set")
    d = tmp_path_factory.mktemp("readme")
    for name in os.listdir(README_SOURCE):
        if name not in ("build", ".git"):
            os.symlink(os.path.join(README_SOURCE, name), d / name)
    os.symlink(os.path.dirname(os.path.abspath(runner)), d / "build")
    return d


def run_in(args, cwd, **kw):
    r = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=600, **kw)
    assert r.returncode == 0, "%s\n%s%s" % (args, r.stdout, r.stderr)


def test_readme_blocks_have_known_languages():
    for index, section, language, _ in readme_blocks():
        assert language in ("sh", "python", "c", "cpp", "text"), (index, section, language)


def test_readme_blocks_run_in_order(readme_scratch):
    """Twice in a row: a block run again replaces its own outputs."""
    found = readme_blocks()
    last = {section: index for index, section, language, _ in found if language == "python"}
    sessions = {}
    for index, section, language, text in found + found:
        if language == "sh":
            for command in readme_commands(text):
                if not command.startswith(README_NOT_RUN):
                    run_in(["bash", "-euo", "pipefail", "-c", command], readme_scratch)
        elif language == "python":
            # A section's blocks are one session, run at its last block.
            session = sessions.setdefault(section, [])
            session.append(text)
            if index != last[section]:
                continue
            del sessions[section]
            imported = re.findall(r"^\s*(?:import|from) (\w+)", "\n".join(session), re.M)
            missing = [m for m in imported if m != "marrowick" and importlib.util.find_spec(m) is None]
            if missing:
                print("%s: not run, %s is not installed" % (section, ", ".join(missing)))
                continue
            env = dict(os.environ, PYTHONPATH="build/python")
            run_in(["/usr/bin/python3", "-c", "\n".join(session)], readme_scratch, env=env)
        elif language in ("c", "cpp"):
            name = re.match(r"(?://|/\*) *([\w.-]+\.(?:c|cpp))\b", text)
            assert name, "block %d (%s) does not open with a comment naming its file" % (index, section)
            (readme_scratch / name.group(1)).write_text(text)
