"""The package against the module's own results, bit for bit."""

import os
import pickle
import resource
import subprocess
import sys
import tempfile

import numpy as np
import pytest
from conftest import DOUBLE_KERNELS, KERNELS, assert_bits, case, run_runner, sections_case, sosfilt_chain
from scipy import signal

import marrowick


# (kernel, nb, na, a0, x shape, zi of length 0, non-finite values)
RUNNER_CASES = [(k, 4, 3, 1.0, (40, 3), False, False) for k in KERNELS] + [
    (k, 3, 5, a0, (33, 2, 3), False, False) for k, a0 in zip(KERNELS, (0.7 - 0.2j, 1.5j, -2.0, 0.3, 3.0))
] + [(k, 3, 3, 1.0, (25, 4), False, True) for k in KERNELS] + [
    (k, 3, 2, 2.0, (20, 2), True, False) for k in KERNELS] + [
    ("RR", 1, 1, 0.5, (20, 17), False, False),   # L = 0 from the lengths
    ("RR", 3, 3, 0.0, (10, 2), False, False),    # a[0] = 0: infinite gain
    ("RR", 6, 2, 1.0, (200, 19), False, False),  # more channels than one lane group
    ("CC", 9, 12, 1.0, (64, 1), False, False),   # one channel, long state
    ("RRZ", 2, 7, 1.0, (1, 18), False, False),   # one sample
    ("RC", 3, 3, 1.0, (0, 3), False, False),     # no samples: zf is zi
    ("CR", 3, 3, 1.0, (5, 0), False, False),     # no channels
]


@pytest.mark.parametrize("kernel,nb,na,a0,shape,zero_state,nonfinite", RUNNER_CASES)
def test_matches_runner(kernel, nb, na, a0, shape, zero_state, nonfinite):
    b, a, x, zi = case(kernel, nb, na, shape, a0)
    if zero_state:
        zi = zi[:0]
    if nonfinite:
        x.flat[[3, 7, 12]] = [np.inf, np.nan, -np.inf]
        b[1] = np.inf
    want_y, want_zf = run_runner(b, a, x, zi)
    y, zf = marrowick.filter(b, a, x, zi)
    exact = kernel == "RR"
    assert_bits(y, want_y, exact)
    assert_bits(zf, want_zf, exact)
    assert y.flags.c_contiguous  # C order with time on axis 0 stays channel-interleaved


def run_files(args, arrays, block=None, refusal=None, memory=None):
    """The runner on .npy files: args name them (the arrays saved as given)
    or are taken as they stand; returns the loaded y and zf (None when the
    command writes no zf). With a refusal, checks that the run fails with
    that identifier and leaves nothing behind. With memory, the runner's
    address space is limited to that many bytes."""
    runner = os.environ.get("MARROWICK_RUNNER")
    if not runner:
        pytest.skip("MARROWICK_RUNNER is not set")
    with tempfile.TemporaryDirectory(prefix="marrowick-py-") as d:
        path = {name: os.path.join(d, name + ".npy") for name in list(arrays) + ["y", "zf"]}
        for name, v in arrays.items():
            np.save(path[name], v)
        env = dict(os.environ, **({"MARROWICK_BLOCK_BYTES": str(block)} if block else {}))
        limit = (lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))) if memory else None
        r = subprocess.run([runner] + [path.get(a, a) for a in args], capture_output=True, text=True, env=env,
                           preexec_fn=limit)
        if refusal:
            assert r.returncode != 0 and refusal in r.stderr and r.stderr.count("\n") == 1, r.stderr
            assert sorted(os.listdir(d)) == sorted(n + ".npy" for n in arrays)
            return None, None
        assert r.returncode == 0, r.stderr
        return np.load(path["y"]), np.load(path["zf"]) if os.path.exists(path["zf"]) else None


def single(v):
    v = np.asarray(v)
    return v.astype(np.complex64 if v.dtype.kind == "c" else np.float32)


def of_dtype(v, dtype):
    """v (float32 or complex64) in the dtype a row names: "double" is
    float64 or complex128, an integer type takes v scaled to its range."""
    if dtype is None:
        return v
    if dtype == "double":
        return v.astype(np.complex128 if v.dtype.kind == "c" else np.float64)
    if np.dtype(dtype).kind == "u":
        v = np.abs(v)
    return np.round(v * 1000).astype(dtype)


