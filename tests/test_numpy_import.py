"""The start-up's NumPy import: which names it asks for, when it falls back,
and what it prints when NumPy cannot be used. Each case is a fresh process."""
import importlib.util
import subprocess
import sys

import numpy as np
import pytest

FIRST = "numpy._core._multiarray_umath"
FALLBACK = "numpy.core._multiarray_umath"
MESSAGE = "ImportError: numpy._core.multiarray failed to import"

# Logs what the start-up imports (it goes through builtins.__import__) and
# lets a case make the first name fail. NumPy itself is loaded beforehand so
# that only the module's own requests are logged.
SPY = """
import builtins, sys, types
{setup}
asked, real = [], builtins.__import__
def spy(name, *a, **k):
    if name.endswith("_multiarray_umath"):
        asked.append(name)
        if name == {first!r} and {fail}:
            raise {fail}
    return real(name, *a, **k)
builtins.__import__ = spy
try:
    import _vexiloimgc
finally:
    builtins.__import__ = real
    print("asked", asked)
"""

MODERN = importlib.util.find_spec("numpy._core") is not None  # NumPy >= 1.26
NUMPY1 = np.__version__.startswith("1.")


def start(setup="import numpy", fail="None"):
    code = SPY.format(setup=setup, first=FIRST, fail=fail)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    asked = eval(r.stdout.split("asked", 1)[1]) if "asked" in r.stdout else None
    return r, asked


def test_imports_through_first_name_or_falls_back():
    r, asked = start()
    assert r.returncode == 0, r.stderr
    assert asked == ([FIRST] if MODERN else [FIRST, FALLBACK])
    assert r.stderr == ""


def test_missing_first_name_falls_back():
    # NumPy 1.x serves the C API under the old name; NumPy 2 refuses it there.
    r, asked = start(fail=f"ModuleNotFoundError('hidden', name={FIRST!r})")
    assert asked == [FIRST, FALLBACK]
    if NUMPY1:
        assert r.returncode == 0, r.stderr
    else:
        assert r.stderr.rstrip().splitlines()[-1] == MESSAGE


@pytest.mark.parametrize(
    "setup, fail, printed, tries",
    [
        # No NumPy at all: both names fail, the last failure is printed.
        ("sys.modules['numpy'] = None", "None", "ModuleNotFoundError: ", [FIRST, FALLBACK]),
        # Any other import error ends the search at the first name.
        ("import numpy", "ImportError('simulated breakage')", "ImportError: simulated breakage", [FIRST]),
        (f"import numpy; sys.modules[{FIRST!r}] = types.ModuleType('bare')",
         "None", "AttributeError: module 'bare' has no attribute '_ARRAY_API'", [FIRST]),
        (f"import numpy; m = sys.modules[{FIRST!r}] = types.ModuleType('bad'); m._ARRAY_API = 'not a capsule'",
         "None", "RuntimeError: _ARRAY_API is not PyCapsule object", [FIRST]),
    ],
    ids=["no-numpy", "other-import-error", "no-api-table", "api-not-capsule"],
)
def test_unusable_numpy_prints_cause_then_fails(setup, fail, printed, tries):
    r, asked = start(setup, fail)
    assert r.returncode != 0
    assert asked == tries
    lines = r.stderr.rstrip().splitlines()
    assert lines[-1] == MESSAGE
    # The cause is printed before the traceback of the failed import.
    last = max(i for i, line in enumerate(lines) if line == "Traceback (most recent call last):")
    assert any(line.startswith(printed) for line in lines[:last]), r.stderr
