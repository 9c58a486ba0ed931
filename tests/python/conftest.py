"""Shared helpers of the Python package's tests: random cases per kernel,
the runner as the reference, bit-pattern comparison."""

import os
import subprocess
import tempfile

import numpy as np
import pytest

if os.environ.get("MARROWICK_REQUIRE_PACKAGE"):
    import marrowick  # noqa: F401  (ctest: a missing package is a failure, not a skip)
else:
    marrowick = pytest.importorskip("marrowick")

KERNELS = ["CC", "CR", "RC", "RRZ", "RR"]
# The double-precision kernels (float64 or complex128 x): all real; complex
# coefficients over complex data; complex coefficients over real data.
DOUBLE_KERNELS = ["DRR", "DCC", "DCR"]


def rand(rng, shape, complex_):
    v = rng.uniform(-1, 1, shape)
    if complex_:
        v = v + 1j * rng.uniform(-1, 1, shape)
    return v


def case(kernel, nb=4, na=3, x_shape=(40, 3), a0=1.0, seed=0):
    """b, a (float64 or complex128, as designs come), x (float32 or
    complex64, time on axis 0; float64 or complex128 for the double
    kernels) and zi for the kernel of the dispatch table."""
    rng = np.random.default_rng(seed)
    coef_c = kernel in ("CC", "CR", "DCC", "DCR")
    data_c = kernel in ("CC", "RC", "DCC")
    b = rand(rng, nb, coef_c)
    a = 0.3 * rand(rng, na, coef_c)
    a[0] = a0
    if kernel in DOUBLE_KERNELS:
        x = rand(rng, x_shape, data_c)
    else:
        x = rand(rng, x_shape, data_c).astype(np.complex64 if data_c else np.float32)
    L = max(nb, na) - 1
    zi = rand(rng, (L,) + x_shape[1:], kernel == "RRZ")
    return b, a, x, zi


def run_runner(b, a, x, zi):
    """The module's call through the runner: x with time on axis 0, zi of
    shape (L or 0, *x.shape[1:])."""
    runner = os.environ.get("MARROWICK_RUNNER")
    if not runner:
        pytest.skip("MARROWICK_RUNNER is not set")

    def single(v):
        v = np.asarray(v)
        return v.astype(np.complex64 if v.dtype.kind == "c" else np.float32)

    with tempfile.TemporaryDirectory(prefix="marrowick-py-") as d:
        names = [os.path.join(d, n + ".npy") for n in ("b", "a", "x", "zi", "y", "zf")]
        for name, v in zip(names, (b, a, x, zi)):
            np.save(name, single(v))
        r = subprocess.run([runner, "filter"] + names, capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        return np.load(names[4]), np.load(names[5])


def sosfilt_chain(sos, x, zi=None, axis=-1):
    """The reference of sosfilt: section after section, each a filter call
    on the output of the one before; zi of shape (n_sections, ..., 2, ...)
    (broadcast) or None. Returns (y, zf)."""
    from marrowick import _core

    sos = np.asarray(sos)
    y, zf = x, []
    if zi is not None:
        shape = list(np.shape(x))
        shape[axis] = 2
        zi = np.broadcast_to(zi, (sos.shape[0],) + tuple(shape))
    for k in range(sos.shape[0]):
        y, z = _core._lfilter(sos[k, :3], sos[k, 3:], y, None if zi is None else zi[k], axis)
        zf.append(z)
    return y, np.stack(zf)


def sections_case(mix, n, x_shape, axis, seed=0):
    """sos (n stable sections, float64 or complex128), x (float32 or
    complex64) and zi (n_sections, ..., 2, ...) for a kernel mix of the
    cascade: RR, RRZ (then RC), RC, CR (then CC) or CC."""
    rng = np.random.default_rng(seed)
    sos = rand(rng, (n, 6), mix in ("CR", "CC"))
    sos[:, 3] = rng.uniform(0.5, 2, n)  # a0 other than 1
    sos[:, 4:] *= 0.3 * np.abs(sos[:, 3:4])
    data_c = mix in ("RC", "CC")
    x = rand(rng, x_shape, data_c).astype(np.complex64 if data_c else np.float32)
    shape = list(x_shape)
    shape[axis] = 2
    zi = rand(rng, (n,) + tuple(shape), mix == "RRZ")
    return sos, x, zi


def assert_bits(got, want, signed_zeros=True):
    """Bit for bit: any NaN equals any NaN; +0 and -0 alike unless
    signed_zeros."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype and got.shape == want.shape, (got.dtype, got.shape, want.dtype, want.shape)
    part, bits = (np.float64, np.uint64) if got.dtype in (np.float64, np.complex128) else (np.float32, np.uint32)
    g = np.ascontiguousarray(got).reshape(-1).view(part)
    w = np.ascontiguousarray(want).reshape(-1).view(part)
    same = (g.view(bits) == w.view(bits)) | (np.isnan(g) & np.isnan(w))
    if not signed_zeros:
        same |= (g == 0) & (w == 0)
    bad = np.flatnonzero(~same)
    assert bad.size == 0, "%d of %d values differ, first at %d: %r vs %r" % (
        bad.size, g.size, bad[0], g[bad[0]], w[bad[0]])


@pytest.fixture
def piece_limit():
    """Sets the largest count of one kernel call for the test."""
    from marrowick import _core

    previous = []

    def set_limit(n):
        previous.append(_core._set_piece_limit(n))

    yield set_limit
    if previous:
        _core._set_piece_limit(previous[0])
