"""zarr arrays (Z, Y, X) as Dask arrays, their RAS affine in the attribute
"affine"; a store written whole or not at all."""
from __future__ import annotations

import operator
import os
from typing import Any

import numpy as np

from .grids import Grid
from .kinds import ImageError, lower
from .transforms import checked_affine
from .writing import write_beside


def is_zarr(path: str | os.PathLike[str]) -> bool:
    return lower(os.fspath(path).rstrip("/")).endswith(".zarr")


def _zarr() -> Any:
    try:
        import dask.array  # noqa: F401
        import zarr
    except ImportError as e:
        raise ImportError("zarr stores are read and written with Dask: pip install 'dask[array]' zarr") from e
    return zarr


def load_zarr(path: str | os.PathLike[str]) -> tuple[Any, np.ndarray]:
    """A zarr array (Z, Y, X), as a Dask array, and its RAS affine from
    voxel (i, j, k) = index (k, j, i) to world, held in the attribute
    "affine" (unit voxels at the origin where it is absent)."""
    p = os.fspath(path)
    if not os.path.isdir(p):
        raise FileNotFoundError(2, "no such zarr store", p)
    zarr = _zarr()
    import dask.array as da

    try:
        z = zarr.open_array(p, mode="r")
    except Exception as e:
        raise ImageError(f"cannot read {p} as a zarr array: {str(e).splitlines()[0] if str(e) else e}") from None
    if z.ndim != 3:
        raise ImageError(f"{p}: a zarr array of {z.ndim} dimensions: (Z, Y, X) arrays are resampled")
    affine = checked_affine(z.attrs.get("affine", np.eye(4)), f"{p}: its affine attribute")
    return da.from_zarr(z), affine  # type: ignore[no-untyped-call]


def zarr_grid(path: str | os.PathLike[str]) -> tuple[Any, Grid]:
    """`load_zarr`'s array and its grid."""
    data, affine = load_zarr(path)
    return data, Grid(tuple(data.shape[::-1]), affine)


def save_zarr(data: Any, affine: Any, path: str | os.PathLike[str], workers: int | None = None) -> None:
    """Compute the Dask array `data` (Z, Y, X) into the zarr array at `path`,
    its RAS `affine` (as `load_zarr` reads it) the attribute "affine", on
    `workers` threads (the CPUs by default). The store is written beside the
    destination and swapped into place when whole, so `data` may read the
    store it replaces, and an error or an interrupt leaves the old store."""
    from concurrent.futures import ThreadPoolExecutor

    zarr = _zarr()
    import dask

    m = checked_affine(affine, f"{os.fspath(path)}: its affine").tolist()
    n = (os.cpu_count() or 1) if workers is None else operator.index(workers)
    if n < 1:
        raise ValueError(f"save_zarr: workers must be at least 1, not {n}")

    def write(tmp: str) -> None:
        pool = ThreadPoolExecutor(n)
        try:
            with dask.config.set(pool=pool):
                data.to_zarr(tmp)
        finally:
            # No block may still be writing when the store is removed.
            pool.shutdown(wait=True, cancel_futures=True)
        zarr.open_array(tmp, mode="r+").attrs["affine"] = m

    write_beside(os.fspath(path).rstrip("/" + os.sep), write)
