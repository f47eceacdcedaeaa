"""Cubic B-spline, boundary modes and anti-aliasing against their peers, in one process,
interleaved: each sample is the second of two calls in a row; medians with
minimum and maximum, and each method's process CPU time over wall time.

    python bench/bench_cubic.py [edge] [rounds]     writes bench/cubic.json

Before timing: cubic on one and on all workers bit for bit, and its
agreement with scipy's order=3 under "mirror" on a smooth and a noise volume.
Then the peak memory of one cubic call in a fresh process.
"""
import json
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import scipy.ndimage as ndi
import SimpleITK as sitk

import vexiloimgc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import maps  # noqa: E402
from bench import scipy_matrix  # noqa: E402  (unit spacing, as here)

ONE = np.ones(3)


def itk(image, m, interpolator):
    """SimpleITK's resampling on its default threads, its conversions included."""
    tx = sitk.AffineTransform(3)
    tx.SetMatrix(m[:, :3].ravel().tolist())
    tx.SetTranslation(m[:, 3].tolist())

    def run():
        im = sitk.GetImageFromArray(image)
        return sitk.GetArrayFromImage(sitk.Resample(im, im, tx, interpolator, 0.0, sitk.sitkFloat32))
    return run


def cubic_methods(image, m):
    f32 = m.astype(np.float32)
    a, b = scipy_matrix(m)
    return {
        "vexiloimgc linear": lambda: vexiloimgc.transform(image, ONE, f32),
        "vexiloimgc cubic": lambda: vexiloimgc.transform(image, ONE, f32, interpolation="cubic"),
        # scipy's one thread against ours
        "vexiloimgc cubic, 1 worker": lambda: vexiloimgc.transform(image, ONE, f32, interpolation="cubic", workers=1),
        "SimpleITK BSpline": itk(image, m, sitk.sitkBSpline),
        "scipy order=3": lambda: ndi.affine_transform(image, a, b, order=3, mode="constant", output=np.float32),
    }


def mode_methods(image, m):
    """"linear" without a mode and under the modes that read past the edges."""
    f32 = m.astype(np.float32)
    runs = {"vexiloimgc linear": lambda: vexiloimgc.transform(image, ONE, f32)}
    for mode in ("constant", "grid-constant", "mirror", "grid-wrap"):
        runs[f"vexiloimgc linear {mode}"] = lambda mode=mode: vexiloimgc.transform(image, ONE, f32, mode=mode)
    return runs


