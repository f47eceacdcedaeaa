"""Resampling of Dask arrays larger than memory, bit for bit as one call.

`transform` builds a Dask array whose blocks are windows of the output
grid. Each block is computed by the package's kernel from the box of the
source its voxels can reach, with the whole grid's voxel positions and the
whole source's extents, so no bit depends on where the blocks are cut; a
block that maps nowhere is filled without reading the source. `warp` does
the same for a chain of steps, each block's box found by carrying its
points through them.

Needs Dask (``pip install vexiloimgc[dask]``); ``import vexiloimgc`` alone
does not import it.
"""
from __future__ import annotations

import bisect
import gc
import itertools
import math
import operator
from typing import Any, Sequence, SupportsFloat, SupportsIndex

import numpy as np
import dask.array as da
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import Field, _numbers
from ._native import box_limit as _BOX3, call_limit as _CALL
from ._native import source_boxes as _native_boxes, transform as _native, transform_check as _checked
from ._native import warp as _native_warp, warp_boxes as _warp_boxes

__all__ = ["transform", "warp"]

_AUTO = 128 << 20  # bytes of an output block by default


def transform(
    image: Any,
    spacing: Any,
    matrix: Any,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: Any = None,
    output_chunks: Any = None,
    cval: SupportsFloat = 0.0,
    interpolation: str = "linear",
    mode: str | None = None,
    antialias: bool = False,
) -> da.Array:
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
    if not isinstance(image, da.Array):
        image = da.asarray(_numbers(image, "image"))  # type: ignore[no-untyped-call]
    if any(math.isnan(c) for cs in image.chunks for c in cs):
        raise ValueError("vexiloimgc.dask.transform: the image's chunk sizes must be known "
                         "(see dask.array.Array.compute_chunk_sizes)")
    fill, out_shape, sp, osp, maps = _check(image, spacing, matrix, output_shape, output_spacing, cval,
                                            interpolation, mode, antialias)
    # Checked: plain values from here on (str.__str__ runs no subclass's code).
    interpolation, antialias = str.__str__(interpolation), bool(antialias)
    mode = None if mode is None else str.__str__(mode)
    # What a block reads past its samples: a mode's extension, the filters.
    reach = None if interpolation != "cubic" and mode is None and not antialias else (interpolation, mode, antialias)
    del spacing, matrix, output_spacing, output_shape  # the caller's: never read again
    shape = tuple(int(e) for e in image.shape)
    chunks = _output_chunks(output_chunks, image, out_shape, fill.dtype)
    boxes = _boxes(shape, sp, osp, maps, chunks, reach)
    _check_boxes(boxes, len(shape))
    token = tokenize(image, sp, maps, osp, out_shape, chunks, fill.dtype.str, fill.tobytes(), interpolation, reach)
    rule = (interpolation, mode, antialias)
    return _graph(token, image, shape, chunks, boxes, (image.dtype, sp, maps, osp, fill.item(), rule), fill)


