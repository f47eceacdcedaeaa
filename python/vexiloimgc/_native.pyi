# The compiled half of the package; transform() in __init__.py is its face.
from typing import Any

call_limit: int
box_limit: int

# The calls, checks and boxes take their arguments by name, in the one order
# of swig/_native.i.
def transform(
    *, image: Any, spacing: Any, matrix: Any, output_shape: Any, output_spacing: Any, cval: Any,
    interpolation: Any, mode: Any = None, antialias: Any = False, tile: Any = None, out: Any = None,
    workers: Any = None
) -> Any: ...
def warp(
    *, image: Any, spacing: Any, steps: Any, output_shape: Any, output_spacing: Any, cval: Any,
    interpolation: Any, mode: Any = None, tile: Any = None, out: Any = None, workers: Any = None
) -> Any: ...
def transform_check(
    *, image: Any, spacing: Any, matrix: Any, output_shape: Any, output_spacing: Any, cval: Any,
    interpolation: Any, mode: Any = None, antialias: Any = False
) -> tuple[Any, tuple[int, ...], Any, Any, Any]: ...
def warp_boxes(
    *, image: Any, spacing: Any, steps: Any, output_shape: Any, output_spacing: Any, cval: Any,
    interpolation: Any, mode: Any = None, edges_n: Any = None, edges_z: Any = None, edges_y: Any = None,
    edges_x: Any = None, workers: Any = None
) -> Any: ...
def source_boxes(
    *, extents: Any, spacing: Any, maps: Any, output_spacing: Any, reach: Any, edges_n: Any, edges_z: Any,
    edges_y: Any, edges_x: Any
) -> Any: ...
def voxel_map(affine: Any, target: Any, /) -> Any: ...
def spline_coefficients(image: Any, mode: Any, cval: Any, workers: Any, place: Any, /) -> Any: ...
def gaussian_smooth(image: Any, factors: Any, mode: Any, workers: Any, place: Any, /) -> Any: ...
