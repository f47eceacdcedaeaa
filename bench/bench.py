"""Times transform() against its peers in one process, interleaved.

Each case runs every method in turn, round after round, and reports the
median with the minimum and maximum. Before timing, every method's output is
checked against scipy inside the volume (away from the borders, where the
methods differ by design). Writes bench/results.json and bench/results.png.
"""

import json
import math
import os

# NumPy's BLAS threads are idle here, but on a machine of two logical CPUs
# their polling can take cycles from whatever is timed.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import platform
import statistics
import sys
import time
import timeit
from pathlib import Path

import numpy as np
import scipy
import scipy.ndimage as ndi
import SimpleITK as sitk

import _vexiloimgc

HERE = Path(__file__).resolve().parent
SPACING = (1.0, 1.0, 1.0)  # X, Y, Z


def rotation(shape, degrees):
    """3x4 output-to-source map: rotation about the Z axis through the centre
    of a (Z, Y, X) grid; 0 degrees gives a sub-voxel shift instead."""
    if degrees == 0:
        return np.array([[1, 0, 0, 0.3], [0, 1, 0, 0.2], [0, 0, 1, 0.1]], np.float64)
    a = math.radians(degrees)
    r = np.array([[math.cos(a), -math.sin(a), 0], [math.sin(a), math.cos(a), 0], [0, 0, 1]])
    c = np.array([(shape[-1] - 1) * SPACING[0], (shape[-2] - 1) * SPACING[1], (shape[-3] - 1) * SPACING[2]]) / 2
    return np.hstack([r, (c - r @ c)[:, None]])


def scipy_matrix(m):
    """The same map in array-index space, axes (z, y, x), for ndimage."""
    d = np.diag(SPACING)
    a = np.linalg.inv(d) @ m[:, :3] @ d
    t = np.linalg.inv(d) @ m[:, 3]
    p = np.eye(3)[::-1]
    return p @ a @ p, p @ t


def volumes(image):
    return image if image.ndim == 4 else image[None]


def methods(image, m):
    """name -> callable returning the float32 result of the whole call."""
    flat = m.astype(np.float32).reshape(12)
    spacing = np.array(SPACING, np.float32)
    a, b = scipy_matrix(m)

    def ours():
        return _vexiloimgc.transform(image, spacing, flat)

    def scipy_linear():
        out = [ndi.affine_transform(v, a, offset=b, order=1, mode="constant", cval=0.0, output=np.float32)
               for v in volumes(image)]
        return out[0] if image.ndim == 3 else np.stack(out)

    # SimpleITK gets its images made up front and keeps its output images
    # (favouring it): only the resampling is timed.
    tx = sitk.AffineTransform(3)
    tx.SetMatrix(m[:, :3].ravel().tolist())
    tx.SetTranslation(m[:, 3].tolist())
    imgs = []
    for v in volumes(image):
        im = sitk.GetImageFromArray(v)
        im.SetSpacing(SPACING)
        imgs.append(im)

    def itk(threads):
        f = sitk.ResampleImageFilter()
        f.SetReferenceImage(imgs[0])
        f.SetTransform(tx)
        f.SetInterpolator(sitk.sitkLinear)
        f.SetDefaultPixelValue(0.0)
        f.SetOutputPixelType(sitk.sitkFloat32)
        if threads:
            f.SetNumberOfThreads(threads)

        def run():
            return [f.Execute(im) for im in imgs]
        return run

    def floor():
        return np.copy(image)

    return {"vexiloimgc": ours, "scipy order=1": scipy_linear, "SimpleITK 1 thread": itk(1),
            "SimpleITK default threads": itk(0), "numpy.copy (floor)": floor}


