"""Reslice one NIfTI image onto another's grid in one call, and draw it.

nibabel installs, for its tests, an anatomical scan (33 x 41 x 25 voxels of
2 mm), a functional run of the same head (17 x 21 x 3 voxels of 4 x 4 x 8 mm,
20 volumes) and the scan moved and reoriented (flipped, 4 mm voxels). The
anatomical scan goes onto the functional grid, and the moved scan and the
whole run onto the anatomical grid, each in one call; the picture shows a
middle axial slice of each, and the results are written as NIfTI files.

    python examples/reslice.py [--out DIR]
"""
import argparse
import os
import time
from pathlib import Path

import numpy as np

import vexiloimgc


def main():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import nibabel as nib

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=str(Path(__file__).parent / "out"))
    args = ap.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    data = os.path.join(os.path.dirname(nib.__file__), "tests", "data")
    anat, func, moved = (nib.load(os.path.join(data, n)) for n in
                         ("anatomical.nii", "functional.nii", "reoriented_anat_moved.nii"))
    a = anat.get_fdata(dtype=np.float32)
    f = func.get_fdata(dtype=np.float32)
    m = moved.get_fdata(dtype=np.float32)

    t0 = time.perf_counter()
    anat_on_func = vexiloimgc.reslice(a, anat.affine, f.shape[:3], func.affine)
    moved_on_anat = vexiloimgc.reslice(m, moved.affine, a.shape, anat.affine)
    func_on_anat = vexiloimgc.reslice(f, func.affine, a.shape, anat.affine)   # all 20 volumes
    took = time.perf_counter() - t0
    nib.save(nib.Nifti1Image(anat_on_func, func.affine), out / "anatomical_on_functional.nii.gz")
    nib.save(nib.Nifti1Image(moved_on_anat, anat.affine), out / "moved_on_anatomical.nii.gz")
    nib.save(nib.Nifti1Image(func_on_anat, anat.affine), out / "functional_on_anatomical.nii.gz")
    print(f"resliced {a.shape} onto {f.shape[:3]}, {m.shape} and {f.shape} onto {a.shape} "
          f"in {took * 1e3:.1f} ms")

    def axial(vol):
        return np.rot90(vol[:, :, vol.shape[2] // 2])

    fmean = f.mean(axis=3)
    panels = [
        ("anatomical scan\n(2 mm, its own grid)", axial(a)),
        ("anatomical resliced onto the\nfunctional grid (4 x 4 x 8 mm)", axial(anat_on_func)),
        ("functional run, mean of 20 volumes\n(its own grid)", axial(fmean)),
        ("moved, reoriented scan (4 mm)\nresliced onto the anatomical grid", axial(moved_on_anat)),
    ]
    fig, axes = plt.subplots(1, 4, figsize=(12, 4.2))
    for ax, (title, img) in zip(axes, panels):
        ax.imshow(img, cmap="gray", interpolation="nearest")
        ax.set_title(title, fontsize=9)
        ax.axis("off")
    fig.suptitle("vexiloimgc.reslice: NIfTI images onto each other's grids, one call each", fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.93))
    fig.savefig(out / "reslice.png", dpi=90)
    print("wrote", out / "reslice.png")


if __name__ == "__main__":
    main()
