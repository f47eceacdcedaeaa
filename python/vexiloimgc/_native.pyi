# The compiled half of the package; transform() in __init__.py is its face.
from typing import Any

def transform(
    image: Any, spacing: Any, matrix: Any, out: Any, workers: Any, output_shape: Any,
    output_spacing: Any, cval: Any, interpolation: Any, tile: Any, /
) -> Any: ...
def voxel_map(affine: Any, target: Any, /) -> Any: ...
