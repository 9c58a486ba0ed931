"""Filtering Dask arrays with the state carried exactly from chunk to chunk.

``filter(b, a, x, zi)`` builds, for every chunk of channels of ``x``, a chain of tasks along
time: each task filters one block with ``marrowick.filter`` starting from the state the
previous block left, so the result is bit for bit that of one ``marrowick.filter`` call on
the whole array, whatever the chunking. Chains of different channel chunks are independent
and run in parallel; the blocks of one chain run one after the other. ``lfilter``,
``sosfilt``, ``filtfilt`` and ``sosfiltfilt`` do the same for the package's functions of
those names: each takes what the package's takes and returns what it returns (y alone, or
``(y, zf)`` when zi is given), as lazy Dask arrays.

``NpyFile`` (from ``marrowick.npyfile``, re-exported here) lets a ``.npy`` file on disk be
read and written block by block from any worker process, so arrays larger than memory can be
filtered from file to file.
"""

import math
import operator
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

from marrowick import _core
from marrowick.npyfile import NpyFile
from marrowick.zerophase import _ba, _check_method, _edge, _sections_taps, _sos

__all__ = ["filter", "lfilter", "sosfilt", "filtfilt", "sosfiltfilt", "NpyFile"]


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
        The signal; its dtype decides the precision, as in the package (an
        integer signal is converted chunk by chunk). Its chunk sizes along the axes other
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
    x, double = _signal(x)
    x_complex = x.dtype.kind == "c"
    _core._check_dimensions(x.ndim, 0)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
    b, a, L = _core._coefficients(b, a, False, double)
    x_shape = _channels_known(x, axis)
    zi_complex = False
    if zi is not None:
        zi, zi_complex = _state_numbers(zi)
        _core._check_state(tuple(zi.shape), x_shape, axis, L)
        L = zi.shape[axis]
    complex_ = x_complex or zi_complex or b.dtype.kind == "c" or a.dtype.kind == "c"
    dtype = _result(double, complex_)

    zf_chunks = x.chunks[:axis] + ((L,),) + x.chunks[axis + 1:]
    return _chains("marrowick", _block, (b, a), x, zi, axis, workers, zf_chunks, dtype)


def lfilter(b, a, x, axis=-1, zi=None, *, workers=1):
    """Filter a Dask array along an axis with b/a, with ``scipy.signal.lfilter``'s
    signature and conventions, the state carried exactly from chunk to chunk.

    Parameters
    ----------
    b, a : array_like
        Coefficients as for `marrowick.lfilter`: scalars or 1-D arrays of
        real or complex numbers, checked and rounded to single precision
        while the graph is built.
    x : dask.array.Array
        The signal; its dtype decides the precision, as in the package (an
        integer signal is converted chunk by chunk). Its chunk sizes along the axes other
        than `axis` must be known; along `axis` they may be unknown.
    axis : int, optional
        The axis time runs along (default -1, as `marrowick.lfilter`).
    zi : array_like or dask.array.Array, optional
        Initial states: x's shape with `axis` of length
        ``L = max(len(b), len(a)) - 1``; dimensions of length 1 other than
        `axis` broadcast. None (the default) is the zero state.
    workers : int or None, optional
        The most threads each block is filtered on, as in
        `marrowick.lfilter` (default 1).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks.
    zf : dask.array.Array
        The final states, lazy, returned only when `zi` is given: x's chunks
        along the other axes, one chunk along `axis`.

    Raises
    ------
    TypeError, ValueError, numpy.AxisError
        As `marrowick.lfilter`, while the graph is built (nothing is read);
        ``marrowick:unknownChunks`` as `filter`.

    Warns
    -----
    dask.array.core.PerformanceWarning
        When there are fewer chunks of channels than the scheduler has
        workers.
    RuntimeWarning
        ``marrowick:unstable``, as `marrowick.lfilter`.

    Notes
    -----
    The result is bit for bit that of one `marrowick.lfilter` call on the
    whole array, whatever the chunking, as for `filter`.

    Examples
    --------
    >>> import dask.array as da, numpy as np, marrowick.dask
    >>> x = da.ones((4, 100), dtype=np.float32, chunks=(2, 25))  # channels x time
    >>> y = marrowick.dask.lfilter([0.5, 0.5], [1.0], x)
    >>> y.chunks
    ((2, 2), (25, 25, 25, 25))
    >>> y, zf = marrowick.dask.lfilter([0.5, 0.5], [1.0], x, zi=np.zeros((4, 1)))
    >>> zf.shape
    (4, 1)
    """
    x, double = _signal(x)
    x_complex = x.dtype.kind == "c"
    _core._check_dimensions(x.ndim, 0)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
    b, a, L = _core._coefficients(b, a, True, double)
    x_shape = _channels_known(x, axis)
    zi_complex = False
    state = None
    if zi is not None:
        state, zi_complex = _state_numbers(zi)
        shape = _core._check_state(tuple(state.shape), x_shape, axis, L, True)
        if tuple(state.shape) != shape:
            state = (da if isinstance(state, da.Array) else np).broadcast_to(state, shape)
    complex_ = x_complex or zi_complex or b.dtype.kind == "c" or a.dtype.kind == "c"
    dtype = _result(double, complex_)
    zf_chunks = x.chunks[:axis] + ((L,),) + x.chunks[axis + 1:]
    y, zf = _chains("marrowick-lfilter", _block, (b, a), x, state, axis, workers, zf_chunks, dtype)
    return y if zi is None else (y, zf)


