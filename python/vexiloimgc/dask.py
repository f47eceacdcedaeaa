"""Resampling of Dask arrays larger than memory, bit for bit as one call.

`transform` builds a Dask array whose blocks are windows of the output
grid. Each block is computed by the package's kernel from the box of the
source its voxels can reach, with the whole grid's voxel positions and the
whole source's extents, so no bit depends on where the blocks are cut; a
block that maps nowhere is filled without reading the source.

Needs Dask (``pip install vexiloimgc[dask]``); ``import vexiloimgc`` alone
does not import it.
"""
from __future__ import annotations

import math
import operator
from typing import Any, Sequence, SupportsFloat, SupportsIndex

import numpy as np
import dask.array as da
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _numbers
from ._native import transform as _native

__all__ = ["transform"]

_CALL = (1 << 29) - 1  # most voxels one call writes, most elements of a 4-D source
_BOX3 = (1 << 31) - 1  # most elements of a 3-D source
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
) -> da.Array:
    """`vexiloimgc.transform` of a Dask array, lazily, block by block.

    Parameters
    ----------
    image : dask.array.Array, (Z, Y, X) or (N, Z, Y, X)
        Any chunking; another array is wrapped with ``dask.array.asarray``.
    spacing, matrix, output_shape, output_spacing, cval, interpolation
        As for `vexiloimgc.transform`; maps per volume are handed to each
        block for its own volumes.
    output_chunks : optional
        The result's chunks, as Dask takes them. Default: the image's where
        the output grid is the image's, else blocks of about 128 MiB.

    Returns
    -------
    dask.array.Array
        Computes to the bits of `vexiloimgc.transform` on the whole image in
        memory, for any chunking and scheduler. Argument errors are raised
        here, with that function's messages.
    """
    if not isinstance(image, da.Array):
        image = da.asarray(_numbers(image, "image"))  # type: ignore[no-untyped-call]
    if any(math.isnan(c) for cs in image.chunks for c in cs):
        raise ValueError("vexiloimgc.dask.transform: the image's chunk sizes must be known "
                         "(see dask.array.Array.compute_chunk_sizes)")
    spacing = _numbers(spacing, "spacing")
    matrix = _numbers(matrix, "matrix")
    if output_spacing is not None:
        output_spacing = _numbers(output_spacing, "output_spacing")
    if output_shape is not None:
        try:  # read once: a generator would be spent by the check
            output_shape = list(output_shape)
        except TypeError:
            pass
    fill = _check(image, spacing, matrix, output_shape, output_spacing, cval, interpolation)
    cval = float(cval)

    shape = tuple(int(e) for e in image.shape)
    out_shape = shape if output_shape is None else shape[:-3] + tuple(operator.index(v) for v in output_shape[-3:])
    chunks = _output_chunks(output_chunks, image, out_shape, fill.dtype)
    g = _Geometry(shape, spacing, matrix, output_spacing)

    token = tokenize(image, spacing, matrix, out_shape, output_spacing, chunks, cval, interpolation)
    name, pname = "vexiloimgc-transform-" + token, "vexiloimgc-source-" + token
    in_edges = [np.cumsum((0,) + c) for c in image.chunks]
    direct = _direct_reader(image)
    bname = "vexiloimgc-base-" + token
    if direct is not None and isinstance(direct[1], np.ndarray):
        # once in the graph, not in every task: a task is shipped whole
        layers_extra = {bname: {bname: direct[1]}}
        direct = (direct[0], bname, direct[2])
    else:
        layers_extra = {}
    nd = len(shape)
    out_layer: dict[Any, Any] = {}
    piece_layer: dict[Any, Any] = {}
    for index, window in _blocks(chunks):
        wshape = tuple(b - a for a, b in window)
        vols = window[0] if nd == 4 else (0, 1)
        key = (name,) + index
        box = g.box(vols, window[-3:]) if math.prod(wshape) else None
        if box is None:
            out_layer[key] = (np.full, wshape, fill)
            continue
        if math.prod(b - a for a, b in box) > _BOX3:
            raise ValueError(f"vexiloimgc.dask.transform: output block {index} reads a source box "
                             f"{tuple(b - a for a, b in box)} of 2^31 or more samples; pass smaller output_chunks")
        region = ((vols,) if nd == 4 else ()) + box
        maps = g.maps_of(matrix, vols)
        tile = tuple(shape[-3:]) + tuple(a for a, _ in box) + tuple(a for a, _ in window[-3:])
        call = (spacing, maps, g.per_volume, output_spacing, cval, interpolation, wshape[-3:], tile)
        if direct is not None:
            get, source, kwargs = direct
            out_layer[key] = (_read_block, get, source, tuple(slice(a, b) for a, b in region), kwargs, call)
            continue
        keys, places = [], []
        for cidx, sel, place in _pieces(in_edges, region):
            pkey = (pname,) + index + cidx
            piece_layer[pkey] = (operator.getitem, (image.name,) + cidx, sel)
            keys.append(pkey)
            places.append(place)
        out_layer[key] = (_block, keys, places, tuple(b - a for a, b in region), call)

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
    return da.Array(graph, name, chunks, meta=np.empty((0,) * nd, fill.dtype))  # type: ignore[no-untyped-call]


