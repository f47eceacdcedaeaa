"""The output's blocks and the box of the source each reads, computed
natively: for `transform` from the maps, for `warp` from every output point
carried through the steps."""
from __future__ import annotations

import itertools
from typing import Any, Iterator

import numpy as np

from .._native import source_boxes as _source_boxes, warp_boxes as _warp_boxes
from .checks import check_boxes, checked, stand_in


def windows(chunks: tuple[int, ...]) -> list[tuple[int, int, int, int]]:
    """Each chunk of one axis: (index, start, stop, extent)."""
    out, at = [], 0
    for i, c in enumerate(chunks):
        out.append((i, at, at + c, c))
        at += c
    return out


def edges(chunks: tuple[int, ...]) -> np.ndarray:
    return np.cumsum((0,) + tuple(chunks), dtype=np.int64)


def _block_edges(chunks: tuple[tuple[int, ...], ...]) -> dict[str, np.ndarray]:
    """The blocks' edges along N (a 3-D output one block of one volume),
    Z, Y and X, as the native boxes take them."""
    en = edges(chunks[0]) if len(chunks) == 4 else np.array([0, 1], np.int64)
    ez, ey, ex = (edges(c) for c in chunks[-3:])
    return dict(edges_n=en, edges_z=ez, edges_y=ey, edges_x=ex)


def transform_boxes(shape: tuple[int, ...], sp: np.ndarray, osp: Any, maps: np.ndarray,
                    chunks: tuple[tuple[int, ...], ...], reach: Any = None) -> np.ndarray:
    """Each output block's source box, (blocks along N, Z, Y, X, 6) of
    (z0, z1, y0, y1, x0, x1), -1 throughout for none: computed natively
    under the kernel's floating-point mode, with its arithmetic, grown by
    what the rule reads past its samples (None, or (interpolation, mode,
    antialias)): a mode's extension, the filters' reach."""
    boxes: np.ndarray = _source_boxes(extents=np.array(shape[-3:], np.int64), spacing=sp, maps=maps,
                                      output_spacing=sp if osp is None else osp, reach=reach,
                                      **_block_edges(chunks))
    return boxes


def warp_boxes(read: dict[str, Any], chunks: tuple[tuple[int, ...], ...] | None) -> Any:
    """A warp's blocks' source boxes, as `transform_boxes` gives them, from
    `read`, the arguments of warp as read, by name (a stand-in of the image,
    its spacing, the steps, the output's shape and spacing, the fill, the
    rule and mode); with no chunks, the steps checked against the rest alone."""
    return _warp_boxes(**read, **(_block_edges(chunks) if chunks is not None else {}))


def block_box(read: tuple[Any, ...], steps: Any, at: tuple[tuple[int, int], ...],
              index: tuple[int, ...]) -> Any:
    """One block's source box, as `warp_boxes` finds it, on one thread:
    `read` the warp's arguments as read (the image's element type and shape,
    its spacing, the output's shape and spacing, the fill, the rule and
    mode), `at` the block's (start, stop) along N, Z, Y, X; None where its
    points read nothing."""
    dtype, shape, sp, out_shape, osp, value, interpolation, mode = read
    grid = (shape[0] if len(shape) == 4 else 1,) + tuple(out_shape[-3:])
    # The edges run from 0 to the grid's extent: the block is the second of three.
    cut = [np.array([0, a, b, e], np.int64) for (a, b), e in zip(at, grid)]
    box = _warp_boxes(image=stand_in(dtype, shape), spacing=sp, steps=steps, output_shape=out_shape,
                      output_spacing=osp, cval=value, interpolation=interpolation, mode=mode,
                      **dict(zip(("edges_n", "edges_z", "edges_y", "edges_x"), cut)), workers=1)
    check_boxes(box[1:2, 1:2, 1:2, 1:2], len(shape), "warp", index)
    b = box[1, 1, 1, 1].tolist()
    return None if b[0] < 0 else b


def _blocks(chunks: tuple[tuple[int, ...], ...]) -> Iterator[tuple[tuple[int, ...], tuple[tuple[int, int], ...]]]:
    """Each block's index and its (start, stop) per axis."""
    axes = [[(i, (a, b)) for i, a, b, _ in windows(c)] for c in chunks]
    for block in itertools.product(*axes):
        yield tuple(i for i, _ in block), tuple(w for _, w in block)


def block_boxes(shape: tuple[int, ...], spacing: Any, matrix: Any, output_spacing: Any,
                chunks: tuple[tuple[int, ...], ...], reach: Any = None) -> Any:
    """Each block of a 3-D output chunking: its index, its window and its
    source box, ((z0, z1), (y0, y1), (x0, x1)), or None for none. For tools
    and tests."""
    _, _, sp, osp, maps = checked(np.float32, shape, np.asarray(spacing), np.asarray(matrix), None,
                                  None if output_spacing is None else np.asarray(output_spacing), 0.0, "linear")
    boxes = transform_boxes(shape, sp, osp, maps, chunks, reach)[0]
    for index, window in _blocks(chunks):
        b = boxes[index].tolist()
        yield index, window, None if b[0] < 0 else ((b[0], b[1]), (b[2], b[3]), (b[4], b[5]))
