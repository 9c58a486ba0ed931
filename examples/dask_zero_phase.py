#!/usr/bin/env python3
"""Zero-phase band-pass of a multichannel .npy recording, from file to file, on a Dask cluster.

    PYTHONPATH=build/python /usr/bin/python3 examples/dask_zero_phase.py [--gib 0.25] [--workers 2]

Without --input it first writes a test recording of --gib GiB (as dask_large_file.py does,
time along the second axis) into a temporary directory (--dir keeps it). It then band-passes
every channel forward and backward (8 second-order sections, sosfiltfilt) on a local cluster
of --workers processes and stores the result into y.npy beside the input: the bits of
marrowick.sosfiltfilt on the whole array, with no worker holding more than a few blocks,
which it checks on the first and the last channel. Run again, it replaces its output.
"""

import argparse
import os
import sys
import tempfile
import time

import dask.array as da
import distributed
from scipy.signal import butter

import marrowick.dask
from marrowick.dask import NpyFile
from dask_large_file import make_recording, resident, same_bits, shown


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--input", help="a .npy file, time along its last axis (default: make one)")
    p.add_argument("--gib", type=float, default=0.25, help="size of the recording to make (GiB)")
    p.add_argument("--dir", default=None, help="where to make the recording (default: a temporary directory)")
    p.add_argument("--output", help="the .npy file to store y into (default: y.npy beside the input)")
    p.add_argument("--workers", type=int, default=2, help="local worker processes (one thread each)")
    p.add_argument("--memory-limit", default="1GiB", help="memory limit of each local worker")
    args = p.parse_args()

    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(marrowick.__file__)))
    os.environ["PYTHONPATH"] = os.pathsep.join(q for q in (package_parent, os.environ.get("PYTHONPATH")) if q)
    with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                  memory_limit=args.memory_limit, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        with tempfile.TemporaryDirectory(prefix="marrowick-dask-") as scratch:
            path = os.path.abspath(args.input) if args.input else os.path.join(args.dir or scratch, "x.npy")
            if not args.input:
                make_recording(path, args.gib, 64, (8, 2**18))
            x = da.from_array(NpyFile(path), chunks=(8, 2**18)[2 - NpyFile(path).ndim:])
            sos = butter(8, [0.05, 0.2], btype="band", output="sos")  # rounded to single precision
            y = marrowick.dask.sosfiltfilt(sos, x)  # along the last axis, time

            output = args.output or os.path.join(os.path.dirname(path), "y.npy")
            before = client.run(resident, True)
            start = time.perf_counter()
            stored = da.store(y, NpyFile.create(output, y.shape, y.dtype, overwrite=output != path), lock=False,
                              compute=False)
            future = client.compute(stored)
            distributed.progress(future)
            future.result()
            elapsed = time.perf_counter() - start
            print(f"\n{shown(path, scratch)} {x.shape} {x.dtype} ({x.nbytes / 2**30:.2f} GiB) -> "
                  f"{shown(output, scratch)}: {elapsed:.1f} s")
            for w, peak in sorted(client.run(resident).items()):
                print(f"worker {w}: peak {peak / 2**20:.0f} MiB resident ({(peak - before[w]) / 2**20:+.0f} MiB)")
            bits = same_bits(path, output, lambda v: marrowick.sosfiltfilt(sos, v))
            print("bits: first and last channel " + ("equal to" if bits else "DIFFER from") +
                  " marrowick.sosfiltfilt in memory")
    return 0 if bits else 1


if __name__ == "__main__":
    sys.exit(main())
