"""Times the package's and the module's transform against their peers in one
process, interleaved.

Each case runs every method in turn, round after round, and reports the
median with the minimum and maximum; each sample is the second of two calls
in a row, and each method's process CPU time over wall time is printed (how
many CPUs it kept busy). Before timing, the package's results
are checked bit for bit against the module's, and every method's against
scipy inside the volume (away from the borders, where the methods differ by
design). Writes bench/results.json and bench/results.png.
"""

import json
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
import vexiloimgc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import maps  # noqa: E402  the maps, defined once for every benchmark

SPACING = (1.0, 1.0, 1.0)  # X, Y, Z
CPUS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
OURS = "vexiloimgc all cores"
# SimpleITK's default threads: its global default at import (every CPU
# unless ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS says otherwise).
ITK_DEFAULT_THREADS = sitk.ProcessObject.GetGlobalDefaultNumberOfThreads()


def shift():
    """An identity-like map: a sub-voxel shift, rows along the source rows."""
    return np.array([[1, 0, 0, 0.3], [0, 1, 0, 0.2], [0, 0, 1, 0.1]], np.float64)


def scipy_matrix(m):
    """The same map in array-index space, axes (z, y, x), for ndimage."""
    d = np.diag(SPACING)
    a = np.linalg.inv(d) @ m[:, :3] @ d
    t = np.linalg.inv(d) @ m[:, 3]
    p = np.eye(3)[::-1]
    return p @ a @ p, p @ t


def volumes(image):
    return image if image.ndim == 4 else image[None]


def methods(image, ms):
    """name -> callable returning the float32 result of the whole call.
    `ms`: one 3x4 map for every volume, or one per volume."""
    vols = volumes(image)
    per = [ms[k] if ms.ndim == 3 else ms for k in range(len(vols))]
    flat = ms.astype(np.float32).reshape(-1, 12) if ms.ndim == 3 else ms.astype(np.float32).reshape(12)
    spacing = np.array(SPACING, np.float32)

    def module():  # one map for all volumes: per-volume maps take one call each
        if ms.ndim == 2:
            return _vexiloimgc.transform(image, spacing, flat)
        return np.stack([_vexiloimgc.transform(v, spacing, f) for v, f in zip(vols, flat)])

    def package(workers):
        return lambda: vexiloimgc.transform(image, spacing, flat, workers=workers)

    def scipy_linear():
        out = []
        for v, m in zip(vols, per):
            a, b = scipy_matrix(m)
            out.append(ndi.affine_transform(v, a, offset=b, order=1, mode="constant", cval=0.0,
                                            output=np.float32))
        return out[0] if image.ndim == 3 else np.stack(out)

    # SimpleITK gets its images and transforms made up front and keeps its
    # output images (favouring it): only the resampling is timed.
    imgs, txs = [], []
    for v, m in zip(vols, per):
        im = sitk.GetImageFromArray(v)
        im.SetSpacing(SPACING)
        imgs.append(im)
        tx = sitk.AffineTransform(3)
        tx.SetMatrix(m[:, :3].ravel().tolist())
        tx.SetTranslation(m[:, 3].tolist())
        txs.append(tx)

    def itk(threads):
        f = sitk.ResampleImageFilter()
        f.SetReferenceImage(imgs[0])
        f.SetInterpolator(sitk.sitkLinear)
        f.SetDefaultPixelValue(0.0)
        f.SetOutputPixelType(sitk.sitkFloat32)
        n = threads or ITK_DEFAULT_THREADS
        f.SetNumberOfThreads(n)

        def run():
            # The filter's SetNumberOfThreads alone does not bound ITK's
            # global thread pool (one thread measured 1.7-1.8 CPUs busy):
            # the global default is set before every call.
            sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(n)
            out = []
            for im, tx in zip(imgs, txs):
                f.SetTransform(tx)
                out.append(f.Execute(im))
            return out
        return run

    def floor():
        return np.copy(image)

    return {OURS: package(None), "vexiloimgc 1 thread": package(1), "_vexiloimgc": module,
            "scipy order=1": scipy_linear, "SimpleITK 1 thread": itk(1),
            "SimpleITK default threads": itk(0), "numpy.copy (floor)": floor}


