# Type declarations of the compiled module, installed beside it.
import sys
from typing import Any, TypeAlias

import numpy as np

# The readers take NumPy's C `long`, which is 32 bits wide on Windows.
if sys.platform == "win32":
    _Long: TypeAlias = np.int32
else:
    _Long: TypeAlias = np.int64

_ImageItem: TypeAlias = np.uint8 | np.int16 | _Long | np.float32 | np.float64
# spacing and matrix also take 64-bit integers on every platform.
_VectorItem: TypeAlias = _ImageItem | np.int64

def transform(
    image: np.ndarray[Any, np.dtype[_ImageItem]],
    spacing: np.ndarray[Any, np.dtype[_VectorItem]],
    matrix: np.ndarray[Any, np.dtype[_VectorItem]],
    /,
) -> np.ndarray[Any, np.dtype[np.float32]]: ...
