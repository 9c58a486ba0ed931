"""Filtering Dask arrays with the state carried exactly from chunk to chunk.

``filter(b, a, x, zi)`` builds, for every chunk of channels of ``x``, a chain of tasks along
time: each task filters one block with ``marrowick.filter`` starting from the state the
previous block left, so the result is bit for bit that of one ``marrowick.filter`` call on
the whole array, whatever the chunking. Chains of different channel chunks are independent
and run in parallel; the blocks of one chain run one after the other.

``NpyFile`` lets a ``.npy`` file on disk be read and written block by block from any worker
process, so arrays larger than memory can be filtered from file to file.
"""

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

__all__ = ["filter", "NpyFile"]


def _block(b, a, x, zi, axis):
    """One link of a chain: filter block ``x`` from state ``zi``; returns ``(y, zf)``.

    Workers look this function up by name, so they need nothing but ``import marrowick``.
    """
    return marrowick.filter(b, a, x, zi, axis=axis)


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
    """Filter the dask array ``x`` along ``axis`` with ``b/a``; returns lazy ``(y, zf)``.

    Same arguments and results as ``marrowick.filter``: ``x`` is float32 or complex64, ``zi``
    (None, a NumPy or a dask array) has x's shape with ``axis`` replaced by
    ``L = max(len(b), len(a)) - 1`` (or 0 for the zero-state path). ``y`` has x's chunks;
    ``zf`` has x's chunks along the other axes and one chunk along ``axis``.

    Chunks along ``axis`` are filtered in order, each from the state the previous one left;
    chunks along the other axes in parallel. Warns (``PerformanceWarning``) when there are
    fewer chunks of channels than the scheduler has workers.
    """
    x = da.asarray(x)
    ndim = x.ndim
    if ndim == 0:
        raise ValueError("x must have at least one dimension")
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis {axis} is out of range for an array of {ndim} dimensions")
    axis = operator.index(axis) % ndim
    b = np.asarray(b)
    a = np.asarray(a)

    # A call on empty blocks checks the arguments and gives the dtypes and the state length
    # exactly as the whole-array call would, without touching any data.
    probe_shape = [min(n, 1) for n in x.shape]
    probe_shape[axis] = 0
    if zi is None:
        zi_probe = None
    else:
        if not isinstance(zi, da.Array):
            zi = np.asarray(zi)
        zi_probe = np.zeros(
            [zi.shape[axis] if d == axis else n for d, n in enumerate(probe_shape)]
            if zi.ndim == ndim
            else zi.shape,
            zi.dtype,
        )
    _, zf_probe = marrowick.filter(b, a, np.empty(probe_shape, x.dtype), zi_probe, axis=axis)
    L = zf_probe.shape[axis]
    complex_ = any(np.iscomplexobj(v) for v in (b, a, x._meta, zi_probe))
    dtype = np.dtype(np.complex64 if complex_ else np.float32)
    zf_shape = x.shape[:axis] + (L,) + x.shape[axis + 1 :]
    if zi is not None and tuple(zi.shape) != zf_shape:
        raise ValueError(
            f"zi has shape {tuple(zi.shape)}; expected {zf_shape}: x's shape with axis {axis} "
            f"replaced by the state length {L}"
        )

    zf_chunks = x.chunks[:axis] + ((L,),) + x.chunks[axis + 1 :]
    token = tokenize(b, a, x, zi, axis)
    dependencies = [x]
    if isinstance(zi, da.Array):
        zi = zi.rechunk(zf_chunks)
        dependencies.append(zi)
    elif zi is not None:
        zi = da.from_array(zi, chunks=zf_chunks)
        dependencies.append(zi)

    step_name = "marrowick-step-" + token
    y_name = "marrowick-y-" + token
    zf_name = "marrowick-zf-" + token
    steps, ys, zfs = {}, {}, {}
    channel_ranges = [range(len(c)) for d, c in enumerate(x.chunks) if d != axis]
    n_time = len(x.chunks[axis])
    channels = list(product(*channel_ranges))

    def index(channel, t):
        return channel[:axis] + (t,) + channel[axis:]

    states = [None if zi is None else (zi.name,) + index(c, 0) for c in channels]
    source = _BlockSource(x)
    for t in range(n_time):
        for j, channel in enumerate(channels):
            key = (step_name,) + index(channel, t)
            steps[key] = (_block, b, a, source.task((x.name,) + index(channel, t)), states[j], axis)
            ys[(y_name,) + index(channel, t)] = (operator.getitem, key, 0)
            states[j] = (step_name + "-state",) + index(channel, t)
            steps[states[j]] = (operator.getitem, key, 1)
    for channel, state in zip(channels, states):
        if state is None:
            block_shape = tuple(zf_chunks[d][i] for d, i in enumerate(index(channel, 0)))
            state = (_zeros, block_shape, dtype)
        zfs[(zf_name,) + index(channel, 0)] = state

    # Where the scheduler honours priorities, a block's output and whatever consumes it (a
    # store, say) run before the chain moves on, so outputs do not pile up behind the steps.
    steps = MaterializedLayer(steps, annotations={"priority": -1})
    graph = HighLevelGraph.from_collections(step_name, steps, dependencies=dependencies)
    layers = dict(graph.layers)
    layer_deps = dict(graph.dependencies)
    layers[y_name], layer_deps[y_name] = ys, {step_name}
    layers[zf_name], layer_deps[zf_name] = zfs, {step_name} | (
        {zi.name} if zi is not None else set()
    )
    graph = HighLevelGraph(layers, layer_deps)

    y = da.Array(graph, y_name, chunks=x.chunks, meta=np.empty((0,) * ndim, dtype))
    zf = da.Array(graph, zf_name, chunks=zf_chunks, meta=np.empty((0,) * ndim, dtype))

    n_channel_chunks = int(np.prod([len(r) for r in channel_ranges]))
    workers = _parallelism()
    if workers is not None and n_channel_chunks < workers:
        warnings.warn(
            f"x has {n_channel_chunks} chunk(s) of channels for {workers} workers; blocks along "
            f"axis {axis} run one after another, so only {n_channel_chunks} can be busy "
            f"(rechunk the other axes into at least {workers} chunks)",
            PerformanceWarning,
            stacklevel=2,
        )
    return y, zf


