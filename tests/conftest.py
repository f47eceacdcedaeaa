import os
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


def pytest_collection_modifyitems(config, items):
    """VX_SHARD=K/N keeps every N-th test from the K-th: the slow sessions
    (sanitizers, emulation) run N plain pytest processes side by side, each
    a whole process of its own, so that leak checks at exit still see every
    call. Interleaving by test, not by file, keeps the shards even."""
    shard = os.environ.get("VX_SHARD")
    if not shard:
        return
    k, n = (int(s) for s in shard.split("/"))
    keep = [t for i, t in enumerate(items) if i % n == k]
    config.hook.pytest_deselected(items=[t for i, t in enumerate(items) if i % n != k])
    items[:] = keep
