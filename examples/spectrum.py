#!/usr/bin/python3
"""Designs a band-pass filter with SciPy, filters a 16-channel float32 signal
with marrowick (single precision, zero-copy, the GIL released) and saves a
PNG of the averaged power spectrum before and after.

usage: PYTHONPATH=build/python /usr/bin/python3 examples/spectrum.py [OUT.png]
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy import signal  # noqa: E402

import marrowick  # noqa: E402


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                             "spectrum.png")
    fs = 48000.0
    rng = np.random.default_rng(1)
    t = np.arange(1 << 18) / fs
    # 16 channels, time on axis 0 (C order): three tones and white noise.
    tones = sum(np.sin(2 * np.pi * f * t + p) for f, p in ((300, 0), (2500, 1), (12000, 2)))
    x = (tones[:, None] + 0.5 * rng.standard_normal((t.size, 16))).astype(np.float32)

    # An 8th-order band-pass, 1.5 to 4 kHz, as second-order sections: high
    # orders in single precision are only usable as sections.
    sos = signal.butter(8, [1500, 4000], btype="bandpass", fs=fs, output="sos")
    y = marrowick.sosfilt(sos, x, axis=0)
    assert y.dtype == np.float32

    # The same filter streamed block by block gives the same bits.
    stream = [marrowick.Filter(s[:3], s[3:]) for s in sos]
    blocks = []
    for block in np.array_split(x, 7):
        for f in stream:
            block = f.process(block)
        blocks.append(block)
    assert np.array_equal(np.concatenate(blocks), y)

    f, p_in = signal.welch(x, fs=fs, nperseg=4096, axis=0)
    _, p_out = signal.welch(y, fs=fs, nperseg=4096, axis=0)
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    ax.semilogy(f, p_in.mean(axis=1), label="x (input)", color="0.6")
    ax.semilogy(f, p_out.mean(axis=1), label="y = marrowick.sosfilt(sos, x)", color="C0")
    ax.axvspan(1500, 4000, color="C2", alpha=0.1, label="pass band")
    ax.set_xscale("log")
    ax.set_xlim(50, fs / 2)
    ax.set_ylim(1e-16, 1)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("power spectral density (1/Hz)")
    ax.set_title("8th-order Butterworth band-pass, 16 channels of float32, mean spectrum")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower left")
    fig.tight_layout()
    fig.savefig(out)
    stop = p_out[np.argmin(abs(f - 12000))].mean() / p_in[np.argmin(abs(f - 12000))].mean()
    print("wrote %s; 12 kHz tone attenuated by %.0f dB" % (out, -10 * np.log10(stop)))


if __name__ == "__main__":
    main()