# (kernel, zi from rest, x shape (time first), --axis: where time is moved to, Fortran order, block bytes,
#  refusal, x's dtype (None: float32 or complex64, "double": float64 or complex128), zi's dtype (None: single))
FILTER_RUNNER_CASES = [(k, False, (50, 3), None, False, None) for k in KERNELS] + [
    ("RR", True, (50, 3), None, False, None), ("CR", True, (50, 3), None, False, None),
    ("RR", False, (300, 8), -1, False, 400),     # channels x time: whole channels in pieces
    ("RC", True, (300, 8), 1, True, 400),        # Fortran channels x time: rows of channels
    ("CC", False, (200, 3, 4), 1, False, 256),   # C order, slabs of channels on either side of time
    ("CR", False, (90, 2, 3), -1, False, 200),   # time last of three dimensions
    ("RRZ", False, (100, 3, 2), 1, True, 160),   # Fortran order, slabs of channels
    ("RR", False, (40, 3), -3, False, None, "marrowick:badAxis"),
    # The one dtype rule: double precision with SciPy's bits, integers converted, ZI converted to the state type.
    ("RR", False, (300, 3), None, False, 400, None, "double"),
    ("CC", False, (200, 3, 4), 1, True, 256, None, "double"),
    ("RRZ", False, (90, 2, 3), -1, False, 200, None, "double"),
    ("CR", True, (50, 3), None, False, None, None, "double"),
    ("RC", False, (300, 8), -1, False, 400, None, "double", "double"),
    ("RR", False, (300, 8), -1, False, 400, None, "int16"),
    ("CR", False, (100, 3), None, True, 256, None, "int32"),
    ("RR", False, (50, 3), None, False, 160, None, None, "double"),          # double ZI, single X
    ("RR", False, (40, 3), None, False, None, "marrowick:unsupportedType", "int64"),
]


@pytest.mark.parametrize("kernel,rest,shape,axis,fortran,block,refusal,dtype,zi_dtype",
                         [c + (None,) * (9 - len(c)) for c in FILTER_RUNNER_CASES])
def test_runner_rounds_designs_once(kernel, rest, shape, axis, fortran, block, refusal, dtype, zi_dtype):
    """float64 and complex128 b and a files are rounded once, as the package
    rounds them (used as given in double precision); the word rest starts
    from zeros; --axis filters along another axis than the first, of either
    order; X's dtype decides the precision as in the package."""
    b, a, x, zi = case(kernel, 5, 4, shape)
    x = of_dtype(x, dtype)
    zi = None if rest else of_dtype(single(zi), zi_dtype)
    if axis is not None and refusal is None:
        x, zi = np.moveaxis(x, 0, axis), None if rest else np.moveaxis(zi, 0, axis)
    x = np.asfortranarray(x) if fortran else np.ascontiguousarray(x)
    arrays = {"b": b, "a": a, "x": x} if rest else {"b": b, "a": a, "x": x, "zi": zi}
    options = [] if axis is None else ["--axis=%d" % axis]
    y, zf = run_files(["filter"] + options + ["b", "a", "x", "rest" if rest else "zi", "y", "zf"], arrays, block,
                      refusal)
    if refusal:
        return
    want_y, want_zf = marrowick.filter(b, a, x, zi, axis=axis or 0)
    assert_bits(y, want_y)
    assert_bits(zf, want_zf)
    assert y.flags.f_contiguous == fortran or x.ndim < 2


@pytest.mark.parametrize("command,kernel,dtype,axis", [
    ("filter", "RR", "double", 0), ("filter", "CC", "double", -1), ("filter", "RRZ", "int32", 1),
    ("sosfilt", "RR", "double", 1), ("sosfilt", "RC", "double", 0), ("sosfilt", "CR", "int16", 0),
])
def test_runner_pieces_feed_zf_back(command, kernel, dtype, axis):
    """X in two files, the first's ZF the second's ZI: the bits of one
    call, and for lfilter in real double precision SciPy's own."""
    from scipy import signal
    if command == "filter":
        b, a, x, zi = case(kernel, 4, 5, (120, 3))
        arrays, names = {"b": b, "a": a}, ["b", "a"]
    else:
        sos, x, zi = sections_case(kernel, 3, (120, 3), 0)
        arrays, names = {"sos": sos}, ["sos"]
    ax = axis % x.ndim
    x = np.moveaxis(of_dtype(x, dtype), 0, ax)
    zi = np.moveaxis(zi, 1, 1 + ax) if command == "sosfilt" else np.moveaxis(zi, 0, ax)
    first, second = np.split(x, [37], axis=ax)
    run = [command, "--axis=%d" % axis] + names + ["x", "zi", "y", "zf"]
    y1, zf1 = run_files(run, dict(arrays, x=np.ascontiguousarray(first), zi=zi), 200)
    y2, zf2 = run_files(run, dict(arrays, x=np.asfortranarray(second), zi=zf1), 200)
    if command == "filter":
        want_y, want_zf = marrowick.filter(b, a, x, zi, axis=axis)
    else:
        want_y, want_zf = marrowick.sosfilt(sos, x, axis=axis, zi=zi)
    assert_bits(np.concatenate([y1, y2], axis=ax), want_y)
    assert_bits(zf2, want_zf)
    if command == "filter" and want_y.dtype == np.float64:
        scipy_y, scipy_zf = signal.lfilter(b, a, x, axis=axis, zi=zi)
        assert_bits(want_y, scipy_y)
        assert_bits(want_zf, scipy_zf)


