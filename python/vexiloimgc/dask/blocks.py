"""Running an output block: its source box read or put together from
pieces of the source's chunks, checked, and resampled by the kernel with
the whole grid's positions, in as few calls as one call's limits allow."""
from __future__ import annotations

import itertools
import math
from typing import Any, Callable

import numpy as np

from .boxes import block_box
from .._native import call_limit as _CALL, transform as _native, warp as _native_warp


def read_block(get: Any, source: Any, region: tuple[slice, ...], kwargs: dict[str, Any],
               call: tuple[Any, ...], run: Any = None, chain: Any = None, v0: int = 0) -> np.ndarray:
    """One output block, its source box read straight from the array-like."""
    src = get(source, region, **kwargs)
    _expect(src, tuple(s.stop - s.start for s in region), call)
    return _resampled(src, call, run, chain, v0)


def warp_block(get: Any, source: Any, kwargs: dict[str, Any], read: tuple[Any, ...],
               at: tuple[tuple[int, int], ...], call: tuple[Any, ...], fill: np.ndarray, run: Any, chain: Any,
               v0: int) -> np.ndarray:
    """A warp's block whose source box is found as it runs, from its points
    carried through the steps (`at` its (start, stop) along N, Z, Y, X),
    then read straight from the array-like; `fill` where they read none."""
    b = block_box(read, chain.steps, at, call[0])
    four = len(read[1]) == 4
    if b is None:
        return np.full(((at[0][1] - v0,) if four else ()) + call[-2], fill)
    region = (slice(b[0], b[1]), slice(b[2], b[3]), slice(b[4], b[5]))
    task = call[:-1] + (call[-1] + (b[0], b[2], b[4]) + tuple(a for a, _ in at[1:]),)
    return read_block(get, source, (slice(*at[0]),) + region if four else region, kwargs, task, run, chain, v0)


def block(pieces: list[np.ndarray], extents: tuple[tuple[int, ...], ...], box: tuple[int, ...],
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
    return _resampled(src, call, run, chain, v0)


def _resampled(src: np.ndarray, call: tuple[Any, ...], run: Any, chain: Any, v0: int) -> np.ndarray:
    return run_transform(src, *call) if run is None else run(src, chain, v0, *call)


def _expect(got: Any, shape: tuple[int, ...], call: tuple[Any, ...]) -> None:
    """A read of the source must give what was asked: a read that came back
    short would leave voxels as if they mapped nowhere."""
    index, dtype = call[0], call[1]
    if not isinstance(got, np.ndarray) or got.shape != shape or got.dtype != dtype:
        what = (f"an array of shape {got.shape} and type {got.dtype}" if isinstance(got, np.ndarray)
                else f"a {type(got).__name__}")
        raise RuntimeError(f"vexiloimgc.dask: output block {index} read {what} from the source "
                           f"where it asked for shape {shape} and type {np.dtype(dtype)}")


def run_transform(src: np.ndarray, index: tuple[int, ...], dtype: Any, spacing: Any, maps: Any, per_volume: bool,
                  output_spacing: Any, cval: Any, rule: tuple[str, Any, bool], window: tuple[int, ...],
                  tile: tuple[int, ...]) -> np.ndarray:
    interpolation, mode, antialias = rule

    def one(s: np.ndarray, which: slice | int | None) -> np.ndarray:
        m = maps[which] if per_volume and which is not None else maps
        r: np.ndarray = _native(image=s, spacing=spacing, matrix=m, output_shape=window,
                                output_spacing=output_spacing, cval=cval, interpolation=interpolation, mode=mode,
                                antialias=antialias, tile=tile, workers=1)
        return r

    return _by_volumes(src, window, one)


def run_warp(src: np.ndarray, chain: Any, v0: int, index: tuple[int, ...], dtype: Any, spacing: Any,
             _maps: Any, _per_volume: bool, output_spacing: Any, cval: Any, rule: tuple[str, Any],
             window: tuple[int, ...], tile: tuple[int, ...]) -> np.ndarray:
    """A warp's block, `chain` its steps (a `Chain`), `v0` its first volume."""
    interpolation, mode = rule

    def one(s: np.ndarray, which: slice | int | None) -> np.ndarray:
        r: np.ndarray = _native_warp(image=s, spacing=spacing, steps=chain.of(v0, which), output_shape=window,
                                     output_spacing=output_spacing, cval=cval, interpolation=interpolation,
                                     mode=mode, tile=tile, workers=1)
        return r

    return _by_volumes(src, window, one)


def _by_volumes(src: np.ndarray, window: tuple[int, ...],
                one: Callable[[np.ndarray, slice | int | None], np.ndarray]) -> np.ndarray:
    """`one(box, which)` over a block: a 3-D box whole (`which` None); a 4-D
    box's volumes in one call where one call's limits allow, else in groups
    that fit (`which` their slice of the box's volumes), else one by one as
    3-D calls (`which` the volume's index)."""
    if src.ndim == 3:
        return one(src, None)
    n, per_box, per_out = src.shape[0], math.prod(src.shape[1:]), math.prod(window)
    group = min(n, _CALL // max(per_box, 1), _CALL // max(per_out, 1))
    if group >= n:
        return one(src, slice(0, n))
    if group >= 1:
        return np.concatenate([one(src[v:v + group], slice(v, min(v + group, n))) for v in range(0, n, group)])
    return np.stack([one(src[v], v) for v in range(n)])
