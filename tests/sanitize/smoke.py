"""A short run down every path of both transforms, for tools too slow for the
whole suite (valgrind): each failure path twice, and successful calls."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import numpy as np  # noqa: E402

import _vexiloimgc  # noqa: E402
from test_leaks import PACKAGE_PATHS, PATHS, call, call_package  # noqa: E402

for _ in range(2):
    for name, args in PATHS.items():
        r = call(args)
        assert (r is None) == (name not in ("3d", "4d-byteswapped", "empty")), name
    for name, (args, kw) in PACKAGE_PATHS.items():
        call_package(args, kw)
r = _vexiloimgc.transform(np.arange(60, dtype=np.float32).reshape(3, 4, 5),
                          np.ones(3), np.float32([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]))
assert r[0, 0, 0] == 0 and r[1, 1, 1] == 26
print("smoke: every path ran")
