"""Filtering Dask arrays with the state carried exactly from chunk to chunk.

``filter(b, a, x, zi)`` builds, for every chunk of channels of ``x``, a chain of tasks along
time: each task filters one block with ``marrowick.filter`` starting from the state the
previous block left, so the result is bit for bit that of one ``marrowick.filter`` call on
the whole array, whatever the chunking. Chains of different channel chunks are independent
and run in parallel; the blocks of one chain run one after the other.

``NpyFile`` lets a ``.npy`` file on disk be read and written block by block from any worker
process, so arrays larger than memory can be filtered from file to file.
"""

import errno
import math
import operator
import os
import sys
import warnings
from itertools import product

import numpy as np

import dask
import dask.array as da
from dask.array.core import PerformanceWarning
from dask.base import tokenize
from dask.core import get_deps, ishashable, istask
from dask.sizeof import sizeof
from dask.highlevelgraph import HighLevelGraph, MaterializedLayer

import marrowick
from marrowick import _core

__all__ = ["filter", "sosfilt", "NpyFile"]


def _block(b, a, x, zi, axis):
    """One link of a chain: filter block ``x`` from state ``zi``; returns ``(y, zf)``.

    Workers look this function up by name, so they need nothing but ``import marrowick``.
    """
    return marrowick.filter(b, a, x, zi, axis=axis)


def _sections_block(sos, x, zi, axis):
    """One link of a chain of sections: block ``x`` through the cascade from state ``zi``
    (None: from rest); returns ``(y, zf)``."""
    return _core._sosfilt(sos, x, zi, axis, 1)


class _BlockSource:
    """Turns a block of a dask array into a task the filter step evaluates itself.

    A block that is a separate task with no dependencies (a read from a file, say) is ready
    from the start, and schedulers run such tasks early: they would read the blocks of one
    chain far ahead of the step that needs them while the other chains wait. So the block's
    task, and every task only it depends on, are inlined into the step: a block is read when
    its step runs and freed when the step ends. Tasks that other blocks share stay separate,
    unless they are small values.
    """

    def __init__(self, x):
        self.graph = dict(x.__dask_graph__())
        _, dependents = get_deps(self.graph)
        self.private = {k for k, users in dependents.items() if len(users) <= 1}
        # Small shared values (the handle of a file all blocks read from) are inlined too:
        # as a separate task it would sit on one worker, which would then get every step.
        self.private |= {
            k for k, v in self.graph.items()
            if not istask(v) and not (ishashable(v) and v in self.graph) and sizeof(v) <= 2**16
        }

    def task(self, key):
        return self._inline(self.graph[key])

    def _inline(self, task):
        if istask(task):
            return (task[0],) + tuple(self._inline(arg) for arg in task[1:])
        if isinstance(task, list):
            return [self._inline(arg) for arg in task]
        if ishashable(task) and task in self.private:
            return self._inline(self.graph[task])
        return task


def _zeros(shape, dtype):
    return np.zeros(shape, dtype)


def _parallelism():
    """How many tasks the scheduler that will run the graph can run at once, if known."""
    scheduler = dask.config.get("scheduler", None)
    if scheduler in (None, "dask.distributed", "distributed") and "distributed" in sys.modules:
        from distributed import default_client

        try:
            client = default_client()
        except ValueError:
            client = None
        if client is not None:
            workers = client.scheduler_info().get("workers", {})
            return sum(w.get("nthreads", 1) for w in workers.values())
    if scheduler in ("sync", "synchronous", "single-threaded"):
        return 1
    if scheduler in (None, "threads", "threading", "processes", "multiprocessing"):
        from dask.system import CPU_COUNT

        return dask.config.get("num_workers", None) or CPU_COUNT
    return None


