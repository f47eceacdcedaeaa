"""Exact trilinear resampling of 3-D and 4-D NumPy volumes, on every core.

`transform` gives the bits of `_vexiloimgc.transform` for the same
arguments, and raises the same errors, whatever the number of threads; it
also resamples onto another grid (`output_shape`, `output_spacing`), with
any background value (`cval`), and reads every integer and float element
type. It reads a native float32 image whose rows are contiguous where it
lies, writes straight into its result (or into `out=`), releases the
interpreter lock while it works, and takes one map per volume of a 4-D
image. Where the module refuses a size (2^29 voxels), it goes on: any size
memory holds, each extent under 2^31. `reslice` resamples an image held in
nibabel's (i, j, k) order between two voxel-to-world affines. `warp`
carries each output point through a chain of affine maps and displacement
fields (`Field`) and reads the source there, in one pass.
"""
from __future__ import annotations

from typing import (TYPE_CHECKING, Any, Literal, Sequence, SupportsFloat, SupportsIndex, TypeVar, Union, get_args,
                    overload)

import numpy as np

from ._arguments import _WRITEABLE, _destination, _ndarray, _numbers, _result
from ._native import transform as _transform, voxel_map as _voxel_map
from ._warping import Field, _steps, warp  # noqa: F401 (_steps: the tests read warp's native steps through it)

if TYPE_CHECKING:
    from typing import TypeAlias

    # The element types each argument takes, declared once, in the
    # module's type declarations.
    from _vexiloimgc import _VectorItem

    _Float32Array: TypeAlias = np.ndarray[Any, np.dtype[np.float32]]
    _PackageItem: TypeAlias = Union[
        np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
        np.float16, np.float32, np.float64]
    _Image: TypeAlias = Union[np.ndarray[Any, np.dtype[_PackageItem]], Sequence[Any]]
    _Vector: TypeAlias = Union[np.ndarray[Any, np.dtype[_VectorItem]], Sequence[Any]]

    from .images import resample_image as resample_image

__all__ = ["transform", "reslice", "voxel_map", "warp", "Field", "resample_image", "RULES", "MODES"]
__version__ = "0.3.0"

_Out = TypeVar("_Out", bound="_Float32Array")
# nearest and label: the result keeps the image's element type.
_Item = TypeVar("_Item", bound=Union[np.bool_, np.integer[Any], np.float32, np.float64])
_AnyOut = TypeVar("_AnyOut", bound="np.ndarray[Any, Any]")
# Each rule's and mode's name is spelled once, in the types the overloads
# take (a type checker reads no tuple); RULES and MODES list them in the
# order the docs give, for the command line's choices and any caller's.
_Linear = Literal["linear", "cubic"]
_Mode = Literal["constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"]
_Discrete = Literal["nearest", "label"]
_linear, _cubic = get_args(_Linear)
RULES: tuple[str, ...] = (_linear, *get_args(_Discrete), _cubic)
MODES: tuple[str, ...] = get_args(_Mode)


@overload
def transform(
    image: _Image,
    spacing: _Vector,
    matrix: _Vector,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    cval: SupportsFloat = 0.0,
    interpolation: _Linear = "linear",
    mode: _Mode | None = None,
    antialias: bool | np.bool_ = False,
    out: None = None,
    workers: SupportsIndex | None = None,
) -> _Float32Array: ...
@overload
def transform(
    image: _Image,
    spacing: _Vector,
    matrix: _Vector,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    cval: SupportsFloat = 0.0,
    interpolation: _Linear = "linear",
    mode: _Mode | None = None,
    antialias: bool | np.bool_ = False,
    out: _Out,
    workers: SupportsIndex | None = None,
) -> _Out: ...
@overload
def transform(
    image: np.ndarray[Any, np.dtype[_Item]],
    spacing: _Vector,
    matrix: _Vector,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    cval: SupportsFloat | SupportsIndex = 0,
    interpolation: _Discrete,
    mode: _Mode | None = None,
    antialias: Literal[False] = False,
    out: None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, np.dtype[_Item]]: ...
@overload
def transform(
    image: _Image,
    spacing: _Vector,
    matrix: _Vector,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    cval: SupportsFloat | SupportsIndex = 0,
    interpolation: _Discrete,
    mode: _Mode | None = None,
    antialias: Literal[False] = False,
    out: _AnyOut,
    workers: SupportsIndex | None = None,
) -> _AnyOut: ...
@overload
def transform(
    image: Sequence[Any],
    spacing: _Vector,
    matrix: _Vector,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    cval: SupportsFloat | SupportsIndex = 0,
    interpolation: _Discrete,
    mode: _Mode | None = None,
    antialias: Literal[False] = False,
    out: None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, Any]: ...