def _channels_known(x, axis):
    """x's shape with 0 along axis (its length may be unknown there), or
    marrowick:unknownChunks when a chunk size along another axis is unknown."""
    unknown = [d for d, c in enumerate(x.chunks) if d != axis and any(math.isnan(n) for n in c)]
    if unknown:
        raise ValueError(
            f"marrowick:unknownChunks: x's chunk sizes along axis {unknown[0]} are unknown (nan), and the "
            f"channels are split along it; call x.compute_chunk_sizes() first (along the time axis {axis} "
            "they may stay unknown)"
        )
    return tuple(0 if d == axis else n for d, n in enumerate(x.shape))


def _signal(x):
    """x as a Dask array of the dtype it is computed in, by the one dtype rule (an integer
    signal converted chunk by chunk, exactly), and whether that is double precision."""
    if not isinstance(x, da.Array):
        try:
            x = da.asarray(x)
        except Exception:
            raise TypeError("marrowick:unsupportedType: x must be an array of numbers, got "
                            f"{_core._argument_text(x)}") from None
    dtype = _core._check_signal(x.dtype)
    if x.dtype != dtype:
        x = x.astype(dtype)
    return x, dtype in (np.float64, np.complex128)


def _result(double, complex_):
    """The dtype of y and zf: the computing precision's, complex when anything is."""
    if double:
        return np.dtype(np.complex128 if complex_ else np.float64)
    return np.dtype(np.complex64 if complex_ else np.float32)