def filter(b, a, x, zi=None, *, axis=0):
    """Filter a Dask array along an axis with b/a, the state carried exactly
    from chunk to chunk.

    Parameters
    ----------
    b, a : array_like
        Coefficients as for `marrowick.filter`: vectors of real or complex
        numbers in any orientation, checked and rounded to single precision
        while the graph is built.
    x : dask.array.Array
        The signal, float32 or complex64. Its chunk sizes along the axes other
        than `axis` must be known; along `axis` they may be unknown.
    zi : array_like or dask.array.Array, optional
        Initial states: x's shape with `axis` of length
        ``L = max(len(b), len(a)) - 1`` (or 0: the zero-state path). None
        (the default) is the zero state.
    axis : int, optional
        The axis time runs along (default 0).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks.
    zf : dask.array.Array
        The final states, lazy: x's chunks along the other axes, one chunk
        along `axis`.

    Raises
    ------
    TypeError, ValueError, numpy.exceptions.AxisError
        As `marrowick.filter`, while the graph is built (nothing is read);
        ``marrowick:unknownChunks`` when the chunk sizes along an axis other
        than `axis` are unknown (call ``x.compute_chunk_sizes()``).

    Warns
    -----
    dask.array.core.PerformanceWarning
        When there are fewer chunks of channels than the scheduler has
        workers.
    RuntimeWarning
        ``marrowick:unstable``, as `marrowick.filter`.

    Notes
    -----
    The result is bit for bit that of one `marrowick.filter` call on the
    whole array, whatever the chunking. Chunks along `axis` are filtered in
    order, each from the state the previous one left; chunks along the other
    axes in parallel.

    Examples
    --------
    >>> import dask.array as da, numpy as np, marrowick.dask
    >>> x = da.ones((100, 4), dtype=np.float32, chunks=(25, 2))
    >>> y, zf = marrowick.dask.filter([0.5, 0.5], [1.0], x)
    >>> y.chunks
    ((25, 25, 25, 25), (2, 2))
    """
    x = da.asarray(x)
    x_complex = _core._check_signal(x.dtype)
    axis = _core._check_axis(axis, x.ndim)
    b, a, L = _core._coefficients(b, a)
    x_shape = _channels_known(x, axis)
    zi_complex = False
    if zi is not None:
        zi, zi_complex = _state_numbers(zi)
        _core._check_state(tuple(zi.shape), x_shape, axis, L)
        L = zi.shape[axis]
    complex_ = x_complex or zi_complex or b.dtype.kind == "c" or a.dtype.kind == "c"
    dtype = np.dtype(np.complex64 if complex_ else np.float32)

    zf_chunks = x.chunks[:axis] + ((L,),) + x.chunks[axis + 1:]
    return _chains("marrowick", _block, (b, a), x, zi, axis, zf_chunks, dtype)


def _channels_known(x, axis):
    """x's shape with 0 along axis (its length may be unknown there), or
    marrowick:unknownChunks when a chunk size along another axis is unknown."""
    unknown = [d for d, c in enumerate(x.chunks) if d != axis and any(math.isnan(n) for n in c)]
    if unknown:
        raise ValueError(
            f"marrowick:unknownChunks: x's chunk sizes along axis {unknown[0]} are unknown (nan), and the "
            f"channels are split along it; call x.compute_chunk_sizes() first (along the time axis {axis} "
            f"they may stay unknown)"
        )
    return tuple(0 if d == axis else n for d, n in enumerate(x.shape))


def _state_numbers(zi):
    """zi as checked numbers (a NumPy array unless it is a Dask array), and whether complex."""
    if not isinstance(zi, da.Array):
        zi = _core._check_numbers(zi, "zi")
    return zi, _core._check_numbers(np.empty(0, zi.dtype), "zi").dtype.kind == "c"


