"""Onto any grid: the package's output_shape / output_spacing / cval and
reslice, against their peers in one process, interleaved.

    python bench/grids.py            every case; writes bench/grids.json
    python bench/grids.py reslice    one case: reslice, zoom, grid, overhead
    python bench/grids.py --markdown the tables of docs/performance.md

Cases:
  reslice   nibabel issue 1193's shape: a (174, 174, 50) float32 image resliced
            onto a (112, 112, 70) grid with another, turned and shifted,
            affine: vexiloimgc.reslice vs nibabel.processing.resample_from_to
            (order=1) vs SimpleITK resampling onto a reference image.
  zoom      256^3 of 0.7 x 0.7 x 2.5 mm voxels onto 1 mm isotropic voxels over
            the same field of view: the package vs scipy.ndimage.affine_transform
            (order=1) and SimpleITK, each on 1 thread and on every CPU.
  grid      the four maps of bench/maps.py at 256^3: output on the image's own
            grid vs a grid of spacing 0.9 and about the same voxel count.
  overhead  an 8^3 call: the new keywords passed explicitly, and the caller in
            flush-to-zero mode, against the plain call.

Method: every contender in turn, round after round; each sample is the second
of two calls in a row (this virtual machine charges heavily for the first
touch of memory it took back after a free). Each contender's process CPU
time over wall time is measured over its timed calls, which shows how many
CPUs it really kept busy. Results are checked against each other inside the
volume before anything is timed.
"""

import ctypes
import ctypes.util
import json
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import platform
import statistics
import sys
import time
import timeit
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import nibabel as nib
import nibabel.processing
import numpy as np
import scipy
import scipy.ndimage as ndi
import SimpleITK as sitk

import vexiloimgc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import maps  # noqa: E402

CPUS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
# SimpleITK's default: its global default thread count at import (every CPU
# unless ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS says otherwise).
ITK_DEFAULT_THREADS = sitk.ProcessObject.GetGlobalDefaultNumberOfThreads()


def itk_run(f, image, threads):
    """A ResampleImageFilter call on `threads` threads (0: SimpleITK's
    default). The filter's own SetNumberOfThreads does not bound ITK's
    global thread pool (one thread measured 1.7-1.8 CPUs busy), so the
    global default is set before every call."""
    n = threads or ITK_DEFAULT_THREADS
    f.SetNumberOfThreads(n)

    def run():
        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(n)
        return f.Execute(image)
    return run


class Others:
    """CPUs kept busy by other processes over a span: the machine's busy time
    (/proc/stat) less this process's CPU time. Other work on this shared
    machine takes CPUs that a second thread would otherwise get."""

    def __init__(self):
        self.start = self._read()

    @staticmethod
    def _read():
        try:
            with open("/proc/stat") as f:
                v = [int(x) for x in f.readline().split()[1:]]
            busy = (sum(v[:8]) - v[3] - v[4]) / os.sysconf("SC_CLK_TCK")  # all but idle and iowait
        except (OSError, ValueError):
            busy = float("nan")
        return busy, time.process_time(), time.perf_counter()

    def cpus(self):
        b, c, t = self._read()
        return ((b - self.start[0]) - (c - self.start[1])) / (t - self.start[2])


def interleave(runs, rounds, pairs=True):
    """name -> {median, min, max (seconds), cpu_over_wall}. Every contender in
    turn, `rounds` times; with `pairs`, each sample is the second of two calls."""
    wall = {n: [] for n in runs}
    cpu = {n: 0.0 for n in runs}
    others = Others()
    for _ in range(rounds):
        for name, run in runs.items():
            if pairs:
                run()
            c, t = time.process_time(), time.perf_counter()
            run()
            t, c = time.perf_counter() - t, time.process_time() - c
            wall[name].append(t)
            cpu[name] += c
    busy = others.cpus()
    return {n: {"median": statistics.median(ts), "min": min(ts), "max": max(ts), "rounds": rounds,
                "cpu_over_wall": cpu[n] / sum(ts), "other_processes_cpus": busy} for n, ts in wall.items()}