class NpyFile:
    """A ``.npy`` file as an array Dask reads blocks from and stores blocks into.

    It pickles as its path, and every block access opens the file, copies the block and
    closes it again, so any worker process that sees the file can use it and none holds
    more of the file than the block it copies::

        x = da.from_array(NpyFile("x.npy"), chunks=(64, 2**20))
        y, zf = marrowick.dask.filter(b, a, x, axis=1)
        da.store(y, NpyFile.create("y.npy", y.shape, y.dtype), lock=False)

    Blocks made of runs of at least 4 KiB along the last axis of a C-order file are read and
    written with one system call per run (no page faults on a mapping); others go through a
    memory map of the file.
    """

    RUN = 4096  # shortest run, in bytes, read or written with a system call

    def __init__(self, path):
        self.path = os.fspath(path)
        m = np.load(self.path, mmap_mode="r")
        self.shape, self.dtype, self.offset = m.shape, m.dtype, m.offset
        self.c_order = m.flags.c_contiguous
        del m

    @classmethod
    def create(cls, path, shape, dtype):
        """Creates (or replaces) a C-order ``.npy`` file of this shape and dtype."""
        m = np.lib.format.open_memmap(os.fspath(path), mode="w+", dtype=dtype, shape=tuple(shape))
        del m
        return cls(path)

    @property
    def ndim(self):
        return len(self.shape)

    def _runs(self, index):
        """The block's ranges per axis when it is read run by run, else None."""
        if not self.c_order or not self.ndim or not isinstance(index, tuple) or len(index) != self.ndim:
            return None
        if not all(isinstance(i, slice) for i in index):
            return None
        ranges = [range(*i.indices(n)) for i, n in zip(index, self.shape)]
        if ranges[-1].step != 1 or len(ranges[-1]) * self.dtype.itemsize < self.RUN:
            return None
        return ranges

    def _offsets(self, ranges):
        """(position in the block, file offset) of every run of the block."""
        strides = np.cumprod((self.shape[1:] + (1,))[::-1])[::-1] * self.dtype.itemsize
        for lead in np.ndindex(*[len(r) for r in ranges[:-1]]):
            position = [r[i] for r, i in zip(ranges, lead)] + [ranges[-1].start]
            yield lead, self.offset + int(np.dot(position, strides))

    def __getitem__(self, index):
        ranges = self._runs(index)
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
        ranges = self._runs(index)
        if ranges is None:
            m = np.load(self.path, mmap_mode="r+")
            m[index] = value
            del m
            return
        value = np.broadcast_to(np.asarray(value).astype(self.dtype, copy=False), [len(r) for r in ranges])
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
