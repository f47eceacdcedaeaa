"""resample_image: geometry across nibabel and SimpleITK, transform files,
and the engine's bits."""
import os
import subprocess
import sys

import numpy as np
import pytest

import vexiloimgc

nib = pytest.importorskip("nibabel")
sitk = pytest.importorskip("SimpleITK")
nt = pytest.importorskip("nitransforms")
images = pytest.importorskip("vexiloimgc.images")
ndimage = pytest.importorskip("scipy.ndimage")

# Dyadic entries: any order of products gives the same composed map.
T = np.array([[0.75, -0.5, 0, 1.5], [0.5, 0.75, 0, -2], [0, 0, 1, 0.25], [0, 0, 0, 1]])
AFFINES = {
    "oblique": np.array([[-1.2, 0, 0, 20], [0, 0.9, 0.1, -15], [0, -0.05, 1.5, -20], [0, 0, 0, 1]]),
    "permuted": np.array([[0, 0, -1.5, 20], [1.25, 0, 0, -22], [0, -0.75, 0, 9], [0, 0, 0, 1]]),
}


def smooth(shape=(38, 34, 30)):
    i, j, k = np.mgrid[: shape[0], : shape[1], : shape[2]].astype(np.float32)
    return np.sin(i / 5) + np.cos(j / 4) + np.sin(k / 6)


def nifti(affine, data=None, codes=(1, 2)):
    img = nib.Nifti1Image(smooth() if data is None else data, affine)
    img.set_qform(affine, codes[0])
    img.set_sform(affine, codes[1])
    return img


