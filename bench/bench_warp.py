"""Warps through a displacement field against their peers, in one process,
interleaved: each sample is the second of two calls in a row; medians with
minimum and maximum, and each method's process CPU time over wall time.

    python bench/bench_warp.py [edge] [rounds]     writes bench/warp.json

The output is edge^3 float32, the source the same grid, the field a smooth
displacement of a few voxels on the output grid. Against SimpleITK's
displacement-field resampling (a float64 vector image, on its default
threads, its conversions included) and scipy's map_coordinates(order=1) with
its coordinates built from the field (the building included); then ours with
the field and a turn against the turn alone (`transform`), and a coarse 16^3
field with the turn. Before timing: agreement with scipy where the field
keeps the points inside; after it, each method's peak memory in a fresh
process.
"""
import json
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import subprocess
import sys
from pathlib import Path

import numpy as np
import scipy.ndimage as ndi
import SimpleITK as sitk

import vexiloimgc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import maps  # noqa: E402
from bench_cubic import show, timed  # noqa: E402

ONE = np.ones(3)


def field(n, amplitude=3.0):
    z, y, x = np.indices((n,) * 3, dtype=np.float32) * np.float32(2 * np.pi / n)
    u = np.empty((n,) * 3 + (3,), np.float32)
    u[..., 0] = np.sin(y) * np.cos(z)
    u[..., 1] = np.sin(z + 0.5) * np.cos(x)
    u[..., 2] = np.sin(x + 1.0) * np.cos(y)
    return u * np.float32(amplitude)


def coarse(n, k=16):
    u = np.random.default_rng(2).normal(0, 2, (k,) * 3 + (3,)).astype(np.float32)
    return vexiloimgc.Field(u, np.full(3, (n - 1) / (k - 1)))


def sitk_run(image, u):
    def run():
        im = sitk.GetImageFromArray(image)
        tx = sitk.DisplacementFieldTransform(sitk.GetImageFromArray(u.astype(np.float64), isVector=True))
        return sitk.GetArrayFromImage(sitk.Resample(im, im, tx, sitk.sitkLinear, 0.0, sitk.sitkFloat32))
    return run


def scipy_run(image, u):
    def run():
        n = image.shape
        c = np.indices(n, dtype=np.float32)
        c[0] += u[..., 2]
        c[1] += u[..., 1]
        c[2] += u[..., 0]
        return ndi.map_coordinates(image, c, order=1, mode="constant", cval=0.0, output=np.float32)
    return run


def methods(image, u):
    n = image.shape[0]
    f = vexiloimgc.Field(u, ONE)
    m = maps.matrix("rotZ15", image.shape).astype(np.float32)
    c = coarse(n)
    return {
        "vexiloimgc warp, field": lambda: vexiloimgc.warp(image, ONE, [f]),
        "SimpleITK displacement field": sitk_run(image, u),
        "scipy map_coordinates order=1": scipy_run(image, u),
        "vexiloimgc transform, turn alone": lambda: vexiloimgc.transform(image, ONE, m),
        "vexiloimgc warp, field + turn": lambda: vexiloimgc.warp(image, ONE, [f, m]),
        "vexiloimgc warp, coarse 16^3 field + turn": lambda: vexiloimgc.warp(image, ONE, [c, m]),
    }

PEAK = """
import re, sys
import numpy as np
import bench_warp as b
def kib(f): return int(re.search(f + r":\\s+(\\d+) kB", open("/proc/self/status").read()).group(1))
n = int(sys.argv[1])
image = np.random.default_rng(0).random((n,) * 3, dtype=np.float32)
u = b.field(n)
run = b.methods(image, u)[sys.argv[2]]
open("/proc/self/clear_refs", "w").write("5")  # the peak so far was the field's making
before = kib("VmRSS"); run()
print((kib("VmHWM") - before) / (image.nbytes / 1024))
"""


def peak(n, name):
    """Growth of the peak resident set over one call in a fresh process, in
    source sizes (the result is 1; the field on the output grid, made before,
    is not counted)."""
    return float(subprocess.run([sys.executable, "-c", PEAK, str(n), name], capture_output=True, text=True,
                                check=True, cwd=HERE).stdout)


def agreement(image, u):
    """max |ours - scipy| where the field keeps every point inside the source."""
    ours = vexiloimgc.warp(image, ONE, [vexiloimgc.Field(u, ONE)])
    one = vexiloimgc.warp(image, ONE, [vexiloimgc.Field(u, ONE)], workers=1)
    if ours.tobytes() != one.tobytes():
        sys.exit("warp differs between worker counts")
    ref = scipy_run(image.astype(np.float64), u)()
    n = image.shape[0]
    c = np.indices(image.shape) + np.moveaxis(u[..., ::-1], -1, 0)
    inside = ((c >= 0) & (c <= n - 1)).all(axis=0)
    return float(np.abs(ours - ref)[inside].max()), float(inside.mean())


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    image = np.random.default_rng(0).random((n,) * 3, dtype=np.float32)
    u = field(n)
    diff, share = agreement(image, u)
    print(f"against scipy map_coordinates(order=1) where the field keeps the points inside "
          f"({share:.1%} of voxels): max |difference| {diff:.1e}")
    res = timed(methods(image, u), rounds)
    show(f"warp, {n}^3 float32, field on the output grid", res, "vexiloimgc warp, field")
    memory = {k: peak(n, k) for k in res}
    print("peak growth over one call in a fresh process, in source sizes (the result is 1):")
    for k, v in memory.items():
        print(f"  {k}: {v:.2f}")
    out = {"edge": n, "agreement": {"max_abs": diff, "inside": share}, "timings": res, "peak": memory}
    (HERE / "warp.json").write_text(json.dumps(out, indent=1) + "\n")


if __name__ == "__main__":
    main()
