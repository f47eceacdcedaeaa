"""Voxel grids: an image's (I, J, K) and its voxel to world RAS affine,
nibabel's frame, with the geometry it came from; a grid at another spacing."""
from __future__ import annotations

import math
from typing import Any, Sequence

import numpy as np

from .kinds import FLIP, ImageError, is_nib
from .reading import opened


class Grid:
    """A voxel grid: its (I, J, K), its RAS affine, and the geometry it came
    from, kept so that a grid written back to its own kind is bit for bit
    what was read."""

    __slots__ = ("shape", "affine", "sitk", "nib", "flat")

    def __init__(self, shape: tuple[int, int, int], affine: np.ndarray, sitk: Any = None,
                 nib: Any = None, flat: bool = False) -> None:
        self.shape = shape
        self.affine = affine
        self.sitk = sitk  # (origin, spacing, direction) as SimpleITK gives them
        self.nib = nib  # (qform, qform code, sform, sform code)
        self.flat = flat  # a 2-D SimpleITK image: one slice


def _lps_affine(origin: Sequence[float], spacing: Sequence[float], direction: Sequence[float]) -> np.ndarray:
    n = len(origin)
    d = np.array(direction, np.float64).reshape(n, n)
    a = np.eye(4)
    a[:n, :n] = d * np.array(spacing, np.float64)
    a[:n, 3] = origin
    return a


def sitk_grid(img: Any) -> Grid:
    dim = img.GetDimension()
    if dim not in (2, 3):
        raise ImageError(f"a {dim}-D SimpleITK image: 2-D and 3-D images are resampled "
                         "(a series as a vector image)")
    geo = (img.GetOrigin(), img.GetSpacing(), img.GetDirection())
    a = _lps_affine(*geo) * np.array(FLIP)[:, None]
    size = img.GetSize()
    shape = (size[0], size[1], size[2] if dim == 3 else 1)
    return Grid(shape, a, sitk=geo, flat=dim == 2)


def _nib_grid(img: Any) -> Grid:
    shape = tuple(int(n) for n in img.shape[:3])
    if len(shape) < 3:
        raise ImageError(f"a {len(img.shape)}-D nibabel image: 3-D and 4-D images are resampled")
    hdr = img.header
    codes = None
    if hasattr(hdr, "get_qform") and hasattr(hdr, "get_sform"):
        codes = (hdr.get_qform(), int(hdr["qform_code"]), hdr.get_sform(), int(hdr["sform_code"]))
    return Grid(shape, np.array(img.affine, np.float64), nib=codes)  # type: ignore[arg-type]


def grid_of(img: Any) -> Grid:
    return _nib_grid(img) if is_nib(img) else sitk_grid(img)


def image_affine(image: Any) -> np.ndarray:
    """The voxel (i, j, k) to world RAS affine of either kind of image
    (SimpleITK's LPS geometry turned to RAS)."""
    return grid_of(opened(image, "image")).affine.copy()


def _extent(n: int, old: float, new: float) -> int:
    # The field of view n * old kept to the nearest whole voxel.
    return max(1, int(math.floor(n * old / new + 0.5)))


def respaced(g: Grid, spacing: np.ndarray) -> Grid:
    cols = np.sqrt((g.affine[:3, :3] ** 2).sum(axis=0))
    scale = np.ones(4)
    scale[:3] = spacing / cols
    shape = tuple(_extent(n, o, s) for n, o, s in zip(g.shape, cols, spacing))
    if g.flat:
        scale[2], shape = 1.0, shape[:2] + (1,)
    a = g.affine * scale  # columns scaled: the first voxel centre stays
    sitk = nib = None
    if g.sitk is not None:
        origin, old, direction = g.sitk
        sitk = (origin, tuple(float(s) for s in spacing[: len(old)]), direction)
    if g.nib is not None:
        q, qc, s, sc = g.nib
        nib = (q * scale, qc, s * scale, sc)
    return Grid(shape, a, sitk=sitk, nib=nib, flat=g.flat)  # type: ignore[arg-type]


def spacing_of(spacing: Any) -> np.ndarray:
    """A new grid's spacing, checked: X, Y, Z in mm (a 2-D image's two)."""
    s = np.array(spacing, np.float64).ravel()
    if s.size not in (2, 3) or not np.isfinite(s).all() or (s <= 0).any():
        raise ValueError(f"resample_image: spacing must be 3 finite positive values (X, Y, Z in mm), "
                         f"not {np.asarray(spacing).tolist()}")
    return np.append(s, 1.0) if s.size == 2 else s
