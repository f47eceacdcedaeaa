"""Turn a real MRI volume about its centre, in scanner coordinates, and save
the result as NIfTI and as a PNG of orthogonal slices before and after.

The volume is nibabel's own test image `anatomical.nii` (33 x 41 x 25 voxels
of 2 mm), installed with nibabel; any 3-D or 4-D NIfTI file can be named
instead.

    python examples/real_data.py [--degrees 15] [--input FILE.nii] [--out DIR]
"""
import argparse
import time
from importlib import resources
from pathlib import Path

import numpy as np

import _vexiloimgc


def output_to_source(src_affine, out_affine, world, zooms):
    """The flat 12-value matrix of `transform` from world-space terms.

    src_affine, out_affine: 4x4 maps from voxel indices (i, j, k) to world
        (scanner) coordinates of the source image and of the output grid; the
        output grid has the source's array shape.
    world: 4x4 map from an output world point to the source world point it
        is sampled from (np.eye(4) to reslice without moving anything).
    zooms: the source's voxel sizes along i, j, k, which are the `spacing`
        along X, Y, Z once the array is transposed to (k, j, i).

    transform's own frame puts voxel (x, y, z) at (x*sx, y*sy, z*sz), so a
    point there is D @ voxel with D = diag(zooms): divide by D, go to world
    through the output grid, through `world` to the source's world point, back
    to source voxels and multiply by D again.
    """
    d = np.diag([*map(float, zooms[:3]), 1.0])
    m = d @ np.linalg.inv(src_affine) @ world @ out_affine @ np.linalg.inv(d)
    return m[:3].ravel()


def turn_about_centre(affine, shape, axis, degrees):
    """4x4 world map that turns the content by `degrees` about a world axis
    (0 = x, 1 = y, 2 = z) through the volume centre, written as transform
    needs it: output point to source point, i.e. the inverse turn."""
    t = np.radians(-degrees)
    a, b = [(1, 2), (2, 0), (0, 1)][axis]
    r = np.eye(4)
    r[a, a], r[a, b], r[b, a], r[b, b] = np.cos(t), -np.sin(t), np.sin(t), np.cos(t)
    centre = affine @ np.array([(n - 1) / 2 for n in shape[:3]] + [1.0])
    to, back = np.eye(4), np.eye(4)
    to[:3, 3], back[:3, 3] = -centre[:3], centre[:3]
    return back @ r @ to


def slices_png(before, after, spacing, title, path):
    """Axial, coronal and sagittal slices through the centre; arrays (Z, Y, X)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sx, sy, sz = spacing
    zc, yc, xc = (n // 2 for n in before.shape)
    vmax = float(np.percentile(before, 99.5))
    fig, axes = plt.subplots(2, 3, figsize=(10, 6.6))
    for row, (vol, name) in enumerate([(before, "before"), (after, "after")]):
        for ax, (sl, view, aspect) in zip(axes[row], [
                (vol[zc], "axial", sy / sx), (vol[:, yc], "coronal", sz / sx), (vol[:, :, xc], "sagittal", sz / sy)]):
            ax.imshow(sl, cmap="gray", vmin=0, vmax=vmax, origin="lower", aspect=aspect, interpolation="nearest")
            ax.set_title(f"{name}: {view}")
            ax.set_axis_off()
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv=None):
    import nibabel as nib

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--input", type=Path,
                   default=resources.files("nibabel") / "tests" / "data" / "anatomical.nii")
    p.add_argument("--degrees", type=float, default=15.0, help="turn about the scanner's z axis")
    p.add_argument("--out", type=Path, default=Path(__file__).parent / "out")
    a = p.parse_args(argv)

    img = nib.load(a.input)
    data = img.get_fdata(dtype=np.float32)  # nibabel indexes (i, j, k[, t])
    image = data.T                          # (k, j, i) = (Z, Y, X), (t, k, j, i) for 4-D; a view
    spacing = np.array(img.header.get_zooms()[:3], np.float64)  # i, j, k = X, Y, Z

    # Turn about the scanner's z (superior) axis through the volume centre,
    # then reslice onto the source's own grid.
    world = turn_about_centre(img.affine, data.shape, 2, a.degrees)
    matrix = output_to_source(img.affine, img.affine, world, spacing)

    t0 = time.perf_counter()
    result = _vexiloimgc.transform(image, spacing, matrix)
    ms = (time.perf_counter() - t0) * 1e3

    a.out.mkdir(parents=True, exist_ok=True)
    stem = a.input.name.split(".")[0]
    nii = a.out / f"{stem}_turned.nii.gz"
    # Back to nibabel's (i, j, k) order; same grid, so the same affine.
    header = img.header.copy()
    header.set_data_dtype(np.float32)
    nib.save(nib.Nifti1Image(result.T, img.affine, header), nii)
    png = a.out / f"{stem}_turned.png"
    first = (lambda v: v[0]) if image.ndim == 4 else (lambda v: v)
    slices_png(first(image), first(result), spacing,
               f"{a.input.name}: {a.degrees:g} degree turn about the scanner z axis through the centre", png)

    codes = "".join(nib.aff2axcodes(img.affine))
    print(f"{a.input.name}: nibabel shape {data.shape} ({codes}), zooms {tuple(map(float, spacing))} mm")
    print(f"transform input {image.shape} (Z, Y, X) {image.dtype}, strides {image.strides}: {ms:.1f} ms")
    print("matrix (output to source, X, Y, Z):")
    print(np.array2string(matrix.reshape(3, 4), precision=4, suppress_small=True))
    print(f"wrote {nii} and {png}")
    return result


if __name__ == "__main__":
    main()