def antialias_methods(image, m):
    """Down-sampling by 2 along every axis, without and with the filter."""
    f32 = m.astype(np.float32)
    kw = dict(output_shape=tuple(e // 2 for e in image.shape), output_spacing=(2.0,) * 3)
    return {
        "vexiloimgc linear": lambda: vexiloimgc.transform(image, ONE, f32, **kw),
        "vexiloimgc linear antialias": lambda: vexiloimgc.transform(image, ONE, f32, antialias=True, **kw),
        "vexiloimgc cubic": lambda: vexiloimgc.transform(image, ONE, f32, interpolation="cubic", **kw),
        "vexiloimgc cubic antialias": lambda: vexiloimgc.transform(image, ONE, f32, interpolation="cubic",
                                                                    antialias=True, **kw),
    }


def agreement(n):
    """max |ours - scipy order=3| under "mirror", over the data's range."""
    z, y, x = np.indices((n,) * 3) / n
    vols = {"smooth": (np.sin(6 * x) * np.cos(5 * y) + z * z).astype(np.float32),
            "noise": np.random.default_rng(1).random((n,) * 3, dtype=np.float32)}
    m = maps.matrix("oblique", (n,) * 3)
    a, b = scipy_matrix(m)
    out = {}
    for name, v in vols.items():
        ours = vexiloimgc.transform(v, ONE, m.astype(np.float32), interpolation="cubic", mode="mirror")
        one = vexiloimgc.transform(v, ONE, m.astype(np.float32), interpolation="cubic", mode="mirror", workers=1)
        if ours.tobytes() != one.tobytes():
            sys.exit("cubic differs between worker counts")
        ref = ndi.affine_transform(v.astype(np.float64), a, b, order=3, mode="mirror")
        out[name] = float(np.abs(ours - ref).max() / (v.max() - v.min()))
    return out


PEAK = """
import re, sys, numpy as np, vexiloimgc
def kib(f): return int(re.search(f + r":\\s+(\\d+) kB", open("/proc/self/status").read()).group(1))
n = int(sys.argv[1]); img = np.empty((n,) * 3, np.float32); img[...] = 1.5
m = np.array([[1, 0, 0, .3], [0, 1, 0, .2], [0, 0, 1, .1]], np.float32)
vexiloimgc.transform(img[:16], np.ones(3), m, interpolation=sys.argv[2])
before = kib("VmRSS"); vexiloimgc.transform(img, np.ones(3), m, interpolation=sys.argv[2])
print((kib("VmHWM") - before) / (img.nbytes / 1024))
"""


def peak(n, rule):
    """Growth of the peak resident set over one call, in source sizes."""
    return float(subprocess.run([sys.executable, "-c", PEAK, str(n), rule], capture_output=True, text=True,
                                check=True).stdout)


def timed(runs, rounds, clock=time.process_time):
    """`clock` is the CPU time counted: the process's by default (a method
    that runs other processes needs one that counts its children)."""
    for run in runs.values():
        run()
    times = {k: [] for k in runs}
    cpu = {k: 0.0 for k in runs}
    for _ in range(rounds):
        for k, run in runs.items():
            run()
            c, t = clock(), time.perf_counter()
            run()
            times[k].append(time.perf_counter() - t)
            cpu[k] += clock() - c
    return {k: {"median": statistics.median(v), "min": min(v), "max": max(v), "rounds": rounds,
                "cpu_over_wall": cpu[k] / sum(v), "samples": v} for k, v in times.items()}


def show(title, res, base):
    print(f"\n{title}\n| method | median ms [min–max] | CPU/wall | × {base} |\n|---|---|---|---|")
    for k, r in res.items():
        print(f"| {k} | {r['median'] * 1e3:.1f} [{r['min'] * 1e3:.1f}–{r['max'] * 1e3:.1f}] | "
              f"{r['cpu_over_wall']:.2f} | {r['median'] / res[base]['median']:.2f} |")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    agree = agreement(min(n, 96))
    print("cubic against scipy order=3, mode='mirror', max |difference| over the data's range:",
          ", ".join(f"{k} {v:.1e}" for k, v in agree.items()))
    memory = {r: peak(n, r) for r in ("linear", "cubic")}
    print("peak growth over one call, in source sizes (the result is 1):",
          ", ".join(f"{k} {v:.2f}" for k, v in memory.items()))
    image = np.random.default_rng(0).random((n,) * 3, dtype=np.float32)
    results = {"edge": n, "agreement": agree, "peak": memory, "cubic": {}, "modes": {}}
    for name in maps.MAPS:
        res = timed(cubic_methods(image, maps.matrix(name, image.shape)), rounds)
        show(f"cubic, {n}^3 float32, {name}", res, "vexiloimgc cubic")
        results["cubic"][name] = res
    for name in maps.MAPS:
        res = timed(mode_methods(image, maps.matrix(name, image.shape)), rounds)
        show(f"linear under a mode, {n}^3 float32, {name}", res, "vexiloimgc linear")
        results["modes"][name] = res
    aa = timed(antialias_methods(image, maps.matrix("rotZ15", image.shape)), rounds)
    show(f"down-sampling by 2, {n}^3 float32, rotZ15", aa, "vexiloimgc linear")
    results["antialias"] = aa
    (HERE / "cubic.json").write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
