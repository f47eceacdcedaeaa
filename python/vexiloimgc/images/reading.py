"""Images read: a file by its suffix, or an image object taken as it is."""
from __future__ import annotations

import os
from typing import Any

from .kinds import NIFTI, ImageError, is_nib, is_sitk, lower, nib, sitk


def load_image(path: str | os.PathLike[str]) -> Any:
    """A NIfTI file (.nii, .nii.gz) as a nibabel image; anything else
    SimpleITK reads (NRRD, MetaImage, ...) as a SimpleITK image."""
    p = os.fspath(path)
    if not os.path.isfile(p):
        raise FileNotFoundError(2, "no such file", p)
    if lower(p).endswith(NIFTI):
        nibabel = nib()
        try:
            return nibabel.load(p)
        except Exception as e:
            raise ImageError(f"cannot read {p} as NIfTI: {e}") from None
    simpleitk = sitk()
    try:
        return simpleitk.ReadImage(p)
    except RuntimeError:
        raise ImageError(f"cannot read {p}: not an image format SimpleITK reads") from None


def opened(obj: Any, name: str) -> Any:
    """An image of either kind as it is; a path read."""
    if isinstance(obj, (str, os.PathLike)):
        return load_image(obj)
    if is_nib(obj) or is_sitk(obj):
        return obj
    raise TypeError(f"resample_image: {name} must be a nibabel image, a SimpleITK image or a path, "
                    f"not {type(obj).__name__}")
