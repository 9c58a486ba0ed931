"""Prints a digest of the package's outputs for a fixed table of calls (every
kernel, sections, zero-phase, several workers), from inputs made by integer
arithmetic alone: the same package gives the same line on any machine.
tools/check-root compares an installed package's line with the build tree's.

    python3 bits.py
"""

import hashlib

import numpy as np

import marrowick


def signal(shape, seed, complex_=False):
    n = int(np.prod(shape)) * (2 if complex_ else 1)
    state = (np.arange(n, dtype=np.uint64) * np.uint64(2654435761) + np.uint64(seed)) % np.uint64(2**32)
    v = (state.astype(np.float64) / 2**31 - 1.0).astype(np.float32)
    return (v[0::2] + 1j * v[1::2]).astype(np.complex64).reshape(shape) if complex_ else v.reshape(shape)


b = np.array([0.0200833, 0.0401666, 0.0200833], np.float32)
a = np.array([1.0, -1.5610181, 0.6413515], np.float32)
sos = np.array([[0.0004166, 0.0008332, 0.0004166, 1.0, -1.4755, 0.5869],
                [1.0, 2.0, 1.0, 1.0, -1.6475, 0.7766]], np.float32)
x = signal((4096, 6), 1)
xc = signal((1024, 3), 2, True)
outputs = [
    marrowick.lfilter(b, a, x, axis=0),
    marrowick.lfilter(b, a, x.T, axis=-1, workers=2),
    marrowick.lfilter(b.astype(np.complex64) * 1j, a, xc, axis=0),
    marrowick.filter(b, a, xc, axis=0)[1],
    marrowick.sosfilt(sos, x, axis=0),
    marrowick.sosfilt(sos.astype(np.complex64), xc, axis=0),
    marrowick.filtfilt(b, a, x, axis=0),
    marrowick.sosfiltfilt(sos, x, axis=0, workers=2),
    marrowick.sosfilt_zi(sos),
]
digest = hashlib.sha256()
for y in outputs:
    digest.update(np.ascontiguousarray(y).tobytes())
print("marrowick %s: %d calls, sha256 %s" % (marrowick.__version__, len(outputs), digest.hexdigest()))