def sosfilt(sos, x, zi=None, *, axis=0):
    """Filter a Dask array along an axis with a cascade of second-order
    sections, the states carried exactly from chunk to chunk.

    Parameters
    ----------
    sos : array_like
        Sections as for `marrowick.sosfilt`: real or complex numbers of shape
        ``(n_sections, 6)``, checked and rounded to single precision while
        the graph is built.
    x : dask.array.Array
        The signal, float32 or complex64. Its chunk sizes along the axes other
        than `axis` must be known; along `axis` they may be unknown.
    zi : array_like or dask.array.Array, optional
        Initial states of shape ``(n_sections, ..., 2, ...)``: per section
        x's shape with `axis` of length 2; dimensions of length 1 other than
        `axis` broadcast. None (the default) is the zero state.
    axis : int, optional
        The axis time runs along (default 0).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks.
    zf : dask.array.Array
        The final states ``(n_sections, ..., 2, ...)``, lazy: x's chunks along
        the other axes, one chunk along the first axis and along `axis`.

    Raises
    ------
    TypeError, ValueError, numpy.exceptions.AxisError
        As `marrowick.sosfilt`, while the graph is built (nothing is read);
        ``marrowick:unknownChunks`` as `filter`.

    Warns
    -----
    dask.array.core.PerformanceWarning
        When there are fewer chunks of channels than the scheduler has
        workers.
    RuntimeWarning
        ``marrowick:unstable``, as `marrowick.sosfilt`.

    Notes
    -----
    The result is bit for bit that of one `marrowick.sosfilt` call on the
    whole array, whatever the chunking: each block goes through all the
    sections in one call, from the states the previous block left.

    Examples
    --------
    >>> import dask.array as da, numpy as np, marrowick.dask
    >>> sos = [[0.25, 0.5, 0.25, 1.0, -0.5, 0.5], [0.5, 0.0, 0.0, 1.0, -0.5, 0.0]]
    >>> x = da.ones((100, 4), dtype=np.float32, chunks=(25, 2))
    >>> y, zf = marrowick.dask.sosfilt(sos, x)
    >>> zf.shape, zf.chunks
    ((2, 2, 4), ((2,), (2,), (2, 2)))
    """
    x = da.asarray(x)
    x_complex = _core._check_signal(x.dtype)
    axis = _core._check_axis(axis, x.ndim)
    sos = marrowick._single_sections(sos)
    n = sos.shape[0]
    x_shape = _channels_known(x, axis)
    zi_complex = False
    if zi is not None:
        zi, zi_complex = _state_numbers(zi)
        shape = _core._check_state(tuple(zi.shape), x_shape, axis, 2, True, n)
        if tuple(zi.shape) != shape:
            zi = (da if isinstance(zi, da.Array) else np).broadcast_to(zi, shape)
    dtype = np.dtype(np.complex64 if x_complex or zi_complex or sos.dtype.kind == "c" else np.float32)
    zf_chunks = ((n,),) + x.chunks[:axis] + ((2,),) + x.chunks[axis + 1:]
    return _chains("marrowick-sos", _sections_block, (sos,), x, zi, axis, zf_chunks, dtype)


def _chains(prefix, step, coefficients, x, zi, axis, zf_chunks, dtype):
    """The graph of a filter along axis: per chunk of channels, a chain of steps
    ``step(*coefficients, block, state, axis) -> (y, zf)`` along time, each from the state
    the previous one left (zi's block, or from rest for None). zf_chunks are the final
    states' chunks: x's along the other axes, one chunk along axis, and a leading axis of
    one chunk when they are one dimension longer than x. Returns ``(y, zf)``."""
    ndim = x.ndim
    lead = len(zf_chunks) - ndim
    token = tokenize(*coefficients, x, zi, axis)
    dependencies = [x]
    if isinstance(zi, da.Array):
        zi = zi.rechunk(zf_chunks)
        dependencies.append(zi)
    elif zi is not None:
        zi = da.from_array(zi, chunks=zf_chunks)
        dependencies.append(zi)

    step_name = prefix + "-step-" + token
    y_name = prefix + "-y-" + token
    zf_name = prefix + "-zf-" + token
    steps, ys, zfs = {}, {}, {}
    channel_ranges = [range(len(c)) for d, c in enumerate(x.chunks) if d != axis]
    n_time = len(x.chunks[axis])
    channels = list(product(*channel_ranges))

    def index(channel, t):
        return channel[:axis] + (t,) + channel[axis:]

    states = [None if zi is None else (zi.name,) + (0,) * lead + index(c, 0) for c in channels]
    source = _BlockSource(x)
    for t in range(n_time):
        for j, channel in enumerate(channels):
            key = (step_name,) + index(channel, t)
            steps[key] = (step, *coefficients, source.task((x.name,) + index(channel, t)), states[j], axis)
            ys[(y_name,) + index(channel, t)] = (operator.getitem, key, 0)
            states[j] = (step_name + "-state",) + index(channel, t)
            steps[states[j]] = (operator.getitem, key, 1)
    for channel, state in zip(channels, states):
        if state is None:
            block_shape = tuple(zf_chunks[d][i] for d, i in enumerate((0,) * lead + index(channel, 0)))
            state = (_zeros, block_shape, dtype)
        zfs[(zf_name,) + (0,) * lead + index(channel, 0)] = state

    # Where the scheduler honours priorities, a block's output and whatever consumes it (a
    # store, say) run before the chain moves on, so outputs do not pile up behind the steps.
    steps = MaterializedLayer(steps, annotations={"priority": -1})
    graph = HighLevelGraph.from_collections(step_name, steps, dependencies=dependencies)
    layers = dict(graph.layers)
    layer_deps = dict(graph.dependencies)
    # The steps hold x's block tasks inlined, which may name keys of any of x's layers: the
    # steps depend on them all, so that no optimisation fuses such a layer away.
    layer_deps[step_name] = layer_deps[step_name] | set(x.__dask_graph__().layers)
    layers[y_name], layer_deps[y_name] = ys, {step_name}
    layers[zf_name], layer_deps[zf_name] = zfs, {step_name} | (
        {zi.name} if zi is not None else set()
    )
    graph = HighLevelGraph(layers, layer_deps)

    y = da.Array(graph, y_name, chunks=x.chunks, meta=np.empty((0,) * ndim, dtype))
    zf = da.Array(graph, zf_name, chunks=zf_chunks, meta=np.empty((0,) * (ndim + lead), dtype))

    n_channel_chunks = int(np.prod([len(r) for r in channel_ranges]))
    workers = _parallelism()
    if workers is not None and n_channel_chunks < workers:
        warnings.warn(
            f"x has {n_channel_chunks} chunk(s) of channels for {workers} workers; blocks along "
            f"axis {axis} run one after another, so only {n_channel_chunks} can be busy "
            f"(rechunk the other axes into at least {workers} chunks)",
            PerformanceWarning,
            stacklevel=3,
        )
    return y, zf


