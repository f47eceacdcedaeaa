"""Draws docs/bands.png: the value along one axis as the source position
moves across a row of 5 samples, computed by the module itself.

    python docs/bands.py
"""
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import vexiloimgc

ROW = np.float32([2, 5, 3, 6, 4])
E = len(ROW)


def value_at(c):
    """Output voxel (0, 0, 0) mapped to source x = c; Y and Z inside."""
    image = np.broadcast_to(ROW, (3, 3, E))
    m = np.float32([1, 0, 0, c, 0, 1, 0, 0, 0, 0, 1, 0])
    return vexiloimgc.transform(image, np.ones(3, np.float32), m)[0, 0, 0]


def main():
    c = np.float32(np.linspace(-2.8, E + 0.8, 2400))
    v = np.array([value_at(x) for x in c])
    fig, ax = plt.subplots(figsize=(8, 3.2))
    bands = [(-2, -1, "#f2d7b6", "plane 0\nunchanged"), (-1, 0, "#e8e8e8", "extrapolated\nfrom 0 and 1"),
             (E - 1, E, "#f2d7b6", f"plane {E - 1}\nunchanged")]
    for lo, hi, colour, text in bands:
        ax.axvspan(lo, hi, color=colour, lw=0)
        ax.text((lo + hi) / 2, 7.4, text, ha="center", va="top", fontsize=7)
    ax.text((E - 1) / 2, 7.4, "interpolated", ha="center", va="top", fontsize=7)
    for x in (-2.6, E + 0.6):
        ax.text(x, 0.6, "0", ha="center", fontsize=8)
    ax.plot(c, v, color="#1f4e79", lw=1.6)
    ax.plot(np.arange(E), ROW, "o", color="#c0392b", ms=5, label="samples 0 … E−1")
    ax.set_xticks([-2, -1, 0, 1, 2, 3, E - 1, E])
    ax.set_xticklabels(["−2", "−1", "0", "1", "2", "3", "E−1", "E"])
    ax.set_xlabel("continuous source index c along one axis (the other two inside)")
    ax.set_ylabel("resampled value")
    ax.set_ylim(-1.6, 7.6)
    ax.legend(loc="lower center", fontsize=7, frameon=False)
    fig.tight_layout()
    fig.savefig(Path(__file__).with_suffix(".png"), dpi=110)


if __name__ == "__main__":
    main()
