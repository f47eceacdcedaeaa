"""The graph of the result: the image's graph, a layer of the pieces of
source chunks the blocks take, the layer of the output blocks' tasks, and
what every block shares (a base array, a warp's steps) once."""
from __future__ import annotations

import bisect
import gc
import itertools
import operator
from typing import Any

import numpy as np
import dask.array as da
from dask.highlevelgraph import HighLevelGraph

from .blocks import block, read_block, run_warp, warp_block
from .boxes import edges, windows
from .sources import direct_reader


def graph(token: str, image: da.Array, shape: tuple[int, ...], chunks: tuple[tuple[int, ...], ...],
          boxes: Any, call: tuple[Any, ...], fill: np.ndarray, chain: Any = None, read: Any = None) -> da.Array:
    """The result: the image's graph, a layer of the source pieces the blocks
    take, and the layer of the blocks; with `chain`, a warp's steps (a
    `Chain`), once in the graph for every block. A warp's `boxes` is a
    function that finds them all: called only where the blocks take pieces
    of chunks, as elsewhere each block finds its own box from `read`, the
    warp's arguments as `block_box` takes them, when it runs."""
    name = ("vexiloimgc-transform-" if chain is None else "vexiloimgc-warp-") + token
    pname = "vexiloimgc-source-" + token
    direct, shared = _shared(token, direct_reader(image), chain)
    if callable(boxes):
        # Where the blocks read the source themselves, an empty box each: found as it runs.
        lead = len(chunks[0]) if len(chunks) == 4 else 1
        boxes = boxes() if direct is None else np.empty((lead,) + tuple(len(c) for c in chunks[-3:]) + (0,))
    out_layer: dict[Any, Any] = {}
    piece_layer: dict[Any, Any] = {}
    # The cyclic collector finds nothing in the plain tuples built here, but
    # left on it walks them again and again as their number grows.
    collecting = gc.isenabled()
    gc.disable()
    try:
        _layer(out_layer, piece_layer, name, pname, image, shape, chunks, boxes.tolist(), direct, call, fill,
               None if chain is None else ("vexiloimgc-steps-" + token, read))
    finally:
        if collecting:
            gc.enable()
    layers = dict(image.dask.layers)
    deps = {k: set(v) for k, v in image.dask.dependencies.items()}
    layers[pname], deps[pname] = piece_layer, set(image.__dask_layers__())
    layers[name], deps[name] = out_layer, {pname, *shared}
    for k, value in shared.items():
        layers[k], deps[k] = {k: value}, set()
    return da.Array(HighLevelGraph(layers, deps), name, chunks,  # type: ignore[no-untyped-call]
                    meta=np.empty((0,) * len(shape), fill.dtype))


def _shared(token: str, direct: Any, chain: Any) -> tuple[Any, dict[str, Any]]:
    """What every block takes, each once in the graph under its own key (a
    task is shipped whole): a base array the blocks take views of, and a
    warp's steps; and the direct reader, naming the base by its key."""
    shared: dict[str, Any] = {}
    if direct is not None and isinstance(direct[1], np.ndarray):
        bname = "vexiloimgc-base-" + token
        shared[bname] = direct[1]
        direct = (direct[0], bname, direct[2])
    if chain is not None:
        shared["vexiloimgc-steps-" + token] = chain
    return direct, shared


