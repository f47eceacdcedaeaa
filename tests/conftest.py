import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))

EYE = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)
ONES = np.ones(3, np.float32)
# The readers take C long: int64 on Linux and macOS, int32 on Windows.
CLONG = np.dtype("l").type


def shifted(dx=0.0, dy=0.0, dz=0.0):
    """Identity plus a translation in physical units (X, Y, Z)."""
    m = EYE.copy()
    m[3], m[7], m[11] = dx, dy, dz
    return m


@pytest.fixture
def vol():
    return np.random.default_rng(7).uniform(-100, 100, (5, 6, 7)).astype(np.float32)
