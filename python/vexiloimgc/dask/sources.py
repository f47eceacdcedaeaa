"""How the blocks read the source: each its own box straight from the one
array-like that every block of the source is a plain read of
(`dask.array.from_zarr`, `from_array` of a lazy array), as views of the one
NumPy array every block of the source is a view of, or else (None) through
the source's chunks."""
from __future__ import annotations

import itertools
import operator
from typing import Any

import numpy as np
import dask.array as da

from .boxes import windows

# Telling a plain read apart takes Dask's task classes, which are private
# (dask._task_spec): nothing public says what function a block's task calls
# or on what, and a guess from the graph's shape alone could read other
# samples than the task would. What it buys (bench/direct_reads.py: a 512^3
# float32 zarr array in 64^3 chunks, an oblique map, 64^3 output blocks
# written to zarr on 2 threads): a peak of 15 MiB above the imports against
# 342 MiB through the chunks, for 2.1 times the time (9.7 s against 4.6 s:
# overlapping boxes decompress chunks again); the graph built in 12 ms
# against 19 ms.
_GETTERS: tuple[Any, ...] = ()
try:
    from dask._task_spec import DataNode, GraphNode, Task, TaskRef
    from dask.array.core import getter, getter_inline, getter_nofancy

    _GETTERS = (getter, getter_nofancy, getter_inline)
except ImportError:  # a Dask before 2024.12 sends every source through its chunks
    pass


def direct_reader(image: da.Array) -> Any:
    """(getter, source, kwargs) when every block of the image is a plain
    read of one array-like (dask.array.from_zarr, from_array of a lazy
    array): blocks then read their boxes from it themselves, so no source
    chunk waits in memory for the several blocks that share it. Else None."""
    if not _GETTERS:
        return None
    graph = image.__dask_graph__()
    # The first block alone first: most sources are neither, and looking at
    # every block makes Dask build each task of the layer.
    first = _first_task(graph, (image.name,) + (0,) * image.ndim)
    if isinstance(first, (DataNode, np.ndarray)):
        base = _one_base(image, graph)
        return None if base is None else (operator.getitem, base, {})
    if not _is_read(first):
        return None
    return _one_source(image, graph)


def _is_read(t: Any) -> bool:
    return isinstance(t, Task) and t.func in _GETTERS


def _one_source(image: da.Array, graph: Any) -> Any:
    """(getter, source, kwargs) where every block is the same getter's read
    of its own window of one array-like; else None."""
    found = None
    for t, want in zip(*_tasks_and_windows(image, graph)):
        if not (_is_read(t) and len(t.args) == 2 and isinstance(t.args[1], DataNode)
                and _selects(t.args[1].value, want)):
            return None
        ref = t.args[0]
        if (found is not None and t.func is found[0] and isinstance(ref, TaskRef) and ref.key == found[1]
                and not t.kwargs and not found[2]):
            continue  # the same read as the block before
        read = _read_of(t, graph, image.shape)
        if read is None:
            return None
        if found is None:
            found = read
        elif found[0] is not read[0] or not (found[1] is read[1] or isinstance(read[1], str) and found[1] == read[1]):
            return None
    return found


def _selects(sel: Any, want: tuple[slice, ...]) -> bool:
    """A block's selection is its window: the same slices, steps of one."""
    if sel != want and not (isinstance(sel, tuple) and len(sel) == len(want) and all(
            isinstance(x, slice) and (x.start or 0, x.stop, x.step or 1) == (w.start, w.stop, 1)
            for x, w in zip(sel, want))):
        return False
    return True


def _read_of(t: Any, graph: Any, shape: tuple[int, ...]) -> Any:
    """A read's (getter, source, kwargs), `source` the key of the array-like
    in the graph or the array-like itself; None where it reads something
    else than an array-like of the image's shape, or takes a task."""
    ref = t.args[0]
    if isinstance(ref, TaskRef) and ref.key in graph and not isinstance(graph[ref.key], GraphNode):
        source, obj = ref.key, graph[ref.key]
    elif isinstance(ref, TaskRef) and isinstance(graph.get(ref.key), DataNode):
        source, obj = ref.key, graph[ref.key].value
    elif isinstance(ref, DataNode):
        source = obj = ref.value
    else:
        return None
    if getattr(obj, "shape", None) != shape or any(not isinstance(v, DataNode) for v in t.kwargs.values()):
        return None
    return t.func, source, {k: v.value for k, v in t.kwargs.items()}


def _tasks_and_windows(image: da.Array, graph: Any) -> tuple[Any, Any]:
    """Iterators of the image's blocks' tasks and of their windows, as
    tuples of slices, in the same order."""
    layer = graph.layers.get(image.name, graph)
    keys = map(operator.add, itertools.repeat((image.name,)), itertools.product(*(range(len(c)) for c in image.chunks)))
    views = itertools.product(*([slice(a, b) for _, a, b, _ in windows(c)] for c in image.chunks))
    return map(layer.get, keys), views


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


def _one_base(image: da.Array, graph: Any) -> Any:
    """The NumPy array whose views every block of the image is
    (dask.array.from_array of an array in memory), else None: blocks then
    take views of their boxes, with no copy."""
    base = start = None
    for a, want in zip(*_tasks_and_windows(image, graph)):
        a = a.value if isinstance(a, DataNode) else a
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
