"""marrowick.dask: chunked filtering equals one marrowick.filter call on the whole array."""

import os
import re
import subprocess
import sys

import dask
import dask.array as da
import distributed
import numpy as np
import pytest
from conftest import assert_bits
from dask.array.core import PerformanceWarning

import marrowick
import marrowick.dask as mdask

pytestmark = pytest.mark.filterwarnings("ignore::dask.array.core.PerformanceWarning")

PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(marrowick.__file__)))
TIMEOUT = 60  # seconds for any one computation on the cluster


def signal(shape, complex_=False, seed=0, double=False):
    rng = np.random.default_rng(seed)
    v = rng.standard_normal(shape)
    if complex_:
        v = v + 1j * rng.standard_normal(shape)
    if double:
        return v
    return v.astype(np.complex64 if complex_ else np.float32)


# A third-order low-pass; "complex b, a" shifts it in frequency.
B = np.array([0.0985, 0.2956, 0.2956, 0.0985], np.float32)
A = np.array([1.0, -0.5772, 0.4218, -0.0563], np.float32)
SHIFT = np.exp(0.7j * np.arange(4)).astype(np.complex64)

# (x shape, axis, x chunks, which inputs are complex ("d": x and zi in double
# precision), zi: None / numpy / dask / empty)
CASES = [
    ((60, 7), 0, ((10, 0, 25, 25), (3, 4)), "d", "numpy"),
    ((5, 3, 40), -1, ((2, 3), (1, 2), (7, 0, 33)), "bad", "dask"),
    ((4, 45), 1, ((1, 1, 2), (0, 9, 9, 27)), "baxd", None),
    ((60, 7), 0, ((10, 0, 25, 25), (3, 4)), "", "numpy"),
    ((60, 7), 0, ((60,), (7,)), "x", None),
    ((5, 3, 40), -1, ((2, 3), (1, 2), (7, 0, 33)), "ba", "dask"),
    ((4, 45), 1, ((1, 1, 2), (0, 9, 9, 27)), "bax", None),
    ((40,), 0, ((13, 27),), "zi", "numpy"),
    ((0, 4), 0, ((0,), (2, 2)), "", "dask"),
    ((30, 6), 0, ((1,) * 30, (3, 3)), "", "empty"),
]


@pytest.fixture(scope="module")
def cluster_client():
    """Two worker processes on 127.0.0.1, one thread each, for the module's tests."""
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (PACKAGE_PARENT, os.environ.get("PYTHONPATH")) if p
    )
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, memory_limit=0,
    ) as cluster, distributed.Client(cluster, timeout=TIMEOUT, set_as_default=False) as client:
        yield client


@pytest.fixture(params=["threads", "processes"])
def compute(request):
    """Computes dask collections on the threaded scheduler or on the process cluster."""
    if request.param == "threads":
        return lambda *c: dask.compute(*c, scheduler="threads")
    client = request.getfixturevalue("cluster_client")
    return lambda *c: tuple(client.compute(list(c), sync=False)[i].result(TIMEOUT)
                            for i in range(len(c)))


# Two sections of the same low-pass; "complex b, a" shifts them alike.
SOS = np.array([[0.0985, 0.197, 0.0985, 1.0, -0.42, 0.18], [1.0, 1.0, 0.0, 1.0, -0.16, 0.0]], np.float32)