def test_import_loads_neither_peer():
    code = ("import sys, vexiloimgc; assert callable(vexiloimgc.resample_image); "
            "print(sorted({'nibabel', 'SimpleITK', 'nitransforms'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


@pytest.mark.parametrize("name", sorted(AFFINES))
def test_round_trip_through_simpleitk(name):
    img = nifti(AFFINES[name])
    s = images.as_simpleitk(img)
    back = images.as_nibabel(s)
    np.testing.assert_allclose(back.affine, img.affine, atol=1e-6)
    np.testing.assert_allclose(images.image_affine(s), img.affine, atol=1e-12)
    del s  # the data outlives the SimpleITK image
    np.testing.assert_array_equal(np.asarray(back.dataobj), img.dataobj)


def test_big_endian_nifti_to_simpleitk():
    data = smooth().astype(">i2")
    s = images.as_simpleitk(nib.Nifti1Image(data, np.eye(4)))
    np.testing.assert_array_equal(sitk.GetArrayViewFromImage(s).T, data)


def sitk_pair():
    img = sitk.GetImageFromArray(smooth().T.copy())
    img.SetSpacing((1.2, 0.9, 1.5))
    img.SetOrigin((3, -4, 5))
    img.SetDirection(sitk.VersorTransform((0.3, 0.2, 1.0), 0.4).GetMatrix())
    ref = sitk.Image(40, 36, 28, sitk.sitkFloat32)
    ref.SetSpacing((1, 1.1, 1.3))
    ref.SetDirection((0, 1, 0, 0, 0, -1, -1, 0, 0))  # permutes and flips
    centre = [g.TransformContinuousIndexToPhysicalPoint([(n - 1) / 2 for n in g.GetSize()])
              for g in (img, ref)]
    ref.SetOrigin(tuple(np.subtract(*centre)))
    return img, ref


def sitk_transforms(tmp_path):
    a = sitk.AffineTransform(3)
    a.SetMatrix((1.02, 0.05, 0, -0.03, 0.98, 0.02, 0, 0.01, 1.01))
    a.SetTranslation((1.5, -2, 0.7))
    a.SetCenter((5, 0, 10))
    e = sitk.Euler3DTransform((1, 2, 3), 0.1, 0.2, 0.05, (2, 1, 0))
    both = sitk.CompositeTransform([a, e])
    for ext in ("tfm", "h5", "mat"):
        sitk.WriteTransform(a, str(tmp_path / f"a.{ext}"))
    sitk.WriteTransform(both, str(tmp_path / "both.h5"))
    return {"none": ([], sitk.Transform()), "affine": ([a], a), "chain": ([e, a], both),
            "composite": ([both], both), "tfm": ([tmp_path / "a.tfm"], a), "h5": ([tmp_path / "a.h5"], a),
            "mat": ([tmp_path / "a.mat"], a), "composite.h5": ([tmp_path / "both.h5"], both)}


@pytest.mark.parametrize("case", ["none", "affine", "chain", "composite", "tfm", "h5", "mat", "composite.h5"])
def test_against_simpleitk_resample(case, tmp_path):
    img, ref = sitk_pair()
    ours, theirs = sitk_transforms(tmp_path)[case]
    want = sitk.GetArrayFromImage(sitk.Resample(img, ref, theirs, sitk.sitkLinear, -99.0))
    got = images.resample_image(img, ref, transforms=ours, cval=-99)
    assert (got.GetOrigin(), got.GetSpacing(), got.GetDirection()) == (
        ref.GetOrigin(), ref.GetSpacing(), ref.GetDirection())
    got = sitk.GetArrayFromImage(got)
    # The interior: at the edges ITK clamps where ours extrapolates.
    inside = ndimage.binary_erosion((want != -99) & (got != -99), iterations=2)
    assert inside.mean() > 0.3
    np.testing.assert_allclose(got[inside], want[inside], atol=1e-5)


def field_image(ref):
    """A smooth LPS displacement field on a coarse grid of its own, centred
    on the reference, zero on its faces (where ITK clamps and ours stops)."""
    d = ndimage.gaussian_filter(np.random.default_rng(3).normal(0.0, 3.0, (9, 10, 11, 3)), (1, 1, 1, 0))
    for axis in range(3):
        d[(slice(None),) * axis + ([0, -1],)] = 0.0
    f = sitk.GetImageFromArray(d, isVector=True)
    f.SetSpacing((4.0, 4.5, 5.0))
    f.SetDirection(sitk.VersorTransform((1.0, 0.5, 0.2), 0.3).GetMatrix())
    centre = [g.TransformContinuousIndexToPhysicalPoint([(n - 1) / 2 for n in g.GetSize()]) for g in (ref, f)]
    f.SetOrigin(tuple(np.subtract(*centre)))
    return f


@pytest.mark.parametrize("case", ["transform", "nii.gz", "nrrd", "nitransforms", "with affines"])
def test_displacement_fields_against_simpleitk(case, tmp_path):
    img, ref = sitk_pair()
    f = field_image(ref)
    ours, theirs = [sitk.DisplacementFieldTransform(sitk.Image(f))], sitk.DisplacementFieldTransform(sitk.Image(f))
    if case in ("nii.gz", "nrrd", "nitransforms"):
        sitk.WriteImage(f, str(tmp_path / f"w.{case}" if case != "nitransforms" else tmp_path / "w.nii.gz"))
        ours = [tmp_path / f"w.{case}"]
    if case == "nitransforms":
        ours = [nt.nonlinear.DenseFieldTransform(nt.io.itk.ITKDisplacementsField.from_filename(tmp_path / "w.nii.gz"))]
    if case == "with affines":  # ITK's composite applies the last added first
        e, a = sitk_transforms(tmp_path)["chain"][0]
        ours = [e, ours[0], a]
        theirs = sitk.CompositeTransform([a, theirs, e])
    want = sitk.GetArrayFromImage(sitk.Resample(img, ref, theirs, sitk.sitkLinear, -99.0))
    got = sitk.GetArrayFromImage(images.resample_image(img, ref, transforms=ours, cval=-99))
    inside = ndimage.binary_erosion((want != -99) & (got != -99), iterations=2)
    assert inside.mean() > 0.3
    moved = sitk.GetArrayFromImage(sitk.Resample(img, ref, sitk.Transform(), sitk.sitkLinear, -99.0))
    assert np.abs(moved[inside] - want[inside]).max() > 0.1  # the field moves the content
    np.testing.assert_allclose(got[inside], want[inside], atol=1e-4)


@pytest.mark.parametrize("kind", ["nibabel", "simpleitk"])
@pytest.mark.parametrize("interpolation, dtype", [("linear", np.float32), ("label", np.uint8)])
def test_bits_of_the_engine_call(kind, interpolation, dtype):
    data = (smooth() * 40 + 100).astype(dtype)
    ref = nifti(AFFINES["permuted"], np.zeros((20, 24, 16), np.float32), codes=(0, 3))
    img = nifti(AFFINES["oblique"], data)
    src = img if kind == "nibabel" else images.as_simpleitk(img)
    got = images.resample_image(src, ref, transforms=[T],
                                interpolation=interpolation)
    want = vexiloimgc.reslice(data, images.image_affine(src), ref.shape, T @ ref.affine,
                              interpolation=interpolation, mode="constant")
    arr = np.asarray(got.dataobj) if kind == "nibabel" else sitk.GetArrayViewFromImage(got).T
    assert arr.dtype == dtype
    np.testing.assert_array_equal(arr, want)
    if kind == "nibabel":
        assert (int(got.header["qform_code"]), int(got.header["sform_code"])) == (0, 3)
        np.testing.assert_array_equal(got.affine, ref.affine)


@pytest.mark.parametrize("name", ["anatomical.nii", "functional.nii"])
def test_default_mode_reslices_as_nibabel(name):
    """Nothing past the first and last voxel centres: no value outside the
    source's range, an identity keeps every bit, nibabel's footprint."""
    from nibabel.processing import resample_from_to
    from nibabel.testing import data_path

    anat = nib.load(os.path.join(data_path, "anatomical.nii"))
    img = nib.load(os.path.join(data_path, name))
    src = nib.Nifti1Image(np.asanyarray(img.dataobj)[..., 0] if img.ndim == 4 else img.dataobj, img.affine)
    data = np.asanyarray(src.dataobj).astype(np.float32)
    got = np.asarray(images.resample_image(src, anat).dataobj)
    want = np.asarray(resample_from_to(src, anat, order=1).dataobj)
    if name == "anatomical.nii":
        np.testing.assert_array_equal(got, data)
    assert data.min() <= got[got != 0].min() and got.max() <= data.max()
    np.testing.assert_array_equal(got != 0, want != 0)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * data.max())