def warp(
    image: Any,
    spacing: Any,
    steps: Any,
    /,
    *,
    output_shape: Sequence[SupportsIndex] | None = None,
    output_spacing: Any = None,
    output_chunks: Any = None,
    cval: SupportsFloat = 0.0,
    interpolation: str = "linear",
    mode: str | None = None,
) -> da.Array:
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
        the source its points read, found here by carrying every output
        point through the steps, as the warp carries it: building the graph
        costs about one pass of the steps over the output, on every CPU.
        Argument errors are raised here, with that function's messages.
    """
    if not isinstance(image, da.Array):
        image = da.asarray(_numbers(image, "image"))  # type: ignore[no-untyped-call]
    if any(math.isnan(c) for cs in image.chunks for c in cs):
        raise ValueError("vexiloimgc.dask.warp: the image's chunk sizes must be known "
                         "(see dask.array.Array.compute_chunk_sizes)")
    chain = _Chain(steps, image.ndim == 4 and int(image.shape[0]))
    # Each argument read once, natively, in warp's order (its grid, then its
    # steps); the steps are checked against what was read.
    fill, out_shape, sp, osp, _ = _check(image, spacing, np.eye(4), output_shape, output_spacing, cval,
                                         interpolation, mode)
    interpolation = str.__str__(interpolation)
    mode = None if mode is None else str.__str__(mode)
    del spacing, output_spacing, output_shape, cval  # the caller's: never read again
    shape = tuple(int(e) for e in image.shape)
    stand = np.broadcast_to(np.zeros((), image.dtype), shape)
    read = (stand, sp, chain.steps, out_shape, osp, fill.item(), interpolation, mode)
    _warp_boxes(*read, None, None, None, None)
    chunks = _output_chunks(output_chunks, image, out_shape, fill.dtype, "warp")
    en = _edges(chunks[0]) if len(shape) == 4 else np.array([0, 1], np.int64)
    boxes = _warp_boxes(*read, en, *(_edges(c) for c in chunks[-3:]))
    _check_boxes(boxes, len(shape), "warp")
    token = tokenize(image, sp, chain.token(), osp, out_shape, chunks, fill.dtype.str, fill.tobytes(),
                     interpolation, mode, "warp")
    call = (image.dtype, sp, np.zeros(12, np.float32), osp, fill.item(), (interpolation, mode))
    return _graph(token, image, shape, chunks, boxes, call, fill, chain)


class _Chain:
    """A warp's steps as the native warp takes them, copied: affine maps
    as arrays, fields as (displacement, inverse); `volumes` the image's N
    (False for a 3-D image), to tell the per-volume steps."""

    def __init__(self, steps: Any, volumes: Any) -> None:
        if isinstance(steps, (Field, np.ndarray)):
            steps = [steps]
        self.per_volume: list[bool] = []
        if not hasattr(type(steps), "__iter__"):
            self.steps: Any = steps  # refused natively, with warp's message
            return
        out: list[Any] = []
        for st in list(steps):
            if isinstance(st, Field):
                d = np.array(st.displacement, np.float32)
                out.append((d, st._inverse.copy()))
                self.per_volume.append(d.ndim == 5)
                continue
            a = np.array(st) if isinstance(st, np.ndarray) else np.asarray(st)
            if a.dtype.kind not in "biuf":
                out.append(st)
                self.per_volume.append(False)
                continue
            a = a.copy() if a is st else a
            four = (3, 4), (4, 4)
            self.per_volume.append(bool(volumes) and a.ndim >= 2 and a.shape[0] == volumes and (
                (a.ndim == 3 and a.shape[1:] in four) or (a.ndim == 2 and a.shape not in four and a.shape[1] in (12, 16))))
            out.append(a)
        self.steps = out

    def token(self) -> Any:
        return [(s[0], s[1]) if isinstance(s, tuple) else s for s in self.steps]

    def of(self, v0: int, n: int | None) -> list[Any]:
        """The steps of volumes v0 to v0 + n (n None: v0 alone, for a 3-D call)."""
        w = slice(v0, v0 + n) if n is not None else v0
        out = []
        for st, per in zip(self.steps, self.per_volume):
            if per:
                st = (st[0][w], st[1]) if isinstance(st, tuple) else st[w]
            out.append(st)
        return out


def _warp_run(src: np.ndarray, chain: _Chain, v0: int, index: tuple[int, ...], dtype: Any, spacing: Any,
              _maps: Any, _per_volume: bool, output_spacing: Any, cval: Any, rule: tuple[str, Any],
              window: tuple[int, ...], tile: tuple[int, ...]) -> np.ndarray:
    interpolation, mode = rule

    def one(s: np.ndarray, steps: list[Any]) -> np.ndarray:
        r: np.ndarray = _native_warp(s, spacing, steps, None, 1, window, output_spacing, cval, interpolation, mode,
                                     tile)
        return r

    if src.ndim == 3:
        return one(src, chain.steps)
    n, per_box, per_out = src.shape[0], math.prod(src.shape[1:]), math.prod(window)
    if n * max(per_box, per_out) <= _CALL:
        return one(src, chain.of(v0, n))
    # Over one call's limits: volume by volume.
    return np.stack([one(src[v], chain.of(v0 + v, None)) for v in range(n)])


def _check(image: da.Array, spacing: Any, matrix: Any, output_shape: Any, output_spacing: Any, cval: Any,
           interpolation: Any, mode: Any = None, antialias: Any = False
           ) -> tuple[np.ndarray, tuple[int, ...], np.ndarray, Any, np.ndarray]:
    """One call's checks, on a stand-in of the image's shape and type with no
    memory, and its limits on whole sizes lifted: each argument is read once,
    natively, and what the blocks need comes back as read (the fill exactly
    as the kernel writes it, the maps as float32)."""
    spacing = _numbers(spacing, "spacing")
    matrix = _numbers(matrix, "matrix")
    if output_spacing is not None:
        output_spacing = _numbers(output_spacing, "output_spacing")
    stand = np.broadcast_to(np.zeros((), image.dtype), tuple(int(e) for e in image.shape))
    return _checked(stand, spacing, matrix, output_shape, output_spacing, cval,  # type: ignore[no-any-return]
                    interpolation, mode, antialias)


def _check_boxes(boxes: np.ndarray, nd: int, name: str = "transform") -> None:
    """A block's source box must be one the kernel can address."""
    sizes = (boxes[..., 1::2] - boxes[..., ::2]).astype(np.float64).prod(axis=-1)
    if (sizes > _BOX3).any():
        index = tuple(int(i) for i in np.argwhere(sizes > _BOX3)[0][4 - nd:])
        box = tuple(int(b) for b in np.diff(boxes[(0,) * (4 - nd) + index].reshape(3, 2)).ravel())
        raise ValueError(f"vexiloimgc.dask.{name}: output block {index} reads a source box "
                         f"{box} of 2^31 or more samples; pass smaller output_chunks")


