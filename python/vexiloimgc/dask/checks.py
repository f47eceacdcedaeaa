"""The arguments checked as one call of the kernel checks them, on a
stand-in of the image with no memory, and the output's chunks and boxes
held to what one call takes."""
from __future__ import annotations

import math
from typing import Any

import numpy as np
import dask.array as da

from .._arguments import _numbers
from .._native import box_limit as _BOX3, call_limit as _CALL, transform_check as _transform_check

_AUTO = 128 << 20  # bytes of an output block by default


def stand_in(dtype: Any, shape: tuple[int, ...]) -> np.ndarray:
    """An array of the image's shape and element type that holds no memory."""
    return np.broadcast_to(np.zeros((), dtype), shape)


def checked(dtype: Any, shape: tuple[int, ...], spacing: Any, matrix: Any, output_shape: Any, output_spacing: Any,
            cval: Any, interpolation: Any, mode: Any = None, antialias: Any = False
            ) -> tuple[np.ndarray, tuple[int, ...], np.ndarray, Any, np.ndarray]:
    """One call's checks, with its limits on whole sizes lifted: each
    argument is read once, natively, and what the blocks need comes back as
    read (the fill exactly as the kernel writes it, the maps as float32)."""
    spacing = _numbers(spacing, "spacing")
    matrix = _numbers(matrix, "matrix")
    if output_spacing is not None:
        output_spacing = _numbers(output_spacing, "output_spacing")
    return _transform_check(image=stand_in(dtype, shape), spacing=spacing, matrix=matrix, output_shape=output_shape,
                            output_spacing=output_spacing, cval=cval, interpolation=interpolation, mode=mode,
                            antialias=antialias)


def chunking(output_chunks: Any, image: da.Array, out_shape: tuple[int, ...],
             dtype: np.dtype, name: str) -> tuple[tuple[int, ...], ...]:
    """The output's chunks: as given, as Dask normalises them, or by default
    the image's where the output grid is the image's, else even blocks of
    about 128 MiB."""
    if output_chunks is None:
        if out_shape == tuple(image.shape) and math.prod(_largest(image.chunks)) <= _CALL:
            return tuple(tuple(int(c) for c in cs) for cs in image.chunks)
        auto = da.core.normalize_chunks("auto", out_shape, limit=_AUTO, dtype=dtype)  # type: ignore[no-untyped-call]
        # Even blocks, no larger than Dask's
        chunks = tuple(even(e, len(cs)) for e, cs in zip(out_shape, auto))
    else:
        chunks = da.core.normalize_chunks(  # type: ignore[no-untyped-call]
            output_chunks, out_shape, limit=_AUTO, dtype=dtype)
    if math.prod(_largest(chunks)) > _CALL:
        raise ValueError(f"vexiloimgc.dask.{name}: output blocks of up to (Z, Y, X) = {_largest(chunks)} "
                         "hold more voxels than one call writes (2^29 - 1); pass smaller output_chunks")
    return chunks


def even(extent: int, n: int) -> tuple[int, ...]:
    """`extent` cut into `n` chunks that differ by one at most."""
    if extent == 0:
        return (0,)
    q, r = divmod(extent, n)
    return tuple(q + (k < r) for k in range(n))


def _largest(chunks: Any) -> tuple[int, ...]:
    """The largest block's extents, Z, Y, X."""
    return tuple(int(max(cs, default=0)) for cs in chunks[-3:])


def check_boxes(boxes: np.ndarray, nd: int, name: str, index: Any = None) -> None:
    """A block's source box must be one the kernel can address; `index`
    the block's, for a single block's boxes."""
    sizes = (boxes[..., 1::2] - boxes[..., ::2]).astype(np.float64).prod(axis=-1)
    if (sizes > _BOX3).any():
        at = tuple(np.argwhere(sizes > _BOX3)[0])
        index = index or tuple(int(i) for i in at[4 - nd:])
        box = tuple(int(b) for b in np.diff(boxes[at].reshape(3, 2)).ravel())
        raise ValueError(f"vexiloimgc.dask.{name}: output block {index} reads a source box "
                         f"{box} of 2^31 or more samples; pass smaller output_chunks")
