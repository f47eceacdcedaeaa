"""The module as Python sees it: its surface, the argument count, the result."""
import subprocess
import sys

import numpy as np
import pytest

import _vexiloimgc
from conftest import EYE, ONES


def test_surface():
    own = {k for k in vars(_vexiloimgc) if not k.startswith("__")}
    assert own == {"transform"}
    assert _vexiloimgc.__doc__ is None
    assert _vexiloimgc.transform.__doc__ is None
    assert "numpy" in sys.modules
    registry = sys.modules["swig_runtime_data4"]
    assert type(registry.type_pointer_capsule).__name__ == "PyCapsule"


@pytest.mark.parametrize("n", [0, 1, 2, 4, 5])
def test_argument_count(n, vol):
    args = (vol, ONES, EYE, EYE, EYE)[:n]
    with pytest.raises(TypeError) as e:
        _vexiloimgc.transform(*args)
    assert str(e.value) == f"transform expected 3 arguments, got {n}"


def test_keywords_refused(vol):
    with pytest.raises(TypeError):
        _vexiloimgc.transform(vol, ONES, matrix=EYE)


def test_result_is_new_float32_array(vol):
    before = vol.copy()
    r = _vexiloimgc.transform(vol, ONES, EYE)
    assert type(r) is np.ndarray and r.dtype == np.float32
    assert r.flags.c_contiguous and r.flags.owndata and r.flags.writeable
    assert not np.shares_memory(r, vol)
    r[...] = 5
    np.testing.assert_array_equal(vol, before)


@pytest.mark.parametrize("flags", ["error", "always"])
def test_import_with_warnings_as_errors_is_clean(flags):
    # The runtime's helper types must be created without a warning, and the
    # interpreter must exit cleanly whatever the warning filters say.
    code = "import _vexiloimgc, numpy as np; print(_vexiloimgc.transform(np.zeros((2, 2, 2)), np.ones(3), np.eye(4).ravel()).sum())"
    p = subprocess.run([sys.executable, "-W", flags, "-c", code], capture_output=True, text=True)
    assert p.returncode == 0, p.stderr
    assert p.stdout.strip() == "0.0"
    assert "Warning" not in p.stderr