def rel_err(got, want, inner):
    scale = max(1.0, float(np.abs(want[inner]).max()))
    return float(np.abs(got[inner].astype(np.float64) - want[inner].astype(np.float64)).max()) / scale


def inner_mask(vox_map, out_shape_ijk, src_shape_ijk):
    """Target voxels whose source index (float64) lies at least one voxel
    inside the source along every axis, where every method interpolates."""
    idx = np.indices(out_shape_ijk).reshape(3, -1).astype(np.float64)
    src = vox_map[:3, :3] @ idx + vox_map[:3, 3:]
    ok = np.all([(src[j] >= 1) & (src[j] <= src_shape_ijk[j] - 2) for j in range(3)], axis=0)
    return ok.reshape(out_shape_ijk)


def report(title, res, ref=None, voxels=None):
    first = next(iter(res.values()))
    print(f"\n{title}  ({first['rounds']} interleaved rounds, second of two calls; other processes kept "
          f"{first['other_processes_cpus']:.2f} of {CPUS} CPUs busy meanwhile)")
    for name, s in res.items():
        line = (f"  {name:34s} {s['median'] * 1e3:9.2f} ms ({s['min'] * 1e3:.2f}-{s['max'] * 1e3:.2f})"
                f"  CPU/wall {s['cpu_over_wall']:.2f}")
        if voxels:
            line += f"  {s['median'] / voxels * 1e9:6.2f} ns/out voxel"
        if ref:
            line += f"  x{s['median'] / res[ref]['median']:.2f} of {ref}"
        print(line)


# ---- (a) nibabel issue 1193: reslice onto another affine -----------------

def rotation(axis, degrees):
    return maps.rotation(axis, degrees)


def sitk_image(data_ijk, affine):
    """A SimpleITK image with nibabel's data and the geometry of its RAS
    affine: ITK is LPS, so the first two rows flip."""
    lps = np.diag([-1.0, -1.0, 1.0]) @ np.asarray(affine, np.float64)[:3]
    spacing = np.linalg.norm(lps[:, :3], axis=0)
    im = sitk.GetImageFromArray(np.ascontiguousarray(data_ijk.T))  # (K, J, I) -> size (I, J, K)
    im.SetSpacing(spacing.tolist())
    im.SetDirection((lps[:, :3] / spacing).ravel().tolist())
    im.SetOrigin(lps[:, 3].tolist())
    return im


