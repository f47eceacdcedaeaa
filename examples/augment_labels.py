"""Augment a batch of images and their label masks for training: one random
turn, zoom and shift per volume, trilinear for the images and label-preserving
for the masks, so each mask stays on its image and keeps its label values.
Saves a slice of two volumes before and after, the masks outlined.

    python examples/augment_labels.py [output.png]
"""
import sys
from pathlib import Path

import numpy as np

import vexiloimgc

SHAPE = (48, 96, 96)                                 # Z, Y, X
SPACING = np.array([1.0, 1.0, 2.0], np.float32)       # mm along X, Y, Z


def batch(n, rng):
    """n images with two blobs each, and masks labelling them 1 and 2."""
    z, y, x = np.meshgrid(*(np.arange(s, dtype=np.float32) for s in SHAPE), indexing="ij")
    images = rng.normal(0.1, 0.05, (n,) + SHAPE).astype(np.float32)
    masks = np.zeros((n,) + SHAPE, np.uint8)
    for k in range(n):
        for label, r in ((1, 22.0), (2, 12.0)):
            cz, cy, cx = rng.uniform([18, 30, 30], [30, 66, 66])
            inside = ((z - cz) * 2) ** 2 + ((y - cy) / 1.4) ** 2 + (x - cx) ** 2 < r ** 2
            masks[k][inside] = label
    images += 0.4 * masks
    return images, masks


def random_map(rng):
    """3x4 output-to-source map: a turn about Z of up to 25 degrees, a zoom
    of 0.85 to 1.15 and a shift of up to 8 mm, about the volume's centre."""
    t = np.radians(rng.uniform(-25, 25))
    r = np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0], [0, 0, 1]])
    a = r @ np.diag(rng.uniform(0.85, 1.15, 3))
    c = (np.array(SHAPE[::-1]) - 1) * SPACING / 2    # X, Y, Z
    return np.hstack([a, (c - a @ c + rng.uniform(-8, 8, 3) * [1, 1, 0])[:, None]])


def main(out=Path(__file__).parent / "out" / "augment_labels.png"):
    rng = np.random.default_rng(7)
    images, masks = batch(4, rng)
    maps = np.stack([random_map(rng) for _ in range(len(images))]).astype(np.float32)   # (N, 3, 4)
    new_images = vexiloimgc.transform(images, SPACING, maps)                               # float32
    new_masks = vexiloimgc.transform(masks, SPACING, maps, interpolation="label")          # uint8
    print(f"images {new_images.shape} {new_images.dtype}, masks {new_masks.shape} {new_masks.dtype}, "
          f"labels before {np.unique(masks).tolist()} after {np.unique(new_masks).tolist()}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    zc = SHAPE[0] // 2
    fig, axes = plt.subplots(2, 2, figsize=(8, 8))
    for col, k in enumerate((0, 1)):
        for row, (img, mask, when) in enumerate([(images, masks, "before"), (new_images, new_masks, "after")]):
            ax = axes[row, col]
            ax.imshow(img[k, zc], cmap="gray", vmin=0, vmax=1.1, origin="lower")
            for label, colour in ((1, "tab:orange"), (2, "tab:cyan")):
                ax.contour(mask[k, zc] == label, levels=[0.5], colors=colour, linewidths=1.5)
            ax.set_title(f"volume {k}, {when}: slice z={zc}")
            ax.set_axis_off()
    fig.suptitle('A random map per volume: images "linear", masks "label"\n(mask outlines: label 1 orange, label 2 cyan)')
    fig.tight_layout()
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=80)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(*sys.argv[1:])
