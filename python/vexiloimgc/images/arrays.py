"""An image's samples as an array indexed (i, j, k[, t]), and an array on a
grid made an image of either kind; the conversions between the kinds."""
from __future__ import annotations

from typing import Any

import numpy as np

from .grids import Grid, grid_of
from .kinds import FLIP, ImageError, is_nib, is_sitk, nib, sitk
from .reading import opened


def data_of(img: Any) -> np.ndarray:
    """The image's samples indexed (i, j, k) or (i, j, k, t), a view where
    the element type allows."""
    if is_nib(img):
        a = np.asanyarray(img.dataobj)
        if a.ndim > 4 and all(n == 1 for n in a.shape[3:-1]):
            a = a.reshape(a.shape[:3] + (a.shape[-1],), order="A")
        if a.ndim not in (3, 4):
            raise ImageError(f"a nibabel image of shape {a.shape}: 3-D and 4-D images are resampled")
        return a  # type: ignore[no-any-return]
    simpleitk = sitk()
    if "complex" in img.GetPixelIDTypeAsString():
        raise ImageError("a complex-valued SimpleITK image: resample its parts separately")
    v = simpleitk.GetArrayViewFromImage(img)
    vector = img.GetNumberOfComponentsPerPixel() > 1 or v.ndim == img.GetDimension() + 1
    if img.GetDimension() == 2:
        v = v[None]
    return np.moveaxis(v.T, 0, -1) if vector else v.T


def _float_tuple(v: Any) -> tuple[float, ...]:
    return tuple(float(x) for x in v)


def _sitk_geometry(g: Grid) -> tuple[tuple[float, ...], tuple[float, ...], tuple[float, ...]]:
    if g.sitk is not None:
        return g.sitk  # type: ignore[no-any-return]
    lps = g.affine * np.array(FLIP)[:, None]
    m = lps[:3, :3]
    s = np.sqrt((m ** 2).sum(axis=0))
    return _float_tuple(lps[:3, 3]), _float_tuple(s), _float_tuple((m / s).ravel())


def _to_sitk(data: np.ndarray, g: Grid, vector: bool) -> Any:
    simpleitk = sitk()
    # SimpleITK indexes (z, y, x[, c]).
    a = np.moveaxis(data.T, 0, -1) if vector else data.T
    origin, spacing, direction = _sitk_geometry(g)
    if g.flat and len(origin) == 2:
        a = a[0]
    elif len(origin) == 2:  # a 2-D geometry for a grid of one slice, widened
        origin, spacing = origin + (0.0,), spacing + (1.0,)
        direction = (direction[0], direction[1], 0.0, direction[2], direction[3], 0.0, 0.0, 0.0, 1.0)
    if not a.dtype.isnative or a.dtype.kind == "b" or a.dtype == np.float16:
        # Types SimpleITK holds: native order, bool as uint8, half as single.
        t = np.uint8 if a.dtype.kind == "b" else np.float32 if a.dtype == np.float16 else a.dtype.newbyteorder("=")
        a = a.astype(t)
    out = simpleitk.GetImageFromArray(a, isVector=vector)
    out.SetOrigin(origin)
    out.SetSpacing(spacing)
    out.SetDirection(direction)
    return out


def _to_nib(data: np.ndarray, g: Grid, like: Any) -> Any:
    nibabel = nib()
    cls = type(like) if like is not None else nibabel.Nifti1Image
    hdr = like.header.copy() if like is not None else None
    if hdr is not None:
        hdr.set_data_dtype(data.dtype)
        if hasattr(hdr, "set_slope_inter"):
            try:
                hdr.set_slope_inter(np.nan, np.nan)
            except Exception:
                pass
    out = cls(data, g.affine, hdr)
    if hasattr(out, "set_qform"):
        # Geometry from SimpleITK is scanner space, as ITK writes NIfTI.
        q, qc, s, sc = g.nib if g.nib is not None else (g.affine, 1, g.affine, 1)
        out.set_qform(q, qc)
        out.set_sform(s, sc)
    return out


def image_like(data: np.ndarray, g: Grid, like: Any) -> Any:
    """`data` (i, j, k[, t]) on grid `g` as an image of the kind of `like`:
    a SimpleITK image (a series as a vector image), or a nibabel image with
    `like`'s header (NIfTI-1 for None)."""
    if like is not None and not is_nib(like):
        return _to_sitk(data, g, data.ndim == 4)
    return _to_nib(data, g, like)


def as_nibabel(image: Any) -> Any:
    """The image as a nibabel NIfTI-1 image (a nibabel image as it is); a
    SimpleITK vector image becomes a 4-D series."""
    image = opened(image, "image")
    if is_nib(image):
        return image
    # A copy: a view would outlive the SimpleITK image that holds its memory.
    return _to_nib(np.array(data_of(image), order="F"), grid_of(image), None)


def as_simpleitk(image: Any) -> Any:
    """The image as a SimpleITK image (a SimpleITK image as it is); a 4-D
    nibabel series becomes a vector image."""
    image = opened(image, "image")
    if is_sitk(image):
        return image
    data = data_of(image)
    return _to_sitk(data, grid_of(image), data.ndim == 4)