def reslice_case():
    src_shape, dst_shape = (174, 174, 50), (112, 112, 70)
    # The source: 1.375 x 1.375 x 3 mm voxels, slightly oblique, centred
    # near the origin; the target: 2 mm voxels, turned 20 degrees about an
    # oblique axis and shifted by (6, -9, 4) mm.
    zooms = np.array([1.375, 1.375, 3.0])
    rs = rotation((1, 0, 0), 8) @ np.diag([-1, 1, 1]) @ np.diag(zooms)
    affine = np.eye(4)
    affine[:3, :3] = rs
    affine[:3, 3] = -rs @ ((np.array(src_shape) - 1) / 2)
    rt = rotation((1, 2, 3), 20) @ np.diag([2.0, 2.0, 2.0])
    target = np.eye(4)
    target[:3, :3] = rt
    target[:3, 3] = np.array([6.0, -9.0, 4.0]) - rt @ ((np.array(dst_shape) - 1) / 2)

    rng = np.random.default_rng(1193)
    # Fortran order, as nibabel's get_fdata() gives a NIfTI file's data.
    data = np.asfortranarray(rng.random(src_shape, dtype=np.float32) * 1000)
    img = nib.Nifti1Image(data, affine)

    def ours(workers=None):
        return lambda: vexiloimgc.reslice(data, affine, dst_shape, target, workers=workers)

    def nibabel_resample():
        return nibabel.processing.resample_from_to(img, (dst_shape, target), order=1)

    moving, reference = sitk_image(data, affine), sitk_image(np.zeros(dst_shape, np.float32), target)
    f = sitk.ResampleImageFilter()
    f.SetReferenceImage(reference)
    f.SetTransform(sitk.Transform())  # identity: both grids are in world coordinates
    f.SetInterpolator(sitk.sitkLinear)
    f.SetDefaultPixelValue(0.0)
    f.SetOutputPixelType(sitk.sitkFloat32)

    runs = {"vexiloimgc.reslice all cores": ours(), "vexiloimgc.reslice 1 thread": ours(1),
            "nibabel resample_from_to order=1": nibabel_resample,
            "SimpleITK default threads": itk_run(f, moving, 0), "SimpleITK 1 thread": itk_run(f, moving, 1)}

    # Check: the three agree inside the source.
    vox = np.linalg.inv(affine) @ target
    inner = inner_mask(vox, dst_shape, src_shape)
    want = np.asarray(nibabel_resample().dataobj)
    got = {"vexiloimgc.reslice": runs["vexiloimgc.reslice all cores"](),
           "SimpleITK": sitk.GetArrayFromImage(runs["SimpleITK default threads"]()).T}
    if runs["vexiloimgc.reslice 1 thread"]().tobytes() != got["vexiloimgc.reslice"].tobytes():
        sys.exit("reslice: 1 thread differs from all cores")
    errs = {n: rel_err(g, want, inner) for n, g in got.items()}
    print(f"\nreslice check against nibabel inside the source ({inner.mean():.1%} of the target): "
          + ", ".join(f"{n} {e:.1e}" for n, e in errs.items()))
    if not max(errs.values()) < 1e-4:
        sys.exit("reslice: a method disagrees with nibabel inside the source")

    res = interleave(runs, rounds=25)
    report("(a) reslice (174, 174, 50) -> (112, 112, 70) float32, nibabel issue 1193", res,
           ref="vexiloimgc.reslice all cores", voxels=int(np.prod(dst_shape)))
    t = {n: v["median"] for n, v in res.items()}
    tg = {"resample_from_to / reslice all cores (>= 20)":
          t["nibabel resample_from_to order=1"] / t["vexiloimgc.reslice all cores"],
          "SimpleITK default threads / reslice all cores (>= 3)":
          t["SimpleITK default threads"] / t["vexiloimgc.reslice all cores"],
          "SimpleITK 1 thread / reslice 1 thread":
          t["SimpleITK 1 thread"] / t["vexiloimgc.reslice 1 thread"]}
    for k, v in tg.items():
        print(f"  target {k}: x{v:.2f}")
    return {"src_shape": src_shape, "dst_shape": dst_shape, "affine": affine.tolist(),
            "target_affine": target.tolist(), "check_rel_err": errs, "inner_fraction": float(inner.mean()),
            "times": res, "targets": tg}


# ---- (b) 0.7 x 0.7 x 2.5 mm -> 1 mm isotropic ---------------------------