@pytest.mark.parametrize("front", ["filter", "lfilter", "sosfilt"])
@pytest.mark.parametrize("shape, axis, chunks, complex_, zi_kind", CASES)
def test_any_chunking_equals_one_call(compute, front, shape, axis, chunks, complex_, zi_kind):
    """Each front returns what the package's function of its name returns for the same call
    (y alone, or y and zf), with its bits."""
    double = "d" in complex_
    x = signal(shape, "x" in complex_, double=double)
    if front == "sosfilt":
        coefficients = (SOS * np.tile(SHIFT[:3], 2) if "ba" in complex_ else SOS,)
        lead, length = [2], 2
    else:
        coefficients = (B * SHIFT, A * SHIFT) if "ba" in complex_ else (B, A)
        lead, length = [], 0 if zi_kind == "empty" and front == "filter" else 3
    # "empty": filter's zero-state path; lfilter's and sosfilt's zi of length 1 along the other
    # axes, broadcast.
    zi_shape = lead + [length if d == axis % len(shape) else 1 if zi_kind == "empty" and front != "filter" else n
                       for d, n in enumerate(shape)]
    zi = None if zi_kind is None else signal(zi_shape, "zi" in complex_, seed=1, double=double)
    dzi = da.from_array(zi, chunks=1) if zi_kind == "dask" else zi
    dx = da.from_array(x).rechunk(chunks)
    if front == "filter":
        want, got = marrowick.filter(*coefficients, x, zi, axis=axis), mdask.filter(*coefficients, dx, dzi, axis=axis)
    else:
        want = getattr(marrowick, front)(*coefficients, x, axis, zi)
        got = getattr(mdask, front)(*coefficients, dx, axis, dzi)
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and len(got) == len(want)
    else:
        assert isinstance(got, da.Array)
        want, got = (want,), (got,)
    assert got[0].chunks == chunks and all(g.dtype == w.dtype for g, w in zip(got, want))
    for g, w in zip(compute(*got), want):
        assert_bits(g, w)


# (x shape, axis, x chunks, which inputs are complex ("d": x in double precision), padtype, padlen)
ZERO_PHASE = [
    ((60, 7), 0, ((60,), (7,)), "", "odd", None),                      # one chunk
    ((60, 7), 0, ((10, 0, 25, 25), (3, 4)), "x", "even", None),        # uneven, one empty
    ((5, 3, 40), -1, ((2, 3), (1, 2), (7, 0, 33)), "ba", "constant", 5),
    ((40,), 0, ((13, 27),), "", None, None),
    ((30, 6), 0, ((1,) * 30, (3, 3)), "ba", "odd", 0),
    ((50, 2), 0, ((20, 20, 10), (1, 1)), "x", "odd", 49),             # padding from the whole signal
    ((3, 97), 1, ((2, 1), tuple(int(n) for n in np.random.default_rng(5).multinomial(97, [1 / 9] * 9))), "x",
     "odd", None),                                                     # a random chunking
    ((60, 7), 0, ((10, 0, 25, 25), (3, 4)), "d", "odd", None),
    ((4, 45), 1, ((1, 1, 2), (1,) * 45), "baxd", "even", None),       # blocks shorter than the padding
    ((5, 3, 40), -1, ((2, 3), (1, 2), (7, 0, 33)), "bad", "constant", 5),
    ((30, 6), 0, ((1,) * 30, (3, 3)), "xd", None, None),
    ((50, 2), 0, ((20, 20, 10), (1, 1)), "d", "odd", 49),
]


@pytest.mark.parametrize("front", ["filtfilt", "sosfiltfilt"])
@pytest.mark.parametrize("shape, axis, chunks, complex_, padtype, padlen", ZERO_PHASE)
def test_zero_phase_any_chunking_equals_one_call(compute, front, shape, axis, chunks, complex_, padtype, padlen):
    x = signal(shape, "x" in complex_, double="d" in complex_)
    if front == "filtfilt":
        coefficients = (B * SHIFT, A * SHIFT) if "ba" in complex_ else (B, A)
    else:
        coefficients = (SOS * np.tile(SHIFT[:3], 2) if "ba" in complex_ else SOS,)
    want = getattr(marrowick, front)(*coefficients, x, axis, padtype, padlen)
    y = getattr(mdask, front)(*coefficients, da.from_array(x).rechunk(chunks), axis, padtype, padlen)
    assert y.chunks == chunks and y.dtype == want.dtype
    assert_bits(compute(y)[0], want)


EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples")


