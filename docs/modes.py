"""Draws docs/modes.png: one row of 6 samples resampled by the cubic
B-spline under each `mode=`, the source position moving from well before
the first sample to well past the last, computed by the package itself.

    python docs/modes.py
"""
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import vexiloimgc

ROW = np.float32([2, 5, 3, 6, 4, 5])
E = len(ROW)
MODES = ["constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"]
LO, HI, N = -4.0, E + 3.0, 1400


def row(mode, interpolation="cubic"):
    """Output voxel x maps to source x = LO + x * step; Y and Z inside."""
    image = np.ascontiguousarray(np.broadcast_to(ROW, (3, 3, E)))
    step = (HI - LO) / (N - 1)
    m = np.float32([[step, 0, 0, LO], [0, 1, 0, 1], [0, 0, 1, 1]])
    out = vexiloimgc.transform(image, np.ones(3, np.float32), m, output_shape=(1, 1, N),
                               interpolation=interpolation, mode=mode, cval=0.0)
    return LO + step * np.arange(N), out[0, 0]


def main():
    fig, axes = plt.subplots(2, 3, figsize=(10, 4.6), sharex=True, sharey=True)
    for ax, mode in zip(axes.flat, MODES):
        c, v = row(mode)
        ax.axvspan(LO, 0, color="#eeeeee", lw=0)
        ax.axvspan(E - 1, HI, color="#eeeeee", lw=0)
        ax.plot(c, v, color="#1f4e79", lw=1.4)
        ax.plot(np.arange(E), ROW, "o", color="#c0392b", ms=4)
        ax.set_title(f'mode="{mode}"', fontsize=9)
        ax.set_xticks([0, E - 1])
        ax.set_xticklabels(["0", "E−1"])
    for ax in axes[1]:
        ax.set_xlabel("source index along one axis", fontsize=8)
    for ax in axes[:, 0]:
        ax.set_ylabel("cubic value (cval 0)", fontsize=8)
    fig.tight_layout()
    fig.savefig(Path(__file__).with_suffix(".png"), dpi=100)


if __name__ == "__main__":
    main()