def _graph(token: str, image: da.Array, shape: tuple[int, ...], chunks: tuple[tuple[int, ...], ...],
           boxes: np.ndarray, call: tuple[Any, ...], fill: np.ndarray, chain: Any = None) -> da.Array:
    """The result: the image's graph, a layer of the source pieces the blocks
    take, and the layer of the blocks; with `chain`, a warp's steps (_Chain),
    once in the graph for every block."""
    name = ("vexiloimgc-transform-" if chain is None else "vexiloimgc-warp-") + token
    pname = "vexiloimgc-source-" + token
    direct = _direct_reader(image)
    bname = "vexiloimgc-base-" + token
    if direct is not None and isinstance(direct[1], np.ndarray):
        # once in the graph, not in every task: a task is shipped whole
        layers_extra = {bname: {bname: direct[1]}}
        direct = (direct[0], bname, direct[2])
    else:
        layers_extra = {}
    warp_key = None
    if chain is not None:
        warp_key = "vexiloimgc-steps-" + token
        layers_extra[warp_key] = {warp_key: chain}
    out_layer: dict[Any, Any] = {}
    piece_layer: dict[Any, Any] = {}
    # The cyclic collector finds nothing in the plain tuples built here, but
    # left on it walks them again and again as their number grows.
    collecting = gc.isenabled()
    gc.disable()
    try:
        _layer(out_layer, piece_layer, name, pname, image, shape, chunks, boxes.tolist(), direct, call, fill,
               warp_key)
    finally:
        if collecting:
            gc.enable()

    layers = dict(image.dask.layers)
    deps = {k: set(v) for k, v in image.dask.dependencies.items()}
    layers[pname] = piece_layer
    deps[pname] = set(image.__dask_layers__())
    layers[name] = out_layer
    deps[name] = {pname}
    for k, layer in layers_extra.items():
        layers[k], deps[k] = layer, set()
        deps[name].add(k)
    graph = HighLevelGraph(layers, deps)
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(shape), fill.dtype))  # type: ignore[no-untyped-call]


def _windows(chunks: tuple[int, ...]) -> list[tuple[int, int, int, int]]:
    """Each chunk of one axis: (index, start, stop, extent)."""
    out, at = [], 0
    for i, c in enumerate(chunks):
        out.append((i, at, at + c, c))
        at += c
    return out


def _edges(chunks: tuple[int, ...]) -> np.ndarray:
    return np.cumsum((0,) + tuple(chunks), dtype=np.int64)


def _boxes(shape: tuple[int, ...], sp: np.ndarray, osp: Any, maps: np.ndarray,
           chunks: tuple[tuple[int, ...], ...], reach: Any = None) -> np.ndarray:
    """Each output block's source box, (blocks along N, Z, Y, X, 6) of
    (z0, z1, y0, y1, x0, x1), -1 throughout for none: computed natively
    under the kernel's floating-point mode, with its arithmetic, grown by
    what the rule reads past its samples (None, or (interpolation, mode,
    antialias)): a mode's extension, the filters' reach."""
    en = _edges(chunks[0]) if len(shape) == 4 else np.array([0, 1], np.int64)
    boxes: np.ndarray = _native_boxes(np.array(shape[-3:], np.int64), sp, sp if osp is None else osp, maps, en,
                                      *(_edges(c) for c in chunks[-3:]), reach)
    return boxes