def transform(
    image: _Image,
    spacing: _Vector,
    matrix: _Vector,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    cval: SupportsFloat | SupportsIndex = 0.0,
    interpolation: str = "linear",
    mode: str | None = None,
    antialias: bool | np.bool_ = False,
    out: np.ndarray[Any, Any] | None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, Any]:
    """Resample `image` through the affine `matrix`: trilinear, nearest
    sample, label-preserving or cubic B-spline.

    Output voxel (z, y, x) sits at the physical point (x * o[0], y * o[1],
    z * o[2]), o the output spacing; the matrix maps it to a source point,
    which divided by the source spacing is the continuous source index.

    Parameters
    ----------
    image : array_like, (Z, Y, X) or (N, Z, Y, X)
        bool, any integer type of 8 to 64 bits, float16, float32 or float64;
        any strides or byte order.
    spacing : array_like
        The source grid's spacing along X, Y, Z: the first 3 values along
        axis 0.
    matrix : array_like
        The output-to-source map, in physical units: 12 or more values along
        one axis (a 3x4 matrix row by row), a (3, 4) or (4, 4) array, or, for
        a 4-D image of N volumes, (N, 12), (N, 16), (N, 3, 4) or (N, 4, 4):
        map k for volume k.
    output_shape : sequence of int, optional
        The output grid's (Z, Y, X); a 4-D image keeps its N (a 4-tuple must
        start with it). Default: the image's own.
    output_spacing : array_like, optional
        The output grid's spacing along X, Y, Z, finite and positive.
        Default: `spacing`.
    cval : float or int, optional
        The value of every voxel that maps nowhere (with mode=None outside
        the source, or onto two or more of its face bands; else see
        `mode`): as float32
        for "linear" and "cubic";
        for "nearest" and "label" it must fit the image's element type
        exactly. Default 0.
    interpolation : {"linear", "nearest", "label", "cubic"}, optional
        "linear" (default): trilinear, a float32 result. "cubic": the
        cubic B-spline through the source's samples (it interpolates them),
        a float32 result; the prefilter runs on the call's threads. "nearest": the
        sample nearest the source index (halves toward the higher index),
        where it lies in the source. "label": for integer (label) images,
        on the voxels "linear" writes, the label whose trilinear weights
        sum highest (exact ties to the label of the heaviest single
        term, then of the sample at the larger index: label numbers
        never decide). Both keep the image's element type.
    mode : {"constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"}, optional
        How the source extends beyond its edges, by scipy's names.
        "constant": a voxel whose source index lies outside [0, extent - 1]
        on an axis is `cval`; "grid-constant": samples beyond the edges are
        `cval` (for "label", votes for it); the others extend the samples.
        Under a mode "linear" and "label" read the samples at floor(c) and
        floor(c) + 1 on each axis, "nearest" the one at floor(c + 0.5),
        each index extended by the mode: no face bands. Every rule takes
        a position that is not finite, or 2^62 or more from index 0, as
        mapping nowhere. None (default): "constant" for "cubic"; for the
        other rules the face bands of docs/usage.md ("Conventions").
    out : ndarray or array with the buffer protocol or DLPack, optional
        Where to write the result: float32 (for "nearest" and "label", the
        image's element type), native byte order, C-contiguous,
        aligned, writeable, of the output's shape, sharing no memory with the
        arguments. Every element is written. Another library's array (a
        torch CPU tensor) is written through a NumPy view of its memory:
        DLPack's needs NumPy 2.1 and a DLPack 1.0 producer to be writeable.
    workers : int, optional
        Threads to use at most. None: every CPU this process may run on;
        negative values count back from there (-1 all, -2 all but one).
        Small images run on the calling thread. The result never depends on
        the number.

    Returns
    -------
    ndarray
        `out` (the caller's own object), or a new C-contiguous array of the
        output's shape: float32, or for "nearest" and "label" the image's
        element type.
    """
    # Arrays go straight through: an 8^3 call takes a few microseconds.
    nd = _ndarray
    dest = _destination(out, "transform")
    return _result(_transform(image=image if isinstance(image, nd) else _numbers(image, "image"),
                              spacing=spacing if isinstance(spacing, nd) else _numbers(spacing, "spacing"),
                              matrix=matrix if isinstance(matrix, nd) else _numbers(matrix, "matrix"),
                              output_shape=output_shape,
                              output_spacing=output_spacing if output_spacing is None
                              or isinstance(output_spacing, nd) else _numbers(output_spacing, "output_spacing"),
                              cval=cval, interpolation=interpolation, mode=mode, antialias=antialias, out=dest,
                              workers=workers), out, dest)


def _affine(a: Any, name: str) -> np.ndarray[Any, np.dtype[np.float64]]:
    m = np.array(a, np.float64, order="C")
    if m.shape != (4, 4):
        raise ValueError(f"reslice: {name} must be a 4x4 voxel-to-world matrix, not of shape {m.shape}")
    if not np.isfinite(m).all():
        raise ValueError(f"reslice: {name} must be finite")
    return m


