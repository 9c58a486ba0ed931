"""A ``.npy`` file as an array that any process can read blocks from and
store blocks into, with positioned reads and writes: Dask's source and target
for arrays larger than memory (``marrowick.dask.NpyFile``). It needs nothing
but NumPy."""

import contextlib
import errno
import math
import operator
import os
import secrets
import stat
import sys

import numpy as np

from . import _core

__all__ = ["NpyFile"]


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
        # Fortran order only where it differs from C order (more than one axis longer than 1).
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
            raise TypeError("marrowick:badOverwrite: overwrite must be True or False, got "
                            f"{type(overwrite).__name__}") from None
        header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape}
        size = math.prod(shape) * dtype.itemsize
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and not overwrite:
            raise _exists_error(path)
        if st is not None and not stat.S_ISREG(st.st_mode):
            raise ValueError(f"marrowick:notRegular: {path} is not a regular file; NpyFile.create replaces only "
                             "regular files")
        target = path
        if overwrite:  # built beside the old file and renamed over it when complete
            directory = os.path.dirname(path) or "."
            target = os.path.join(directory, f".marrowick-{os.getpid()}-{secrets.token_hex(6)}.npy")
        try:
            fd = os.open(target, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError as e:
            if target == path:
                raise _exists_error(path) from None
            raise _os_error(e, f"marrowick:badFile: cannot create a file beside {path}") from None
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
        """The block's runs: the axes they run along and the other axes (the
        block transposed to these, outermost first, lays the runs out one
        after the other), the bytes of one run, and each run's offset in the
        file, in that order."""
        inner, outer = self._runs(ranges)
        strides, step = [0] * self.ndim, self.dtype.itemsize
        for d in (reversed(range(self.ndim)) if self.c_order else range(self.ndim)):
            strides[d], step = step, step * self.shape[d]
        offsets = np.array(self.offset + sum(r.start * s for r, s in zip(ranges, strides) if len(r)), np.int64)
        for d in outer:
            offsets = np.add.outer(offsets, np.arange(len(ranges[d]), dtype=np.int64) * (ranges[d].step * strides[d]))
        run = math.prod(len(ranges[d]) for d in inner) * self.dtype.itemsize
        return inner, outer, run, offsets.reshape(-1).tolist()

    def __getitem__(self, index):
        plan = self._ranges(index)
        if plan is not None:
            ranges, kept = plan
            inner, outer, run, offsets = self._pieces(ranges)
            if run >= self.RUN:
                full = np.empty([len(r) for r in ranges], self.dtype)
                view = full.transpose(outer + inner)  # the runs one after the other
                block = np.empty(view.shape, self.dtype)
                data = memoryview(block.reshape(-1)).cast("B")
                fd = _open(self.path, os.O_RDONLY)
                try:
                    for k, offset in enumerate(offsets):
                        piece = data[k * run:(k + 1) * run]
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
            raise TypeError("marrowick:badIndex: NpyFile stores blocks indexed by integers, slices and an "
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
        inner, outer, run, offsets = self._pieces(ranges)
        # The runs one after the other: one copy of the block at most.
        data = memoryview(np.ascontiguousarray(value.transpose(outer + inner)).reshape(-1)).cast("B")
        fd = _open(self.path, os.O_WRONLY)
        try:
            for k, offset in enumerate(offsets):
                piece = data[k * run:(k + 1) * run]
                while piece:
                    n = os.pwrite(fd, piece, offset)
                    if n <= 0:
                        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                    piece, offset = piece[n:], offset + n
        except OSError as e:
            raise _write_error(e, self.path, f"cannot write a block of {self.path}") from None
        finally:
            os.close(fd)

    def __dask_tokenize__(self):
        try:
            st = os.stat(self.path)
        except OSError as e:
            raise _os_error(e, f"marrowick:badFile: cannot open {self.path}: {e.strerror or e}") from None
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
            raise TypeError("marrowick:badShape: shape must be an integer or a tuple of integers, got "
                            f"{_core._argument_text(shape)}") from None
    if any(n < 0 for n in shape) or len(shape) > 32:
        raise ValueError("marrowick:badShape: shape must have at most 32 lengths of 0 or more, got "
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


def _exists_error(path):
    error = FileExistsError(f"marrowick:fileExists: {path} exists; NpyFile.create(..., overwrite=True) replaces it")
    error.errno = errno.EEXIST
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