# (kernel mix, sections, x shape, Fortran order, zi: "file", "rest" or "empty", block bytes, --axis, x's dtype,
#  zi's dtype)
SOS_RUNNER_CASES = [(mix, 3, (301, 3, 2), fortran, "file", 2000, 0)
                    for mix in ("RR", "RRZ", "RC", "CR", "CC") for fortran in (False, True)] + [
    ("RR", 2, (200, 3), False, "rest", 2000, 0),      # blocks of whole rows
    ("CC", 4, (700,), False, "empty", 64, 0),         # one channel in many pieces
    ("RC", 8, (40, 70), True, "file", None, 0),       # one block
    ("CR", 2, (0, 3), False, "file", None, 0),        # no samples: zf is zi
    ("RR", 1, (5, 0), True, "rest", None, 0),         # no channels
    ("RR", 2, (8, 300), False, "file", 400, -1),      # channels x time
    ("RC", 3, (8, 300), True, "rest", 400, 1),        # Fortran channels x time
    ("RRZ", 2, (3, 200, 4), False, "file", 256, 1),   # C order, slabs of channels
    ("CC", 2, (2, 3, 90), False, "empty", 200, 2),    # time last, channels permuted for the states
    ("CR", 2, (3, 100, 2), True, "file", 160, -2),    # Fortran order, slabs of channels
    ("RR", 2, (5, 0), False, "file", None, 1),        # no samples along the axis
    ("RR", 3, (301, 3, 2), False, "file", 2000, 0, "double"),   # single ZI, double X
    ("CC", 3, (301, 3, 2), True, "file", 2000, 0, "double"),
    ("RRZ", 2, (3, 200, 4), False, "file", 256, 1, "double", "double"),
    ("CR", 2, (8, 300), True, "rest", 400, -1, "double"),
    ("RC", 4, (700,), False, "empty", 64, 0, "double"),
    ("RR", 2, (200, 3), False, "file", 400, 0, "int16"),
    ("CR", 2, (200, 3), True, "file", 400, 0, "int32"),
    ("RR", 2, (200, 3), False, "file", 400, 0, None, "double"),  # double ZI, single X
]


@pytest.mark.parametrize("mix,n,shape,fortran,zi_mode,block,axis,dtype,zi_dtype",
                         [c + (None,) * (9 - len(c)) for c in SOS_RUNNER_CASES])
def test_sosfilt_runner_matches_package(mix, n, shape, fortran, zi_mode, block, axis, dtype, zi_dtype):
    sos, x, zi = sections_case(mix, n, shape, axis)
    x = of_dtype(x, dtype)
    if fortran:
        x = np.asfortranarray(x)
    zi = of_dtype(single(zi), zi_dtype) if zi_mode == "file" else np.zeros(zi.shape, np.float32)
    arrays = {"sos": sos, "x": x, "zi": zi if zi_mode == "file" else np.zeros(0, np.float32)}
    y, zf = run_files(["sosfilt"] + (["--axis=%d" % axis] if axis else []) +
                      ["sos", "x", "rest" if zi_mode == "rest" else "zi", "y", "zf"], arrays, block)
    want_y, want_zf = marrowick.sosfilt(sos, x, axis=axis, zi=zi)
    assert_bits(y, want_y)
    assert_bits(zf, want_zf)