def check(image, ms, runs):
    """Every method agrees with scipy inside the volume; ours agree bit for
    bit with the module."""
    shape = image.shape[-3:]
    idx = np.indices(shape).reshape(3, -1).astype(np.float64)
    want = runs["scipy order=1"]().reshape(-1, idx.shape[1])
    module = runs["_vexiloimgc"]()
    for name in (OURS, "vexiloimgc 1 thread"):
        if runs[name]().tobytes() != module.tobytes():
            sys.exit(f"{name} differs from _vexiloimgc")
    inner = []
    for k in range(want.shape[0]):
        a, b = scipy_matrix(ms[k] if ms.ndim == 3 else ms)
        src = a @ idx + b[:, None]
        inner.append(np.all([(src[j] >= 1) & (src[j] <= shape[j] - 2) for j in range(3)], axis=0))
    inner = np.array(inner)
    scale = max(1.0, float(np.abs(want[inner]).max()))
    for name, run in runs.items():
        if name.startswith("numpy"):
            continue
        got = run()
        if isinstance(got, list):  # SimpleITK images
            got = np.stack([sitk.GetArrayFromImage(g) for g in got])
        got = got.reshape(want.shape)
        err = float(np.abs(got[inner].astype(np.float64) - want[inner]).max()) / scale
        if not err < 1e-4:  # float32 coordinates: about 6e-8 of the extent
            sys.exit(f"{name} disagrees with scipy inside the volume: relative error {err:.2e}")


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
    rounds = int(min(25, max(11, budget / (2 * sum(first.values())))))
    times = {name: [] for name in runs}
    cpu = {name: 0.0 for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            # The second of two calls in a row: this virtual machine charges
            # heavily for the first touch of memory handed back after a free.
            run()
            c, t = time.process_time(), time.perf_counter()
            run()
            times[name].append(time.perf_counter() - t)
            cpu[name] += time.process_time() - c
    # Process CPU time over wall time: how many CPUs the method kept busy.
    return {name: {"median": statistics.median(ts), "min": min(ts), "max": max(ts), "rounds": rounds,
                   "cpu_over_wall": cpu[name] / sum(ts)}
            for name, ts in times.items()}


def itk_threads(image, m, rounds=5):
    """CPU time over wall time of SimpleITK's resampling asked for one
    thread by the filter's SetNumberOfThreads(1) alone, by the global default
    as well, and on its default threads: second of two calls, in turns."""
    im = sitk.GetImageFromArray(image)
    tx = sitk.AffineTransform(3)
    tx.SetMatrix(m[:, :3].ravel().tolist())
    tx.SetTranslation(m[:, 3].tolist())

    def filt(n):
        f = sitk.ResampleImageFilter()
        f.SetReferenceImage(im)
        f.SetInterpolator(sitk.sitkLinear)
        f.SetOutputPixelType(sitk.sitkFloat32)
        f.SetTransform(tx)
        f.SetNumberOfThreads(n)
        return f

    one, default = filt(1), filt(ITK_DEFAULT_THREADS)

    def filter_only():
        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(ITK_DEFAULT_THREADS)
        return one.Execute(im)

    def global_too():
        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(1)
        return one.Execute(im)

    def default_threads():
        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(ITK_DEFAULT_THREADS)
        return default.Execute(im)

    calls = {"SetNumberOfThreads(1) alone": filter_only, "and SetGlobalDefaultNumberOfThreads(1)": global_too,
             f"default ({ITK_DEFAULT_THREADS} threads)": default_threads}
    wall, cpu = {n: 0.0 for n in calls}, {n: 0.0 for n in calls}
    for _ in range(rounds):
        for name, f in calls.items():
            f()
            c, t = time.process_time(), time.perf_counter()
            f()
            wall[name] += time.perf_counter() - t
            cpu[name] += time.process_time() - c
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(ITK_DEFAULT_THREADS)
    return {n: {"cpu_over_wall": cpu[n] / wall[n], "mean_s": wall[n] / rounds} for n in calls}


def by_turns(image, workers, number, rounds, name="rotZ15"):
    """Seconds per call of the module and the package on one map, taking
    turns with nothing in between."""
    spacing = np.array(SPACING, np.float32)
    flat = maps.matrix(name, image.shape).astype(np.float32).reshape(12)
    calls = {"_vexiloimgc": lambda: _vexiloimgc.transform(image, spacing, flat),
             "vexiloimgc": lambda: vexiloimgc.transform(image, spacing, flat, workers=workers)}
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, f in calls.items():
            times[name].append(timeit.timeit(f, number=number) / number)
    return {name: {"median": statistics.median(ts), "min": min(ts), "max": max(ts), "rounds": rounds}
            for name, ts in times.items()}


def per_call(n=8):
    """One call on an n^3 volume: the package as users call it (workers=None)."""
    return by_turns(np.random.default_rng(0).random((n,) * 3, dtype=np.float32), None, 2000, 15)


PEAK = """
import re, sys, numpy as np, _vexiloimgc, vexiloimgc
def kib(field):  # the process's own high-water mark, reset at exec, unlike ru_maxrss
    return int(re.search(field + r":\\s+(\\d+) kB", open("/proc/self/status").read()).group(1))
img = np.empty((SIZE,) * 3, np.float32)
img[...] = 1.5  # no temporaries: the high-water mark is the current size
m = np.array([1, 0, 0, .3, 0, 1, 0, .2, 0, 0, 1, .1], np.float32)
f = _vexiloimgc.transform if sys.argv[1] == "module" else vexiloimgc.transform
f(img[:16], np.ones(3, np.float32), m)  # code paths and threads warmed up
before = kib("VmHWM")
out = f(img, np.ones(3, np.float32), m)
print((kib("VmHWM") - before) * 1024)
"""


def peak_memory(which, n=256):
    """Growth of the peak resident set over one call, in a fresh process
    that already holds the image, in float32 copies of the image."""
    import subprocess
    out = subprocess.run([sys.executable, "-c", PEAK.replace("SIZE", str(n)), which], check=True,
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
    return {"cpu": cpu, "logical_cpus": CPUS, "python": platform.python_version(),
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


def cases():
    rng = np.random.default_rng(1)
    img = rng.random((256,) * 3, dtype=np.float32) * 1000
    for name in maps.MAPS:
        yield f"256^3 float32 {name}", img, maps.matrix(name, img.shape)
    yield "256^3 float32 shift", img, shift()
    yield ("256^3 int16 oblique", rng.integers(-2000, 2000, img.shape).astype(np.int16),
           maps.matrix("oblique", img.shape))
    yield "64^3 float32 rotZ15", img[:64, :64, :64].copy(), maps.matrix("rotZ15", (64,) * 3)
    batch = rng.random((8, 64, 64, 64), dtype=np.float32)
    turns = np.stack([maps.matrix("oblique", batch.shape) @ np.vstack([maps.matrix(n, batch.shape), [0, 0, 0, 1]])
                      for n in ("rotX15", "rotY15", "rotZ15", "oblique") * 2])
    yield "8x64^3 float32, a map per volume", batch, turns


def targets(results):
    """The figures to hold against the goals, from the medians of one run."""
    rows = []
    for c in results["cases"]:
        t = {n: v["median"] for n, v in c["times"].items()}
        rows.append((c["case"], {
            "all cores vs SimpleITK default threads (>= 3)": t["SimpleITK default threads"] / t[OURS],
            "all cores vs 1 thread (>= 1.7)": t["vexiloimgc 1 thread"] / t[OURS],
            "1 thread vs _vexiloimgc (>= 1.2)": t["_vexiloimgc"] / t["vexiloimgc 1 thread"],
            "1 thread vs SimpleITK 1 thread (>= 3)": t["SimpleITK 1 thread"] / t["vexiloimgc 1 thread"],
        }))
    return rows


def main():
    results = {"machine": machine(), "cases": [], "per_call_8^3": None, "turns_256^3": None,
               "peak_memory": None,
               "kernel": kernel_table()}
    # Before the peers run: their thread pools may linger on the other CPU.
    results["per_call_8^3"] = per_call()
    # Between the slow peers' calls this virtual machine hands freed memory
    # back to its host, and the module's three fresh buffers then cost
    # several times their copies; back to back they do not.
    big = np.random.default_rng(2).random((256,) * 3, dtype=np.float32)
    results["turns_256^3"] = {name: by_turns(big, 1, 1, 11, name) for name in maps.MAPS}
    results["itk_threads"] = itk_threads(big, maps.matrix("rotZ15", big.shape))
    print("SimpleITK, 256^3 float32 rotZ15, CPU time / wall time: " + "; ".join(
        f"{n} {v['cpu_over_wall']:.2f} ({v['mean_s'] * 1e3:.0f} ms)" for n, v in results["itk_threads"].items()))
    del big
    for label, img, ms in cases():
        t = time_case(img, ms, budget=8.0)
        voxels = img.size
        results["cases"].append({"case": label, "voxels": voxels, "times": t})
        print(f"\n{label}  ({voxels} voxels, {t[OURS]['rounds']} interleaved rounds, second of two calls)")
        ours = t[OURS]["median"]
        for name, s in t.items():
            print(f"  {name:26s} {s['median'] * 1e3:9.2f} ms  ({s['min'] * 1e3:.2f}-{s['max'] * 1e3:.2f})"
                  f"  {s['median'] / voxels * 1e9:6.2f} ns/voxel  x{s['median'] / ours:5.2f}"
                  f"  CPU/wall {s['cpu_over_wall']:.2f}")
    pc = results["per_call_8^3"]
    print("\n8^3 float32 per call: " + ", ".join(
        f"{n} {v['median'] * 1e6:.2f} us ({v['min'] * 1e6:.2f}-{v['max'] * 1e6:.2f})" for n, v in pc.items()))
    print("256^3 float32, the module and the package on 1 thread taking turns alone:")
    for name, bt in results["turns_256^3"].items():
        print(f"  {name:8s}" + ", ".join(
            f"{n} {v['median'] * 1e3:.1f} ms ({v['min'] * 1e3:.1f}-{v['max'] * 1e3:.1f})" for n, v in bt.items())
            + f"; x{bt['_vexiloimgc']['median'] / bt['vexiloimgc']['median']:.2f}")
    pm = results["peak_memory"] = {w: peak_memory(w) for w in ("module", "package")}
    for w, v in pm.items():
        print(f"peak memory of one {v['n']}^3 float32 call beyond the image, {w}: "
              f"{v['extra_bytes'] / 2**20:.0f} MiB = {v['float32_copies']:.3f} float32 copies")
    print("\ntargets (ratios of medians):")
    for case, r in targets(results):
        print(f"  {case}: " + "; ".join(f"{k} x{v:.2f}" for k, v in r.items()))
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
        ax.bar([i + j * width for i in range(len(cases))], med, width, yerr=[lo, hi], capsize=2,
               label="module " + name if name.startswith("_") else name)  # "_..." labels are hidden
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(cases))])
    ax.set_xticklabels([c["case"] for c in cases], rotation=20, ha="right", fontsize=8)
    ax.set_ylabel("ns per output voxel (median, min-max)")
    ax.set_yscale("log")
    mc = results["machine"]
    ax.set_title(f"Trilinear resampling, full call - {mc['cpu']}, {mc['logical_cpus']} CPUs, "
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
        ours = t[OURS]["median"]
        cells = [f"{t[n]['median'] * 1e3:.1f} ms ({t[n]['min'] * 1e3:.1f}-{t[n]['max'] * 1e3:.1f})"
                 + ("" if n == OURS else f", x{t[n]['median'] / ours:.1f}") for n in names]
        print(f"| {c['case']} | " + " | ".join(cells) + " |")
    if "cpu_over_wall" in results["cases"][0]["times"][OURS]:
        print("| CPU time / wall time, min-max over the cases | " + " | ".join(
            "{:.2f}-{:.2f}".format(min(c["times"][n]["cpu_over_wall"] for c in results["cases"]),
                                   max(c["times"][n]["cpu_over_wall"] for c in results["cases"])) for n in names)
            + " |")


def summary(results):
    """The README's short table: ns per voxel of the 256^3 float32 maps."""
    names = [OURS, "vexiloimgc 1 thread", "_vexiloimgc", "SimpleITK default threads", "SimpleITK 1 thread",
             "scipy order=1"]
    print("| 256^3 float32, ns per voxel | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    for c in results["cases"]:
        if c["case"].startswith("256^3 float32"):
            t = c["times"]
            print(f"| {c['case'][14:]} | " + " | ".join(
                f"{t[n]['median'] / c['voxels'] * 1e9:.1f}" for n in names) + " |")
    turns = results.get("turns_256^3")
    if turns:
        print("\n_vexiloimgc and vexiloimgc on 1 thread taking turns alone, ns per voxel: " + "; ".join(
            f"{name} {t['_vexiloimgc']['median'] / 256 ** 3 * 1e9:.1f} and {t['vexiloimgc']['median'] / 256 ** 3 * 1e9:.1f}"
            for name, t in turns.items()))


if __name__ == "__main__":
    if sys.argv[1:] == ["--chart"]:  # redraw from the last results
        chart(json.loads((HERE / "results.json").read_text()))
    elif sys.argv[1:] == ["--markdown"]:
        markdown(json.loads((HERE / "results.json").read_text()))
    elif sys.argv[1:] == ["--summary"]:
        summary(json.loads((HERE / "results.json").read_text()))
    else:
        main()
