"""Times interpolation="nearest" and "label" against "linear", one-hot
linear then argmax, and SimpleITK's nearest-neighbour and label-Gaussian
resampling, on 256^3 volumes, in one process, interleaved.

Every round runs each method twice and times the second call (wall and
process CPU time); reports medians with min-max over the rounds, ns per
output voxel, and CPU/wall (the threads a method kept busy). Writes
bench/labels.json.

    python bench/bench_labels.py [rounds [map ...]]
"""
import json
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import SimpleITK as sitk

import vexiloimgc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import maps  # noqa: E402

N = 256
CPUS = len(os.sched_getaffinity(0))
ONE = np.ones(3, np.float32)


DENSE = (2, 10, 100, 200)


def label_maps(rng):
    """2 labels: a ball. 10 and 100 labels: random labels on blocks of 32^3
    (512 blocks), as segmentations hold few labels in large regions. Dense
    maps, keyed ("dense", n): n random labels on blocks of 8^3, structures
    of a few voxels as in whole-brain parcellations, where a third of the
    voxels see two labels or more."""
    z, y, x = np.ogrid[:N, :N, :N]
    ball = (((z - 128) ** 2 + (y - 120) ** 2 + (x - 136) ** 2) < 90 ** 2).astype(np.uint8)

    def blocks(n):
        small = rng.permutation(np.arange(512) % n).reshape(8, 8, 8).astype(np.uint8)
        return np.ascontiguousarray(small.repeat(32, 0).repeat(32, 1).repeat(32, 2))
    def dense(n):
        small = rng.integers(0, n, (N // 8,) * 3, dtype=np.uint8)
        return np.ascontiguousarray(small.repeat(8, 0).repeat(8, 1).repeat(8, 2))
    return {2: ball, 10: blocks(10), 100: blocks(100), **{("dense", n): dense(n) for n in DENSE}}


def sitk_image(a):
    im = sitk.GetImageFromArray(a)
    im.SetSpacing((1.0, 1.0, 1.0))
    return im


def sitk_call(image, m, interpolator):
    tx = sitk.AffineTransform(3)
    tx.SetMatrix(m[:, :3].ravel().tolist())
    tx.SetTranslation(m[:, 3].tolist())
    f = sitk.ResampleImageFilter()
    f.SetReferenceImage(image)
    f.SetTransform(tx)
    f.SetInterpolator(interpolator)
    f.SetDefaultPixelValue(0)

    def run():
        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(CPUS)
        return f.Execute(image)
    return run


def one_hot(image, m, labels):
    """Each label's mask through linear, the first largest kept as it comes
    (argmax of the stack, without holding it)."""
    def run():
        top = vexiloimgc.transform(image == 0, ONE, m)
        best = np.zeros(top.shape, np.uint8)
        for k in range(1, labels):
            hot = vexiloimgc.transform(image == k, ONE, m)
            more = hot > top
            np.copyto(top, hot, where=more)
            best[more] = k
        return best
    return run


def methods(name, img, lab):
    m = maps.matrix(name, (N, N, N)).astype(np.float32)
    runs = {
        "linear float32": lambda: vexiloimgc.transform(img, ONE, m),
        "nearest uint8 (100 labels)": lambda: vexiloimgc.transform(lab[100], ONE, m, interpolation="nearest"),
        "SimpleITK nearest uint8": sitk_call(sitk_image(lab[100]), m.astype(np.float64), sitk.sitkNearestNeighbor),
    }
    if name == "oblique":
        runs.update({
            "label uint8, 2 labels": lambda: vexiloimgc.transform(lab[2], ONE, m, interpolation="label"),
            "label uint8, 10 labels": lambda: vexiloimgc.transform(lab[10], ONE, m, interpolation="label"),
            "label uint8, 100 labels": lambda: vexiloimgc.transform(lab[100], ONE, m, interpolation="label"),
            "one-hot linear + argmax, 10 labels": one_hot(lab[10], m, 10),
            **{f"label uint8, dense {n} labels": (lambda n=n: vexiloimgc.transform(
                lab["dense", n], ONE, m, interpolation="label")) for n in DENSE},
            "one-hot linear + argmax, dense 100 labels": one_hot(lab["dense", 100], m, 100),
            "SimpleITK label Gaussian, 10 labels": sitk_call(sitk_image(lab[10]), m.astype(np.float64),
                                                             sitk.sitkLabelGaussian),
        })
    return runs


def check(lab, m):
    """label agrees with one-hot then argmax wherever that has a clear winner."""
    hot = np.stack([vexiloimgc.transform(lab == k, ONE, m, cval=np.nan) for k in range(10)])
    got = vexiloimgc.transform(lab, ONE, m, interpolation="label", cval=255)
    top = np.sort(hot, axis=0)
    clear = ~np.isnan(top[-1]) & (top[-1] > top[-2])
    if not (got[clear] == hot.argmax(axis=0)[clear]).all():
        sys.exit("label disagrees with one-hot linear then argmax")


def time_case(runs, rounds):
    wall = {k: [] for k in runs}
    cpu = {k: [] for k in runs}
    for _ in range(rounds):
        for k, run in runs.items():
            run()
            t, c = time.perf_counter(), time.process_time()
            run()
            wall[k].append(time.perf_counter() - t)
            cpu[k].append(time.process_time() - c)
    out = {}
    for k in runs:
        med = statistics.median(wall[k])
        out[k] = {"ns_per_voxel": med / N ** 3 * 1e9, "min": min(wall[k]) / N ** 3 * 1e9,
                  "max": max(wall[k]) / N ** 3 * 1e9, "cpu_ns_per_voxel": statistics.median(cpu[k]) / N ** 3 * 1e9,
                  "cpu_per_wall": statistics.median(
                      c / w for c, w in zip(cpu[k], wall[k])), "rounds": rounds}
    return out


PEAK = """
import re, numpy as np, vexiloimgc
def kib(field):
    return int(re.search(field + r":\\s+(\\d+) kB", open("/proc/self/status").read()).group(1))
lab = np.empty((SIZE,) * 3, np.uint8)
lab[...] = 3
lab[::7] = 5
m = np.array([[0.97, -0.26, 0, 40], [0.26, 0.97, 0, -30], [0, 0, 1, 0.4]], np.float32)
vexiloimgc.transform(lab[:16], np.ones(3), m, interpolation="label")
before = kib("VmHWM")
vexiloimgc.transform(lab, np.ones(3), m, interpolation="label")
print((kib("VmHWM") - before) * 1024)
"""


def peak_memory():
    """Growth of the peak resident set over one label call on a uint8 map,
    in a fresh process that already holds the map, in bytes."""
    import subprocess
    out = subprocess.run([sys.executable, "-c", PEAK.replace("SIZE", str(N))], check=True,
                         capture_output=True, text=True).stdout
    return int(out.split()[-1])


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    rng = np.random.default_rng(5)
    img = rng.random((N,) * 3, dtype=np.float32) * 1000
    lab = label_maps(rng)
    check(lab[10], maps.matrix("oblique", (N, N, N)).astype(np.float32))
    results = {}
    for name in sys.argv[2:] or maps.MAPS:
        results[name] = time_case(methods(name, img, lab), rounds)
        for k, r in results[name].items():
            print(f"{name:8s} {k:38s} {r['ns_per_voxel']:7.2f} ns/voxel ({r['min']:.2f}-{r['max']:.2f})"
                  f"  cpu {r['cpu_ns_per_voxel']:7.2f} ns/voxel, cpu/wall {r['cpu_per_wall']:.2f}", flush=True)
    for name, r in results.items():
        for k in r:
            if k.startswith("label") or k.startswith("one-hot"):
                print(f"{name:8s} {k:38s} / linear {r[k]['ns_per_voxel'] / r['linear float32']['ns_per_voxel']:6.2f}")
        hot = r.get("one-hot linear + argmax, dense 100 labels")
        if hot:
            print(f"{name:8s} one-hot / label, dense 100 labels {hot['ns_per_voxel'] / r['label uint8, dense 100 labels']['ns_per_voxel']:6.1f}")
    extra = peak_memory()
    print(f"label on uint8 {N}^3: peak memory beyond the image {extra / N ** 3:.3f} results", flush=True)
    (HERE / "labels.json").write_text(json.dumps({"cpus": CPUS, "edge": N, "results": results,
                                                  "label_peak_extra_results": extra / N ** 3}, indent=1))


if __name__ == "__main__":
    main()