def _check(image: da.Array, spacing: Any, matrix: Any, output_shape: Any, output_spacing: Any, cval: Any,
           interpolation: Any) -> np.ndarray:
    """Raises what `vexiloimgc.transform` would for these arguments, by
    running its checks on a stand-in of at most one voxel per volume; the
    limits on the whole image's size are lifted. Returns one voxel that maps
    nowhere, of the result's dtype."""
    shape = tuple(int(e) for e in image.shape)
    stand = np.zeros(tuple(e if k == 0 and len(shape) == 4 else min(e, 1) for k, e in enumerate(shape)),
                     image.dtype)
    linear = isinstance(interpolation, str) and interpolation == "linear"
    # `out` is checked last: a probe of the wrong shape stops the call there,
    # after every other check has passed.
    probe = np.empty(stand.shape if stand.ndim in (3, 4) else (1, 1, 1), np.float32 if linear else image.dtype)

    def run(grid: Any) -> None:
        try:
            _native(stand, spacing, matrix, probe, 1, grid, output_spacing, cval, interpolation, None)
        except ValueError as e:
            if not str(e).startswith("transform: out must"):
                raise

    try:
        run(output_shape)
    except MemoryError as e:
        if "2^29 or more voxels" not in str(e):
            raise
        # One call's limit, which blocks lift: the rest on a grid within it.
        run([output_shape[0], 1, 1, 1] if len(output_shape) == 4 else [1, 1, 1])
    if any(e >= 1 << 31 for e in shape):
        raise MemoryError(f"Failed to allocate memory in array2float{len(shape)}d")
    def nowhere(dtype: Any) -> np.ndarray:
        # a NaN map: the one voxel maps nowhere and takes cval as the kernel writes it
        one, nan = np.zeros((1, 1, 1), dtype), np.full(12, np.nan, np.float32)
        r: np.ndarray = _native(one, np.ones(3, np.float32), nan, None, 1, None, None, cval, interpolation, None)
        return r.reshape(())

    try:
        return nowhere(image.dtype if stand.size else np.float32)
    except ValueError:  # an empty image of a type the kernel does not read
        return nowhere(np.float32)


def _output_chunks(output_chunks: Any, image: da.Array, out_shape: tuple[int, ...],
                   dtype: np.dtype) -> tuple[tuple[int, ...], ...]:
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
        raise ValueError(f"vexiloimgc.dask.transform: an output block of {_largest(chunks)} voxels a volume is "
                         "more than one call writes (2^29 - 1); pass smaller output_chunks")
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
    edges = [np.cumsum((0,) + c) for c in chunks]
    for index in np.ndindex(*(len(c) for c in chunks)):
        yield index, tuple((int(e[i]), int(e[i + 1])) for e, i in zip(edges, index))