def zoom_case():
    n = 256
    spacing = np.array([0.7, 0.7, 2.5])  # X, Y, Z
    out_sp = np.array([1.0, 1.0, 1.0])
    # The same field of view: extent times spacing over the new spacing.
    out_xyz = [int(round(n * s / o)) for s, o in zip(spacing, out_sp)]
    out_shape = tuple(out_xyz[::-1])  # (Z, Y, X)
    img = np.random.default_rng(7).random((n, n, n), dtype=np.float32) * 1000
    m = np.hstack([np.eye(3), np.zeros((3, 1))])  # output point -> the same source point

    def ours(workers):
        return lambda: vexiloimgc.transform(img, spacing, m, output_shape=out_shape, output_spacing=out_sp,
                                            workers=workers)

    # scipy: index space (z, y, x); a 1-D matrix takes its faster diagonal path.
    zyx = (out_sp / spacing)[::-1]

    def scipy_slab(z0, z1):
        return ndi.affine_transform(img, zyx, offset=(z0 * zyx[0], 0, 0), output_shape=(z1 - z0,) + out_shape[1:],
                                    order=1, mode="constant", cval=0.0, output=np.float32)

    def scipy_one():
        return scipy_slab(0, out_shape[0])

    pool = ThreadPoolExecutor(CPUS)
    cuts = np.linspace(0, out_shape[0], CPUS + 1).astype(int)

    def scipy_all():  # slabs of the output on every CPU
        return np.concatenate(list(pool.map(lambda k: scipy_slab(cuts[k], cuts[k + 1]), range(CPUS))))

    moving = sitk.GetImageFromArray(img)
    moving.SetSpacing(spacing.tolist())
    f = sitk.ResampleImageFilter()
    f.SetSize(out_xyz)
    f.SetOutputSpacing(out_sp.tolist())
    f.SetOutputOrigin((0.0, 0.0, 0.0))
    f.SetOutputDirection(moving.GetDirection())
    f.SetTransform(sitk.Transform())
    f.SetInterpolator(sitk.sitkLinear)
    f.SetDefaultPixelValue(0.0)
    f.SetOutputPixelType(sitk.sitkFloat32)

    runs = {"vexiloimgc all cores": ours(None), "vexiloimgc 1 thread": ours(1),
            "scipy order=1 (1 thread)": scipy_one, f"scipy order=1, {CPUS} threads on slabs": scipy_all,
            "SimpleITK default threads": itk_run(f, moving, 0), "SimpleITK 1 thread": itk_run(f, moving, 1)}

    vox = np.diag(np.append((out_sp / spacing)[::-1], 1.0))
    inner = inner_mask(vox, out_shape, img.shape)
    want = scipy_one()
    if scipy_all().tobytes() != want.tobytes():
        sys.exit("zoom: scipy on slabs differs from scipy in one call")
    got = {"vexiloimgc": runs["vexiloimgc all cores"](), "SimpleITK": sitk.GetArrayFromImage(runs["SimpleITK 1 thread"]())}
    if runs["vexiloimgc 1 thread"]().tobytes() != got["vexiloimgc"].tobytes():
        sys.exit("zoom: 1 thread differs from all cores")
    errs = {k: rel_err(g, want, inner) for k, g in got.items()}
    print(f"\nzoom check against scipy inside the source ({inner.mean():.1%} of the output): "
          + ", ".join(f"{k} {e:.1e}" for k, e in errs.items()))
    if not max(errs.values()) < 1e-4:
        sys.exit("zoom: a method disagrees with scipy inside the source")
    del want, got

    res = interleave(runs, rounds=11)
    voxels = int(np.prod(out_shape))
    report(f"(b) 256^3 float32 of 0.7x0.7x2.5 mm -> {out_shape} of 1 mm", res, ref="vexiloimgc all cores",
           voxels=voxels)
    t = {k: v["median"] for k, v in res.items()}
    tg = {"SimpleITK default threads / all cores": t["SimpleITK default threads"] / t["vexiloimgc all cores"],
          "SimpleITK 1 thread / 1 thread": t["SimpleITK 1 thread"] / t["vexiloimgc 1 thread"],
          "scipy (1 thread) / all cores": t["scipy order=1 (1 thread)"] / t["vexiloimgc all cores"],
          "scipy (1 thread) / 1 thread": t["scipy order=1 (1 thread)"] / t["vexiloimgc 1 thread"]}
    for k, v in tg.items():
        print(f"  {k}: x{v:.2f}")
    pool.shutdown()
    return {"shape": img.shape, "spacing": spacing.tolist(), "output_shape": out_shape, "output_spacing": out_sp.tolist(),
            "check_rel_err": errs, "voxels": voxels, "times": res, "ratios": tg}


# ---- (c) a new grid vs the image's own ----------------------------------

