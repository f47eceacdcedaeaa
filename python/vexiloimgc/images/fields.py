"""A displacement field step read as `vexiloimgc.Field`: from a NIfTI file
in ITK's layout (ANTs' warps), any image SimpleITK reads, a SimpleITK
DisplacementFieldTransform or a nitransforms dense field."""
from __future__ import annotations

from typing import Any

import numpy as np

from .grids import sitk_grid
from .kinds import NIFTI, ImageError, lower, nib, sitk
from .transforms import FieldStep


def field_of(f: FieldStep) -> Any:
    """A displacement field step as `vexiloimgc.Field` in RAS millimetres on
    its own grid: voxel (i, j, k) of the field at its RAS affine."""
    from .. import Field

    obj, where = f.obj, f.source
    if isinstance(obj, str):
        if lower(obj).endswith(NIFTI):
            # ITK's layout in NIfTI (ANTs' warps): (I, J, K, 1, 3), LPS vectors.
            img = nib().load(obj)
            d = np.asanyarray(img.dataobj)
            if d.ndim != 5 or d.shape[3] != 1 or d.shape[4] != 3:
                raise ImageError(f"{where}: a displacement field is an (I, J, K, 1, 3) image of vectors, "
                                 f"not of shape {d.shape}")
            lps, affine = d[:, :, :, 0, :], np.array(img.affine, np.float64)
            return Field(_flipped(lps).transpose(2, 1, 0, 3), (1.0, 1.0, 1.0), affine)
        obj = sitk().ReadImage(obj)
    simpleitk = sitk()
    if isinstance(obj, simpleitk.Transform):  # a DisplacementFieldTransform
        obj = obj.GetDisplacementField()
    if isinstance(obj, simpleitk.Image):
        if obj.GetDimension() != 3 or obj.GetNumberOfComponentsPerPixel() != 3:
            raise ImageError(f"{where}: a displacement field is a 3-D image of 3-vectors")
        lps = simpleitk.GetArrayViewFromImage(obj)  # (K, J, I, 3)
        return Field(_flipped(lps), (1.0, 1.0, 1.0), sitk_grid(obj).affine)
    # nitransforms' DenseFieldTransform: RAS points (I, J, K, 3) of its reference grid.
    grid = obj.reference
    deltas = np.asarray(obj._field, np.float64) - grid.ndcoords.reshape(obj._field.shape)
    return Field(deltas.astype(np.float32).transpose(2, 1, 0, 3), (1.0, 1.0, 1.0), np.array(grid.affine, np.float64))


def _flipped(lps: np.ndarray) -> np.ndarray:
    """LPS displacements as RAS ones, float32 (one copy: the flip writes)."""
    ras = np.array(lps, np.float32)
    ras[..., :2] *= np.float32(-1.0)
    return ras