def _pieces(edges: list[np.ndarray], region: tuple[tuple[int, int], ...]) -> Any:
    """The input chunks a region overlaps: each chunk's index, the slice of
    it in the region and where that lands in the region."""
    spans = []
    for e, (a, b) in zip(edges, region):
        first = int(np.searchsorted(e, a, side="right")) - 1
        last = int(np.searchsorted(e, b, side="left"))
        spans.append([(i, max(a, int(e[i])), min(b, int(e[i + 1]))) for i in range(first, last)])
    for combo in np.ndindex(*(len(s) for s in spans)):
        parts = [s[i] for s, i in zip(spans, combo)]
        yield (tuple(p[0] for p in parts),
               tuple(slice(lo - int(e[i]), hi - int(e[i])) for (i, lo, hi), e in zip(parts, edges)),
               tuple(slice(lo - a, hi - a) for (_, lo, hi), (a, _) in zip(parts, region)))


class _Geometry:
    """The maps as the kernel reads them, and the source box each block of
    the output grid reads."""

    def __init__(self, shape: tuple[int, ...], spacing: Any, matrix: Any, output_spacing: Any) -> None:
        self.E = shape[-3:][::-1]  # X, Y, Z
        self.s = _along_first(spacing, 3)
        self.o = self.s if output_spacing is None else _along_first(output_spacing, 3)
        m = np.asarray(matrix)
        n = shape[0] if len(shape) == 4 else None
        rows4 = m.ndim >= 2 and m.shape[-1] == 4 and m.shape[-2] in (3, 4)
        one = m.ndim == 2 and rows4
        self.per_volume = not one and n is not None and m.ndim >= 2 and m.shape[0] == n and (
            (m.ndim == 2 and m.shape[1] in (12, 16)) or (m.ndim == 3 and rows4))
        if one:
            maps = m[:3].reshape(1, 12)
        elif self.per_volume and m.ndim == 2:
            maps = m[:, :12]
        elif self.per_volume:
            maps = m[:, :3].reshape(-1, 12)
        else:
            maps = _along_first(m, 12)[None]
        self.maps = np.asarray(maps).astype(np.float32)

    def maps_of(self, matrix: Any, vols: tuple[int, int]) -> Any:
        return matrix[vols[0]:vols[1]] if self.per_volume else matrix

    def box(self, vols: tuple[int, int], window: tuple[tuple[int, int], ...]) -> Any:
        """The source box, ((z0, z1), (y0, y1), (x0, x1)), holding every
        sample the window's voxels of volumes vols read; None for none."""
        maps = self.maps[vols[0]:vols[1]] if self.per_volume else self.maps
        lo = [None] * 3
        hi = [None] * 3
        for m in maps:
            got = [self.axis(m[4 * a:4 * a + 4], a, window) for a in range(3)]
            if any(r is None for r in got):
                continue  # this volume maps nowhere here
            for a, (l, h) in enumerate(got):
                lo[a] = l if lo[a] is None else min(lo[a], l)
                hi[a] = h if hi[a] is None else max(hi[a], h)
        if lo[0] is None:
            return None
        return tuple((lo[a], hi[a]) for a in (2, 1, 0))

    def axis(self, row: np.ndarray, a: int, window: tuple[tuple[int, int], ...]) -> Any:
        """The source indices [lo, hi) along axis a (0 = X) the window reads
        through one map row; None for none.

        c is each voxel's coordinate as the kernel forms it, in float32, one
        rounding per operation. Every operation is monotone in its operands,
        so c is monotone in each of x, y, z and its extremes over the window
        are the kernel's own values at two of its corners."""
        s, E = self.s[a], self.E[a]
        if s == 0 or np.isnan(s) or np.isnan(row).any():
            return None  # every c is NaN or infinite: outside
        xs, ys, zs = (np.array([lo, hi - 1], np.float32) for lo, hi in window[::-1])
        with np.errstate(all="ignore"):
            px, py, pz = xs * self.o[0], ys * self.o[1], zs * self.o[2]
            c = (((row[0] * px[:, None, None] + row[1] * py[None, :, None]) + row[2] * pz[None, None, :])
                 + row[3]) / s
        if np.isnan(c).any():
            return (0, E) if E > 0 else None  # infinities met: the whole axis
        # i0 = trunc(c): inside reads i0 and i0 + 1, the low face (i0 = -1)
        # plane 0, the high face (i0 = E - 1) plane E - 1.
        lo, hi = (math.trunc(float(np.clip(v, -2.0 ** 40, 2.0 ** 40))) for v in (c.min(), c.max()))
        first, last = max(lo, 0), min(hi + 1, E - 1)
        if hi < -1 or lo > E - 1 or last < first:
            return None
        return (first, last + 1)


