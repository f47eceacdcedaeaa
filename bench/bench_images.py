"""Images, files and the command line against their peers, in one process,
interleaved: each sample is the second of two calls in a row; medians with
minimum and maximum, and each method's CPU time over wall time (a
subprocess's counted with it).

    python bench/bench_images.py [edge] [rounds] [parts]   writes bench/images.json

parts: any of call,cli,chain (all by default); a run of some keeps the
others' last figures in the file.

The image is edge^3 float32 (a smooth ellipsoid with noise, 1 mm voxels,
centred on the world origin), Fortran-ordered as nibabel reads it.

1. `resample_image(img, ref)` onto a 1 mm reference turned 15 degrees about
   z: against the engine's own `transform` call on the same arrays (their
   difference is what the images cost; also measured alone, the engine
   stubbed out), SimpleITK's `Resample` (linear, its default threads, the
   image into SimpleITK and the result back to nibabel included) and
   nilearn's `resample_to_img(interpolation="linear")`.
2. `vexiloimgc resample in.nii.gz out.nii.gz --like ref.nii.gz`, called
   in-process (`main`) and as a subprocess, against nibabel's load and save
   of the same files around the engine call, in process and as a script in
   a subprocess (which starts an interpreter, as the command does); each
   part timed alone too.
3. An ANTs-style chain, an affine `.mat` written by SimpleITK and an
   (I, J, K, 1, 3) displacement `.nii.gz` on the reference grid, by
   `resample_image(transforms=[warp, mat])`, against nitransforms' own
   `apply(order=1)` of the same files and SimpleITK's composite (each
   reading the files in the call), with its agreement over the interior
   and its bits against the equivalent `warp` call. At most 3 rounds here.
"""
import json
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import nilearn.image
import nitransforms as nt
import nitransforms.resampling
import numpy as np
import scipy.ndimage as ndi
import SimpleITK as sitk

import vexiloimgc
from vexiloimgc.__main__ import main as cli_main

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_cubic import show, timed  # noqa: E402
from bench_warp import field  # noqa: E402

ONE = np.ones(3)
FLIP = np.diag([-1.0, -1.0, 1.0, 1.0])
# A registration's affine with dyadic entries: any order of products composes it to the same bits.
MAT = np.array([[0.984375, -0.125, 0.03125], [0.125, 0.984375, -0.0625], [-0.03125, 0.0625, 1.015625]])
MAT_T, MAT_C = (1.5, -2.25, 0.75), (0.5, -1.25, 2.0)


def phantom(n):
    i = np.linspace(-1, 1, n, dtype=np.float32)
    x, y, z = i[:, None, None], i[None, :, None], i[None, None, :]
    inside = x * x + (y / 0.8) ** 2 + (z / 0.9) ** 2 < 0.8
    v = np.where(inside, 100 + 40 * np.sin(6 * x) * np.cos(5 * y) * np.cos(3 * z), np.float32(20))
    v += np.random.default_rng(0).standard_normal((n,) * 3, dtype=np.float32) * np.float32(2)
    return np.asfortranarray(v, np.float32)


def centred(n, shift=(0.0, 0.0, 0.0)):
    a = np.eye(4)
    a[:3, 3] = np.full(3, -(n - 1) / 2) + shift
    return a


def turned(affine, degrees):
    t = np.radians(degrees)
    r = np.eye(4)
    r[:2, :2] = [[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]]
    return r @ affine


def geometry(affine):
    """A RAS affine as SimpleITK's LPS origin, spacing and direction."""
    lps = FLIP @ affine
    s = np.sqrt((lps[:3, :3] ** 2).sum(axis=0))
    return tuple(lps[:3, 3]), tuple(s), tuple((lps[:3, :3] / s).ravel())


def itk(img, ref, tx=None):
    """SimpleITK's Resample onto ref's grid: the image in (one copy), the
    result back as a nibabel image; `tx()` makes the transform in the call."""
    size = [int(k) for k in ref.shape]
    src, dst = geometry(img.affine), geometry(ref.affine)

    def run():
        im = sitk.GetImageFromArray(np.asanyarray(img.dataobj).T)
        im.SetOrigin(src[0])
        im.SetSpacing(src[1])
        im.SetDirection(src[2])
        out = sitk.Resample(im, size, sitk.Transform() if tx is None else tx(), sitk.sitkLinear,
                            *dst, 0.0, sitk.sitkFloat32)
        return nib.Nifti1Image(sitk.GetArrayFromImage(out).T, ref.affine)
    return run


