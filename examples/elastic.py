"""Elastic augmentation of a batch for training: one random smooth
displacement field per volume, given on a coarse grid of its own (no dense
field is built), with a random turn, applied to the images (trilinear) and
their label masks ("label") in one interpolation each, through the same
steps. Saves a slice of two volumes before and after, with a grid carried
through the same warp (`make elastic` writes docs/elastic.png).

    python examples/elastic.py [output.png]
"""
import sys
from pathlib import Path

import numpy as np

import vexiloimgc
from augment_labels import SHAPE, batch  # its batch of images and masks, on its grid (Z, Y, X)

SPACING = np.array([1.0, 1.0, 2.0])                # mm along X, Y, Z
COARSE = (5, 7, 7)                                 # the fields' grid, Z, Y, X
STRENGTH = 6.0                                     # mm, the displacements' scale


def fields(n, rng):
    """One coarse field per volume, (N, Z, Y, X, 3) displacements in mm,
    zero on the coarse grid's faces so the volume's edges stay put. Its
    spacing spreads the coarse grid over the whole volume."""
    d = rng.normal(0.0, STRENGTH / 2, (n,) + COARSE + (3,)).astype(np.float32)
    d[..., 2] *= 0.5                                 # less along Z, whose voxels are thicker
    for axis in (1, 2, 3):
        idx = [slice(None)] * 5
        for end in (0, -1):
            idx[axis] = end
            d[tuple(idx)] = 0.0
    extent = (np.array(SHAPE[::-1]) - 1) * SPACING   # X, Y, Z, mm
    return vexiloimgc.Field(d, extent / (np.array(COARSE[::-1]) - 1))


def turns(n, rng):
    """(N, 3, 4): a turn about Z of up to 10 degrees about the centre."""
    out = []
    c = (np.array(SHAPE[::-1]) - 1) * SPACING / 2
    for _ in range(n):
        t = np.radians(rng.uniform(-10, 10))
        r = np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0], [0, 0, 1]])
        out.append(np.hstack([r, (c - r @ c)[:, None]]))
    return np.stack(out)


def grid_lines(step=8):
    g = np.zeros(SHAPE, np.float32)
    g[:, ::step, :] = 1.0
    g[:, :, ::step] = 1.0
    return g


def main(out=Path(__file__).parent.parent / "docs" / "elastic.png"):
    rng = np.random.default_rng(11)
    images, masks = batch(4, rng)
    steps = [turns(len(images), rng), fields(len(images), rng)]     # an output point turns, then moves
    new_images = vexiloimgc.warp(images, SPACING, steps)                           # float32
    new_masks = vexiloimgc.warp(masks, SPACING, steps, interpolation="label")      # uint8, same footprint
    grids = vexiloimgc.warp(np.stack([grid_lines()] * len(images)), SPACING, steps)
    print(f"images {new_images.shape} {new_images.dtype}, masks {new_masks.shape} {new_masks.dtype}, "
          f"labels before {np.unique(masks).tolist()} after {np.unique(new_masks).tolist()}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap

    line = ListedColormap(["gold"])

    zc = SHAPE[0] // 2
    fig, axes = plt.subplots(2, 2, figsize=(8, 8))
    flat = grid_lines()
    for col, k in enumerate((0, 1)):
        for row, (img, mask, grid, when) in enumerate([(images, masks, flat[None].repeat(4, 0), "before"),
                                                       (new_images, new_masks, grids, "after")]):
            ax = axes[row, col]
            ax.imshow(img[k, zc], cmap="gray", vmin=0, vmax=0.9, aspect=SPACING[1] / SPACING[0])
            # a line where the warped grid holds some of one
            ax.imshow(np.ma.masked_less(grid[k, zc], 0.3), cmap=line, alpha=0.6, aspect=SPACING[1] / SPACING[0])
            ax.contour(mask[k, zc], levels=[0.5, 1.5], colors=["tab:cyan", "tab:green"], linewidths=1.2)
            ax.set_title(f"volume {k}, {when}")
            ax.set_axis_off()
    fig.suptitle("a turn and a coarse 5 x 7 x 7 field per volume: image (linear), masks (label), one pass each")
    fig.tight_layout()
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=80)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(*sys.argv[1:])
