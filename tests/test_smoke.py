import numpy as np
import _vexiloimgc


def test_identity_roundtrip():
    a = np.arange(60, dtype=np.float32).reshape(3, 4, 5)
    eye = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)
    r = _vexiloimgc.transform(a, np.ones(3, np.float32), eye)
    assert r.dtype == np.float32 and r.shape == a.shape
