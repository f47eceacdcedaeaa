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

from ._native import transform as _transform, voxel_map as _voxel_map, warp as _warp

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


_ndarray = np.ndarray
_WRITEABLE = "a numpy.ndarray or a writeable array with the buffer protocol or DLPack"


def _destination(out: Any, name: str) -> Any:
    """`out` as a NumPy view of the caller's own memory, for the module's
    checks of an ndarray; None, an ndarray, or anything that gives no
    view, as it is (the module refuses it).

    The buffer protocol first: its export says on every NumPy whether the
    memory is writeable, and holds the memory in place while the call
    writes. A view that owns its data would be a copy, which the caller
    would never see, so it is no view."""
    if out is None or isinstance(out, _ndarray):
        return out
    view: Any
    try:
        view = np.asarray(memoryview(out))
    except (TypeError, ValueError, BufferError):
        view = _dlpack_view(out, name) if hasattr(out, "__dlpack__") else None
    return out if view is None or view.flags.owndata else view


def _dlpack_view(out: Any, name: str) -> Any:
    try:
        view = np.from_dlpack(out)
    except (TypeError, ValueError, RuntimeError, BufferError) as e:
        raise TypeError(f"{name}: out ({type(out).__name__}) gives NumPy no view through DLPack: {e}") from None
    if not view.flags.writeable:
        # A DLPack capsule before version 1.0 cannot say that its memory is
        # writeable, and NumPy before 2.1 takes none of a later version.
        raise ValueError(f"{name}: out ({type(out).__name__}) reaches NumPy {np.__version__} read-only through "
                         "DLPack: its producer marks it so, or it or NumPy (before 2.1) predates DLPack 1.0, "
                         "which can say that memory may be written; pass a numpy.ndarray view of it (for a "
                         "torch tensor, t.numpy())")
    return view


def _result(r: Any, out: Any, dest: Any) -> Any:
    """The caller's own `out` where the call wrote through a view of it."""
    return r if dest is out else out


# Images that carry their own geometry, and how to pass their data instead.
_IMAGE_KINDS = (
    (("GetSpacing", "GetOrigin", "GetDirection"), "a SimpleITK image",
     "pass SimpleITK.GetArrayViewFromImage(img) (indexed Z, Y, X) and img.GetSpacing()"),
    (("affine", "dataobj"), "a nibabel image",
     "pass img.get_fdata(dtype=numpy.float32) or numpy.asanyarray(img.dataobj) to vexiloimgc.reslice "
     "with img.affine"),
)


def _numbers(a: Any, name: str) -> Any:
    """An ndarray as it is (the checks are the module's); anything else
    through numpy.asarray, which must give numbers."""
    if isinstance(a, np.ndarray):
        return a
    for attrs, kind, hint in _IMAGE_KINDS:
        if all(hasattr(a, k) for k in attrs):
            raise TypeError(f"transform: {name} is {kind}, not an array: {hint}")
    b = np.asarray(a)
    if b.dtype.kind not in "biuf":
        raise TypeError(f"transform: {name} must be an array of numbers, not {type(a).__name__}")
    return b


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
    return _result(_transform(image if isinstance(image, nd) else _numbers(image, "image"),
                              spacing if isinstance(spacing, nd) else _numbers(spacing, "spacing"),
                              matrix if isinstance(matrix, nd) else _numbers(matrix, "matrix"),
                              dest, workers, output_shape,
                              output_spacing if output_spacing is None or isinstance(output_spacing, nd)
                              else _numbers(output_spacing, "output_spacing"),
                              cval, interpolation, None, mode, antialias), out, dest)


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
    r = _transform(a.T, one, v[:3], None if dest is None else dest.T, workers,
                   ijk[::-1], None, cval, interpolation, None, mode, antialias)
    return _result(r.T, out, dest)  # type: ignore[no-any-return]


