"""The two kinds of image, nibabel's and SimpleITK's: how each is told
apart, their libraries imported only when an image needs them, and the
error for a file or object that is neither."""
from __future__ import annotations

import os
from typing import Any

# SimpleITK's LPS geometry crosses over to nibabel's RAS through
# diag(FLIP), each way.
FLIP = (-1.0, -1.0, 1.0, 1.0)
NIFTI = (".nii", ".nii.gz")
# What the command line writes: NIfTI, NRRD, MetaImage.
WRITES = NIFTI + (".nrrd", ".nhdr", ".mha", ".mhd")
INSTALL = "pip install 'vexiloimgc[images]'"


class ImageError(ValueError):
    """A file or object that cannot serve as an image or a transform here."""


ImageError.__module__ = "vexiloimgc.images"  # where it is imported from, and pickled as


def sitk() -> Any:
    try:
        import SimpleITK
    except ImportError as e:
        raise ImportError(f"SimpleITK is needed for this ({INSTALL})") from e
    return SimpleITK


def nib() -> Any:
    try:
        import nibabel
    except ImportError as e:
        raise ImportError(f"nibabel is needed for this ({INSTALL})") from e
    return nibabel


def is_nib(obj: Any) -> bool:
    return hasattr(obj, "affine") and hasattr(obj, "dataobj") and hasattr(obj, "header")


def is_sitk(obj: Any) -> bool:
    return all(hasattr(obj, k) for k in ("GetSpacing", "GetOrigin", "GetDirection", "GetDimension"))


def lower(path: str) -> str:
    """The file name alone, lower case: what its suffix is read from."""
    return os.path.basename(path).lower()