def _state_numbers(zi):
    """zi as checked numbers (a NumPy array unless it is a Dask array), and whether complex."""
    if not isinstance(zi, da.Array):
        zi = _core._check_numbers(zi, "zi")
    elif any(math.isnan(n) for n in zi.shape):
        raise ValueError(f"marrowick:unknownChunks: zi's shape {zi.shape} is not known (nan); call "
                         "zi.compute_chunk_sizes() first")
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
        The signal; its dtype decides the precision, as in the package (an
        integer signal is converted chunk by chunk). Its chunk sizes along the axes other
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
        The final states ``(n_sections, ..., 2, ...)``, lazy, returned only
        when `zi` is given (as `marrowick.sosfilt`): x's chunks along the
        other axes, one chunk along the first axis and along `axis`.

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
    >>> x = da.ones((4, 100), dtype=np.float32, chunks=(2, 25))  # channels x time
    >>> y = marrowick.dask.sosfilt(sos, x)
    >>> y, zf = marrowick.dask.sosfilt(sos, x, zi=np.zeros((2, 4, 2)))
    >>> zf.shape, zf.chunks
    ((2, 4, 2), ((2,), (2, 2), (2,)))
    """
    x, double = _signal(x)
    x_complex = x.dtype.kind == "c"
    _core._check_dimensions(x.ndim, 1)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
    sos = _sos(sos, double)
    n = sos.shape[0]
    x_shape = _channels_known(x, axis)
    zi_complex = False
    if zi is not None:
        zi, zi_complex = _state_numbers(zi)
        shape = _core._check_state(tuple(zi.shape), x_shape, axis, 2, True, n)
        if tuple(zi.shape) != shape:
            zi = (da if isinstance(zi, da.Array) else np).broadcast_to(zi, shape)
    dtype = _result(double, x_complex or zi_complex or sos.dtype.kind == "c")
    zf_chunks = ((n,),) + x.chunks[:axis] + ((2,),) + x.chunks[axis + 1:]
    y, zf = _chains("marrowick-sos", _sections_block, (sos,), x, zi, axis, workers, zf_chunks, dtype)
    return y if zi is None else (y, zf)


def _chains(prefix, step, coefficients, x, zi, axis, workers, zf_chunks, dtype, after=None):
    """The graph of a filter along axis: per chunk of channels, a chain of steps
    ``step(*coefficients, block, state, axis, workers) -> (y, zf)`` along time, each from the state
    the previous one left (zi's block, or from rest for None). zf_chunks are the final
    states' chunks: x's along the other axes, one chunk along axis, and a leading axis of
    one chunk when they are one dimension longer than x. Returns ``(y, zf)``; a dict ``after``
    receives, for chunk of channels j and block t, the key of the state after the block
    (``after[j, t]``)."""
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

    step_name = f"{prefix}-step-{token}"
    y_name = f"{prefix}-y-{token}"
    zf_name = f"{prefix}-zf-{token}"
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
            states[j] = (f"{step_name}-state",) + index(channel, t)
            steps[states[j]] = (operator.getitem, key, 1)
            if after is not None:
                after[j, t] = states[j]
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


# ----------------------------------------------------------------------------
# Zero-phase filtering

def _edge_block(coefficients, dtype, v, state, axis, padtype, edge, after):
    """The state a pass over x's blocks starts from (one chunk of channels, time along axis),
    by the extension's zero-phase recipe.

    Before the forward pass (``after`` false): v holds x's first samples (edge + 1 at
    least). Before the backward pass: with padding, v holds x's last samples and ``state``
    the forward pass's state after x; without padding, v holds the forward output's last
    samples. Returns the state, laid out as the chains take it.
    """
    lead = 0 if len(coefficients) == 2 else 1
    coefficients = coefficients if lead == 0 else coefficients[0]
    v = np.moveaxis(v, axis, -1)
    if not after:
        zi = _core._zero_phase_start(coefficients, dtype, padtype, edge, v)
    else:
        state = None if state is None else np.moveaxis(state, axis + lead, -1)
        zi = _core._zero_phase_turn(coefficients, dtype, padtype, edge, v, state)
    return np.ascontiguousarray(np.moveaxis(zi, -1, axis + lead))


def _both_passes(step, coefficients, x, forward, backward, axis, workers):
    """One block of the backward chain: the forward output of block x recomputed from the
    state ``forward`` the forward pass had before it, then filtered reversed from the state
    ``backward``; returns ``(y, state)`` with y in time order."""
    y, _ = step(*coefficients, x, forward, axis, workers)
    y, state = step(*coefficients, np.flip(y, axis), backward, axis, workers)
    return np.flip(y, axis), state


def _concatenate(blocks, axis, start, stop):
    """Samples [start, stop) along axis of the concatenated blocks."""
    v = np.concatenate(blocks, axis) if len(blocks) > 1 else blocks[0]
    return v[(slice(None),) * axis + (slice(start, stop),)]


def _zero_phase(prefix, step, coefficients, x, axis, padtype, edge, workers, zf_chunks, dtype):
    """The graph of a zero-phase filter along axis (see `filtfilt`)."""
    sections = len(zf_chunks) > x.ndim
    lead = 1 if sections else 0
    token = tokenize(prefix, *coefficients, x, axis, padtype, edge, workers)
    source = _BlockSource(x)
    bounds = np.concatenate([[0], np.cumsum(x.chunks[axis])]).astype(int)
    n = int(bounds[-1])
    channel_ranges = [range(len(c)) for d, c in enumerate(x.chunks) if d != axis]
    channels = list(product(*channel_ranges))

    def index(channel, t):
        return channel[:axis] + (t,) + channel[axis:]

    def samples(keys_of, channel, start, stop):
        """A task for samples [start, stop) along axis from the blocks that hold them."""
        ts = [t for t in range(len(bounds) - 1) if bounds[t] < stop and bounds[t + 1] > start]
        return (_concatenate, [keys_of(index(channel, t)) for t in ts], axis, start - bounds[ts[0]],
                stop - bounds[ts[0]])

    def x_block(i):
        return source.task((x.name,) + i)

    # The state before x, then the forward chains (whose outputs are dropped as they come).
    front_name = f"{prefix}-front-{token}"
    front = {(front_name,) + (0,) * lead + index(c, 0): (
        _edge_block, coefficients, x.dtype, samples(x_block, c, 0, edge + 1), None, axis, padtype, edge,
        False) for c in channels}
    front_graph = HighLevelGraph.from_collections(front_name, front, dependencies=[x])
    front_layers = dict(front_graph.layers)
    front_deps = dict(front_graph.dependencies)
    front_deps[front_name] = front_deps[front_name] | set(x.__dask_graph__().layers)
    front = da.Array(HighLevelGraph(front_layers, front_deps), front_name, chunks=zf_chunks,
                     meta=np.empty((0,) * len(zf_chunks), dtype))
    after = {}
    y_forward, zf = _chains(prefix, step, coefficients, x, front, axis, workers, zf_chunks, dtype, after)

    # The state before the backward chains, then those chains from the last block.
    back_name = f"{prefix}-back-{token}"
    y_keys = y_forward.name
    back = {}
    for c in channels:
        key = (back_name,) + (0,) * lead + index(c, 0)
        if edge:
            v = samples(x_block, c, n - edge - 1, n)
            state = (zf.name,) + (0,) * lead + index(c, 0)
        else:
            v, state = samples(lambda i: (y_keys,) + i, c, n - 1, n), None
        back[key] = (_edge_block, coefficients, x.dtype, v, state, axis, padtype, edge, True)
    step_name = f"{prefix}-twice-{token}"
    y_name = f"{prefix}-filtfilt-{token}"
    steps, ys = {}, {}
    for j, c in enumerate(channels):
        state = (back_name,) + (0,) * lead + index(c, 0)
        for t in reversed(range(len(bounds) - 1)):
            forward_state = (front_name,) + (0,) * lead + index(c, 0) if t == 0 else after[j, t - 1]
            key = (step_name,) + index(c, t)
            steps[key] = (_both_passes, step, coefficients, x_block(index(c, t)), forward_state, state, axis,
                          workers)
            ys[(y_name,) + index(c, t)] = (operator.getitem, key, 0)
            state = (f"{step_name}-state",) + index(c, t)
            steps[state] = (operator.getitem, key, 1)
    graph = HighLevelGraph.from_collections(back_name, back, dependencies=[x, y_forward, zf])
    layers, deps = dict(graph.layers), dict(graph.dependencies)
    deps[back_name] = deps[back_name] | set(x.__dask_graph__().layers)
    layers[step_name] = MaterializedLayer(steps, annotations={"priority": -1})
    deps[step_name] = {back_name, zf.name, y_forward.name} | set(x.__dask_graph__().layers)
    # The forward states live in the layer of the forward steps, which zf's layer depends on.
    deps[step_name] |= set(zf.__dask_graph__().dependencies[zf.name])
    layers[y_name], deps[y_name] = ys, {step_name}
    return da.Array(HighLevelGraph(layers, deps), y_name, chunks=x.chunks, meta=np.empty((0,) * x.ndim, dtype))


def _zero_phase_arguments(x, axis, padtype, padlen, ntaps, sections, workers):
    """x as a dask array, axis, and the padding at each end, checked as the package checks
    them."""
    x, _ = _signal(x)
    _core._check_dimensions(x.ndim, 1 if sections else 0)
    axis = _core._check_axis(axis, x.ndim)
    _core._check_workers(workers)
    _channels_known(x, axis)
    if any(math.isnan(n) for n in x.chunks[axis]):
        raise ValueError(
            f"marrowick:unknownChunks: x's chunk sizes along axis {axis} are unknown (nan); zero-phase "
            "filtering pads x from both its ends, so call x.compute_chunk_sizes() first")
    return x, axis, _edge(padtype, padlen, x.shape[axis], ntaps)


def filtfilt(b, a, x, axis=-1, padtype="odd", padlen=None, method="pad", irlen=None, *, workers=1):
    """Zero-phase filtering of a Dask array: b/a applied forward, then backward,
    with the bits of one `marrowick.filtfilt` call on the whole array.

    Parameters
    ----------
    b, a : array_like
        Numerator and denominator coefficients, as `marrowick.filtfilt`:
        checked and rounded to single precision while the graph is built.
    x : dask.array.Array
        The signal; its dtype decides the precision, as in the package (an
        integer signal is converted chunk by chunk). Its chunk sizes must be known.
    axis : int, optional
        The time axis of x. Default -1.
    padtype : {'odd', 'even', 'constant', None}, optional
        The extension of x at both ends. Default 'odd'.
    padlen : int or None, optional
        Samples added at each end (0: none). Default
        ``3 * max(len(a), len(b))``. x must be longer than padlen.
    method : {'pad'}, optional
        Only 'pad' is available.
    irlen : int or None, optional
        Accepted for SciPy's signature; unused with 'pad'.
    workers : int or None, optional
        The most threads each block is filtered on (default 1).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks, of x's precision; complex when x, b
        or a is complex.

    Raises
    ------
    TypeError, ValueError, numpy.AxisError, numpy.linalg.LinAlgError
        As `marrowick.filtfilt`, while the graph is built (nothing is read);
        ``marrowick:unknownChunks`` when a chunk size of x is unknown (call
        ``x.compute_chunk_sizes()``).

    Warns
    -----
    dask.array.core.PerformanceWarning
        When there are fewer chunks of channels than the scheduler has
        workers.

    Notes
    -----
    Every chunk of channels runs a forward chain along time that keeps only
    the state at each block boundary, then a backward chain from the last
    block: each of its steps reads its block of x again, recomputes the
    forward output from the kept state and filters it reversed from the
    state the later block left. The padding is made from x's first and last
    samples. Nothing array-sized is held, so x may be larger than the
    workers' memory together, at the cost of a third filter pass and a
    second read of x.

    Examples
    --------
    >>> import dask.array as da, numpy as np, marrowick.dask
    >>> x = da.ones((2, 100), dtype=np.float32, chunks=(1, 30))
    >>> y = marrowick.dask.filtfilt([0.25, 0.5, 0.25], [1.0, -0.5, 0.5], x)
    >>> y.chunks, bool(np.allclose(y.compute(), 1.0, atol=1e-6))
    (((1, 1), (30, 30, 30, 10)), True)
    """
    _check_method(method)
    double = _signal(x)[1]
    b, a = _ba(b, a, double)
    x, axis, edge = _zero_phase_arguments(x, axis, padtype, padlen, max(a.size, b.size), False, workers)
    z = _core._steady_states((b, a), double)
    dtype = _result(double, x.dtype.kind == "c" or b.dtype.kind == "c" or a.dtype.kind == "c")
    zf_chunks = x.chunks[:axis] + ((z.shape[0],),) + x.chunks[axis + 1:]
    return _zero_phase("marrowick-filtfilt", _block, (b, a), x, axis, padtype, edge, workers, zf_chunks, dtype)


def sosfiltfilt(sos, x, axis=-1, padtype="odd", padlen=None, *, workers=1):
    """Zero-phase filtering of a Dask array with second-order sections, with the
    bits of one `marrowick.sosfiltfilt` call on the whole array.

    Parameters
    ----------
    sos : array_like
        Second-order sections, shape ``(n_sections, 6)``, as
        `marrowick.sosfiltfilt`: checked and rounded to single precision
        while the graph is built.
    x : dask.array.Array
        The signal; its dtype decides the precision, as in the package (an
        integer signal is converted chunk by chunk). Its chunk sizes must be known.
    axis : int, optional
        The time axis of x. Default -1.
    padtype : {'odd', 'even', 'constant', None}, optional
        The extension of x at both ends. Default 'odd'.
    padlen : int or None, optional
        Samples added at each end (0: none); the default is that of
        `marrowick.sosfiltfilt`. x must be longer than padlen.
    workers : int or None, optional
        The most threads each block is filtered on (default 1).

    Returns
    -------
    y : dask.array.Array
        The output, lazy, with x's chunks, of x's precision; complex when x or
        sos is complex.

    Raises
    ------
    TypeError, ValueError, numpy.AxisError, numpy.linalg.LinAlgError
        As `marrowick.sosfiltfilt`, while the graph is built;
        ``marrowick:unknownChunks`` as `filtfilt`.

    Warns
    -----
    dask.array.core.PerformanceWarning
        When there are fewer chunks of channels than the scheduler has
        workers.

    Notes
    -----
    Computed as `filtfilt` computes it, each block through all the sections
    in one call.

    Examples
    --------
    >>> import dask.array as da, numpy as np, marrowick.dask
    >>> sos = [[0.25, 0.5, 0.25, 1.0, -0.5, 0.5], [0.5, 0.0, 0.0, 1.0, -0.5, 0.0]]
    >>> x = da.ones((100, 3), dtype=np.float32, chunks=(40, 3))
    >>> y = marrowick.dask.sosfiltfilt(sos, x, axis=0)
    >>> bool(np.allclose(y.compute(), 1.0, atol=1e-6))
    True
    """
    double = _signal(x)[1]
    sos = _sos(sos, double)
    x, axis, edge = _zero_phase_arguments(x, axis, padtype, padlen, _sections_taps(sos), True, workers)
    _core._steady_states(sos, double)  # its refusals now, not when the graph runs
    dtype = _result(double, x.dtype.kind == "c" or sos.dtype.kind == "c")
    zf_chunks = ((sos.shape[0],),) + x.chunks[:axis] + ((2,),) + x.chunks[axis + 1:]
    return _zero_phase("marrowick-sosfiltfilt", _sections_block, (sos,), x, axis, padtype, edge, workers,
                       zf_chunks, dtype)