def _layer(out_layer: dict[Any, Any], piece_layer: dict[Any, Any], name: str, pname: str, image: da.Array,
           shape: tuple[int, ...], chunks: tuple[tuple[int, ...], ...], boxes: list[Any], direct: Any,
           call: tuple[Any, ...], fill: np.ndarray, warp_key: Any = None) -> None:
    """The output blocks' tasks, and the pieces of source chunks they take
    where they do not read the source themselves: one tight loop over the
    blocks. With `warp_key`, the blocks warp through the steps at that key."""
    dtype, sp, maps, osp, value, rule = call
    full = np.full
    per_volume = maps.ndim == 2
    whole = tuple(shape[-3:])
    four = len(shape) == 4
    vaxis = _windows(chunks[0]) if four else [(0, 0, 1, 1)]
    zaxis, yaxis, xaxis = (_windows(c) for c in chunks[-3:])
    pieces, span = _piece_maker(image, pname, piece_layer)
    for n, v0, v1, vn in vaxis:
        vols = slice(v0, v1)
        maps_v = maps[vols] if per_volume else maps
        lead = (n,) if four else ()
        vspan: Any = span(0, v0, v1) if four else None
        extra = () if warp_key is None else (_warp_run, warp_key, v0)
        bn = boxes[n]
        for z, z0, _, zn in zaxis:
            bz = bn[z]
            for y, y0, _, yn in yaxis:
                by = bz[y]
                for x, x0, _, xn in xaxis:
                    index = lead + (z, y, x)
                    key = (name,) + index
                    b = by[x]
                    if b[0] < 0:
                        out_layer[key] = (full, (vn, zn, yn, xn) if four else (zn, yn, xn), fill)
                        continue
                    bz0, bz1, by0, by1, bx0, bx1 = b
                    task = (index, dtype, sp, maps_v, per_volume, osp, value, rule, (zn, yn, xn),
                            whole + (bz0, by0, bx0, z0, y0, x0))
                    if direct is not None:
                        region = (slice(bz0, bz1), slice(by0, by1), slice(bx0, bx1))
                        out_layer[key] = (_read_block, direct[0], direct[1], (vols,) + region if four else region,
                                          direct[2], task) + extra
                        continue
                    keys, extents = pieces(index, vspan, b)
                    box = (bz1 - bz0, by1 - by0, bx1 - bx0)
                    out_layer[key] = (_block, keys, extents, (v1 - v0,) + box if four else box, task) + extra


def _piece_maker(image: da.Array, pname: str, piece_layer: dict[Any, Any]) -> tuple[Any, Any]:
    """pieces(index, vspan, box): the keys of the pieces of source chunks
    that make block `index`'s box, added to piece_layer, and their extents
    per axis; span(axis, a, b): the chunks an interval overlaps. What each
    axis gives is made once; the iterators alone make the pieces."""
    getitem, add, repeat, product = operator.getitem, operator.add, itertools.repeat, itertools.product
    in_edges = [[int(v) for v in _edges(c)] for c in image.chunks]
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


def _output_chunks(output_chunks: Any, image: da.Array, out_shape: tuple[int, ...],
                   dtype: np.dtype, name: str = "transform") -> tuple[tuple[int, ...], ...]:
    if output_chunks is None:
        if out_shape == tuple(image.shape) and math.prod(_largest(image.chunks)) <= _CALL:
            return tuple(tuple(int(c) for c in cs) for cs in image.chunks)
        auto = da.core.normalize_chunks("auto", out_shape, limit=_AUTO, dtype=dtype)  # type: ignore[no-untyped-call]
        # Even blocks, no larger than Dask's
        chunks = tuple(_even(e, len(cs)) for e, cs in zip(out_shape, auto))
    else:
        chunks = da.core.normalize_chunks(  # type: ignore[no-untyped-call]
            output_chunks, out_shape, limit=_AUTO, dtype=dtype)
    if math.prod(_largest(chunks)) > _CALL:
        raise ValueError(f"vexiloimgc.dask.{name}: output blocks of up to (Z, Y, X) = {_largest(chunks)} "
                         "hold more voxels than one call writes (2^29 - 1); pass smaller output_chunks")
    return chunks


def _even(extent: int, n: int) -> tuple[int, ...]:
    if extent == 0:
        return (0,)
    q, r = divmod(extent, n)
    return tuple(q + (k < r) for k in range(n))


def _largest(chunks: Any) -> tuple[int, ...]:
    """The largest block's extents, Z, Y, X."""
    return tuple(int(max(cs, default=0)) for cs in chunks[-3:])


