# The compiled half of the package; transform() in __init__.py is its face.
from typing import Any

call_limit: int
box_limit: int

def transform(
    image: Any, spacing: Any, matrix: Any, out: Any, workers: Any, output_shape: Any,
    output_spacing: Any, cval: Any, interpolation: Any, tile: Any, mode: Any = None,
    antialias: Any = False, /
) -> Any: ...
def voxel_map(affine: Any, target: Any, /) -> Any: ...
def warp(
    image: Any, spacing: Any, steps: Any, out: Any, workers: Any, output_shape: Any, output_spacing: Any,
    cval: Any, interpolation: Any, mode: Any, tile: Any = None, /
) -> Any: ...
def warp_boxes(
    image: Any, spacing: Any, steps: Any, output_shape: Any, output_spacing: Any, cval: Any, interpolation: Any,
    mode: Any, edges_n: Any, edges_z: Any, edges_y: Any, edges_x: Any, workers: Any = None, /
) -> Any: ...
def transform_check(
    image: Any, spacing: Any, matrix: Any, output_shape: Any, output_spacing: Any, cval: Any,
    interpolation: Any, mode: Any = None, antialias: Any = False, /
) -> tuple[Any, tuple[int, ...], Any, Any, Any]: ...
def source_boxes(
    extents: Any, spacing: Any, output_spacing: Any, maps: Any, edges_n: Any, edges_z: Any, edges_y: Any,
    edges_x: Any, reach: Any = None, /
) -> Any: ...
def spline_coefficients(image: Any, mode: Any, cval: Any, workers: Any, place: Any, /) -> Any: ...
def gaussian_smooth(image: Any, factors: Any, mode: Any, workers: Any, place: Any, /) -> Any: ...