@pytest.mark.parametrize("example", ["dask_large_file.py", "dask_zero_phase.py"])
def test_examples_run_twice_and_check_their_bits(tmp_path, example):
    """Once in a temporary directory of its own (it prints no path it then removes), then
    twice in a row in one directory, replacing its output; each run checks its bits."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join((PACKAGE_PARENT, EXAMPLES)))
    for where in ([], ["--dir", str(tmp_path)], ["--dir", str(tmp_path)]):
        r = subprocess.run([sys.executable, os.path.join(EXAMPLES, example), "--gib", "0.004", "--workers", "1"]
                           + where, capture_output=True, text=True, env=env, timeout=300)
        assert r.returncode == 0, r.stdout + r.stderr
        assert "bits" in r.stdout and "equal to" in r.stdout, r.stdout
        for path in re.findall(r"(/\S+\.npy)", r.stdout):
            assert os.path.exists(path), (path, r.stdout)
    assert sorted(os.listdir(tmp_path)) == ["x.npy", "y.npy"]


def test_importing_marrowick_leaves_dask_out():
    code = "import sys, marrowick; assert 'dask' not in sys.modules, sorted(sys.modules)"
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    subprocess.run([sys.executable, "-c", code], env=env, check=True, timeout=TIMEOUT)


class Counting:
    """An array-like that counts how many blocks were read from it."""

    def __init__(self, data):
        self.data, self.shape, self.dtype, self.ndim, self.reads = data, data.shape, data.dtype, data.ndim, 0

    def __getitem__(self, index):
        self.reads += 1
        return self.data[index]


def test_building_the_graph_reads_nothing():
    x, zi = Counting(signal((50, 4))), Counting(signal((3, 4), seed=1))
    dx, dzi = da.from_array(x, chunks=(20, 2)), da.from_array(zi, chunks=(3, 4))
    x.reads = zi.reads = 0
    y, zf = mdask.filter(B, A, dx, dzi)
    assert (x.reads, zi.reads) == (0, 0)
    want_y, _ = marrowick.filter(B, A, x.data, zi.data)
    assert_bits(y.compute(scheduler="sync"), want_y)


@pytest.mark.filterwarnings("error::dask.array.core.PerformanceWarning")
@pytest.mark.parametrize("channel_chunks, workers, warns", [(1, 2, True), (2, 2, False), (1, 1, False)])
def test_warns_when_channel_chunks_are_fewer_than_workers(channel_chunks, workers, warns):
    x = da.zeros((10, 4), dtype=np.float32, chunks=(5, 4 // channel_chunks))
    with dask.config.set(scheduler="threads", num_workers=workers):
        if warns:
            with pytest.warns(PerformanceWarning, match="chunk"):
                mdask.filter(B, A, x)
        else:
            mdask.filter(B, A, x)


@pytest.mark.parametrize("x, zi, error", [
    (da.zeros((8, 2), dtype=np.int64), None, TypeError),
    (da.zeros((8, 2), dtype=np.float32), np.zeros((3, 3), np.float32), ValueError),
    (da.zeros((8, 2), dtype=np.float32), np.zeros((2, 2), np.float32), ValueError),
])
def test_rejects_bad_arguments_when_building(x, zi, error):
    with pytest.raises(error):
        mdask.filter(B, A, x, zi)


def peak_since_reset(reset=False):
    """On a worker: resets the peak resident size, or returns its growth since the reset."""
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    if reset:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return int(status["VmRSS"].split()[0]) * 1024
    return int(status["VmHWM"].split()[0]) * 1024


@pytest.mark.parametrize("front", ["filter", "sosfiltfilt"])
def test_store_of_a_large_input_holds_a_few_chunks_per_worker(cluster_client, tmp_path, front):
    # 16 channels of 2**21 samples (128 MiB) in 4 channel chunks of 1 MiB blocks: each worker
    # filters 64 MiB from file to file and may grow by 32 MiB at most (zero-phase filtering
    # too: it holds states, never the forward output).
    src, dst = tmp_path / "x.npy", tmp_path / "y.npy"
    x = np.lib.format.open_memmap(src, mode="w+", dtype=np.float32, shape=(16, 2**21))
    for i in range(16):
        x[i] = signal(2**21, seed=i)
    del x
    x = da.from_array(mdask.NpyFile(src), chunks=(4, 2**16))
    y = mdask.filter(B, A, x, axis=1)[0] if front == "filter" else mdask.sosfiltfilt(SOS, x, axis=1)
    target = mdask.NpyFile.create(dst, y.shape, y.dtype)
    before = cluster_client.run(peak_since_reset, True)
    stored = da.store(y, target, lock=False, compute=False)
    cluster_client.compute(stored).result(TIMEOUT)
    growth = {w: peak - before[w] for w, peak in cluster_client.run(peak_since_reset).items()}
    assert max(growth.values()) < 32 * 2**20, growth
    want = marrowick.filter(B, A, np.load(src), axis=1)[0] if front == "filter" else \
        marrowick.sosfiltfilt(SOS, np.load(src), axis=1)
    assert_bits(np.load(dst), want)


def test_zero_phase_beyond_the_workers_memory(tmp_path):
    # 384 MiB from file to file on two workers limited to 320 MiB each (an idle worker holds
    # about 130 MiB): the bits of the in-memory call.
    src, dst = tmp_path / "x.npy", tmp_path / "y.npy"
    x = np.lib.format.open_memmap(src, mode="w+", dtype=np.float32, shape=(16, 6 * 2**20))
    for i in range(16):
        x[i] = signal(6 * 2**20, seed=i)
    del x
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_PARENT, os.environ.get("PYTHONPATH")) if p)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, memory_limit="320MiB",
    ) as cluster, distributed.Client(cluster, timeout=TIMEOUT, set_as_default=False) as client:
        y = mdask.sosfiltfilt(SOS, da.from_array(mdask.NpyFile(src), chunks=(4, 2**18)), axis=1)
        stored = da.store(y, mdask.NpyFile.create(dst, y.shape, y.dtype), lock=False, compute=False)
        client.compute(stored).result(4 * TIMEOUT)
    assert_bits(np.load(dst), marrowick.sosfiltfilt(SOS, np.load(src), axis=1))


@pytest.mark.parametrize("shape, index, order", [
    ((3, 4, 2000), np.s_[0:2, 1:3, 5:1500], "C"),  # runs of at least 4 KiB: one system call each
    ((10, 20), np.s_[2:5, 3:9], "C"),              # short runs: read through a memory map
    ((2000, 4, 3), np.s_[5:1500, 1:3, 0:2], "F"),  # the same in Fortran order
    ((10, 20), np.s_[2:5, 3:9], "F"),
    ((6, 5, 4), np.s_[..., 2], "F"),               # an integer and an Ellipsis
    ((600, 3), np.s_[1, ::2], "C"),                # a step along the runs: one element each
    ((3, 600), np.s_[::-1, 2:], "C"),              # a reversed axis
    ((4, 8), np.s_[:, :], "F"),                    # whole axes: one run
    ((), (), "C"),                                  # 0-d
])
def test_npy_file_reads_and_writes_blocks(tmp_path, shape, index, order):
    path, want = tmp_path / "a.npy", np.array(signal(shape, True))
    np.save(path, np.asarray(want, order=order))
    f = mdask.NpyFile(path)
    assert_bits(f[index], want[index])
    want[index] = signal(want[index].shape, True, seed=1)
    f[index] = want[index]
    assert_bits(np.load(path), want)


def test_unknown_chunk_sizes():
    data = signal((20, 6))
    x = da.from_array(data, chunks=(10, 3))
    want = marrowick.filter(B, A, data)[0]
    samples = x[x[:, 0] > -100]  # chunk sizes along time unknown: the blocks are filtered as they come
    assert_bits(mdask.filter(B, A, samples)[0].compute(scheduler="sync"), want)
    channels = x[:, x[0] > -100]  # the channel count unknown until computed
    with pytest.raises(ValueError, match=r"marrowick:unknownChunks: .*axis 1.*compute_chunk_sizes\(\)"):
        mdask.filter(B, A, channels)
    channels.compute_chunk_sizes()
    assert_bits(mdask.filter(B, A, channels)[0].compute(scheduler="sync"), want)


def test_npy_file_create_replaces_a_file_only_when_asked(tmp_path):
    path = tmp_path / "x.npy"
    np.save(path, signal((4, 3)))
    with pytest.raises(FileExistsError, match="^marrowick:fileExists: .*overwrite=True"):
        mdask.NpyFile.create(path, (4, 3), np.float32)
    assert_bits(np.load(path), signal((4, 3)))
    f = mdask.NpyFile.create(path, (2, 5), np.complex64, overwrite=True)
    assert (f.shape, f.dtype) == ((2, 5), np.complex64) and not np.load(path).any()


@pytest.mark.parametrize("shape, dtype, error, pattern", [
    ((-1, 4), np.float32, ValueError, r"marrowick:badShape: .*\(-1, 4\)"),
    ((2,) * 33, np.float32, ValueError, "marrowick:badShape"),
    ((2.0, 3), np.float32, TypeError, "marrowick:badShape"),
    ((2, 3), object, ValueError, "marrowick:badDtype: .* objects, got object"),
    ((2, 3), "f4,O", ValueError, "marrowick:badDtype"),
    ((2, 3), "float128x", TypeError, "marrowick:badDtype"),
])
def test_npy_file_create_checks_before_it_creates(tmp_path, shape, dtype, error, pattern):
    with pytest.raises(error, match=pattern):
        mdask.NpyFile.create(tmp_path / "x.npy", shape, dtype)
    assert os.listdir(tmp_path) == []


FULL_DISK = """
import os, sys, numpy as np
from marrowick.dask import NpyFile
d = sys.argv[1]
np.save(d + "/old.npy", np.arange(4, dtype=np.float32))
for name, overwrite in (("new.npy", False), ("old.npy", True)):
    try:
        NpyFile.create(d + "/" + name, (1024, 1024), np.float32, overwrite=overwrite)  # 4 MiB on 1 MiB
        print("created")
    except OSError as e:
        assert str(e).startswith("marrowick:noSpace") and e.errno == 28, e