@pytest.mark.parametrize("kind", ["nibabel", "simpleitk"])
def test_series_volume_by_volume(kind):
    data = np.stack([smooth() * k for k in (1, -2, 3)], axis=-1)
    img = nifti(AFFINES["oblique"], data)
    src = img if kind == "nibabel" else images.as_simpleitk(img)
    seen = []
    for progress in (None, lambda k, n: seen.append((k, n))):
        got = images.resample_image(src, nifti(AFFINES["permuted"]), _progress=progress)
        got = np.asarray(got.dataobj) if kind == "nibabel" else np.moveaxis(sitk.GetArrayFromImage(got).T, 0, -1)
        for k in range(3):
            one = vexiloimgc.reslice(data[..., k], img.affine, (38, 34, 30), AFFINES["permuted"], mode="constant")
            np.testing.assert_array_equal(got[..., k], one)
    assert seen == [(1, 3), (2, 3), (3, 3)]


@pytest.mark.parametrize("kind", ["nibabel", "simpleitk"])
def test_spacing_keeps_first_centre_and_field_of_view(kind):
    img = nifti(AFFINES["oblique"])
    src = img if kind == "nibabel" else images.as_simpleitk(img)
    got = images.resample_image(src, spacing=(0.5, 0.6, 3.0))
    a = images.image_affine(got)
    np.testing.assert_allclose(a[:, 3], img.affine[:, 3], atol=1e-12)
    np.testing.assert_allclose(np.linalg.norm(a[:3, :3], axis=0), (0.5, 0.6, 3.0))
    shape = got.shape if kind == "nibabel" else got.GetSize()
    assert tuple(shape) == (91, 51, 15)  # 38*1.2/0.5, 34*0.906/0.6, 30*1.501/3, to the nearest


def test_two_d_simpleitk_image():
    plane = sitk.GetImageFromArray(smooth()[:, :, 0].T.copy())
    plane.SetSpacing((0.5, 0.5))
    got = images.resample_image(plane, spacing=(1, 1))
    assert got.GetDimension() == 2 and got.GetSize() == (19, 17)
    np.testing.assert_array_equal(sitk.GetArrayViewFromImage(got), sitk.GetArrayViewFromImage(plane)[::2, ::2])