def engine(img, ref):
    data, v = np.asanyarray(img.dataobj), vexiloimgc.voxel_map(img.affine, ref.affine)
    return lambda: vexiloimgc.transform(data.T, ONE, v[:3], output_shape=ref.shape[::-1], mode="constant").T


def arr(x):
    return np.asanyarray(x.dataobj) if hasattr(x, "dataobj") else x


def agreement(ours, theirs, span):
    """max |ours - theirs| over the voxels three inside what both reach (past
    the reach of a cubic B-spline's support), as a fraction of the data's
    range; and the share of voxels that is."""
    a, b = arr(ours), arr(theirs)
    inside = ndi.binary_erosion((a != 0) & (b != 0), iterations=3)
    return {"max_abs_over_range": float(np.abs(a - b)[inside].max() / span), "interior": float(inside.mean())}


def paired(res, a, b, op=float.__sub__):
    """The median of a's sample less b's (or `op` of them), round by round:
    steadier than the medians' own difference on a machine whose speed drifts."""
    return statistics.median(op(x, y) for x, y in zip(res[a]["samples"], res[b]["samples"]))


def cli_ratios(res):
    """Each run of the command line against the same work by hand: in
    process against in process, a process against a process (a script
    pays the interpreter's start as the command does)."""
    base, script = "nibabel load + engine + nibabel save", "the same by hand, a script in a subprocess"
    return {k: paired(res, k, script if "subprocess" in k else base, float.__truediv__)
            for k in res if k.startswith("vexiloimgc")}


# nibabel by hand as a script of its own: the engine call of engine().
BY_HAND = """
import sys
import nibabel as nib, numpy as np, vexiloimgc
src, like, out = sys.argv[1:]
i, r = nib.load(src), nib.load(like)
data, v = np.asanyarray(i.dataobj), vexiloimgc.voxel_map(i.affine, r.affine)
res = vexiloimgc.transform(data.T, np.ones(3), v[:3], output_shape=r.shape[::-1], mode="constant").T
nib.save(nib.Nifti1Image(res, r.affine), out)
"""


def overhead_alone(img, ref, reps=50):
    """resample_image with the engine call replaced by returning a ready result."""
    out = np.zeros(ref.shape, np.float32, order="F")
    real = vexiloimgc.reslice
    vexiloimgc.reslice = lambda *a, **k: out
    try:
        times = []
        for _ in range(reps):
            t = time.perf_counter()
            vexiloimgc.resample_image(img, ref)
            times.append(time.perf_counter() - t)
    finally:
        vexiloimgc.reslice = real
    return statistics.median(times)


def with_children():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def part_calls(img, ref, rounds):
    ours = vexiloimgc.resample_image(img, ref)
    if arr(ours).tobytes() != engine(img, ref)().tobytes():
        sys.exit("resample_image differs from the engine call")
    span = float(np.ptp(arr(img)))
    kw = dict(interpolation="linear", force_resample=True, copy_header=True)
    agree = {"SimpleITK": agreement(ours, itk(img, ref)(), span),
             "nilearn": agreement(ours, nilearn.image.resample_to_img(img, ref, **kw), span)}
    res = timed({
        "resample_image(img, ref)": lambda: vexiloimgc.resample_image(img, ref),
        "engine: transform on the same arrays": engine(img, ref),
        "SimpleITK Resample, conversions included": itk(img, ref),
        "nilearn resample_to_img, linear": lambda: nilearn.image.resample_to_img(img, ref, **kw),
    }, rounds)
    show(f"resample_image, {img.shape[0]}^3 float32 onto a 1 mm grid turned 15 degrees", res,
         "resample_image(img, ref)")
    base = res["resample_image(img, ref)"]["median"]
    over = {"paired_median_s": paired(res, "resample_image(img, ref)", "engine: transform on the same arrays"),
            "alone_s": overhead_alone(img, ref)}
    over["paired_share"], over["alone_share"] = over["paired_median_s"] / base, over["alone_s"] / base
    print(f"images' cost: {over['paired_median_s'] * 1e3:.2f} ms round by round "
          f"({over['paired_share']:.1%} of the call); alone, engine stubbed: {over['alone_s'] * 1e3:.2f} ms "
          f"({over['alone_share']:.2%})")
    print("agreement over the interior, max |difference| / range:",
          ", ".join(f"{k} {v['max_abs_over_range']:.1e}" for k, v in agree.items()))
    return {"timings": res, "overhead": over, "agreement": agree}


