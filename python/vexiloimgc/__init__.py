"""Exact trilinear resampling of 3-D and 4-D NumPy volumes, on every core.

`transform` gives the bits of `_vexiloimgc.transform` for the same
arguments, and raises the same errors, whatever the number of threads. It
reads a native float32 image whose rows are contiguous where it lies,
writes straight into its result (or into `out=`), releases the interpreter
lock while it works, and takes one map per volume of a 4-D image.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, SupportsIndex, TypeVar, overload

import numpy as np

from ._native import transform as _transform

if TYPE_CHECKING:
    from typing import TypeAlias

    # The element types each argument takes, declared once, in the
    # module's type declarations.
    from _vexiloimgc import _ImageItem, _VectorItem

    _Float32Array: TypeAlias = np.ndarray[Any, np.dtype[np.float32]]

__all__ = ["transform"]
__version__ = "0.2.0"

_Out = TypeVar("_Out", bound="_Float32Array")


@overload
def transform(
    image: np.ndarray[Any, np.dtype[_ImageItem]],
    spacing: np.ndarray[Any, np.dtype[_VectorItem]],
    matrix: np.ndarray[Any, np.dtype[_VectorItem]],
    /,
    *,
    out: None = None,
    workers: SupportsIndex | None = None,
) -> _Float32Array: ...
@overload
def transform(
    image: np.ndarray[Any, np.dtype[_ImageItem]],
    spacing: np.ndarray[Any, np.dtype[_VectorItem]],
    matrix: np.ndarray[Any, np.dtype[_VectorItem]],
    /,
    *,
    out: _Out,
    workers: SupportsIndex | None = None,
) -> _Out: ...
def transform(
    image: np.ndarray[Any, np.dtype[_ImageItem]],
    spacing: np.ndarray[Any, np.dtype[_VectorItem]],
    matrix: np.ndarray[Any, np.dtype[_VectorItem]],
    /,
    *,
    out: _Float32Array | None = None,
    workers: SupportsIndex | None = None,
) -> _Float32Array:
    """Resample `image` through the affine `matrix` by trilinear interpolation.

    Parameters
    ----------
    image : ndarray, (Z, Y, X) or (N, Z, Y, X)
        uint8, int16, C long, float32 or float64; any strides or byte order.
    spacing : ndarray
        The grid spacing along X, Y, Z: the first 3 values along axis 0.
    matrix : ndarray
        The output-to-source map, in physical units: 12 or more values along
        one axis (a 3x4 matrix row by row), a (3, 4) or (4, 4) array, or, for
        a 4-D image of N volumes, (N, 12), (N, 16), (N, 3, 4) or (N, 4, 4):
        map k for volume k.
    out : ndarray, optional
        Where to write the result: float32, native byte order, C-contiguous,
        aligned, writeable, of the image's shape, sharing no memory with the
        arguments. Every element is written (0 where the voxel maps nowhere).
    workers : int, optional
        Threads to use at most. None: every CPU this process may run on;
        negative values count back from there (-1 all, -2 all but one).
        Small images run on the calling thread. The result never depends on
        the number.

    Returns
    -------
    ndarray
        `out`, or a new C-contiguous float32 array of the image's shape.
    """
    return _transform(image, spacing, matrix, out, workers)
