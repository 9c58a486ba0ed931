#!/usr/bin/env python3
"""Filters a multichannel .npy file block by block, from file to file, on a Dask cluster.

    PYTHONPATH=build/python /usr/bin/python3 examples/dask_large_file.py [--gib 1] [--workers 2]

Without --input it first writes a test recording of --gib GiB (64 channels of noise and
tones, time along the second axis) into --dir. It then filters every channel with a
4th-order low-pass filter on a local cluster of --workers processes (or on the cluster at
--scheduler), showing Dask's progress bar, and stores y into a .npy file (or a .zarr
directory) beside the input (files made in a temporary directory are removed at the end;
--dir keeps them). Each worker reads and writes its blocks itself, so the file
may be much larger than the memory of the machine or of any worker (--memory-limit).
It prints the size, the time and the peak memory of each worker, and checks that the first
and the last channel of y have the bits of marrowick.filter on them in memory. Run again, it
replaces its output.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import dask.array as da
import distributed
from scipy.signal import butter

import marrowick.dask
from marrowick.dask import NpyFile


def resident(reset=False):
    """Peak resident bytes of this process since the last reset (Linux)."""
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    if reset:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    return int(status["VmRSS" if reset else "VmHWM"].split()[0]) * 1024


def make_recording(path, gib, channels, chunks):
    """Writes a recording of about `gib` GiB on the cluster: noise plus two tones per channel."""
    samples = int(gib * 2**30) // (4 * channels)
    rng = da.random.RandomState(12)
    noise = rng.standard_normal((channels, samples), chunks=chunks).astype(np.float32)
    t = da.arange(samples, chunks=chunks[1], dtype=np.float32)
    tones = da.sin(0.01 * t) + da.sin(0.9 * t)
    x = (0.3 * noise + tones[None, :]).astype(np.float32)
    da.store(x, NpyFile.create(path, x.shape, x.dtype, overwrite=True), lock=False)


def gib(n):
    return n / 2**30


def same_bits(x_path, y_path, filtered, rows=(0, -1)):
    """Whether the rows (channels, time along the last axis) of the .npy file y_path have,
    bit for bit, the values of filtered(row) on the rows of x_path: the package in memory on
    a few channels, against the file the cluster wrote."""
    x, y = np.load(x_path, mmap_mode="r"), np.load(y_path, mmap_mode="r")
    if x.ndim == 1:
        x, y = x[None], y[None]
    for k in rows:
        want = filtered(np.ascontiguousarray(x[k]))
        got = np.ascontiguousarray(y[k])
        if got.dtype != want.dtype or not np.array_equal(got.view(np.uint32), want.view(np.uint32)):
            return False
    return True


def shown(path, scratch):
    """path, or what it is when it lives in the temporary directory removed at the end."""
    if scratch and os.path.dirname(os.path.abspath(path)) == os.path.abspath(scratch):
        return f"{os.path.basename(path)} in a temporary directory (removed at the end; --dir keeps it)"
    return path


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--input", help="a .npy file, time along its last axis (default: make one)")
    p.add_argument("--gib", type=float, default=1.0, help="size of the recording to make (GiB)")
    p.add_argument("--channels", type=int, default=64, help="channels of the recording to make")
    p.add_argument("--dir", default=None, help="where to make the recording (default: a new temporary directory)")
    p.add_argument("--output", help="where to store y: .npy or .zarr (default: y.npy beside the input)")
    p.add_argument("--workers", type=int, default=2, help="local worker processes (one thread each)")
    p.add_argument("--memory-limit", default="1GiB", help="memory limit of each local worker")
    p.add_argument("--channels-per-chunk", type=int, default=8)
    p.add_argument("--chunk-mib", type=float, default=8.0, help="size of one block (MiB)")
    p.add_argument("--scheduler", help="address of a running cluster, e.g. tcp://scheduler:8786")
    args = p.parse_args()

    if args.scheduler:
        client = distributed.Client(args.scheduler)
    else:
        # Worker processes find marrowick where this process found it.
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(marrowick.__file__)))
        os.environ["PYTHONPATH"] = os.pathsep.join(
            p for p in (package_parent, os.environ.get("PYTHONPATH")) if p)
        cluster = distributed.LocalCluster(
            n_workers=args.workers, threads_per_worker=1, processes=True,
            memory_limit=args.memory_limit, host="127.0.0.1", dashboard_address=None)
        client = distributed.Client(cluster)
    workers = len(client.scheduler_info()["workers"])

    scratch = None
    if args.input:
        path = os.path.abspath(args.input)
    else:
        if not args.dir:
            scratch = tempfile.TemporaryDirectory(prefix="marrowick-dask-")
        directory = args.dir or scratch.name
        path = os.path.join(directory, "x.npy")
        print(f"making {shown(path, scratch and scratch.name)} ({args.gib:g} GiB, {args.channels} channels) ...",
              flush=True)
        chunk_samples = int(args.chunk_mib * 2**20) // (4 * args.channels_per_chunk)
        made = time.perf_counter()
        make_recording(path, args.gib, args.channels, (args.channels_per_chunk, chunk_samples))
        print(f"made in {time.perf_counter() - made:.1f} s", flush=True)

    # Blocks of --chunk-mib: --channels-per-chunk channels (rows) by as many samples as fit.
    source = NpyFile(path)
    rows = min(args.channels_per_chunk, source.shape[0]) if source.ndim == 2 else 1
    samples = max(1, int(args.chunk_mib * 2**20) // (source.dtype.itemsize * rows))
    x = da.from_array(source, chunks=(rows, samples)[2 - source.ndim:])

    b, a = butter(4, 0.05)  # float64 designs are rounded to single precision
    y, zf = marrowick.dask.filter(b, a, x, axis=-1)

    output = args.output or os.path.join(os.path.dirname(path), "y.npy")
    before = client.run(resident, True)
    start = time.perf_counter()
    if output.endswith(".zarr"):
        stored = y.to_zarr(output, overwrite=True, compute=False)
    else:
        # Replaces an earlier output, never the input being read.
        replace = os.path.abspath(output) != os.path.abspath(path)
        stored = da.store(y, NpyFile.create(output, y.shape, y.dtype, overwrite=replace), lock=False,
                          compute=False)
    future = client.compute(stored)
    distributed.progress(future)
    future.result()
    elapsed = time.perf_counter() - start
    peaks = client.run(resident)

    size = x.nbytes
    bits = same_bits(path, output, lambda v: marrowick.filter(b, a, v, axis=-1)[0]) if output.endswith(".npy") else None
    print()
    print(f"input   {shown(path, scratch and scratch.name)}: {x.shape} {x.dtype}, {gib(size):.2f} GiB in "
          f"{x.npartitions} blocks "
          f"of {gib(np.prod(x.chunksize) * x.dtype.itemsize) * 1024:.1f} MiB, "
          f"{x.numblocks[0] if x.ndim > 1 else 1} chunks of channels")
    print(f"output  {shown(output, scratch and scratch.name)}")
    if bits is not None:
        print("bits    first and last channel " + ("equal to" if bits else "DIFFER from") +
              " marrowick.filter in memory")
    print(f"time    {elapsed:.1f} s on {workers} worker(s): {gib(size) / elapsed:.2f} GiB/s")
    for w in sorted(peaks):
        print(f"worker  {w}: peak {peaks[w] / 2**20:.0f} MiB resident "
              f"({(peaks[w] - before[w]) / 2**20:+.0f} MiB during the filtering)")
    client.close()
    if not args.scheduler:
        cluster.close()
    if scratch:
        scratch.cleanup()  # pass --dir to keep the files
    return 0 if bits is not False else 1


if __name__ == "__main__":
    sys.exit(main())