def _layer(out_layer: dict[Any, Any], piece_layer: dict[Any, Any], name: str, pname: str, image: da.Array,
           shape: tuple[int, ...], chunks: tuple[tuple[int, ...], ...], boxes: list[Any], direct: Any,
           call: tuple[Any, ...], fill: np.ndarray, warp: Any = None) -> None:
    """The output blocks' tasks, and the pieces of source chunks they take
    where they do not read the source themselves: one tight loop over the
    blocks. With `warp`, (the key of the steps, what finds a block's box),
    the blocks warp through the steps at that key; a block without a box
    finds its own."""
    dtype, sp, maps, osp, value, rule = call
    full = np.full
    per_volume = maps.ndim == 2
    whole = tuple(shape[-3:])
    four = len(shape) == 4
    vaxis = windows(chunks[0]) if four else [(0, 0, 1, 1)]
    zaxis, yaxis, xaxis = (windows(c) for c in chunks[-3:])
    pieces, span = _piece_maker(image, pname, piece_layer)
    for n, v0, v1, vn in vaxis:
        vols = slice(v0, v1)
        maps_v = maps[vols] if per_volume else maps
        lead = (n,) if four else ()
        vspan: Any = span(0, v0, v1) if four else None
        extra = () if warp is None else (run_warp, warp[0], v0)
        bn = boxes[n]
        for z, z0, _, zn in zaxis:
            bz = bn[z]
            for y, y0, _, yn in yaxis:
                by = bz[y]
                for x, x0, _, xn in xaxis:
                    index = lead + (z, y, x)
                    key = (name,) + index
                    b = by[x]
                    if not b:  # found when the block runs
                        at = ((v0, v1), (z0, z0 + zn), (y0, y0 + yn), (x0, x0 + xn))
                        task = (index, dtype, sp, maps_v, per_volume, osp, value, rule, (zn, yn, xn), whole)
                        out_layer[key] = (warp_block, direct[0], direct[1], direct[2], warp[1], at, task,
                                          fill) + extra
                        continue
                    if b[0] < 0:
                        out_layer[key] = (full, (vn, zn, yn, xn) if four else (zn, yn, xn), fill)
                        continue
                    bz0, bz1, by0, by1, bx0, bx1 = b
                    task = (index, dtype, sp, maps_v, per_volume, osp, value, rule, (zn, yn, xn),
                            whole + (bz0, by0, bx0, z0, y0, x0))
                    if direct is not None:
                        region = (slice(bz0, bz1), slice(by0, by1), slice(bx0, bx1))
                        out_layer[key] = (read_block, direct[0], direct[1], (vols,) + region if four else region,
                                          direct[2], task) + extra
                        continue
                    keys, extents = pieces(index, vspan, b)
                    box = (bz1 - bz0, by1 - by0, bx1 - bx0)
                    out_layer[key] = (block, keys, extents, (v1 - v0,) + box if four else box, task) + extra


def _piece_maker(image: da.Array, pname: str, piece_layer: dict[Any, Any]) -> tuple[Any, Any]:
    """pieces(index, vspan, box): the keys of the pieces of source chunks
    that make block `index`'s box, added to piece_layer, and their extents
    per axis; span(axis, a, b): the chunks an interval overlaps. What each
    axis gives is made once; the iterators alone make the pieces."""
    getitem, add, repeat, product = operator.getitem, operator.add, itertools.repeat, itertools.product
    in_edges = [[int(v) for v in edges(c)] for c in image.chunks]
    four = len(in_edges) == 4
    # One object for each chunk key and piece selection, however many
    # pieces share it.
    ckey = {c: (image.name,) + c for c in product(*(range(len(c)) for c in image.chunks))}
    sels = _Selections()
    singles = [(j,) for j in range(64)]
    # Per axis and interval of it, the input chunks it overlaps: their
    # indices, the slices of them taken and their extents.
    cache: list[dict[tuple[int, int], Any]] = [{} for _ in in_edges]

    def span(k: int, a: int, b: int) -> Any:
        e = in_edges[k]
        got = [(i, max(a, e[i]) - e[i], min(b, e[i + 1]) - e[i])
               for i in range(bisect.bisect_right(e, a) - 1, bisect.bisect_left(e, b))]
        out = cache[k][a, b] = ([i for i, _, _ in got], [(lo, hi) for _, lo, hi in got],
                                tuple(hi - lo for _, lo, hi in got))
        return out

    cz, cy, cx = cache[-3], cache[-2], cache[-1]
    k0 = len(in_edges) - 3

    def pieces(index: tuple[int, ...], vspan: Any, b: Any) -> tuple[list[Any], tuple[Any, ...]]:
        nonlocal singles
        bz0, bz1, by0, by1, bx0, bx1 = b
        pz = cz.get((bz0, bz1)) or span(k0, bz0, bz1)
        py = cy.get((by0, by1)) or span(k0 + 1, by0, by1)
        px = cx.get((bx0, bx1)) or span(k0 + 2, bx0, bx1)
        parts = (vspan, pz, py, px) if four else (pz, py, px)
        count = len(pz[2]) * len(py[2]) * len(px[2]) * (len(vspan[2]) if four else 1)
        while count > len(singles):
            singles += [(j,) for j in range(len(singles), 2 * len(singles))]
        keys = list(map(add, repeat((pname,) + index, count), singles))
        at = [p[0] for p in parts]
        piece_layer.update(zip(keys, zip(repeat(getitem), map(ckey.__getitem__, product(*at)),
                                         map(sels.__getitem__, product(*[p[1] for p in parts])))))
        return keys, tuple(p[2] for p in parts)

    return pieces, span


class _Selections(dict):  # type: ignore[type-arg]
    """The selection of a piece, a tuple of slices, by its (start, stop)
    per axis (slices are not hashable before Python 3.12)."""

    def __missing__(self, key: tuple[tuple[int, int], ...]) -> tuple[slice, ...]:
        sel = self[key] = tuple(slice(a, b) for a, b in key)
        return sel