def _blocks(chunks: tuple[tuple[int, ...], ...]) -> Any:
    """Each block's index and its (start, stop) per axis."""
    axes = [[(i, (a, b)) for i, a, b, _ in _windows(c)] for c in chunks]
    for block in itertools.product(*axes):
        yield tuple(i for i, _ in block), tuple(w for _, w in block)


def _block_boxes(shape: tuple[int, ...], spacing: Any, matrix: Any, output_spacing: Any,
                 chunks: tuple[tuple[int, ...], ...], reach: Any = None) -> Any:
    """Each block of a 3-D output chunking: its index, its window and its
    source box, ((z0, z1), (y0, y1), (x0, x1)), or None for none. For tools
    and tests."""
    stand = np.broadcast_to(np.float32(0), shape)
    _, _, sp, osp, maps = _checked(stand, np.asarray(spacing), np.asarray(matrix), None,
                                   None if output_spacing is None else np.asarray(output_spacing), 0.0, "linear")
    boxes = _boxes(shape, sp, osp, maps, chunks, reach)[0]
    for index, window in _blocks(chunks):
        b = boxes[index].tolist()
        yield index, window, None if b[0] < 0 else ((b[0], b[1]), (b[2], b[3]), (b[4], b[5]))


def _direct_reader(image: da.Array) -> Any:
    """(getter, source, kwargs) when every block of the image is a plain
    read of one array-like (dask.array.from_zarr, from_array of a lazy
    array): blocks then read their boxes from it themselves, so no source
    chunk waits in memory for the several blocks that share it. Else None."""
    # Dask's task classes are private (dask._task_spec), but nothing public
    # tells what a block's task does, and telling a plain read apart is what
    # lets a block read its box from a zarr array without the chunks. A Dask
    # without them (before 2024.12) sends every source through its chunks.
    try:
        from dask._task_spec import DataNode, GraphNode, Task, TaskRef
        from dask.array.core import getter, getter_inline, getter_nofancy
    except ImportError:
        return None
    graph = image.__dask_graph__()
    # The first block alone first: most sources are neither, and looking at
    # every block makes Dask build each task of the layer.
    first = _first_task(graph, (image.name,) + (0,) * image.ndim)
    if isinstance(first, (DataNode, np.ndarray)):
        base = _one_base(image, graph, DataNode)
        return None if base is None else (operator.getitem, base, {})
    if not (isinstance(first, Task) and first.func in (getter, getter_nofancy, getter_inline)):
        return None
    found = None
    for t, want in zip(*_tasks_and_windows(image, graph)):
        if not (isinstance(t, Task) and t.func in (getter, getter_nofancy, getter_inline) and len(t.args) == 2
                and isinstance(t.args[1], DataNode)):
            return None
        ref, sel = t.args
        if sel.value != want and not (isinstance(sel.value, tuple) and len(sel.value) == len(want) and all(
                isinstance(x, slice) and (x.start or 0, x.stop, x.step or 1) == (w.start, w.stop, 1)
                for x, w in zip(sel.value, want))):
            return None
        if (found is not None and t.func is found[0] and isinstance(ref, TaskRef) and ref.key == found[1]
                and not t.kwargs and not found[2]):
            continue  # the same read as the block before
        if isinstance(ref, TaskRef) and ref.key in graph and not isinstance(graph[ref.key], GraphNode):
            source, obj = ref.key, graph[ref.key]
        elif isinstance(ref, TaskRef) and isinstance(graph.get(ref.key), DataNode):
            source, obj = ref.key, graph[ref.key].value
        elif isinstance(ref, DataNode):
            source = obj = ref.value
        else:
            return None
        if getattr(obj, "shape", None) != image.shape or any(not isinstance(v, DataNode) for v in t.kwargs.values()):
            return None
        kwargs = {k: v.value for k, v in t.kwargs.items()}
        if found is None:
            found = (t.func, source, kwargs)
        elif found[0] is not t.func or not (found[1] is source or isinstance(source, str) and found[1] == source):
            return None
    return found


def _tasks_and_windows(image: da.Array, graph: Any) -> tuple[Any, Any]:
    """Iterators of the image's blocks' tasks and of their windows, as
    tuples of slices, in the same order."""
    layer = graph.layers.get(image.name, graph)
    keys = map(operator.add, itertools.repeat((image.name,)), itertools.product(*(range(len(c)) for c in image.chunks)))
    windows = itertools.product(*([slice(a, b) for _, a, b, _ in _windows(c)] for c in image.chunks))
    return map(layer.get, keys), windows