class NpyFile:
    """A ``.npy`` file as an array Dask reads blocks from and stores blocks into.

    Parameters
    ----------
    path : str or os.PathLike
        An existing ``.npy`` file (`create` makes a new one).

    Attributes
    ----------
    path : str
    shape : tuple of int
    dtype : numpy.dtype

    Notes
    -----
    It pickles as its path, and every block access opens the file, copies the
    block and closes it again, so any worker process that sees the file can
    use it and none holds more of the file than the block it copies.

    Blocks of a C-order file indexed by slices (what Dask reads and stores)
    are read with one system call per run along the last axis when the runs
    are at least 4 KiB, and always written with positioned writes, so a full
    disk is an ``OSError`` and never a signal. Other reads and writes go
    through a memory map of the file; `create` reserves the whole file on
    disk, so writes into a file it made never meet a full disk.

    Examples
    --------
    >>> x = da.from_array(NpyFile("x.npy"), chunks=(64, 2**20))  # doctest: +SKIP
    >>> y, zf = marrowick.dask.filter(b, a, x, axis=1)  # doctest: +SKIP
    >>> da.store(y, NpyFile.create("y.npy", y.shape, y.dtype), lock=False)  # doctest: +SKIP
    """

    RUN = 4096  # shortest run, in bytes, read with a system call

    def __init__(self, path):
        self.path = os.fspath(path)
        m = np.load(self.path, mmap_mode="r")
        self.shape, self.dtype, self.offset = m.shape, m.dtype, m.offset
        self.c_order = m.flags.c_contiguous
        del m

    @classmethod
    def create(cls, path, shape, dtype, *, overwrite=False):
        """Create a C-order ``.npy`` file of this shape and dtype, its space
        reserved on disk.

        Parameters
        ----------
        path : str or os.PathLike
        shape : tuple of int
        dtype : numpy.dtype or str
        overwrite : bool, optional
            Replace an existing file (default False: refuse it, since it may
            be the very input being read).

        Returns
        -------
        NpyFile

        Raises
        ------
        FileExistsError
            ``marrowick:fileExists``: the file exists and `overwrite` is
            False.
        OSError
            ``marrowick:noSpace``: the disk cannot hold the file (nothing is
            left behind).
        """
        path = os.fspath(path)
        dtype = np.dtype(dtype)
        shape = tuple(operator.index(n) for n in shape)
        header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape}
        flags = os.O_RDWR | os.O_CREAT | (os.O_TRUNC if overwrite else os.O_EXCL)
        try:
            fd = os.open(path, flags, 0o666)
        except FileExistsError:
            raise FileExistsError(
                f"marrowick:fileExists: {path} exists; NpyFile.create(..., overwrite=True) replaces it"
            ) from None
        try:
            with os.fdopen(os.dup(fd), "wb") as f:
                try:
                    np.lib.format.write_array_header_1_0(f, header)
                except ValueError:  # a header beyond 64 KiB
                    np.lib.format.write_array_header_2_0(f, header)
                offset = f.tell()
            _reserve(fd, offset, int(np.prod(shape, dtype=np.int64)) * dtype.itemsize)
        except OSError as e:
            os.close(fd)
            os.unlink(path)
            error = OSError(f"marrowick:noSpace: cannot reserve {path} for an array of shape {shape} and "
                            f"dtype {dtype}: {e.strerror or e}")
            error.errno = e.errno
            raise error from e
        os.close(fd)
        return cls(path)

    @property
    def ndim(self):
        return len(self.shape)

    def _runs(self, index, shortest):
        """The block's ranges per axis when it goes run by run, else None."""
        if not self.c_order or not self.ndim or not isinstance(index, tuple) or len(index) != self.ndim:
            return None
        if not all(isinstance(i, slice) for i in index):
            return None
        ranges = [range(*i.indices(n)) for i, n in zip(index, self.shape)]
        if ranges[-1].step != 1 or len(ranges[-1]) * self.dtype.itemsize < shortest:
            return None
        return ranges

    def _offsets(self, ranges):
        """(position in the block, file offset) of every run of the block."""
        strides = np.cumprod((self.shape[1:] + (1,))[::-1])[::-1] * self.dtype.itemsize
        for lead in np.ndindex(*[len(r) for r in ranges[:-1]]):
            position = [r[i] for r, i in zip(ranges, lead)] + [ranges[-1].start]
            yield lead, self.offset + int(np.dot(position, strides))

    def __getitem__(self, index):
        ranges = self._runs(index, self.RUN)
        if ranges is None:
            m = np.load(self.path, mmap_mode="r")
            block = np.array(m[index])
            del m
            return block
        block = np.empty([len(r) for r in ranges], self.dtype)
        fd = os.open(self.path, os.O_RDONLY)
        try:
            for lead, offset in self._offsets(ranges):
                run = memoryview(block[lead]).cast("B")
                while run:
                    n = os.preadv(fd, [run], offset)
                    if n <= 0:
                        raise EOFError(f"{self.path} is shorter than its header says")
                    run, offset = run[n:], offset + n
        finally:
            os.close(fd)
        return block

    def __setitem__(self, index, value):
        ranges = self._runs(index, 0)
        if ranges is None:
            m = np.load(self.path, mmap_mode="r+")
            m[index] = value
            del m
            return
        shape = [len(r) for r in ranges]
        if 0 in shape:
            return
        value = np.broadcast_to(np.asarray(value).astype(self.dtype, copy=False), shape)
        fd = os.open(self.path, os.O_WRONLY)
        try:
            for lead, offset in self._offsets(ranges):
                run = memoryview(np.ascontiguousarray(value[lead])).cast("B")
                while run:
                    n = os.pwritev(fd, [run], offset)
                    run, offset = run[n:], offset + n
        finally:
            os.close(fd)

    def __dask_tokenize__(self):
        st = os.stat(self.path)
        return ("marrowick.dask.NpyFile", self.path, st.st_mtime_ns, st.st_size)

    def __repr__(self):
        return f"NpyFile({self.path!r}, shape={self.shape}, dtype={self.dtype})"


def _reserve(fd, offset, size):
    """Allocates bytes [offset, offset + size) of the file on disk (zeros)."""
    if size == 0:
        return
    try:
        os.posix_fallocate(fd, offset, size)
        return
    except OSError as e:
        if e.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
            raise
    # A file system without fallocate: the zeros are written.
    zeros = bytes(min(size, 1 << 20))
    end = offset + size
    while offset < end:
        offset += os.pwrite(fd, memoryview(zeros)[:end - offset], offset)