def grid_case():
    n = 256
    img = np.random.default_rng(3).random((n, n, n), dtype=np.float32) * 1000 + 1  # never 0 inside
    sp = np.ones(3)
    new_sp = np.full(3, 0.9)
    new_shape = (260, 258, 250)  # (Z, Y, X): 16 770 000 voxels, 256^3 - 0.04 %
    assert abs(np.prod(new_shape) / n ** 3 - 1) < 0.01
    out = {}
    for name in maps.MAPS:
        m = maps.matrix(name, img.shape)
        # The same map about the new grid's centre: its centre goes where the
        # own grid's centre goes.
        c_own = (np.array(img.shape[::-1]) - 1) * sp / 2
        c_new = (np.array(new_shape[::-1]) - 1) * new_sp / 2
        mn = m.copy()
        mn[:, 3] = m[:, :3] @ c_own + m[:, 3] - m[:, :3] @ c_new

        def call(matrix, workers, **kw):
            return lambda: vexiloimgc.transform(img, sp, matrix, workers=workers, **kw)

        kw = {"output_shape": new_shape, "output_spacing": new_sp}
        runs = {"own grid all cores": call(m, None), "new grid all cores": call(mn, None, **kw),
                "own grid 1 thread": call(m, 1), "new grid 1 thread": call(mn, 1, **kw)}
        # Checks: the new grid's voxels against scipy's map_coordinates at
        # 20 000 random interior voxels; the default grid passed explicitly
        # gives the default call's bits.
        r = runs["new grid all cores"]()
        if call(m, None, output_shape=img.shape, output_spacing=sp)().tobytes() != runs["own grid all cores"]().tobytes():
            sys.exit(f"grid {name}: the own grid passed explicitly differs from the default")
        rng = np.random.default_rng(0)
        zyx = np.stack([rng.integers(0, s, 20000) for s in new_shape])
        p = zyx[::-1] * new_sp[:, None]  # X, Y, Z points
        s = (mn[:, :3] @ p + mn[:, 3:])[::-1] / sp[::-1, None]  # source (z, y, x) index
        keep = np.all((s >= 1) & (s <= np.array(img.shape)[:, None] - 2), axis=0)
        want = ndi.map_coordinates(img, s[:, keep], order=1).astype(np.float64)
        got = r[tuple(zyx[:, keep])]
        err = float(np.abs(got - want).max()) / float(np.abs(want).max())
        if not err < 1e-4:
            sys.exit(f"grid {name}: new grid disagrees with scipy: {err:.1e}")
        inside = {"own": float(np.count_nonzero(runs["own grid 1 thread"]())) / n ** 3,
                  "new": float(np.count_nonzero(r)) / r.size}
        del r
        res = interleave(runs, rounds=15)
        ns = {k: v["median"] / (n ** 3 if k.startswith("own") else np.prod(new_shape)) * 1e9 for k, v in res.items()}
        ratio = {w: ns[f"new grid {w}"] / ns[f"own grid {w}"] for w in ("all cores", "1 thread")}
        print(f"\n(c) {name}: new grid spacing 0.9, {new_shape} vs own 256^3; check vs scipy {err:.1e}; "
              f"voxels mapping inside the source: own {inside['own']:.1%}, new {inside['new']:.1%}; "
              f"other processes kept {res['own grid 1 thread']['other_processes_cpus']:.2f} CPUs busy")
        for k, v in res.items():
            print(f"  {k:20s} {v['median'] * 1e3:8.2f} ms ({v['min'] * 1e3:.2f}-{v['max'] * 1e3:.2f})"
                  f"  {ns[k]:5.2f} ns/out voxel  CPU/wall {v['cpu_over_wall']:.2f}")
        print("  new/own per output voxel (<= 1.15): "
              + ", ".join(f"{w} x{v:.3f}" for w, v in ratio.items()))
        out[name] = {"times": res, "ns_per_voxel": ns, "ratio_new_over_own": ratio, "inside": inside,
                     "check_rel_err": err}
    return {"new_shape": new_shape, "new_spacing": new_sp.tolist(), "maps": out}


# ---- (d) per-call overhead at 8^3 ---------------------------------------

class Mxcsr:
    """The caller's SSE control and status word through glibc's
    fegetenv/fesetenv (x86-64 fenv_t: 32 bytes, __mxcsr at byte 28)."""
    FTZ_DAZ = 0x8040

    def __init__(self):
        self.libm = ctypes.CDLL(ctypes.util.find_library("m"))
        self.buf = ctypes.create_string_buffer(32)

    def get(self):
        if self.libm.fegetenv(self.buf) != 0:
            raise OSError("fegetenv failed")
        return int.from_bytes(self.buf.raw[28:32], "little")

    def set(self, value):
        self.get()
        raw = bytearray(self.buf.raw)
        raw[28:32] = int(value).to_bytes(4, "little")
        ctypes.memmove(self.buf, bytes(raw), 32)
        if self.libm.fesetenv(self.buf) != 0:
            raise OSError("fesetenv failed")