def check(image, m, runs):
    """Every method agrees with scipy inside the volume."""
    a, b = scipy_matrix(m)
    shape = image.shape[-3:]
    idx = np.indices(shape).reshape(3, -1).astype(np.float64)
    src = a @ idx + b[:, None]
    inner = np.all([(src[k] >= 1) & (src[k] <= shape[k] - 2) for k in range(3)], axis=0)
    want = runs["scipy order=1"]().reshape(-1, inner.size)[:, inner]
    scale = max(1.0, float(np.abs(want).max()))
    for name, run in runs.items():
        if name.startswith("numpy"):
            continue
        got = run()
        if isinstance(got, list):  # SimpleITK images
            got = np.stack([sitk.GetArrayFromImage(g) for g in got])
        got = got.reshape(-1, inner.size)[:, inner]
        err = float(np.abs(got.astype(np.float64) - want).max()) / scale
        if not err < 1e-4:  # float32 coordinates: about 6e-8 of the extent
            sys.exit(f"{name} disagrees with scipy inside the volume: relative error {err:.2e}")
    return int(inner.sum())


def time_case(image, m, budget):
    runs = methods(image, m)
    check(image, m, runs)
    for run in runs.values():  # warm-up
        run()
    first = {}
    for name, run in runs.items():
        t = time.perf_counter()
        run()
        first[name] = time.perf_counter() - t
    rounds = int(min(25, max(5, budget / sum(first.values()))))
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            t = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - t)
    return {name: {"median": statistics.median(ts), "min": min(ts), "max": max(ts), "rounds": rounds}
            for name, ts in times.items()}


def per_call(n=8):
    image = np.random.default_rng(0).random((n, n, n), dtype=np.float32)
    spacing = np.array(SPACING, np.float32)
    flat = rotation(image.shape, 15).astype(np.float32).reshape(12)
    f = _vexiloimgc.transform
    number = 2000
    ts = [t / number for t in timeit.repeat(lambda: f(image, spacing, flat), number=number, repeat=15)]
    return {"median": statistics.median(ts), "min": min(ts), "max": max(ts), "rounds": 15}


PEAK = """
import re, numpy as np, _vexiloimgc
def kib(field):  # the process's own high-water mark, reset at exec, unlike ru_maxrss
    return int(re.search(field + r":\\s+(\\d+) kB", open("/proc/self/status").read()).group(1))
img = np.empty((SIZE,) * 3, np.float32)
img[...] = 1.5  # no temporaries: the high-water mark is the current size
before = kib("VmHWM")
out = _vexiloimgc.transform(img, np.ones(3, np.float32),
                            np.array([1, 0, 0, .3, 0, 1, 0, .2, 0, 0, 1, .1], np.float32))
print((kib("VmHWM") - before) * 1024)
"""


def peak_memory(n=256):
    """Growth of the peak resident set over one call, in a fresh process
    that already holds the image: at most the two buffers and the result."""
    import subprocess
    out = subprocess.run([sys.executable, "-c", PEAK.replace("SIZE", str(n))], check=True,
                         capture_output=True, text=True).stdout
    extra = int(out.split()[-1])
    return {"n": n, "extra_bytes": extra, "float32_copies": extra / (4 * n ** 3)}


def machine():
    cpu = platform.processor()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    kernel = {}
    kj = HERE / "kernel.json"
    if kj.exists():
        kernel = json.loads(kj.read_text())
    return {"cpu": cpu, "logical_cpus": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "scipy": scipy.__version__, "SimpleITK": sitk.Version.VersionString(),
            "kernel_path": kernel.get("context", {}).get("kernel_path", "unknown")}


def kernel_table():
    kj = HERE / "kernel.json"
    if not kj.exists():
        return []
    rows = []
    for b in json.loads(kj.read_text())["benchmarks"]:
        if b.get("aggregate_name") == "median" and "ns_per_voxel" in b:
            rows.append({"case": b["run_name"], "path": b.get("label", ""), "ns_per_voxel": b["ns_per_voxel"] * 1e9})
    return rows