def _first_task(graph: Any, key: tuple[Any, ...]) -> Any:
    """One block's task, without making Dask build every task of a layer
    it has not built."""
    layer = graph.layers.get(key[0])
    try:
        if layer is not None and not layer.is_materialized():
            return layer.cull({key}, [key])[0].get(key)
    except Exception:  # a layer of another kind: built whole below
        pass
    return graph.get(key)


def _one_base(image: da.Array, graph: Any, data_node: Any) -> Any:
    """The NumPy array whose views every block of the image is
    (dask.array.from_array of an array in memory), else None: blocks then
    take views of their boxes, with no copy."""
    base = start = None
    for a, want in zip(*_tasks_and_windows(image, graph)):
        a = a.value if isinstance(a, data_node) else a
        if not isinstance(a, np.ndarray):
            return None
        b = a.base
        if b is not base or b is None:
            b = a
            while isinstance(b.base, np.ndarray):
                b = b.base
            if base is None:
                base, start = b, b.__array_interface__["data"][0]
                if b.shape != image.shape:
                    return None
        at = start + sum([w.start * st for w, st in zip(want, b.strides)])
        if (b is not base or b.dtype != a.dtype or a.strides != b.strides
                or a.shape != tuple([w.stop - w.start for w in want]) or a.__array_interface__["data"][0] != at):
            return None
    return base


def _read_block(get: Any, source: Any, region: tuple[slice, ...], kwargs: dict[str, Any],
                call: tuple[Any, ...], run: Any = None, chain: Any = None, v0: int = 0) -> np.ndarray:
    """One output block, its source box read straight from the array-like."""
    src = get(source, region, **kwargs)
    _expect(src, tuple(s.stop - s.start for s in region), call)
    return _run(src, *call) if run is None else run(src, chain, v0, *call)


def _block(pieces: list[np.ndarray], extents: tuple[tuple[int, ...], ...], box: tuple[int, ...],
           call: tuple[Any, ...], run: Any = None, chain: Any = None, v0: int = 0) -> np.ndarray:
    """One output block: its source box put together from the input's
    pieces, resampled. The pieces come in the order of the product of the
    axes' parts, `extents` along each axis."""
    axes = [[(a - e, a) for a, e in zip(itertools.accumulate(ext), ext)] for ext in extents]
    places = [tuple(slice(a, b) for a, b in combo) for combo in itertools.product(*axes)]
    for p, where in zip(pieces, places):
        _expect(p, tuple(s.stop - s.start for s in where), call)
    if len(pieces) == 1:
        src = pieces[0]
    else:
        src = np.empty(box, call[1])
        for p, where in zip(pieces, places):
            src[where] = p
    return _run(src, *call) if run is None else run(src, chain, v0, *call)


def _expect(got: Any, shape: tuple[int, ...], call: tuple[Any, ...]) -> None:
    """A read of the source must give what was asked: a read that came back
    short would leave voxels as if they mapped nowhere."""
    index, dtype = call[0], call[1]
    if not isinstance(got, np.ndarray) or got.shape != shape or got.dtype != dtype:
        what = (f"an array of shape {got.shape} and type {got.dtype}" if isinstance(got, np.ndarray)
                else f"a {type(got).__name__}")
        raise RuntimeError(f"vexiloimgc.dask: output block {index} read {what} from the source "
                           f"where it asked for shape {shape} and type {np.dtype(dtype)}")


def _run(src: np.ndarray, index: tuple[int, ...], dtype: Any, spacing: Any, maps: Any, per_volume: bool,
         output_spacing: Any, cval: Any, rule: tuple[str, Any, bool], window: tuple[int, ...],
         tile: tuple[int, ...]) -> np.ndarray:
    interpolation, mode, antialias = rule

    def one(s: np.ndarray, m: Any) -> np.ndarray:
        r: np.ndarray = _native(s, spacing, m, None, 1, window, output_spacing, cval, interpolation, tile, mode,
                                antialias)
        return r

    if src.ndim == 3:
        return one(src, maps)
    n, per_box, per_out = src.shape[0], math.prod(src.shape[1:]), math.prod(window)
    group = min(n, _CALL // max(per_box, 1), _CALL // max(per_out, 1))
    if group >= n:
        return one(src, maps)
    # Over one call's limits: volumes in groups, or one by one as 3-D calls.
    parts = []
    for v in range(0, n, max(group, 1)):
        w = slice(v, v + max(group, 1))
        if group >= 1:
            parts.append(one(src[w], maps[w] if per_volume else maps))
        else:
            parts.append(one(src[v], maps[v] if per_volume else maps)[None])
    return np.concatenate(parts)