def part_cli(img, ref, folder, rounds):
    src, like = str(folder / "in.nii.gz"), str(folder / "ref.nii.gz")
    nib.save(img, src)
    nib.save(nib.Nifti1Image(np.zeros(ref.shape, np.float32), ref.affine), like)
    outs = {k: str(folder / f"{k}.nii.gz") for k in ("main", "sub", "nib", "script", "save")}
    script = Path(sys.executable).with_name("vexiloimgc")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "vexiloimgc"]
    args = ["resample", src, "OUT", "--like", like]

    def in_process():
        if cli_main([a.replace("OUT", outs["main"]) for a in args]) != 0:
            sys.exit("vexiloimgc resample failed")

    def sub():
        subprocess.run(command + [a.replace("OUT", outs["sub"]) for a in args], check=True)

    def by_hand():
        i, r = nib.load(src), nib.load(like)
        out = engine(i, r)()
        nib.save(nib.Nifti1Image(out, r.affine), outs["nib"])

    loaded, ref = nib.load(src), nib.load(like)  # the turned affine as the header holds it (float32)
    result = engine(loaded, ref)()
    res = timed({
        "vexiloimgc resample (main, in-process)": in_process,
        "vexiloimgc resample (subprocess)": sub,
        "nibabel load + engine + nibabel save": by_hand,
        "the same by hand, a script in a subprocess":
            lambda: subprocess.run([sys.executable, "-c", BY_HAND, src, like, outs["script"]], check=True),
        "  nibabel load (gunzip)": lambda: np.asanyarray(nib.load(src).dataobj),
        "  engine": engine(loaded, ref),
        "  nibabel save (gzip level 1)": lambda: nib.save(nib.Nifti1Image(result, ref.affine), outs["save"]),
    }, rounds, clock=with_children)
    show(f"the command line, {img.shape[0]}^3 float32 .nii.gz, --like a turned grid", res,
         "nibabel load + engine + nibabel save")
    ratios = cli_ratios(res)
    print("round by round, against the same by hand (in process; a subprocess against a script): " +
          ", ".join(f"{k} {v:.2f}" for k, v in ratios.items()))
    for k in ("main", "sub", "script"):
        if np.asanyarray(nib.load(outs[k]).dataobj).tobytes() != result.tobytes():
            sys.exit(f"the command line's result ({k}) differs from the engine call")
    return {"timings": res, "paired_ratio": ratios,
            "command": "vexiloimgc resample in.nii.gz out.nii.gz --like ref.nii.gz",
            "sizes_MiB": {k: os.path.getsize(p) / 2**20 for k, p in (("in", src), ("out", outs["main"]))}}


def chain_files(ref, folder):
    a = sitk.AffineTransform(3)
    a.SetMatrix(MAT.ravel().tolist())
    a.SetTranslation(MAT_T)
    a.SetCenter(MAT_C)
    mat = str(folder / "0GenericAffine.mat")
    sitk.WriteTransform(a, mat)
    u = field(ref.shape[0])  # (K, J, I, 3), LPS millimetres, on the reference grid
    f = sitk.GetImageFromArray(u, isVector=True)
    origin, spacing, direction = geometry(ref.affine)
    f.SetOrigin(origin)
    f.SetSpacing(spacing)
    f.SetDirection(direction)
    warp = str(folder / "1Warp.nii.gz")
    sitk.WriteImage(f, warp)
    if nib.load(warp).shape != ref.shape + (1, 3):
        sys.exit("the warp is not in ITK's NIfTI layout")
    return mat, warp, u


