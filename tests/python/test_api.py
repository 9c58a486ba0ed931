"""The SciPy-style functions against SciPy in double precision, refusals,
and the GIL released during a call."""

import threading
import time

import numpy as np
import pytest
from scipy import signal

import marrowick


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
REFUSALS = [
    # (call, exception, text in the message)
    (lambda: marrowick.filter([1], [1], x2.astype(np.float64)), TypeError, "marrowick:notSingle"),
    (lambda: marrowick.filter([1], [1], [1.0, 2.0]), TypeError, "marrowick:notSingle"),
    (lambda: marrowick.filter([1], [1], x2.astype(">f4")), TypeError, "marrowick:notSingle"),
    (lambda: marrowick.filter(["1"], [1], x2), TypeError, "marrowick:notSingle"),
    (lambda: marrowick.filter([], [1], x2), ValueError, "marrowick:emptyCoefficients"),
    (lambda: marrowick.Filter([1], []), ValueError, "marrowick:emptyCoefficients"),
    (lambda: marrowick.filter([1, 2, 3], [1], x2, np.zeros((1, 3))), ValueError, "marrowick:ziLength"),
    (lambda: marrowick.filter([1, 2, 3], [1], x2, np.zeros((2, 4))), ValueError, "marrowick:ziSize"),
    (lambda: marrowick.filter([1, 2, 3], [1], x2, np.zeros(6)), ValueError, "marrowick:ziSize"),
    (lambda: marrowick.lfilter([1, 2], [1], x2, zi=np.zeros((10, 2))), ValueError, "marrowick:ziLength"),
    (lambda: marrowick.sosfilt(np.ones((2, 6)), x2, zi=np.zeros((2, 10, 3))), ValueError, "marrowick:ziSize"),
    (lambda: marrowick.sosfilt(np.ones((2, 5)), x2), ValueError, "n_sections, 6"),
    (lambda: marrowick.filter([1], [1], x2, axis=2), np.AxisError, "axis 2"),
    (lambda: marrowick.filter([1], [1], x2, workers=0), ValueError, "workers"),
    (lambda: marrowick.Filter([1, 2], [1]).process(x2.astype(np.float64)), TypeError, "marrowick:notSingle"),
]


@pytest.mark.parametrize("call,error,text", REFUSALS)
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_other_threads_run_during_a_call():
    x = np.random.default_rng(0).uniform(-1, 1, 1 << 22).astype(np.float32)
    b, a = signal.butter(8, 0.2)
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
        marrowick.filter(b, a, x)
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
    # The call holds nothing a Python thread needs: the counter ran inside it,
    # well away from its ends.
    margin = (end - start) / 4
    assert any(start + margin < s < end - margin for s in seen), (end - start)