def overhead_case():
    if platform.machine() not in ("x86_64", "AMD64"):
        print("\n(d) skipped: the MXCSR layout is x86-64's")
        return None
    img = np.random.default_rng(0).random((8, 8, 8), dtype=np.float32)
    img[0, 0, :4] = np.float32(1e-39)  # subnormals: DAZ would read them as 0
    sp = np.ones(3, np.float32)
    m = maps.matrix("rotZ15", img.shape).astype(np.float32).reshape(12)
    mx = Mxcsr()
    default = mx.get()
    ftz = default | Mxcsr.FTZ_DAZ

    def plain():
        return vexiloimgc.transform(img, sp, m)

    def explicit():
        return vexiloimgc.transform(img, sp, m, output_shape=img.shape, output_spacing=sp, cval=0.0)

    # Checks: the same bits in every mode, and the caller's mode left as it was.
    want = plain()
    if explicit().tobytes() != want.tobytes():
        sys.exit("overhead: the explicit keywords change the result")
    mx.set(ftz)
    try:
        flushed = np.float32(1e-39) * np.float32(1.0) == 0  # DAZ is on for the caller
        got = plain()
        after = mx.get()
    finally:
        mx.set(default)
    if not flushed or after != ftz:
        sys.exit(f"overhead: MXCSR not as set (flushed {flushed}, 0x{after:x} != 0x{ftz:x})")
    if got.tobytes() != want.tobytes():
        sys.exit("overhead: the caller's flush-to-zero mode changes the result")
    print(f"\n(d) MXCSR default 0x{default:04x}, FTZ|DAZ 0x{ftz:04x}: the same bits, the caller's mode kept")

    number, rounds = 4000, 41
    names = ("plain call", "keywords explicit", "plain call, caller in FTZ|DAZ")
    ts = {k: [] for k in names}
    others = Others()
    for _ in range(rounds):
        ts[names[0]].append(timeit.timeit(plain, number=number) / number)
        ts[names[1]].append(timeit.timeit(explicit, number=number) / number)
        mx.set(ftz)
        try:
            ts[names[2]].append(timeit.timeit(plain, number=number) / number)
        finally:
            mx.set(default)
    res = {k: {"median": statistics.median(v), "min": min(v), "max": max(v), "rounds": rounds, "number": number}
           for k, v in ts.items()}
    busy = others.cpus()
    print(f"(d) 8^3 float32 per call, {rounds} interleaved rounds of {number} calls "
          f"(other processes kept {busy:.2f} CPUs busy):")
    for k, v in res.items():
        print(f"  {k:32s} {v['median'] * 1e6:6.3f} us ({v['min'] * 1e6:.3f}-{v['max'] * 1e6:.3f})"
              f"  +{(v['median'] - res[names[0]]['median']) * 1e6:.3f} us median,"
              f" +{(v['min'] - res[names[0]]['min']) * 1e6:.3f} us best")
    return {"times": res, "other_processes_cpus": busy,
            "keywords_cost_us": (res[names[1]]["median"] - res[names[0]]["median"]) * 1e6,
            "ftz_cost_us": (res[names[2]]["median"] - res[names[0]]["median"]) * 1e6}