def _last_row(m: np.ndarray[Any, np.dtype[np.float64]], name: str) -> None:
    if (m[3] != (0, 0, 0, 1)).any():
        raise ValueError(f"reslice: {name} must be affine: its last row must be [0, 0, 0, 1], not {m[3].tolist()}")


def voxel_map(affine: Any, target_affine: Any) -> np.ndarray[Any, np.dtype[np.float64]]:
    """The 4x4 map from target voxel (i, j, k) to source voxel,
    inv(affine) @ target_affine, in double precision: formed natively in a
    fixed order, so its bits depend neither on the caller's floating-point
    mode nor on the machine."""
    a, t = _affine(affine, "affine"), _affine(target_affine, "target_affine")
    m: np.ndarray[Any, np.dtype[np.float64]] = _voxel_map(a, t)  # reads the top three rows
    _last_row(a, "affine")
    _last_row(t, "target_affine")
    return m


@overload
def reslice(
    data: _Image,
    affine: Any,
    shape: Sequence[SupportsIndex],
    target_affine: Any,
    /,
    *,
    cval: SupportsFloat = 0.0,
    interpolation: _Linear = "linear",
    mode: _Mode | None = None,
    antialias: bool | np.bool_ = False,
    out: np.ndarray[Any, np.dtype[np.float32]] | None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, np.dtype[np.float32]]: ...
@overload
def reslice(
    data: np.ndarray[Any, np.dtype[_Item]],
    affine: Any,
    shape: Sequence[SupportsIndex],
    target_affine: Any,
    /,
    *,
    cval: SupportsFloat | SupportsIndex = 0,
    interpolation: _Discrete,
    mode: _Mode | None = None,
    antialias: Literal[False] = False,
    out: np.ndarray[Any, np.dtype[_Item]] | None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, np.dtype[_Item]]: ...
@overload
def reslice(
    data: Sequence[Any],
    affine: Any,
    shape: Sequence[SupportsIndex],
    target_affine: Any,
    /,
    *,
    cval: SupportsFloat | SupportsIndex = 0,
    interpolation: _Discrete,
    mode: _Mode | None = None,
    antialias: Literal[False] = False,
    out: np.ndarray[Any, Any] | None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, Any]: ...
def reslice(
    data: _Image,
    affine: Any,
    shape: Sequence[SupportsIndex],
    target_affine: Any,
    /,
    *,
    cval: SupportsFloat | SupportsIndex = 0.0,
    interpolation: str = "linear",
    mode: str | None = None,
    antialias: bool | np.bool_ = False,
    out: np.ndarray[Any, Any] | None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, Any]:
    """Resample `data`, with voxel-to-world `affine`, onto the grid of `shape`
    and `target_affine`, by the rules of `transform`.

    Parameters
    ----------
    data : array_like, (I, J, K) or (I, J, K, T)
        Indexed as nibabel's ``get_fdata()`` and ``dataobj`` give it, any
        layout; a series is resampled volume by volume.
    affine, target_affine : array_like, (4, 4)
        Voxel (i, j, k) to world maps of the source and of the target grid.
    shape : sequence of 3 int
        The target grid's (I, J, K).
    cval, interpolation, mode, antialias, workers
        As for `transform`.
    out : ndarray or array with the buffer protocol or DLPack, optional
        As for `transform`, but Fortran-ordered (as the result is), of the
        result's shape.

    Returns
    -------
    ndarray, (I', J', K') or (I', J', K', T), float32 or data's element type
        Indexed like `data`: the transpose of a C-contiguous array.

    The map from target voxel to source voxel, inv(affine) @ target_affine,
    is formed in double precision and rounded once to float32; both grids
    are then taken with unit spacing, so voxel (i, j, k) sits at the point
    (i, j, k) and its source index is the map's image of it.
    """
    dest = _destination(out, "reslice")
    if dest is not None and not isinstance(dest, np.ndarray):
        raise TypeError(f"reslice: out must be {_WRITEABLE}, not {type(out).__name__}")
    v = voxel_map(affine, target_affine)
    a = _numbers(data, "data")
    if a.ndim not in (3, 4):
        raise ValueError(f"reslice: data must have 3 or 4 dimensions, got {a.ndim}")
    ijk = tuple(shape)
    if len(ijk) != 3:
        raise ValueError(f"reslice: shape must hold the target grid's 3 extents (I, J, K), not {len(ijk)}")
    one = np.ones(3, np.float32)
    r = _transform(image=a.T, spacing=one, matrix=v[:3], output_shape=ijk[::-1], output_spacing=None, cval=cval,
                   interpolation=interpolation, mode=mode, antialias=antialias,
                   out=None if dest is None else dest.T, workers=workers)
    return _result(r.T, out, dest)  # type: ignore[no-any-return]


def __getattr__(name: str) -> Any:
    # Images on demand: `import vexiloimgc` imports neither nibabel nor SimpleITK.
    if name == "resample_image":
        from .images import resample_image

        return resample_image
    raise AttributeError(f"module 'vexiloimgc' has no attribute {name!r}")