@pytest.mark.parametrize("fmt, ext", [("fsl", "mat"), ("lta", "lta"), ("itk", "tfm"), ("afni", "1D")])
def test_files_written_by_nitransforms(fmt, ext, tmp_path):
    mov, ref = nifti(AFFINES["oblique"]), nifti(AFFINES["permuted"])
    path = tmp_path / f"t.{ext}"
    nt.linear.Affine(T, reference=ref).to_filename(path, fmt=fmt, moving=mov)
    # The face bands: a point a rounding of the file's digits past the last
    # voxel centre still reads it.
    want = np.asarray(images.resample_image(mov, ref, transforms=[T], mode=None).dataobj)
    for src in (mov, images.as_simpleitk(mov)):
        got = images.resample_image(src, ref, transforms=[path], mode=None)
        got = np.asarray(got.dataobj) if hasattr(got, "dataobj") else sitk.GetArrayFromImage(got).T
        np.testing.assert_allclose(got, want, atol=1e-4)


def inverted_pairs(kind, tmp_path, mov, ref):
    """(item, True) and what ITK or NumPy give as its inverse."""
    e, a = sitk_transforms(tmp_path)["chain"][0]
    if kind in ("tfm", "txt", "mat"):
        sitk.WriteTransform(a, str(tmp_path / f"t.{kind}"))
        return (tmp_path / f"t.{kind}", True), a.GetInverse()
    if kind == "composite.h5":
        return (tmp_path / "both.h5", True), sitk.CompositeTransform([e.GetInverse(), a.GetInverse()])
    if kind == "simpleitk":
        return (e, True), e.GetInverse()
    if kind in ("fsl", "lta", "afni"):
        path = tmp_path / f"t.{dict(fsl='mat', lta='lta', afni='1D')[kind]}"
        nt.linear.Affine(T, reference=ref).to_filename(path, fmt=kind, moving=mov)
        return (path, True), np.linalg.inv(T)
    return ((T, True) if kind == "array" else (nt.linear.Affine(T), True)), np.linalg.inv(T)


@pytest.mark.parametrize("kind", ["array", "nitransforms", "simpleitk", "tfm", "txt", "mat", "composite.h5",
                                  "fsl", "lta", "afni"])
def test_inverted_affines(kind, tmp_path):
    mov, ref = nifti(AFFINES["oblique"]), nifti(AFFINES["permuted"])
    pair, inverse = inverted_pairs(kind, tmp_path, mov, ref)
    # The face bands: the files' rounded digits would move edge voxels across
    # "constant"'s last-centre edge.
    got = np.asarray(images.resample_image(mov, ref, transforms=[pair, T], cval=-9, mode=None).dataobj)
    want = np.asarray(images.resample_image(mov, ref, transforms=[inverse, T], cval=-9, mode=None).dataobj)
    assert (want != -9).mean() > 0.3
    np.testing.assert_allclose(got, want, atol=1e-4)


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(transforms=["field.nii.gz"]), ValueError, "field.nii.gz: a displacement field is an (I, J, K, 1, 3)"),
    (dict(transforms=["field.nii.gz"], antialias=True, interpolation="linear"), ValueError, "a displacement field is"),
    (dict(transforms=[np.eye(3)]), ValueError, "transforms[0]: a transform array must be a 4x4"),
    (dict(transforms=[np.eye(4), 2 * np.eye(4)]), ValueError, "transforms[1]: a transform array must be finite"),
    (dict(transforms=[sitk.BSplineTransform(3)]), ValueError, "neither affine nor a displacement field"),
    (dict(spacing=(1, 0, 1)), ValueError, "spacing must be 3 finite positive"),
    (dict(transforms=["missing.tfm"]), FileNotFoundError, "missing.tfm"),
    (dict(transforms=[("field.nii.gz", True)]), ValueError, "field.nii.gz: a displacement field cannot be inverted"),
    (dict(transforms=[(np.diag([1.0, 0, 1, 1]), True)]), ValueError, "transforms[0]: an affine that cannot be inv"),
    (dict(transforms=[T, (T, 1)]), TypeError, "transforms[1]: a pair is (transform, True or False)"),
])
def test_refused(kwargs, error, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    nib.save(nifti(np.eye(4)), "field.nii.gz")
    with pytest.raises(error) as e:
        images.resample_image(nifti(np.eye(4)), **kwargs)
    assert text in str(e.value)
