"""The installed type declarations, as mypy sees them from outside the tree."""
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

pytest.importorskip("mypy")
# mypy reads the declarations alike on every machine; under an emulator it
# takes minutes.
needs_native = pytest.mark.skipif(bool(os.environ.get("VX_EMULATED")), reason="minutes under an emulator")

GOOD = """
import sys
from typing import Any, TypeAlias, assert_type
import numpy as np
from _vexiloimgc import transform

clong = np.int32 if sys.platform == "win32" else np.int64  # the C long

m = np.eye(3, 4).ravel()
r = transform(np.zeros((4, 5, 6), np.uint8), np.ones(3), m)
assert_type(r, np.ndarray[Any, np.dtype[np.float32]])
for t in (np.int16, np.float32, np.float64):
    transform(np.zeros((2, 4, 5, 6), t), np.ones(3, np.float32), m.astype(np.float32))
transform(np.zeros((4, 5, 6), clong), np.ones(3, np.int64), m)

# The package: every keyword, one map per volume, out returned as given.
import vexiloimgc
F32: TypeAlias = np.ndarray[Any, np.dtype[np.float32]]
vol = np.zeros((2, 4, 5, 6), np.int16)
out: F32 = np.empty(vol.shape, np.float32)
assert_type(vexiloimgc.transform(vol, np.ones(3), np.zeros((2, 3, 4)), out=out, workers=-1), F32)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, workers=None), F32)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, out=None, workers=np.int8(2)), F32)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, interpolation="linear", cval=1.5), F32)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, interpolation="cubic", mode="grid-wrap"), F32)

# nearest and label keep the image's element type, out= included.
I16: TypeAlias = np.ndarray[Any, np.dtype[np.int16]]
assert_type(vexiloimgc.transform(vol, np.ones(3), m, interpolation="label", cval=np.int16(-1)), I16)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, interpolation="nearest", workers=2), I16)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, interpolation="nearest", mode="grid-wrap"), I16)
lab: I16 = np.empty(vol.shape, np.int16)
assert_type(vexiloimgc.transform(vol, np.ones(3), m, interpolation="label", out=lab), I16)
assert_type(vexiloimgc.reslice(lab, np.eye(4), (3, 4, 5), np.eye(4), interpolation="label"), I16)
assert_type(vexiloimgc.reslice(vol[0], np.eye(4), (3, 4, 5), np.eye(4)), F32)
"""

# Each line must be flagged with the error code after "# E:".
BAD = """
from typing import Any
import numpy as np
from _vexiloimgc import transform

a = np.zeros((4, 5, 6), np.float32)
s = np.ones(3)
m = np.eye(3, 4).ravel()
u16 = np.zeros((4, 5, 6), np.uint16)
c64 = np.zeros((4, 5, 6), np.complex64)
transform(a, spacing=s, matrix=m)  # E: call-arg
transform(a, s)  # E: call-arg
transform(a, s, m, m)  # E: call-arg
transform([[[1.0]]], s, m)  # E: arg-type
transform(u16, s, m)  # E: arg-type
transform(c64, s, m)  # E: arg-type
transform(a, [1.0, 1.0, 1.0], m)  # E: arg-type
d: np.ndarray[Any, np.dtype[np.float64]] = transform(a, s, m)  # E: assignment
import vexiloimgc
vexiloimgc.transform(a, s, m, None)  # E: call-overload
vexiloimgc.transform(image=a, spacing=s, matrix=m)  # E: call-overload
vexiloimgc.transform(a, s, m, workers=1.5)  # E: call-overload
vexiloimgc.transform(a, s, m, out=np.zeros((4, 5, 6)))  # E: type-var
vexiloimgc.transform(c64, s, m, workers=2)  # E: arg-type
vexiloimgc.transform(a, s, m, interpolation="quintic")  # E: call-overload
vexiloimgc.transform(u16, s, m, interpolation="nearest", mode="wrap")  # E: call-overload
lu = vexiloimgc.transform(u16, s, m, interpolation="label")
f: np.ndarray[Any, np.dtype[np.float32]] = lu  # E: assignment
"""


def run_mypy(tmp_path, name, text):
    (tmp_path / name).write_text(text)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), name],
        cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300,
    )
    return r


@needs_native
def test_stubs_found_and_correct_use_passes(tmp_path):
    r = run_mypy(tmp_path, "good.py", GOOD)
    assert r.returncode == 0, r.stdout + r.stderr


@needs_native
def test_wrong_calls_are_flagged(tmp_path):
    r = run_mypy(tmp_path, "bad.py", BAD)
    got = {}
    for line in r.stdout.splitlines():
        m = re.match(r"bad\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if m:
            got.setdefault(int(m[1]), set()).add(m[2])
    want = {i: {line.split("# E: ")[1]} for i, line in enumerate(BAD.splitlines(), 1) if "# E: " in line}
    assert got == want, r.stdout


def test_declarations_installed_beside_module_and_as_stub_package():
    import _vexiloimgc

    site = Path(_vexiloimgc.__file__).parent
    if os.environ.get("VX_INSTALLED_WHEEL"):
        # The wheel test must import the installed wheel, not a build tree.
        assert site == Path(sysconfig.get_paths()["platlib"]), _vexiloimgc.__file__
    elif not (site / "_vexiloimgc.pyi").exists():
        pytest.skip("module not imported from an installation")
    source = (Path(__file__).parents[1] / "swig" / "_vexiloimgc.pyi").read_text()
    assert (site / "_vexiloimgc.pyi").read_text() == source
    assert (site / "_vexiloimgc-stubs" / "__init__.pyi").read_text() == source
    # The package is typed inline: its marker and its native half's stub.
    import vexiloimgc

    package = Path(vexiloimgc.__file__).parent
    assert (package / "py.typed").exists() and (package / "_native.pyi").exists()