class Field:
    """A displacement field, one step of `warp`: the point p moves to
    p + u(p), u interpolated trilinearly from the field's samples.

    Parameters
    ----------
    displacement : array_like, (Z, Y, X, 3) or (N, Z, Y, X, 3)
        Physical displacements along X, Y, Z at each of the field's voxels;
        for a 4-D image of N volumes, one field per volume. Read where it
        lies when float32 in the machine's byte order (any strides; it is
        never copied, so later changes to it show in later calls), else
        converted to float32 by value once, here.
    spacing : array_like
        The field's spacing along X, Y, Z (the first 3 values along axis
        0), finite and positive: its voxel (z, y, x) sits at (x, y, z) times
        it.
    matrix : array_like, optional
        A (3, 4) or (4, 4) map, finite, taking those points to the physical
        points of the output (a field on another grid): voxel (z, y, x)
        sits at ``matrix @ (x * s[0], y * s[1], z * s[2], 1)``; only its first
        three rows are read. Default: the identity.

    Raises
    ------
    TypeError
        displacement or spacing not numbers.
    ValueError
        displacement not of shape (..., 3) with 4 or 5 dimensions, spacing
        not finite and positive, matrix not (3, 4) or (4, 4), not finite, or
        not invertible, or an inverse map (matrix times spacing) not finite
        in float32.

    Notes
    -----
    The map from physical points back to the field's continuous index is
    formed here once: ``matrix[:3, :3]`` scaled column by column by the
    spacing (each product one float64 multiplication), inverted in float64
    as `voxel_map` inverts, then rounded to float32. See docs/usage.md,
    "Warps".
    """

    __slots__ = ("displacement", "spacing", "matrix", "_inverse")
    displacement: np.ndarray[Any, np.dtype[np.float32]]
    spacing: np.ndarray[Any, np.dtype[np.float32]]
    matrix: np.ndarray[Any, np.dtype[np.float64]] | None
    _inverse: np.ndarray[Any, np.dtype[np.float32]]

    def __init__(self, displacement: Any, spacing: Any, matrix: Any = None) -> None:
        d = displacement if isinstance(displacement, np.ndarray) else np.asarray(displacement)
        s = np.asarray(spacing)
        m = None if matrix is None else np.asarray(matrix)
        for a, name in ((d, "displacement"), (s, "spacing"), (m, "matrix")):
            if a is not None and a.dtype.kind not in "biuf":
                raise TypeError(f"Field: {name} must be an array of numbers, not {a.dtype}")
        if d.dtype != np.float32 or not d.dtype.isnative:
            d = d.astype(np.float32)
        if d.ndim not in (4, 5) or d.shape[-1] != 3:
            raise ValueError(f"Field: displacement must be (Z, Y, X, 3) or (N, Z, Y, X, 3), not of shape {d.shape}")
        if s.ndim < 1 or s.shape[0] < 3:
            raise ValueError(f"Field: spacing needs 3 values (X, Y, Z) along its first axis, not shape {s.shape}")
        sp = s.reshape(s.shape[0], -1)[:3, 0].astype(np.float64).astype(np.float32)
        if not (np.isfinite(sp).all() and (sp > 0).all()):
            raise ValueError(f"Field: spacing must be finite and positive, got {tuple(sp.tolist())}")
        g = np.eye(4)
        if m is not None:
            if m.shape not in ((3, 4), (4, 4)):
                raise ValueError(f"Field: matrix must be (3, 4) or (4, 4), not of shape {m.shape}")
            g[:3] = m[:3]
            if not np.isfinite(g).all():
                raise ValueError("Field: matrix must be finite")
        mm = None if m is None else g[:3].copy()
        g[:3, :3] = g[:3, :3] * sp.astype(np.float64)  # column c times s[c], one rounding each
        try:
            inv = _voxel_map(g, np.eye(4))
        except ValueError:
            raise ValueError("Field: its map (matrix times spacing) cannot be inverted") from None
        with np.errstate(over="ignore"):
            inv32 = inv[:3].astype(np.float32)
        if not np.isfinite(inv32).all():
            raise ValueError("Field: its map (matrix times spacing) has an inverse too large for float32")
        object.__setattr__(self, "displacement", d)
        object.__setattr__(self, "spacing", sp)
        object.__setattr__(self, "matrix", mm)
        object.__setattr__(self, "_inverse", np.ascontiguousarray(inv32.reshape(12)))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Field is read-only: cannot set {name}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Field is read-only: cannot delete {name}")

    def __repr__(self) -> str:
        return (f"Field(<displacement {self.displacement.shape} float32>, spacing={self.spacing.tolist()}, "
                f"matrix={None if self.matrix is None else self.matrix.tolist()})")