# (command, kernel mix, x shape, Fortran order, padtype, padlen, block bytes, refusal, --axis, x's dtype)
ZERO_PHASE_RUNNER_CASES = [
    ("filtfilt", mix, (301, 3, 2), fortran, "odd", None, 2000, None)
    for mix in ("RR", "RC", "CR", "CC") for fortran in (False, True)] + [
    ("sosfiltfilt", mix, (301, 3, 2), fortran, "odd", None, 2000, None)
    for mix in ("RR", "RC", "CR", "CC") for fortran in (False, True)] + [
    ("filtfilt", "RC", (200, 5), False, "even", 17, 640, None),       # C order, tiles of rows
    ("filtfilt", "RR", (500,), False, "constant", None, 64, None),    # one channel in many pieces
    ("filtfilt", "CC", (90, 4), True, None, None, 400, None),         # no padding
    ("filtfilt", "RR", (90, 4), False, "odd", 0, 400, None),          # padlen 0
    ("filtfilt", "CR", (60, 3), True, "odd", 59, 256, None),          # padding of all but one sample
    ("filtfilt", "RR", (40, 70), False, "even", None, None, None),    # one block
    ("filtfilt", "RR", (5, 0), True, "odd", 2, None, None),           # no channels
    ("sosfiltfilt", "CC", (700,), False, "even", None, 64, None),
    ("sosfiltfilt", "RC", (150, 4), True, "constant", 30, 512, None),
    ("sosfiltfilt", "CR", (100, 3), False, None, None, 96, None),
    ("filtfilt", "RR", (12, 3), False, "odd", None, None, "marrowick:padLength"),   # 12 samples, padlen 12
    ("sosfiltfilt", "RC", (20, 2), True, "even", 20, None, "marrowick:padLength"),
    ("filtfilt", "RR", (0, 3), False, None, None, None, "marrowick:padLength"),     # no samples
    # Along --axis: channels x time, slabs of channels, either order.
    ("filtfilt", "RC", (6, 300), False, "odd", None, 400, None, -1),
    ("sosfiltfilt", "CC", (6, 300), True, "even", 20, 400, None, 1),
    ("filtfilt", "CR", (3, 120, 4), False, "constant", None, 256, None, 1),
    ("sosfiltfilt", "RR", (3, 120, 2), True, "odd", None, 160, None, 1),
    ("sosfiltfilt", "RC", (2, 3, 90), False, None, None, 200, None, -1),
    ("filtfilt", "RR", (50, 12), False, "odd", None, None, "marrowick:padLength", 1),  # 12 samples along axis 1
    ("sosfiltfilt", "RR", (50, 12), False, "odd", None, None, "marrowick:badAxis", 2),
    # The one dtype rule.
    ("filtfilt", "RR", (301, 3, 2), False, "odd", None, 2000, None, 0, "double"),
    ("filtfilt", "CC", (301, 3, 2), True, "odd", None, 2000, None, 0, "double"),
    ("filtfilt", "RC", (6, 300), False, "odd", None, 400, None, -1, "double"),
    ("sosfiltfilt", "CR", (6, 300), True, "even", 20, 400, None, 1, "double"),
    ("sosfiltfilt", "RC", (150, 4), True, "constant", 30, 512, None, 0, "double"),
    ("filtfilt", "RR", (200, 5), False, "even", 17, 640, None, 0, "int16"),
    ("sosfiltfilt", "RR", (3, 120, 2), True, "odd", None, 160, None, 1, "int32"),
    ("filtfilt", "RR", (40, 3), False, "odd", None, None, "marrowick:unsupportedType", 0, "int64"),
]


@pytest.mark.parametrize("command,mix,shape,fortran,padtype,padlen,block,refusal,axis,dtype",
                         [(c + (0,) * (9 - len(c)) + (None,))[:10] for c in ZERO_PHASE_RUNNER_CASES])
def test_zero_phase_runner_matches_package(command, mix, shape, fortran, padtype, padlen, block, refusal, axis,
                                           dtype):
    """filtfilt and sosfiltfilt of files: forward over the padded signal in
    blocks into a temporary, backward from its end, with the package's bits."""
    options = ["--padtype=" + (padtype or "none")] + ([] if padlen is None else ["--padlen=%d" % padlen])
    options += ["--axis=%d" % axis] if axis else []
    kwargs = dict(axis=axis, padtype=padtype, padlen=padlen)
    if command == "filtfilt":
        b, a, x, _ = case(mix, 4, 3, shape)
        arrays, names = {"b": b, "a": a}, ["b", "a"]
    else:
        sos, x, _ = sections_case(mix, 3, shape, 0)
        arrays, names = {"sos": sos}, ["sos"]
    x = of_dtype(x, dtype)
    arrays["x"] = np.asfortranarray(x) if fortran else x
    y, _ = run_files([command] + options + names + ["x", "y"], arrays, block, refusal)
    if refusal:
        with pytest.raises((ValueError, TypeError), match=refusal):
            marrowick.filtfilt(b, a, x, **kwargs) if command == "filtfilt" else marrowick.sosfiltfilt(sos, x, **kwargs)
        return
    want = marrowick.filtfilt(b, a, x, **kwargs) if command == "filtfilt" else marrowick.sosfiltfilt(sos, x, **kwargs)
    assert y.flags.f_contiguous == (fortran and x.ndim > 1) or x.ndim < 2 or 0 in shape
    assert_bits(y, want)


