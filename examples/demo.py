"""Resample a 3-D phantom through a rotation about its centre plus a shift,
and save orthogonal slices before and after as a PNG.

    python examples/demo.py [output.png]
"""
import sys
import time
from pathlib import Path

import numpy as np

import _vexiloimgc
import vexiloimgc


def phantom(shape=(96, 128, 112)):
    """Nested ellipsoids of different values, a bar and a sphere: structure in
    every direction, so a rotation is easy to see."""
    z, y, x = np.meshgrid(*(np.linspace(-1, 1, n, dtype=np.float32) for n in shape), indexing="ij")
    vol = np.zeros(shape, np.float32)
    for (cz, cy, cx), (rz, ry, rx), value in [
            ((0, 0, 0), (0.85, 0.9, 0.75), 1.0),
            ((0, 0, 0), (0.75, 0.8, 0.65), -0.6),
            ((0.2, -0.3, 0.25), (0.25, 0.2, 0.15), 0.8),
            ((-0.2, 0.35, -0.2), (0.2, 0.15, 0.25), 0.5)]:
        vol[((z - cz) / rz) ** 2 + ((y - cy) / ry) ** 2 + ((x - cx) / rx) ** 2 <= 1] += value
    vol[(np.abs(y + 0.05) < 0.06) & (np.abs(x) < 0.5) & (np.abs(z) < 0.5)] = 1.2
    return vol


def rotation_about_centre(shape, spacing, degrees, axis, shift):
    """The flat 12-value output-to-source matrix: rotate about the volume centre
    (physical units, X, Y, Z order), then shift."""
    t = np.radians(degrees)
    c, s = np.cos(t), np.sin(t)
    i, j = {"x": (1, 2), "y": (2, 0), "z": (0, 1)}[axis]
    r = np.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    centre = (np.array(shape[::-1]) - 1) * spacing / 2   # X, Y, Z
    m = np.zeros((3, 4))
    m[:, :3] = r
    m[:, 3] = centre - r @ centre + shift
    return m.ravel().astype(np.float32)


def main(out=Path(__file__).parent / "out" / "demo.png"):
    image = phantom()
    spacing = np.array([0.8, 0.8, 1.2], np.float32)       # mm along X, Y, Z
    matrix = rotation_about_centre(image.shape, spacing, 20, "z", shift=[6.0, -4.0, 0.0])

    t0 = time.perf_counter()
    result = vexiloimgc.transform(image, spacing, matrix)   # every core
    dt = time.perf_counter() - t0
    t0 = time.perf_counter()
    single = _vexiloimgc.transform(image, spacing, matrix)  # the module: one thread, its copies
    dt1 = time.perf_counter() - t0
    print(f"input  {image.shape} {image.dtype}")
    print(f"output {result.shape} {result.dtype}: vexiloimgc.transform {dt * 1e3:.1f} ms "
          f"({dt / result.size * 1e9:.1f} ns per voxel), _vexiloimgc.transform {dt1 * 1e3:.1f} ms; "
          f"bit-identical: {result.tobytes() == single.tobytes()}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 3, figsize=(11, 7))
    zc, yc, xc = (n // 2 for n in image.shape)
    sx, sy, sz = spacing
    for row, (vol, title) in enumerate([(image, "before"), (result, "after")]):
        views = [(vol[zc], "axial (Z)", sy / sx), (vol[:, yc], "coronal (Y)", sz / sx),
                 (vol[:, :, xc], "sagittal (X)", sz / sy)]
        for ax, (sl, name, aspect) in zip(axes[row], views):
            ax.imshow(sl, cmap="gray", vmin=-0.2, vmax=1.4, aspect=aspect, origin="lower")
            ax.set_title(f"{title}: {name}")
            ax.set_axis_off()
    fig.suptitle("20 degree rotation about the centre, then (6, -4, 0) mm")
    fig.tight_layout()
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=80)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(*sys.argv[1:])
