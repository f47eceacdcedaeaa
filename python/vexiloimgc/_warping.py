"""`warp`: resampling through a chain of affine maps and displacement
fields (`Field`) in one pass."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence, SupportsFloat, SupportsIndex

import numpy as np

from ._arguments import _destination, _ndarray, _numbers, _result
from ._native import voxel_map as _voxel_map, warp as _warp

if TYPE_CHECKING:
    from . import _Image, _Vector


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


Field.__module__ = "vexiloimgc"  # where it is imported from


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
    r = _warp(image=image if isinstance(image, nd) else _numbers(image, "image"),
              spacing=spacing if isinstance(spacing, nd) else _numbers(spacing, "spacing"),
              steps=_steps(steps), output_shape=output_shape,
              output_spacing=output_spacing if output_spacing is None or isinstance(output_spacing, nd)
              else _numbers(output_spacing, "output_spacing"),
              cval=cval, interpolation=interpolation, mode=mode, out=dest, workers=workers)
    return _result(r, out, dest)  # type: ignore[no-any-return]