assert os.listdir(d) == ["old.npy"] and np.load(d + "/old.npy").tolist() == [0, 1, 2, 3]  # nothing lost, nothing left
for order in "CF":  # blocks whose runs are far shorter than a page, one run in each page of the file
    m = np.lib.format.open_memmap(d + "/sparse.npy", "w+", np.float32, (1024, 1024), order == "F")
    del m
    f = NpyFile(d + "/sparse.npy")
    try:
        for i in range(0, 1024, 16):
            f[(np.s_[i:i + 16], np.s_[0:16])[::1 if order == "C" else -1]] = np.ones((16, 16), np.float32)
        print("stored")
    except OSError as e:
        print("full", e.errno, str(e).split(":")[1])
    os.unlink(d + "/sparse.npy")
"""


def test_npy_file_on_a_full_disk_raises_oserror(tmp_path):
    mount = ["unshare", "-rm", "sh", "-c", f"mount -t tmpfs -o size=1m tmpfs {tmp_path} && exec \"$0\" \"$@\""]
    try:
        probe = subprocess.run(mount + ["true"], capture_output=True, timeout=TIMEOUT)
    except FileNotFoundError:
        pytest.skip("no unshare")
    if probe.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here: " + probe.stderr.decode(errors="replace").strip())
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    r = subprocess.run(mount + [sys.executable, "-c", FULL_DISK, str(tmp_path)], env=env, capture_output=True,
                       text=True, timeout=TIMEOUT)
    assert r.returncode == 0, (r.returncode, r.stderr)  # -7: killed by SIGBUS
    assert r.stdout.split() == ["full", "28", "noSpace"] * 2, r.stdout
