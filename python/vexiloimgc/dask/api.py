"""`transform` and `warp` of Dask arrays: each argument read and checked
once, here, as one call reads it, then each output block's source box, then
the graph."""
from __future__ import annotations

import math
from typing import Any, Sequence, SupportsFloat, SupportsIndex

import numpy as np
import dask.array as da
from dask.base import tokenize

from .._arguments import _numbers
from .boxes import transform_boxes, warp_boxes
from .checks import check_boxes, checked, chunking, stand_in
from .graph import graph
from .steps import Chain


def transform(image: Any, spacing: Any, matrix: Any, /, *, output_shape: Sequence[SupportsIndex] | None = None,
              output_spacing: Any = None, output_chunks: Any = None, cval: SupportsFloat = 0.0,
              interpolation: str = "linear", mode: str | None = None, antialias: bool = False) -> da.Array:
    """`vexiloimgc.transform` of a Dask array, lazily, block by block.

    Parameters
    ----------
    image : dask.array.Array, (Z, Y, X) or (N, Z, Y, X)
        Any chunking; another array is wrapped with ``dask.array.asarray``.
    spacing, matrix, output_shape, output_spacing, cval, interpolation, mode, antialias
        As for `vexiloimgc.transform`; maps per volume are handed to each
        block for its own volumes. Each is read once, here: the graph holds
        copies, so later changes to the caller's objects change nothing.
        Each block of "cubic" or antialias filters its source box grown by
        the filters' reach, with the whole source's edges; a block under a
        mode reads the samples the mode's extension gives its voxels.
    output_chunks : optional
        The result's chunks, as Dask takes them. Default: the image's where
        the output grid is the image's, else blocks of about 128 MiB.

    Returns
    -------
    dask.array.Array
        Computes to the bits of `vexiloimgc.transform` on the whole image in
        memory, for any chunking and scheduler. Argument errors are raised
        here, with that function's messages. A block whose source read comes
        back with another shape or element type than its box raises
        RuntimeError when computed.
    """
    image = _lazy(image, "transform")
    shape = tuple(int(e) for e in image.shape)
    fill, out_shape, sp, osp, maps = checked(image.dtype, shape, spacing, matrix, output_shape, output_spacing, cval,
                                             interpolation, mode, antialias)
    # Checked: plain values from here on (str.__str__ runs no subclass's code).
    interpolation, antialias = str.__str__(interpolation), bool(antialias)
    mode = None if mode is None else str.__str__(mode)
    # What a block reads past its samples: a mode's extension, the filters.
    reach = None if interpolation != "cubic" and mode is None and not antialias else (interpolation, mode, antialias)
    del spacing, matrix, output_spacing, output_shape  # the caller's: never read again
    chunks = chunking(output_chunks, image, out_shape, fill.dtype, "transform")
    boxes = transform_boxes(shape, sp, osp, maps, chunks, reach)
    check_boxes(boxes, len(shape), "transform")
    token = tokenize(image, sp, maps, osp, out_shape, chunks, fill.dtype.str, fill.tobytes(), interpolation, reach)
    rule = (interpolation, mode, antialias)
    return graph(token, image, shape, chunks, boxes, (image.dtype, sp, maps, osp, fill.item(), rule), fill)


def warp(image: Any, spacing: Any, steps: Any, /, *, output_shape: Sequence[SupportsIndex] | None = None,
         output_spacing: Any = None, output_chunks: Any = None, cval: SupportsFloat = 0.0,
         interpolation: str = "linear", mode: str | None = None) -> da.Array:
    """`vexiloimgc.warp` of a Dask array, lazily, block by block.

    Parameters
    ----------
    image : dask.array.Array, (Z, Y, X) or (N, Z, Y, X)
        Any chunking; another array is wrapped with ``dask.array.asarray``.
    spacing, steps, output_shape, output_spacing, cval, interpolation, mode
        As for `vexiloimgc.warp`, each read once, here. A `Field` may be
        given a Dask array: it is computed whole when the Field is made. The
        steps are copied here, once into the graph, and shared by the
        blocks: later changes to the caller's arrays change nothing. As in
        `transform`, a block of
        "cubic" filters its source box grown by the prefilter's reach, with
        the whole source's edges, and a block under a mode reads the samples
        the mode's extension gives its points.
    output_chunks : optional
        As for `transform`.

    Returns
    -------
    dask.array.Array
        Computes to the bits of `vexiloimgc.warp` on the whole image in
        memory, for any chunking and scheduler. Each block reads the box of
        the source its points read, found by carrying its points through
        the steps, as the warp carries them: as the block runs where it
        reads the source itself (views of an array in memory, an array-like
        such as zarr); here, before the graph is built, for any other
        source, whose blocks take the chunks their boxes overlap (about one
        pass of the steps over the output, on every CPU). Argument errors
        are raised here, with that function's messages; a box too large for
        the kernel as the block runs.
    """
    image = _lazy(image, "warp")
    chain = Chain(steps, image.ndim == 4 and int(image.shape[0]))
    # Each argument read once, natively, in warp's order (its grid, then its
    # steps); the steps are checked against what was read.
    shape = tuple(int(e) for e in image.shape)
    fill, out_shape, sp, osp, _ = checked(image.dtype, shape, spacing, np.eye(4), output_shape, output_spacing, cval,
                                          interpolation, mode)
    interpolation = str.__str__(interpolation)
    mode = None if mode is None else str.__str__(mode)
    del spacing, output_spacing, output_shape, cval  # the caller's: never read again
    read = dict(image=stand_in(image.dtype, shape), spacing=sp, steps=chain.steps, output_shape=out_shape,
                output_spacing=osp, cval=fill.item(), interpolation=interpolation, mode=mode)
    warp_boxes(read, None)
    chunks = chunking(output_chunks, image, out_shape, fill.dtype, "warp")

    def boxes() -> np.ndarray:
        found = warp_boxes(read, chunks)
        check_boxes(found, len(shape), "warp")
        return found  # type: ignore[no-any-return]

    token = tokenize(image, sp, chain.token(), osp, out_shape, chunks, fill.dtype.str, fill.tobytes(),
                     interpolation, mode, "warp")
    call = (image.dtype, sp, np.zeros(12, np.float32), osp, fill.item(), (interpolation, mode))
    return graph(token, image, shape, chunks, boxes, call, fill, chain,
                 (image.dtype, shape, sp, out_shape, osp, fill.item(), interpolation, mode))


def _lazy(image: Any, name: str) -> da.Array:
    """The image as a Dask array (another array wrapped), its chunk sizes known."""
    lazy: da.Array = image if isinstance(image, da.Array) else da.asarray(  # type: ignore[no-untyped-call]
        _numbers(image, "image"))
    if any(math.isnan(c) for cs in lazy.chunks for c in cs):
        raise ValueError(f"vexiloimgc.dask.{name}: the image's chunk sizes must be known "
                         "(see dask.array.Array.compute_chunk_sizes)")
    return lazy