def markdown(r):
    """The tables of docs/performance.md, from the last results."""
    def ms(v):
        return f"{v['median'] * 1e3:.2f} ms ({v['min'] * 1e3:.2f}-{v['max'] * 1e3:.2f})"

    def table(times, ref, voxels):
        print("| method | median (min-max) | ns per output voxel | factor over " + ref + " | CPU time / wall time |")
        print("|---|---|---|---|---|")
        for n, v in times.items():
            print(f"| {n} | {ms(v)} | {v['median'] / voxels * 1e9:.2f} | {v['median'] / times[ref]['median']:.2f} "
                  f"| {v['cpu_over_wall']:.2f} |")
        print(f"\nOther processes kept {next(iter(times.values()))['other_processes_cpus']:.2f} CPUs busy meanwhile.\n")

    if "reslice" in r:
        c = r["reslice"]
        print("### reslice\n")
        table(c["times"], "vexiloimgc.reslice all cores", int(np.prod(c["dst_shape"])))
        print("Check against nibabel inside the source: " + ", ".join(
            f"{k} {v:.1e}" for k, v in c["check_rel_err"].items()) + "; targets: " + "; ".join(
            f"{k} x{v:.2f}" for k, v in c["targets"].items()) + "\n")
    if "zoom" in r:
        c = r["zoom"]
        print("### zoom\n")
        table(c["times"], "vexiloimgc all cores", c["voxels"])
        print("Check against scipy inside the source: " + ", ".join(
            f"{k} {v:.1e}" for k, v in c["check_rel_err"].items()) + "; ratios: " + "; ".join(
            f"{k} x{v:.2f}" for k, v in c["ratios"].items()) + "\n")
    if "grid" in r:
        c = r["grid"]
        print("### grid\n")
        print("| 256^3 map | own grid all cores | new grid all cores | ratio | own grid 1 thread | new grid 1 thread "
              "| ratio | inside the source, own / new |")
        print("|---|---|---|---|---|---|---|---|")
        for name, g in c["maps"].items():
            ns, t, q = g["ns_per_voxel"], g["times"], g["ratio_new_over_own"]
            cell = lambda k: f"{ns[k]:.2f} ({t[k]['min'] / t[k]['median'] * ns[k]:.2f}-{t[k]['max'] / t[k]['median'] * ns[k]:.2f})"
            print(f"| {name} | {cell('own grid all cores')} | {cell('new grid all cores')} | {q['all cores']:.3f} "
                  f"| {cell('own grid 1 thread')} | {cell('new grid 1 thread')} | {q['1 thread']:.3f} "
                  f"| {g['inside']['own']:.1%} / {g['inside']['new']:.1%} |")
        print(f"\nOther processes kept " + ", ".join(
            f"{g['times']['own grid 1 thread']['other_processes_cpus']:.2f}" for g in c["maps"].values())
            + " CPUs busy meanwhile.\n")
    if r.get("overhead"):
        c = r["overhead"]
        print("### overhead\n")
        print("| 8^3 float32 call | median (min-max) | median over the plain call | best over the plain call |")
        print("|---|---|---|---|")
        base = c["times"]["plain call"]
        for n, v in c["times"].items():
            print(f"| {n.replace('|', ' and ')} | {v['median'] * 1e6:.3f} us ({v['min'] * 1e6:.3f}-{v['max'] * 1e6:.3f}) "
                  f"| {(v['median'] - base['median']) * 1e6:+.3f} us | {(v['min'] - base['min']) * 1e6:+.3f} us |")
        print(f"\nOther processes kept {c['other_processes_cpus']:.2f} CPUs busy meanwhile.\n")


CASES = {"reslice": reslice_case, "zoom": zoom_case, "grid": grid_case, "overhead": overhead_case}


def main(which):
    results = {"machine": {"cpu": platform.processor(), "logical_cpus": CPUS, "python": platform.python_version(),
                           "numpy": np.__version__, "scipy": scipy.__version__, "nibabel": nib.__version__,
                           "SimpleITK": sitk.Version.VersionString(), "itk_default_threads": ITK_DEFAULT_THREADS}}
    for name in which:
        results[name] = CASES[name]()
    path = HERE / "grids.json"
    old = json.loads(path.read_text()) if path.exists() and set(which) != set(CASES) else {}
    old.update(results)
    path.write_text(json.dumps(old, indent=1, default=lambda o: o.tolist() if hasattr(o, "tolist") else str(o)))
    print("\nmachine:", results["machine"])


if __name__ == "__main__":
    if sys.argv[1:] == ["--markdown"]:  # docs/performance.md's tables, from the last results
        markdown(json.loads((HERE / "grids.json").read_text()))
    else:
        main(sys.argv[1:] or list(CASES))
