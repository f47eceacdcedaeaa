"""antialias=True against a float32 copy of the source and the peers that
smooth before they down-sample, in one process, interleaved: each sample is
the second of two calls in a row; medians with minimum and maximum.

    python bench/bench_antialias.py [edge] [rounds]     writes bench/antialias.json

An edge^3 float32 volume onto (edge/2)^3, every axis down-sampled by 2
(sigma 0.5 for each method). The figures: antialias=True's extra time over
the same call without it, in copies of the source; scikit-image's
resize(anti_aliasing=True) and scipy's gaussian_filter + affine_transform
(order=1) over our call.
"""
import json
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import sys
from pathlib import Path

import numpy as np
import scipy.ndimage as ndi
import skimage.transform

import vexiloimgc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_cubic import timed  # noqa: E402


def methods(image):
    half = tuple(e // 2 for e in image.shape)
    m = np.array([[2, 0, 0, 0.5], [0, 2, 0, 0.5], [0, 0, 2, 0.5]], np.float32)
    kw = dict(output_shape=half)
    return {
        "float32 copy": lambda: image.copy(),
        "vexiloimgc linear": lambda: vexiloimgc.transform(image, np.ones(3), m, **kw),
        "vexiloimgc linear antialias": lambda: vexiloimgc.transform(image, np.ones(3), m, antialias=True, **kw),
        "skimage resize anti_aliasing": lambda: skimage.transform.resize(image, half, order=1, anti_aliasing=True),
        "scipy gaussian_filter + affine_transform": lambda: ndi.affine_transform(
            ndi.gaussian_filter(image, 0.5, mode="mirror"), np.full(3, 2.0), 0.5, half, order=1,
            output=np.float32),
    }


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    image = np.random.default_rng(0).random((n,) * 3, dtype=np.float32)
    res = timed(methods(image), rounds)
    med = {k: r["median"] for k, r in res.items()}
    print(f"\n{n}^3 float32 onto {n // 2}^3, {rounds} interleaved rounds, os.getloadavg() {os.getloadavg()}")
    print("| method | median ms [min–max] | CPU/wall |\n|---|---|---|")
    for k, r in res.items():
        print(f"| {k} | {r['median'] * 1e3:.1f} [{r['min'] * 1e3:.1f}–{r['max'] * 1e3:.1f}] | "
              f"{r['cpu_over_wall']:.2f} |")
    # On a loaded machine the wall times say little: the same ratios of
    # CPU time (each method's CPU over wall times its median) beside them.
    cpu = {k: r["cpu_over_wall"] * r["median"] for k, r in res.items()}
    ratios = {}
    for clock, t in (("wall", med), ("cpu", cpu)):
        aa = t["vexiloimgc linear antialias"]
        ratios[clock] = {"extra over copy": (aa - t["vexiloimgc linear"]) / t["float32 copy"],
                         "skimage over ours": t["skimage resize anti_aliasing"] / aa,
                         "scipy over ours": t["scipy gaussian_filter + affine_transform"] / aa}
        print(f"{clock}: " + ", ".join(f"{k} {v:.2f}x" for k, v in ratios[clock].items()))
    (HERE / "antialias.json").write_text(json.dumps({"edge": n, "ratios": ratios, "times": res}, indent=1) + "\n")


if __name__ == "__main__":
    main()
