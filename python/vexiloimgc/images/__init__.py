"""Images in, images out: nibabel and SimpleITK images, transform files.

Every grid is held as its voxel (i, j, k) to world affine in RAS
millimetres (nibabel's frame); SimpleITK's LPS geometry crosses over through
F = diag(-1, -1, 1, 1). A resampling is one call of `reslice` with the map
from reference voxel to image voxel, composed in double precision, or, with
displacement fields in the chain, one call of `warp` whose steps are the
affines between them and the fields, all in RAS world millimetres.
"""
from __future__ import annotations

from .arrays import as_nibabel, as_simpleitk
from .grids import image_affine
from .reading import load_image
from .resample import resample_image
from .writing import save_image

# Public as well, outside __all__: the formats written, the error, zarr stores.
from .kinds import WRITES as WRITES, ImageError as ImageError
from .stores import is_zarr as is_zarr, load_zarr as load_zarr, save_zarr as save_zarr

__all__ = ["resample_image", "load_image", "save_image", "as_nibabel", "as_simpleitk", "image_affine"]