def main():
    rng = np.random.default_rng(1)
    cases = []
    for n in (64, 128, 256):
        img = rng.random((n, n, n), dtype=np.float32) * 1000
        for deg in (0, 15):
            cases.append((f"{n}^3 float32 {'rotation 15deg' if deg else 'identity-like'}", img, deg))
    img = rng.integers(0, 256, (256,) * 3).astype(np.uint8)
    cases.append(("256^3 uint8 rotation 15deg", img, 15))
    img = rng.integers(-2000, 2000, (256,) * 3).astype(np.int16)
    cases.append(("256^3 int16 rotation 15deg", img, 15))
    img = rng.random((8, 64, 64, 64), dtype=np.float32)
    cases.append(("8x64^3 float32 rotation 15deg", img, 15))

    results = {"machine": machine(), "cases": [], "per_call_8^3": None, "peak_memory": None,
               "kernel": kernel_table()}
    # Before the peers run: their thread pools may linger on the other CPU.
    results["per_call_8^3"] = per_call()
    for label, img, deg in cases:
        m = rotation(img.shape, deg)
        t = time_case(img, m, budget=8.0)
        voxels = img.size
        results["cases"].append({"case": label, "voxels": voxels, "times": t})
        print(f"\n{label}  ({voxels} voxels, {t['vexiloimgc']['rounds']} interleaved rounds)")
        ours = t["vexiloimgc"]["median"]
        for name, s in t.items():
            print(f"  {name:26s} {s['median'] * 1e3:9.2f} ms  ({s['min'] * 1e3:.2f}-{s['max'] * 1e3:.2f})"
                  f"  {s['median'] / voxels * 1e9:6.2f} ns/voxel  x{s['median'] / ours:5.2f}")
    pc = results["per_call_8^3"]
    print(f"\n8^3 float32 per call: {pc['median'] * 1e6:.2f} us ({pc['min'] * 1e6:.2f}-{pc['max'] * 1e6:.2f})")
    pm = results["peak_memory"] = peak_memory()
    print(f"peak memory of one {pm['n']}^3 float32 call beyond the image: {pm['extra_bytes'] / 2**20:.0f} MiB"
          f" = {pm['float32_copies']:.2f} float32 copies (the bound is 3)")
    if results["kernel"]:
        print("\nkernel alone (median ns per output voxel):")
        for k in results["kernel"]:
            print(f"  {k['case']:40s} {k['path']:7s} {k['ns_per_voxel']:6.2f}")
    print("\nmachine:", results["machine"])
    (HERE / "results.json").write_text(json.dumps(results, indent=1))
    chart(results)


def chart(results):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = results["cases"]
    names = list(cases[0]["times"])
    fig, ax = plt.subplots(figsize=(12, 5))
    width = 0.8 / len(names)
    for j, name in enumerate(names):
        med = [c["times"][name]["median"] / c["voxels"] * 1e9 for c in cases]
        lo = [m - c["times"][name]["min"] / c["voxels"] * 1e9 for m, c in zip(med, cases)]
        hi = [c["times"][name]["max"] / c["voxels"] * 1e9 - m for m, c in zip(med, cases)]
        ax.bar([i + j * width for i in range(len(cases))], med, width, yerr=[lo, hi], label=name, capsize=2)
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(cases))])
    ax.set_xticklabels([c["case"] for c in cases], rotation=20, ha="right", fontsize=8)
    ax.set_ylabel("ns per output voxel (median, min-max)")
    ax.set_yscale("log")
    mc = results["machine"]
    ax.set_title(f"Trilinear resampling, full call - {mc['cpu']}, {mc['logical_cpus']} logical CPUs, "
                 f"kernel path {mc['kernel_path']}", pad=28, fontsize=10)
    ax.legend(fontsize=8, ncol=len(names), loc="lower center", bbox_to_anchor=(0.5, 1.0), frameon=False)
    fig.tight_layout()
    fig.savefig(HERE / "results.png", dpi=110)


def markdown(results):
    """The README's table, from the last results."""
    names = list(results["cases"][0]["times"])
    print("| case | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    for c in results["cases"]:
        t = c["times"]
        ours = t["vexiloimgc"]["median"]
        cells = [f"{t[n]['median'] * 1e3:.1f} ms ({t[n]['min'] * 1e3:.1f}-{t[n]['max'] * 1e3:.1f})"
                 + ("" if n == "vexiloimgc" else f", x{t[n]['median'] / ours:.1f}") for n in names]
        print(f"| {c['case']} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    if sys.argv[1:] == ["--chart"]:  # redraw from the last results
        chart(json.loads((HERE / "results.json").read_text()))
    elif sys.argv[1:] == ["--markdown"]:
        markdown(json.loads((HERE / "results.json").read_text()))
    else:
        main()