@pytest.mark.parametrize("command,memory,refusal,axis,dtype", [
    ("filtfilt", 48 << 20, None, 0, np.float32),
    ("sosfiltfilt", 48 << 20, None, 0, np.float32),
    ("sosfiltfilt", 48 << 20, None, -1, np.float32),                 # channels x time
    ("sosfiltfilt", 16 << 20, "marrowick:noMemory", 0, np.float32),  # too little for the blocks: one line, nothing left
    ("sosfiltfilt", 48 << 20, None, 0, np.float64),                  # double precision in the same bound
])
def test_zero_phase_runner_beyond_its_memory(command, memory, refusal, axis, dtype):
    """192 MiB of X filtered by a runner whose whole address space is 48 MiB:
    the bits of the in-memory call."""
    x = np.random.default_rng(5).standard_normal(((192 << 20) // (48 * np.dtype(dtype).itemsize), 48), dtype=dtype)
    if axis:
        x = np.ascontiguousarray(x.T)
    if command == "filtfilt":
        b, a = [0.2, 0.4, 0.2], [1.0, -0.3, 0.1]
        arrays, want = {"b": np.array(b), "a": np.array(a)}, marrowick.filtfilt(b, a, x, axis=axis)
    else:
        sos = np.array([[0.2, 0.4, 0.2, 1.0, -0.3, 0.1], [1.0, -1.0, 0.0, 1.0, -0.5, 0.0]] * 4)
        arrays, want = {"sos": sos}, marrowick.sosfiltfilt(sos, x, axis=axis)
    arrays["x"] = x
    options = ["--axis=%d" % axis] if axis else []
    y, _ = run_files([command] + options + list(arrays) + ["y"], arrays, memory=memory, refusal=refusal)
    if not refusal:
        assert_bits(y, want)


def views(x):
    """The same 3-D signal (time on axis 0) as views of other memory
    layouts, with the axis the time runs along."""
    yield "C, time first", x, 0
    yield "Fortran", np.asfortranarray(x), 0
    yield "C, time last", np.ascontiguousarray(np.moveaxis(x, 0, -1)), -1
    yield "C, time in the middle", np.ascontiguousarray(np.moveaxis(x, 0, 1)), 1
    yield "every other channel", np.repeat(x, 2, axis=2)[:, :, ::2], 0
    yield "every other sample", np.repeat(x, 2, axis=0)[::2], 0
    yield "reversed time", np.ascontiguousarray(x[::-1])[::-1], 0
    yield "permuted channels", np.ascontiguousarray(x.transpose(0, 2, 1)).transpose(0, 2, 1), 0
    unaligned = np.zeros(x.nbytes + 1, np.uint8)[1:].view(x.dtype).reshape(x.shape)
    unaligned[...] = x
    yield "unaligned", unaligned, 0


@pytest.mark.parametrize("kernel", KERNELS + DOUBLE_KERNELS)
def test_layouts_give_the_same_bits(kernel):
    b, a, x, zi = case(kernel, 5, 5, (37, 3, 6))
    want_y, want_zf = marrowick.filter(b, a, x, zi)
    for name, v, axis in views(x):
        assert np.array_equal(np.moveaxis(v, axis, 0), x), name
        y, zf = marrowick.filter(b, a, v, np.moveaxis(zi, 0, axis), axis=axis)
        assert_bits(np.moveaxis(y, axis, 0), want_y)
        assert_bits(np.moveaxis(zf, axis, 0), want_zf)
        assert y.shape == v.shape and zf.shape == np.moveaxis(zi, 0, axis).shape, name


def test_zero_copy_layouts_keep_their_order():
    b, a, x, zi = case("RR", 3, 3, (16, 5))
    assert marrowick.filter(b, a, np.asfortranarray(x), zi)[0].flags.f_contiguous
    assert marrowick.filter(b, a, x.T.copy(), zi.T, axis=1)[0].flags.c_contiguous


@pytest.mark.parametrize("kernel", KERNELS + DOUBLE_KERNELS)
def test_pieces_stream_and_pickle(kernel):
    b, a, x, zi = case(kernel, 4, 6, (90, 5))
    for start in (zi, None):
        want_y, want_zf = marrowick.filter(b, a, x, start)
        f = marrowick.Filter(b, a, start)
        ys = []
        for lo, hi in ((0, 0), (0, 1), (1, 30), (30, 30), (30, 61), (61, 90)):
            ys.append(f.process(x[lo:hi]))
            if hi == 30:
                f = pickle.loads(pickle.dumps(f))
        assert_bits(np.concatenate(ys), want_y)
        assert_bits(f.zi, want_zf)
        f.reset(start)
        assert_bits(f.process(x), want_y)


@pytest.mark.parametrize("kernel", KERNELS + DOUBLE_KERNELS)
def test_chained_pieces_groups_and_workers(kernel, piece_limit):
    b, a, x, zi = case(kernel, 3, 4, (45, 2, 11))
    want = marrowick.filter(b, a, x, zi)
    want0 = marrowick.filter(b, a, x, zi[:0])
    x_last, zi_last = np.moveaxis(x, 0, -1).copy(), np.moveaxis(zi, 0, -1)
    piece_limit(7)  # groups of 2 channels, pieces of 3 samples
    y, zf = marrowick.filter(b, a, x_last, zi_last, axis=-1)
    for got in (marrowick.filter(b, a, x, zi), marrowick.filter(b, a, x, zi, workers=3),
                (np.moveaxis(y, -1, 0), np.moveaxis(zf, -1, 0))):
        assert_bits(got[0], want[0])
        assert_bits(got[1], want[1])
    assert_bits(marrowick.filter(b, a, x, zi[:0], workers=-1)[0], want0[0])


# (kernel mix, sections, x shape, axis, memory order ("reversed": a C array
# reversed along the axis), zi: "full", None or "broadcast" (length 1 along
# the other axes), workers, piece limit)
SECTIONS = [
    ("RR", 1, (40,), 0, "C", "full", 1, None),
    ("RR", 8, (40,), 0, "reversed", "full", 1, None),
    ("RC", 2, (4, 30), -1, "reversed", "full", 1, None),
    ("CR", 3, (30, 20), 0, "reversed", None, 2, 7),
    ("RR", 8, (3, 50, 20), 1, "C", "full", 1, None),
    ("RR", 17, (64, 37), 0, "C", None, 2, None),      # lanes and their remainder, on two threads
    ("RR", 3, (45, 2, 11), 0, "C", "full", 2, 5),     # one channel per group, pieces of 5 samples
    ("RRZ", 2, (60, 5), 0, "F", "full", 1, None),
    ("RRZ", 3, (4, 45), -1, "C", "broadcast", 2, 7),
    ("RC", 3, (4, 70), -1, "C", "full", 2, None),
    ("RC", 8, (2, 30, 3), 1, "F", None, 1, 40),
    ("CR", 17, (30, 6), 0, "C", "full", 1, 7),
    ("CR", 2, (37, 20), 0, "F", "broadcast", 3, None),
    ("CC", 8, (5, 3, 40), -1, "F", "full", 2, 7),
    ("CC", 1, (0, 4), 0, "C", "full", 1, None),        # no samples: zf is zi
]


@pytest.mark.parametrize("mix,n,shape,axis,order,zi_kind,workers,limit", SECTIONS)
def test_sosfilt_is_the_chain_of_filter_calls(mix, n, shape, axis, order, zi_kind, workers, limit, piece_limit):
    sos, x, zi = sections_case(mix, n, shape, axis)
    ax = axis % x.ndim
    x = np.flip(np.flip(x, ax).copy(), ax) if order == "reversed" else np.asarray(x, order=order)
    if zi_kind == "broadcast":
        zi = zi[(slice(None),) + tuple(slice(None) if k == ax else slice(0, 1) for k in range(x.ndim))]
    elif zi_kind is None:
        zi = None
    want_y, want_zf = sosfilt_chain(sos, x, zi, axis)
    if limit:
        piece_limit(limit)
    got = marrowick.sosfilt(sos, x, axis, zi, workers=workers)
    assert_bits(got if zi is None else got[0], want_y)
    if zi is not None:
        assert_bits(got[1], want_zf)

    # Streaming: blocks of any length, 0 included, the object pickled halfway.
    f = marrowick.SOSFilter(sos, None if zi is None else np.broadcast_to(zi, want_zf.shape), axis=axis)
    M = x.shape[ax]
    cuts = [0, 0, min(1, M), M // 2, M // 2, M]
    ys = []
    for lo, hi in zip(cuts, cuts[1:]):
        ys.append(f.process(x[(slice(None),) * ax + (slice(lo, hi),)]))
        if hi == M // 2:
            f = pickle.loads(pickle.dumps(f))
    assert_bits(np.concatenate(ys, axis=ax), want_y)
    assert_bits(f.zi, want_zf)


@pytest.mark.parametrize("kernel", KERNELS + DOUBLE_KERNELS)
def test_a0_zero_gives_infinities_then_nan(kernel):
    # As documented: real coefficients give +-inf first and only non-finite
    # values after; complex coefficients give NaN.
    b, a, x, zi = case(kernel, 3, 3, (12, 2), a0=0.0)
    y = marrowick.filter(b, a, x, zi)[0]
    if kernel in ("CC", "CR", "DCC", "DCR"):
        assert np.isnan(y.real).all() and np.isnan(y.imag).all()
    else:
        assert np.isinf(y.real[0]).all() and not np.isfinite(y).any()


MEMORY = """
import resource, sys, numpy as np, marrowick
shape, axis, workers = eval(sys.argv[1])
x = np.ones(shape, np.float32)
sos = np.array([[0.2, 0.4, 0.2, 1.0, -0.3, 0.1]] * 8)
marrowick.sosfilt(sos, x[..., :1] if axis == -1 else x[:1], axis)  # the code paths paged in
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
y = marrowick.sosfilt(sos, x, axis, workers=workers)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 - y.nbytes)
"""


@pytest.mark.parametrize("shape, axis, workers", [((1 << 24,), -1, 1), ((16, 1 << 20), -1, 2), ((1 << 18, 64), 0, 2)])
def test_sosfilt_reads_x_in_place(shape, axis, workers):
    # 64 MiB of x: the call's peak beyond y stays within a few MiB.
    r = subprocess.run([sys.executable, "-c", MEMORY, repr((shape, axis, workers))], capture_output=True, text=True,
                       env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(marrowick.__file__))))
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < 4 << 20, r.stdout


def scipy_design(kind, order, output, complex_):
    """A filter design as scipy.signal makes it (float64), shifted in
    frequency to a complex one when complex_."""
    w = {"butter": 0.2, "cheby1": 0.05, "ellip": 0.3}[kind]
    make = {"butter": lambda: signal.butter(order, w, output=output),
            "cheby1": lambda: signal.cheby1(order, 1, w, output=output),
            "ellip": lambda: signal.ellip(order, 1, 40, w, output=output)}[kind]
    d = make()
    if not complex_:
        return d
    if output == "sos":
        sos = d.astype(complex)
        sos[:, :3] *= np.exp(0.3j * np.arange(3))
        sos[:, 4:] *= np.exp(0.3j * np.arange(1, 3))
        return sos
    b, a = d
    return b * np.exp(0.3j * np.arange(b.size)), a * np.exp(0.3j * np.arange(a.size))


def special_values(x):
    x = np.array(x)
    flat = x.reshape(-1)
    flat[3], flat[7], flat[11], flat[13] = np.inf, -0.0, 5e-324, np.nan
    return x


# SciPy's float64 (complex128) lfilter and sosfilt as the oracle of the
# double path: (design, order, ba or sos, complex design, x's shape, axis,
# memory order ("F", "C", or "strided": every other sample), complex x, zi
# given, x with special values, a0 scaled (ba only), workers, piece limit).
SCIPY_FLOAT64 = [
    ("butter", 1, "ba", False, (300,), -1, "C", False, False, False, 1.0, 1, None),
    ("butter", 4, "ba", False, (200, 64), 0, "C", False, True, False, 1.0, 1, None),
    ("cheby1", 6, "ba", False, (7, 150), -1, "F", False, True, False, 2.5, 2, None),
    ("ellip", 12, "ba", False, (3, 120, 5), 1, "strided", False, False, False, 1.0, 1, 7),
    ("butter", 3, "ba", True, (90, 17), 0, "C", True, True, False, 1.0, 1, None),
    ("ellip", 5, "ba", True, (80, 3), 0, "F", False, True, False, 0.5 - 0.25j, 3, None),
    ("butter", 2, "ba", False, (40, 9), 0, "C", True, False, True, 1.0, 1, None),
    ("butter", 8, "sos", False, (500,), -1, "C", False, False, False, 1.0, 1, None),
    ("butter", 8, "sos", False, (16, 400), -1, "C", False, True, False, 1.0, 1, None),
    ("cheby1", 10, "sos", False, (300, 256), 0, "C", False, True, False, 1.0, 2, None),
    ("ellip", 12, "sos", False, (5, 60, 3), 1, "strided", False, False, False, 1.0, 1, 5),
    ("butter", 4, "sos", True, (70, 9), 0, "F", True, True, False, 1.0, 1, None),
    ("ellip", 6, "sos", True, (70, 4), 0, "C", False, False, False, 1.0, 1, None),
    ("cheby1", 4, "sos", False, (30, 33), 0, "C", True, False, True, 1.0, 1, None),
    ("butter", 6, "sos", False, (50, 12), 0, "C", False, False, True, 1.0, 1, None),
]


@pytest.mark.parametrize("kind,order,output,cdesign,shape,axis,memory,cx,with_zi,special,a0,workers,limit",
                         SCIPY_FLOAT64)
def test_double_is_scipys_float64(kind, order, output, cdesign, shape, axis, memory, cx, with_zi, special, a0,
                                  workers, limit, piece_limit):
    rng = np.random.default_rng(order)
    x = rng.standard_normal(shape) + (1j * rng.standard_normal(shape) if cx else 0)
    if special:
        x = special_values(x)
    if memory == "F":
        x = np.asfortranarray(x)
    elif memory == "strided":
        x = np.repeat(x, 2, axis=axis)[(slice(None),) * (axis % x.ndim) + (slice(None, None, 2),)]
    if limit:
        piece_limit(limit)
    d = scipy_design(kind, order, output, cdesign)
    if output == "ba":
        b, a = d[0] * a0, d[1] * a0
        zshape = list(x.shape)
        zshape[axis] = max(b.size, a.size) - 1
        zi = rng.standard_normal(zshape) if with_zi else None
        want = signal.lfilter(b, a, x, axis=axis, zi=zi)
        got = marrowick.lfilter(b, a, x, axis=axis, zi=zi, workers=workers)
    else:
        zshape = [d.shape[0]] + list(x.shape)
        zshape[axis % x.ndim + 1] = 2
        zi = rng.standard_normal(zshape) if with_zi else None
        want = signal.sosfilt(d, x, axis=axis, zi=zi)
        got = marrowick.sosfilt(d, x, axis=axis, zi=zi, workers=workers)
    for g, w in zip(got, want) if with_zi else ((got, want),):
        assert_bits(g, w)
    # The same bits in two pieces, the first's zf the second's zi.
    if with_zi and x.shape[axis] > 2:
        cut = x.shape[axis] // 3
        first = np.take(x, range(cut), axis=axis)
        second = np.take(x, range(cut, x.shape[axis]), axis=axis)
        run = (lambda v, z: marrowick.lfilter(b, a, v, axis=axis, zi=z)) if output == "ba" else \
            (lambda v, z: marrowick.sosfilt(d, v, axis=axis, zi=z))
        y1, z1 = run(first, zi)
        y2, z2 = run(second, z1)
        assert_bits(np.concatenate([y1, y2], axis=axis), want[0])
        assert_bits(z2, want[1])
        # A streaming object, pickled between the pieces.
        f = marrowick.Filter(b, a, zi, axis=axis) if output == "ba" else marrowick.SOSFilter(d, zi, axis=axis)
        y1 = f.process(first)
        f = pickle.loads(pickle.dumps(f))
        assert_bits(np.concatenate([y1, f.process(second)], axis=axis), want[0])
        assert_bits(f.zi, want[1])


# Integer signals are converted exactly: 8- and 16-bit ones to float32, 32-bit
# ones to float64.
@pytest.mark.parametrize("dtype,computed", [(np.int8, np.float32), (np.uint16, np.float32), (np.int16, np.float32),
                                            (np.int32, np.float64), (np.uint32, np.float64)])
def test_integer_signals_are_converted_exactly(dtype, computed):
    x = np.random.default_rng(1).integers(np.iinfo(dtype).min, np.iinfo(dtype).max, (80, 3), dtype=dtype)
    sos = signal.butter(4, 0.1, output="sos")
    b, a = signal.butter(3, 0.2)
    for got, want in ((marrowick.sosfilt(sos, x, axis=0), marrowick.sosfilt(sos, x.astype(computed), axis=0)),
                      (marrowick.lfilter(b, a, x, axis=0), marrowick.lfilter(b, a, x.astype(computed), axis=0)),
                      (marrowick.filtfilt(b, a, x, axis=0), marrowick.filtfilt(b, a, x.astype(computed), axis=0))):
        assert got.dtype == computed
        assert_bits(got, want)


# The double zero-phase filters start from the steady states solved exactly,
# where SciPy solves a linear system: the results agree within 1e-7 of
# max|y| for designs whose form is well conditioned (every sos design here;
# ba designs of low order and cutoffs down to 0.01). The local-field-potential
# band (0.3-300 Hz at 30 kHz) cannot run in single precision at all.
# Complex ones: "x" a complex128 signal, "ba" the design shifted in frequency.
@pytest.mark.parametrize("output,kind,order,wn,fs,complex_", [
    ("sos", "butter", 4, [0.3, 300], 30000, ""),
    ("sos", "cheby1", 12, 0.001, None, ""),
    ("sos", "ellip", 8, 0.001, None, ""),
    ("ba", "butter", 4, 0.01, None, ""),
    ("ba", "ellip", 4, 0.05, None, ""),
    ("ba", "cheby1", 2, 0.001, None, ""),
    ("sos", "butter", 4, 0.1, None, "x"),
    ("ba", "butter", 4, 0.05, None, "x"),
    ("sos", "ellip", 4, 0.1, None, "bax"),
    ("ba", "butter", 2, 0.1, None, "ba"),
])
def test_double_zero_phase_agrees_with_scipy(output, kind, order, wn, fs, complex_):
    args = {"butter": (), "cheby1": (1,), "ellip": (1, 40)}[kind]
    btype = "band" if np.ndim(wn) else "low"
    d = getattr(signal, kind)(order, *args, wn, btype=btype, fs=fs, output=output)
    rng = np.random.default_rng(0)
    x = rng.standard_normal((3, 20000)) + (1j * rng.standard_normal((3, 20000)) if "x" in complex_ else 0)
    if "ba" in complex_:
        d = (d * np.tile(np.exp(0.4j * np.arange(3)), 2) if output == "sos"
             else tuple(v * np.exp(0.4j * np.arange(v.size)) for v in d))
    if output == "sos":
        want, got = signal.sosfiltfilt(d, x), marrowick.sosfiltfilt(d, x)
        assert_bits(marrowick.sosfilt(d, x), signal.sosfilt(d, x))
    else:
        want, got = signal.filtfilt(*d, x), marrowick.filtfilt(*d, x)
    assert got.dtype == want.dtype
    assert np.max(np.abs(got - want)) <= 1e-7 * np.max(np.abs(want))
    if fs is not None:
        with pytest.warns(RuntimeWarning, match="marrowick:unstable"), \
                pytest.raises(np.linalg.LinAlgError, match="marrowick:noSteadyState"):
            marrowick.sosfiltfilt(d, x.astype(np.float32))