def _steps(steps: Any) -> Any:
    """The steps as the native warp takes them: a list of ndarrays and
    (displacement, inverse) pairs. What is neither goes through as it is,
    for the native checks to refuse after every conversion."""
    if isinstance(steps, (Field, np.ndarray)):
        steps = [steps]
    elif not hasattr(type(steps), "__iter__"):
        return steps
    out: list[Any] = []
    for st in list(steps):
        if isinstance(st, Field):
            out.append((st.displacement, st._inverse))
        elif isinstance(st, np.ndarray):
            out.append(st)
        else:
            a = np.asarray(st)
            out.append(a if a.dtype.kind in "biuf" else st)
    return out


def warp(
    image: _Image,
    spacing: _Vector,
    steps: Sequence[Any],
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: _Vector | None = None,
    interpolation: str = "linear",
    mode: str | None = None,
    cval: SupportsFloat | SupportsIndex = 0.0,
    out: np.ndarray[Any, Any] | None = None,
    workers: SupportsIndex | None = None,
) -> np.ndarray[Any, Any]:
    """Resample `image` through a chain of affine maps and displacement
    fields, in one pass.

    Output voxel (z, y, x) sits at the physical point (x * o[0], y * o[1],
    z * o[2]), o the output spacing, as in `transform`; `steps` carry it in
    order, and the last step's point divided by `spacing` is the continuous
    source index the rule reads. One affine step gives `transform`'s bits.

    Parameters
    ----------
    image : array_like, (Z, Y, X) or (N, Z, Y, X)
        As for `transform`.
    spacing : array_like
        The source grid's spacing along X, Y, Z.
    steps : sequence
        Each an affine map, as `transform`'s `matrix` (physical units; for a
        4-D image one per volume), or a `Field` (for a 4-D image, one field
        per volume where its displacement is 5-D). Empty: the identity.
    output_shape, output_spacing, cval, workers
        As for `transform`.
    interpolation : {"linear", "nearest", "label", "cubic"}, optional
        As for `transform`.
    mode : str, optional
        As for `transform`: each point is read as `transform` reads a
        voxel at the same source index, rule and mode.
    out : ndarray or array with the buffer protocol or DLPack, optional
        As for `transform`; it may share no memory with the steps.

    Returns
    -------
    ndarray
        `out`, or a new C-contiguous array of the output's shape: float32,
        or for "nearest" and "label" the image's element type.

    Raises
    ------
    TypeError
        A step that is neither an affine map nor a `Field`.
    ValueError
        As `transform`'s checks, and a per-volume step whose count is not
        the image's N, a 5-D field for a 3-D image, an unknown mode, or an
        `out` sharing memory with a step. Nothing is written.

    Notes
    -----
    The arithmetic, bit for bit, is in docs/usage.md, "Warps".
    """
    nd = _ndarray
    dest = _destination(out, "warp")
    return _result(_warp(image if isinstance(image, nd) else _numbers(image, "image"),  # type: ignore[no-any-return]
                         spacing if isinstance(spacing, nd) else _numbers(spacing, "spacing"),
                         _steps(steps), dest, workers, output_shape,
                         output_spacing if output_spacing is None or isinstance(output_spacing, nd)
                         else _numbers(output_spacing, "output_spacing"),
                         cval, interpolation, mode), out, dest)


def __getattr__(name: str) -> Any:
    # Images on demand: `import vexiloimgc` imports neither nibabel nor SimpleITK.
    if name == "resample_image":
        from .images import resample_image

        return resample_image
    raise AttributeError(f"module 'vexiloimgc' has no attribute {name!r}")
