"""Filtering Dask arrays with the state carried exactly from chunk to chunk.

``filter(b, a, x, zi)`` builds, for every chunk of channels of ``x``, a chain of tasks along
time: each task filters one block with ``marrowick.filter`` starting from the state the
previous block left, so the result is bit for bit that of one ``marrowick.filter`` call on
the whole array, whatever the chunking. Chains of different channel chunks are independent
and run in parallel; the blocks of one chain run one after the other.

``NpyFile`` lets a ``.npy`` file on disk be read and written block by block from any worker
process, so arrays larger than memory can be filtered from file to file.
"""

import contextlib
import errno
import math
import operator
import os
import secrets
import stat
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


def _block(b, a, x, zi, axis, workers=1):
    """One link of a chain: filter block ``x`` from state ``zi``; returns ``(y, zf)``.

    Workers look this function up by name, so they need nothing but ``import marrowick``.
    """
    return _core._filter(b, a, x, zi, axis, workers)


def _sections_block(sos, x, zi, axis, workers=1):
    """One link of a chain of sections: block ``x`` through the cascade from state ``zi``
    (None: from rest); returns ``(y, zf)``."""
    return _core._sosfilt(sos, x, zi, axis, workers)


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


def filter(b, a, x, zi=None, *, axis=0, workers=1):
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
    workers : int or None, optional
        The most threads each block is filtered on, as in
        `marrowick.filter` (default 1; -1: one per core of the machine that
        runs the block).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks.
    zf : dask.array.Array
        The final states, lazy: x's chunks along the other axes, one chunk
        along `axis`.

    Raises
    ------
    TypeError, ValueError, numpy.AxisError
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
    x = _signal(x)
    x_complex = _core._check_signal(x.dtype)
    _core._check_dimensions(x.ndim, 0)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
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
    return _chains("marrowick", _block, (b, a), x, zi, axis, workers, zf_chunks, dtype)


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


def _signal(x):
    """x as a Dask array (its dtype is checked next)."""
    if isinstance(x, da.Array):
        return x
    try:
        return da.asarray(x)
    except Exception:
        raise TypeError(f"marrowick:notSingle: x must be a float32 or complex64 array, got "
                        f"{_core._argument_text(x)}") from None


def _state_numbers(zi):
    """zi as checked numbers (a NumPy array unless it is a Dask array), and whether complex."""
    if not isinstance(zi, da.Array):
        zi = _core._check_numbers(zi, "zi")
    elif any(math.isnan(n) for n in zi.shape):
        raise ValueError(f"marrowick:unknownChunks: zi's shape {zi.shape} is not known (nan); call "
                         f"zi.compute_chunk_sizes() first")
    return zi, _core._check_numbers(np.empty(0, zi.dtype), "zi").dtype.kind == "c"


def sosfilt(sos, x, axis=-1, zi=None, *, workers=1):
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
    axis : int, optional
        The axis time runs along (default -1, as `marrowick.sosfilt`).
    zi : array_like or dask.array.Array, optional
        Initial states of shape ``(n_sections, ..., 2, ...)``: per section
        x's shape with `axis` of length 2; dimensions of length 1 other than
        `axis` broadcast. None (the default) is the zero state.
    workers : int or None, optional
        The most threads each block is filtered on, as in
        `marrowick.sosfilt` (default 1).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks.
    zf : dask.array.Array
        The final states ``(n_sections, ..., 2, ...)``, lazy: x's chunks along
        the other axes, one chunk along the first axis and along `axis`.

    Raises
    ------
    TypeError, ValueError, numpy.AxisError
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
    x = _signal(x)
    x_complex = _core._check_signal(x.dtype)
    _core._check_dimensions(x.ndim, 1)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
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
    return _chains("marrowick-sos", _sections_block, (sos,), x, zi, axis, workers, zf_chunks, dtype)


def _chains(prefix, step, coefficients, x, zi, axis, workers, zf_chunks, dtype):
    """The graph of a filter along axis: per chunk of channels, a chain of steps
    ``step(*coefficients, block, state, axis, workers) -> (y, zf)`` along time, each from the state
    the previous one left (zi's block, or from rest for None). zf_chunks are the final
    states' chunks: x's along the other axes, one chunk along axis, and a leading axis of
    one chunk when they are one dimension longer than x. Returns ``(y, zf)``."""
    ndim = x.ndim
    lead = len(zf_chunks) - ndim
    token = tokenize(*coefficients, x, zi, axis, workers)
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
            steps[key] = (step, *coefficients, source.task((x.name,) + index(channel, t)), states[j], axis, workers)
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
    parallel = _parallelism()
    if parallel is not None and n_channel_chunks < parallel:
        warnings.warn(
            f"x has {n_channel_chunks} chunk(s) of channels for {parallel} workers; blocks along "
            f"axis {axis} run one after another, so only {n_channel_chunks} can be busy "
            f"(rechunk the other axes into at least {parallel} chunks)",
            PerformanceWarning,
            stacklevel=3,
        )
    return y, zf


