"""`resample_image`: an image onto another grid through a chain of
transforms, one call of `reslice` or of `warp`."""
from __future__ import annotations

import os
from typing import Any, Callable, Sequence

import numpy as np

from .arrays import data_of, image_like
from .grids import grid_of, spacing_of
from .kinds import ImageError
from .planning import Plan, plan
from .reading import opened
from .transforms import taken


def resample_image(
    image: Any,
    reference: Any = None,
    /,
    *,
    transforms: Sequence[Any] = (),
    spacing: Any = None,
    interpolation: str = "linear",
    mode: str | None = "constant",
    cval: Any = 0.0,
    antialias: bool = False,
    workers: Any = None,
    _progress: Callable[[int, int], None] | None = None,
) -> Any:
    """Resample `image` onto the grid of `reference`, or onto its own grid at
    another `spacing`, through a chain of `transforms`.

    Parameters
    ----------
    image, reference : nibabel image, SimpleITK image, or path
        Either kind for either argument; a path ending .nii or .nii.gz is
        read with nibabel, any other with SimpleITK (NRRD, MetaImage, ...).
        `image` may be a 4-D nibabel series (i, j, k, t) or a SimpleITK
        vector image (each component a volume), or a 2-D SimpleITK image
        (one slice).
    transforms : sequence, optional
        Maps from a reference world point to the image world point it
        reads, in the order `antsApplyTransforms -t` takes them: the first
        is applied first to the reference point, the last gives the point
        read in `image` (so a registration's output as ANTs lists it,
        ["1Warp.nii.gz", "0GenericAffine.mat"]). Each is a path (ITK
        .tfm/.txt/.h5, ANTs .mat, FSL FLIRT .mat, FreeSurfer .lta, AFNI
        .1D; read with nitransforms, FSL's with the reference and image
        grids; a displacement field image), a 4x4 array (RAS millimetres),
        a SimpleITK transform (LPS; a CompositeTransform in ITK's order, the
        last added first) or a nitransforms transform; or `(item, True)`
        for its inverse, as `-t [file,1]` (affines only).
    spacing : 3 floats, optional
        With no reference: the grid of `image` at this spacing along its
        i, j, k axes (mm): the same first voxel centre and axis directions,
        each axis n * old / new voxels (rounded to the nearest, at least 1)
        so the field of view keeps its size.
    mode : str or None, optional
        As for `vexiloimgc.transform`, but "constant" by default, as scipy
        and nibabel take it: a point outside the image's first and last
        voxel centres on any axis gets `cval`, so "linear" keeps every value
        within the image's range and an identity reslice keeps every bit.
        None gives `transform`'s own rule, the face bands.
    interpolation, cval, antialias, workers
        As for `vexiloimgc.transform`.

    Returns
    -------
    An image of `image`'s kind on the reference grid: its geometry that of
    the reference (NIfTI qform and sform with their codes), float32, or for
    "nearest" and "label" the image's element type.
    """
    # The caller's conversions first, then the checks.
    raw = None if spacing is None else np.array(spacing, np.float64)
    chain = _taken_chain(transforms)
    if _progress is not None and not callable(_progress):
        raise TypeError("resample_image: _progress must be callable")
    spacing = None if raw is None else spacing_of(raw)
    img = opened(image, "image")
    ref = None if reference is None else opened(reference, "reference")
    if ref is not None and spacing is not None:
        raise TypeError("resample_image: give a reference or a spacing, not both")
    src = grid_of(img)
    data = data_of(img)
    p = plan(src, None if ref is None else grid_of(ref), spacing, chain)
    one = _resampler(p, src.affine, antialias, dict(interpolation=interpolation, mode=mode, cval=cval,
                                                    workers=workers))
    return image_like(_volumes(one, data, p.grid.shape, _progress), p.grid, img)


def _taken_chain(transforms: Any) -> list[Any]:
    """The chain's items, each converted once; a lone path or 4x4 array is
    a chain of one."""
    one = isinstance(transforms, (str, os.PathLike)) or (isinstance(transforms, np.ndarray) and transforms.ndim == 2)
    items = [transforms] if one else list(transforms)
    return [taken(t, f"transforms[{i}]") for i, t in enumerate(items)]


def _resampler(p: Plan, affine: np.ndarray, antialias: bool, kw: dict[str, Any]) -> Callable[..., np.ndarray]:
    """The plan's resampling of one volume or series (i, j, k[, t]), into
    `out` where given."""
    from .. import reslice, warp

    if p.steps is None:
        def resliced(vol: np.ndarray, out: Any = None) -> np.ndarray:
            return reslice(vol, affine, p.grid.shape, p.target, out=out, antialias=antialias, **kw)
        return resliced
    if antialias:
        raise ImageError("antialias=True is not available with displacement fields")
    steps, unit = p.steps, (1.0, 1.0, 1.0)

    def warped(vol: np.ndarray, out: Any = None) -> np.ndarray:
        # nibabel's (i, j, k[, t]) as the engine's (Z, Y, X) with unit voxels, no copy.
        r = warp(vol.T, unit, steps, output_shape=vol.shape[3:][::-1] + p.grid.shape[::-1], output_spacing=unit,
                 out=None if out is None else out.T, **kw)
        return r.T
    return warped


def _volumes(one: Callable[..., np.ndarray], data: np.ndarray, shape: tuple[int, ...],
             progress: Callable[[int, int], None] | None) -> np.ndarray:
    """`one` over the image, in one call, or with `progress` volume by
    volume, with the same bits as one call."""
    if progress is None or data.ndim == 3:
        return one(data)
    n = data.shape[3]
    first = one(data[..., 0])
    out = np.empty(shape + (n,), first.dtype, order="F")
    out[..., 0] = first
    progress(1, n)
    for k in range(1, n):
        one(data[..., k], out=out[..., k])
        progress(k + 1, n)
    return out