def _along_first(a: Any, n: int) -> np.ndarray:
    """The first n values along axis 0, as the kernel reads a vector."""
    a = np.asarray(a)
    return np.array([a[i].flat[0] if a.ndim > 1 else a[i] for i in range(n)]).astype(np.float32)


def _direct_reader(image: da.Array) -> Any:
    """(getter, source, kwargs) when every block of the image is a plain
    read of one array-like (dask.array.from_zarr, from_array of a lazy
    array): blocks then read their boxes from it themselves, so no source
    chunk waits in memory for the several blocks that share it. Else None."""
    try:
        from dask._task_spec import DataNode, GraphNode, Task, TaskRef
        from dask.array.core import getter, getter_inline, getter_nofancy
    except ImportError:
        return None
    graph = image.__dask_graph__()
    base = _one_base(image, graph, DataNode)
    if base is not None:
        return (operator.getitem, base, {})
    found = None
    for index, window in _blocks(image.chunks):
        t = graph.get((image.name,) + index)
        if not (isinstance(t, Task) and t.func in (getter, getter_nofancy, getter_inline) and len(t.args) == 2
                and isinstance(t.args[1], DataNode)):
            return None
        ref, sel = t.args
        want = tuple(slice(a, b) for a, b in window)
        if not (isinstance(sel.value, tuple) and len(sel.value) == len(want) and all(
                isinstance(x, slice) and (x.start or 0, x.stop, x.step or 1) == (w.start, w.stop, 1)
                for x, w in zip(sel.value, want))):
            return None
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


def _one_base(image: da.Array, graph: Any, data_node: Any) -> Any:
    """The NumPy array whose views every block of the image is
    (dask.array.from_array of an array in memory), else None: blocks then
    take views of their boxes, with no copy."""
    base = None
    for index, window in _blocks(image.chunks):
        a = graph.get((image.name,) + index)
        a = a.value if isinstance(a, data_node) else a
        if not isinstance(a, np.ndarray):
            return None
        b = a
        while isinstance(b.base, np.ndarray):
            b = b.base
        if base is None:
            base = b
        start = sum(lo * st for (lo, _), st in zip(window, b.strides))
        if (b is not base or b.shape != image.shape or b.dtype != a.dtype or a.strides != b.strides
                or a.shape != tuple(hi - lo for lo, hi in window)
                or a.__array_interface__["data"][0] - b.__array_interface__["data"][0] != start):
            return None
    return base


def _read_block(get: Any, source: Any, region: tuple[slice, ...], kwargs: dict[str, Any],
                call: tuple[Any, ...]) -> np.ndarray:
    """One output block, its source box read straight from the array-like."""
    return _run(get(source, region, **kwargs), *call)


def _block(pieces: list[np.ndarray], places: list[tuple[slice, ...]], box: tuple[int, ...],
           call: tuple[Any, ...]) -> np.ndarray:
    """One output block: its source box put together from the input's
    pieces, resampled."""
    if len(pieces) == 1:
        src = pieces[0]
    else:
        src = np.empty(box, pieces[0].dtype)
        for p, where in zip(pieces, places):
            src[where] = p
    return _run(src, *call)


def _run(src: np.ndarray, spacing: Any, maps: Any, per_volume: bool, output_spacing: Any, cval: float,
         interpolation: str, window: tuple[int, ...], tile: tuple[int, ...]) -> np.ndarray:
    def one(s: np.ndarray, m: Any) -> np.ndarray:
        r: np.ndarray = _native(s, spacing, m, None, 1, window, output_spacing, cval, interpolation, tile)
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