class NpyFile:
    """A ``.npy`` file as an array Dask reads blocks from and stores blocks into.

    Parameters
    ----------
    path : str or os.PathLike
        An existing ``.npy`` file of numbers, in C or Fortran order (`create`
        makes a new one).

    Attributes
    ----------
    path : str
    shape : tuple of int
    dtype : numpy.dtype

    Raises
    ------
    TypeError
        ``marrowick:badPath``: path is no path.
    OSError
        ``marrowick:badFile``: the file cannot be opened (its ``errno`` and
        class, e.g. FileNotFoundError, are the system's).
    ValueError
        ``marrowick:badFile``: the file is no ``.npy`` file, or holds Python
        objects.

    Notes
    -----
    It pickles as its path, and every block access opens the file, copies the
    block and closes it again, so any worker process that sees the file can
    use it and none holds more of the file than the block it copies.

    A block indexed by integers, slices and an Ellipsis (what Dask reads and
    stores) goes to and from the file in runs of consecutive bytes, one
    system call each, in either order of the file. Every store is written
    so, with positioned writes (other indexes are refused with
    ``marrowick:badIndex``), so a full disk is an ``OSError`` with
    ``marrowick:noSpace`` and never a signal, and nothing maps a file for
    writing. Reads of runs shorter than 4 KiB, and reads by other indexes, go
    through a read-only memory map. `create` reserves the whole file on disk,
    so writes into a file it made never meet a full disk.

    Examples
    --------
    >>> x = da.from_array(NpyFile("x.npy"), chunks=(64, 2**20))  # doctest: +SKIP
    >>> y, zf = marrowick.dask.filter(b, a, x, axis=1)  # doctest: +SKIP
    >>> da.store(y, NpyFile.create("y.npy", y.shape, y.dtype), lock=False)  # doctest: +SKIP
    """

    RUN = 4096  # shortest run, in bytes, read with a system call

    def __init__(self, path):
        self.path = _path(path)
        try:
            m = np.load(self.path, mmap_mode="r")
        except OSError as e:
            raise _os_error(e, f"marrowick:badFile: cannot open {self.path}: {e.strerror or e}") from None
        except Exception as e:
            raise ValueError(f"marrowick:badFile: {self.path} is not a .npy file of numbers: {_line(e)}") from None
        if not isinstance(m, np.ndarray):
            raise ValueError(f"marrowick:badFile: {self.path} is not a .npy file of one array")
        self.shape, self.dtype, self.offset = m.shape, m.dtype, m.offset
        # A file of one element or none is in both orders; Fortran only when it says so.
        self.c_order = m.flags.c_contiguous or not m.flags.f_contiguous
        del m

    @classmethod
    def create(cls, path, shape, dtype, *, overwrite=False):
        """Create a C-order ``.npy`` file of this shape and dtype, its space
        reserved on disk.

        Parameters
        ----------
        path : str or os.PathLike
        shape : int or tuple of int
        dtype : numpy.dtype or str
            Any dtype that holds no Python objects.
        overwrite : bool, optional
            Replace an existing file (default False: refuse it, since it may
            be the very input being read). The new file takes its place at
            once when it is complete; a failure leaves the old one as it was.

        Returns
        -------
        NpyFile

        Raises
        ------
        TypeError
            ``marrowick:badPath``, ``marrowick:badShape``,
            ``marrowick:badDtype``, ``marrowick:badOverwrite``: path, shape,
            dtype or overwrite is of no such kind.
        ValueError
            ``marrowick:badShape`` (a negative length, more than 32
            dimensions), ``marrowick:badDtype`` (a dtype holding objects),
            ``marrowick:notRegular`` (path is a directory, a device or
            another special file).
        FileExistsError
            ``marrowick:fileExists``: the file exists and `overwrite` is
            False.
        OSError
            ``marrowick:noSpace``: the disk cannot hold the file;
            ``marrowick:badFile``: it cannot be created. Nothing is left
            behind.

        Notes
        -----
        Shape and dtype are checked before anything is created, and whatever
        was created is removed on any failure (an interrupt included).
        """
        path = _path(path)
        shape = _shape(shape)
        dtype = _dtype(dtype)
        try:
            overwrite = bool(operator.index(overwrite))
        except TypeError:
            raise TypeError(f"marrowick:badOverwrite: overwrite must be True or False, got "
                            f"{type(overwrite).__name__}") from None
        header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape}
        size = math.prod(shape) * dtype.itemsize
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and not overwrite:
            raise FileExistsError(errno.EEXIST,
                                  f"marrowick:fileExists: {path} exists; NpyFile.create(..., overwrite=True) "
                                  "replaces it")
        if st is not None and not stat.S_ISREG(st.st_mode):
            raise ValueError(f"marrowick:notRegular: {path} is not a regular file; NpyFile.create replaces only "
                             "regular files")
        target = path
        if overwrite:  # built beside the old file and renamed over it when complete
            directory = os.path.dirname(path) or "."
            target = os.path.join(directory, f".marrowick-{os.getpid()}-{secrets.token_hex(6)}.npy")
        try:
            fd = os.open(target, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            raise FileExistsError(errno.EEXIST,
                                  f"marrowick:fileExists: {path} exists; NpyFile.create(..., overwrite=True) "
                                  "replaces it") from None
        except OSError as e:
            raise _os_error(e, f"marrowick:badFile: cannot create {path}: {e.strerror or e}") from None
        try:
            try:
                with os.fdopen(os.dup(fd), "wb") as f:
                    try:
                        np.lib.format.write_array_header_1_0(f, header)
                    except ValueError:  # a header beyond 64 KiB
                        np.lib.format.write_array_header_2_0(f, header)
                    offset = f.tell()
                _reserve(fd, offset, size)
            except OSError as e:
                raise _write_error(e, path, f"cannot reserve {path} for an array of shape {shape} and dtype "
                                            f"{dtype}") from e
            finally:
                os.close(fd)
            if target != path:
                os.replace(target, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(target)
            raise
        return cls(path)

    @property
    def ndim(self):
        return len(self.shape)

    def _ranges(self, index):
        """The index as a range per axis of the file (an integer: a range of
        one, its axis left out of the block), or None when it is not made of
        integers, slices and one Ellipsis."""
        index = index if isinstance(index, tuple) else (index,)
        ellipses = [k for k, i in enumerate(index) if i is Ellipsis]
        if len(ellipses) > 1:
            return None
        if ellipses:
            k = ellipses[0]
            index = index[:k] + (slice(None),) * (self.ndim - len(index) + 1) + index[k + 1:]
        if len(index) > self.ndim:
            return None
        index = index + (slice(None),) * (self.ndim - len(index))
        ranges, kept = [], []
        for d, (i, n) in enumerate(zip(index, self.shape)):
            if isinstance(i, slice):
                ranges.append(range(*i.indices(n)))
                kept.append(True)
                continue
            if isinstance(i, (bool, np.bool_)):
                return None
            try:
                k = operator.index(i)
            except TypeError:
                return None
            if not -n <= k < n:
                raise IndexError(f"marrowick:badIndex: index {k} is out of range for axis {d} of {self.path}, "
                                 f"of length {n}")
            ranges.append(range(k % n, k % n + 1))
            kept.append(False)
        return ranges, kept

    def _runs(self, ranges):
        """The axes of the block's runs of consecutive bytes in the file,
        outermost first, and the other axes (the runs' positions)."""
        order = list(range(self.ndim))
        if self.c_order:
            order.reverse()  # innermost in the file first
        inner = []
        for d in order:
            r = ranges[d]
            if r.step != 1 and len(r) > 1:
                break
            inner.append(d)
            if len(r) != self.shape[d]:
                break
        outer = [d for d in range(self.ndim) if d not in inner]
        return inner[::-1], outer

    def _pieces(self, ranges):
        """(the runs' axes, the other axes, per run: its position along the
        other axes and its offset in the file)."""
        inner, outer = self._runs(ranges)
        strides, step = [0] * self.ndim, self.dtype.itemsize
        for d in (reversed(range(self.ndim)) if self.c_order else range(self.ndim)):
            strides[d], step = step, step * self.shape[d]
        base = self.offset + sum(r.start * s for r, s in zip(ranges, strides) if len(r))
        lengths = [len(ranges[d]) for d in outer]

        def positions():
            for lead in np.ndindex(*lengths):
                yield lead, base + sum(i * ranges[d].step * strides[d] for i, d in zip(lead, outer))

        run = math.prod(len(ranges[d]) for d in inner) * self.dtype.itemsize
        return inner, outer, run, positions()

    def __getitem__(self, index):
        plan = self._ranges(index)
        if plan is not None:
            ranges, kept = plan
            inner, outer, run, positions = self._pieces(ranges)
            if run >= self.RUN:
                full = np.empty([len(r) for r in ranges], self.dtype)
                view = full.transpose(outer + inner)  # runs innermost, in the file's order
                block = np.empty(view.shape, self.dtype)
                fd = _open(self.path, os.O_RDONLY)
                try:
                    for lead, offset in positions:
                        piece = memoryview(block[lead]).cast("B")
                        while piece:
                            n = os.preadv(fd, [piece], offset)
                            if n <= 0:
                                raise EOFError(f"marrowick:badFile: {self.path} is shorter than its header says")
                            piece, offset = piece[n:], offset + n
                except OSError as e:
                    raise _os_error(e, f"marrowick:badFile: cannot read {self.path}: {e.strerror or e}") from None
                finally:
                    os.close(fd)
                view[...] = block
                return full[tuple(slice(None) if k else 0 for k in kept)]
        try:
            m = np.load(self.path, mmap_mode="r")
            block = np.array(m[index])
        except OSError as e:
            raise _os_error(e, f"marrowick:badFile: cannot read {self.path}: {e.strerror or e}") from None
        except (IndexError, TypeError, ValueError) as e:
            raise IndexError(f"marrowick:badIndex: {_line(e)}") from None
        del m
        return block

    def __setitem__(self, index, value):
        plan = self._ranges(index)
        if plan is None:
            raise TypeError(f"marrowick:badIndex: NpyFile stores blocks indexed by integers, slices and an "
                            f"Ellipsis, got {type(index).__name__}")
        ranges, kept = plan
        shape = [len(r) for r in ranges]
        block = tuple(n for n, k in zip(shape, kept) if k)
        try:
            value = np.asarray(value)
        except Exception:
            raise TypeError(f"marrowick:notSingle: a block must be an array, got {_core._argument_text(value)}") \
                from None
        try:
            value = np.broadcast_to(value.astype(self.dtype, copy=False), block).reshape(shape)
        except (TypeError, ValueError) as e:
            raise ValueError(f"marrowick:blockShape: a value of shape {value.shape} and dtype {value.dtype} "
                             f"does not fit a block of shape {block} and dtype {self.dtype}: {_line(e)}") from None
        if 0 in shape:
            return
        inner, outer, run, positions = self._pieces(ranges)
        value = value.transpose(outer + inner)  # runs innermost, in the file's order
        fd = _open(self.path, os.O_WRONLY)
        try:
            for lead, offset in positions:
                piece = memoryview(np.ascontiguousarray(value[lead])).cast("B")
                while piece:
                    n = os.pwritev(fd, [piece], offset)
                    if n <= 0:
                        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                    piece, offset = piece[n:], offset + n
        except OSError as e:
            raise _write_error(e, self.path, f"cannot write a block of {self.path}") from None
        finally:
            os.close(fd)

    def __dask_tokenize__(self):
        st = os.stat(self.path)
        return ("marrowick.dask.NpyFile", self.path, st.st_mtime_ns, st.st_size)

    def __repr__(self):
        return f"NpyFile({self.path!r}, shape={self.shape}, dtype={self.dtype})"


def _line(e):
    """An exception's text on one line, for a message of ours."""
    return " ".join(str(e).split())


def _path(path):
    try:
        path = os.fspath(path)
    except TypeError:
        raise TypeError(f"marrowick:badPath: path must be a str or os.PathLike, got {type(path).__name__}") from None
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not path or "\0" in path:
        raise ValueError(f"marrowick:badPath: path must name a file, got {path!r}")
    return path


def _shape(shape):
    """A file's shape: non-negative integers, at most 32 of them."""
    try:
        shape = (operator.index(shape),)
    except TypeError:
        try:
            shape = tuple(operator.index(n) for n in shape)
        except TypeError:
            raise TypeError(f"marrowick:badShape: shape must be an integer or a tuple of integers, got "
                            f"{_core._argument_text(shape)}") from None
    if any(n < 0 for n in shape) or len(shape) > 32:
        raise ValueError(f"marrowick:badShape: shape must have at most 32 lengths of 0 or more, got "
                         f"{_core._argument_text(shape)}")
    return shape


def _dtype(dtype):
    try:
        dtype = np.dtype(dtype)
    except TypeError as e:
        raise TypeError(f"marrowick:badDtype: dtype is not a NumPy dtype: {_line(e)}") from None
    if dtype.hasobject:
        raise ValueError(f"marrowick:badDtype: a file holds numbers, not Python objects, got {dtype}")
    return dtype


def _os_error(e, message):
    """An OSError of e's class and errno with our message."""
    error = type(e)(message) if isinstance(e, OSError) else OSError(message)
    error.errno = getattr(e, "errno", None)
    return error


def _write_error(e, path, what):
    if e.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
        return _os_error(e, f"marrowick:noSpace: {what}: {e.strerror or e}")
    return _os_error(e, f"marrowick:badFile: {what}: {e.strerror or e}")


def _open(path, flags):
    try:
        return os.open(path, flags)
    except OSError as e:
        raise _os_error(e, f"marrowick:badFile: cannot open {path}: {e.strerror or e}") from None


def _reserve(fd, offset, size):
    """Allocates bytes [offset, offset + size) of the file on disk (zeros)."""
    if size == 0:
        return
    if offset + size > sys.maxsize:  # beyond any file's size
        raise OSError(errno.EFBIG, os.strerror(errno.EFBIG))
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