def same_steps(img, ref, u):
    """The chain as `warp` steps built here: the reference's voxel map, the
    field in RAS, the affine in RAS with the image's world to voxel map."""
    lps = np.eye(4)
    lps[:3, :3] = MAT
    lps[:3, 3] = np.array(MAT_T) + MAT_C - MAT @ MAT_C
    ras = u.copy()
    ras[..., :2] *= np.float32(-1)
    steps = [ref.affine, vexiloimgc.Field(ras, ONE, ref.affine), vexiloimgc.voxel_map(img.affine, FLIP @ lps @ FLIP)]
    data = np.asanyarray(img.dataobj)
    return lambda: vexiloimgc.warp(data.T, ONE, steps, output_shape=ref.shape[::-1], output_spacing=ONE).T


def nitransforms_run(img, ref, mat, warp):
    def run():
        chain = nt.manip.TransformChain([  # transforms[0] is applied first
            nt.nonlinear.DenseFieldTransform(nt.io.itk.ITKDisplacementsField.from_filename(warp)),
            nt.linear.load(mat, fmt="itk", reference=ref)])
        return nitransforms.resampling.apply(chain, img, reference=ref, order=1)
    return run


def part_chain(img, ref, folder, rounds):
    mat, warp, u = chain_files(ref, folder)
    chain = [warp, mat]  # antsApplyTransforms -t 1Warp -t 0GenericAffine: the warp first
    ours = vexiloimgc.resample_image(img, ref, transforms=chain)
    same = same_steps(img, ref, u)
    bits = arr(ours).tobytes() == same().tobytes()
    composite = lambda: sitk.CompositeTransform([  # noqa: E731  (the last added is applied first)
        sitk.ReadTransform(mat), sitk.DisplacementFieldTransform(sitk.ReadImage(warp, sitk.sitkVectorFloat64))])
    span = float(np.ptp(arr(img)))
    agree = {"nitransforms": agreement(ours, nitransforms_run(img, ref, mat, warp)(), span),
             "SimpleITK": agreement(ours, itk(img, ref, composite)(), span)}
    moved = agreement(ours, vexiloimgc.resample_image(img, ref), span)["max_abs_over_range"]
    res = timed({
        "resample_image, chain from files": lambda: vexiloimgc.resample_image(img, ref, transforms=chain),
        "warp, the same steps in memory": same,
        "nitransforms apply(order=1), chain from files": nitransforms_run(img, ref, mat, warp),
        "SimpleITK Resample, composite from files": itk(img, ref, composite),
    }, min(rounds, 3))
    show(f"an ANTs-style chain (.mat + 1Warp.nii.gz on the {ref.shape[0]}^3 grid)", res,
         "resample_image, chain from files")
    print(f"bits of the equivalent warp call: {'equal' if bits else 'DIFFERENT'}; agreement over the interior, "
          "max |difference| / range: " + ", ".join(f"{k} {v['max_abs_over_range']:.1e}" for k, v in agree.items())
          + f" (the chain moves the content by up to {moved:.2f} of the range)")
    return {"timings": res, "agreement": agree, "bits_equal_warp": bits, "chain_moves": moved}


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    parts = sys.argv[3].split(",") if len(sys.argv) > 3 else ["call", "cli", "chain"]
    data = phantom(n)
    img = nib.Nifti1Image(data, centred(n))
    ref = nib.Nifti1Image(np.zeros((n,) * 3, np.uint8), turned(centred(n), 15))  # its grid is what is read
    path = HERE / "images.json"
    # A run of some parts keeps the others' last figures.
    out = json.loads(path.read_text()) if len(parts) < 3 and path.exists() else {}
    out.update({"edge": n, "rounds": rounds, "cpus": os.cpu_count()})
    if "call" in parts:
        out["call"] = part_calls(img, ref, rounds)
    if "cli" in parts:
        with tempfile.TemporaryDirectory() as tmp:
            out["cli"] = part_cli(img, ref, Path(tmp), rounds)
    if "chain" in parts:
        with tempfile.TemporaryDirectory() as tmp:
            moved = nib.Nifti1Image(np.zeros((n,) * 3, np.uint8), centred(n, (0.25, -0.5, 0.75)))
            out["chain"] = part_chain(img, moved, Path(tmp), rounds)
    path.write_text(json.dumps(out, indent=1) + "\n")


if __name__ == "__main__":
    main()
