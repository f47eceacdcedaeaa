"""Onto any grid: output_shape, output_spacing and cval against the model on
every worker count; the image's own grid keeps the module's bits; every new
refusal leaves out unchanged; element types the module refuses; reslice
against nibabel's own resampling."""
import os
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _vexiloimgc
import vexiloimgc
from model import model

rng = np.random.default_rng(16)
VOL = rng.uniform(-300, 300, (2, 17, 23, 29)).astype(np.float32)
SP = np.float32([0.7, 0.9, 2.5])


def oblique(k=0):
    a = np.radians(9 + 13 * k)
    c, s = np.cos(a), np.sin(a)
    return np.float32([[c, -s * 0.9, 0.1, 1.5 + k], [s, c, -0.05, -2.0], [0.07, 0.1, 1.1, 0.5 - k]])


def same(a, b):
    return a.shape == b.shape and (a.view(np.uint32) == b.view(np.uint32)).all()


grids = st.tuples(st.sampled_from([0, 1, 2, 5, 16, 33]), st.sampled_from([0, 1, 3, 24, 40]),
                  st.sampled_from([1, 2, 7, 31, 64]))
spacings = st.tuples(*[st.sampled_from([0.25, 0.5, 0.7, 1.0, 1.3, 3.0])] * 3)


@settings(max_examples=60, deadline=None)
@given(shape=grids, ospacing=spacings, per_volume=st.booleans(), cval=st.sampled_from([0.0, -1024.0, np.nan]),
       workers=st.sampled_from([1, 2, 3, -1]))
def test_any_grid_matches_the_model(shape, ospacing, per_volume, cval, workers):
    mats = [oblique(0), oblique(1)]
    maps = np.stack(mats) if per_volume else mats[0]
    got = vexiloimgc.transform(VOL, SP, maps, output_shape=shape, output_spacing=ospacing, cval=cval,
                               workers=workers)
    assert got.shape == (2,) + shape and got.dtype == np.float32
    for v in range(2):
        want = model(VOL[v], SP, mats[v if per_volume else 0].ravel(), shape, ospacing, cval)
        assert same(got[v], want) or np.array_equal(got[v], want, equal_nan=True)


@pytest.mark.parametrize("image", [VOL, VOL[1], np.asfortranarray(VOL[0].astype(">f8"))],
                         ids=["4d", "3d", "converted"])
def test_the_images_own_grid_keeps_the_modules_bits(image):
    want = _vexiloimgc.transform(image, SP, oblique().ravel())
    nd = image.ndim
    for shape in (None, image.shape[-3:], image.shape):
        got = vexiloimgc.transform(image, SP, oblique(), output_shape=shape, output_spacing=SP if shape else None)
        assert same(got, want)


def test_cval_only_where_nothing_maps():
    zero = vexiloimgc.transform(VOL, SP, oblique(), output_shape=(20, 30, 40), output_spacing=(1, 1, 1))
    air = vexiloimgc.transform(VOL, SP, oblique(), output_shape=(20, 30, 40), output_spacing=(1, 1, 1),
                               cval=-1024)
    nowhere = model(VOL[0], SP, oblique().ravel(), (20, 30, 40), (1, 1, 1), np.nan)
    nowhere = np.isnan(nowhere)
    assert nowhere.any() and not nowhere.all()
    assert (air[0][nowhere] == -1024).all() and same(air[0][~nowhere], zero[0][~nowhere])


def test_reslicing_a_4d_series_onto_a_3d_grid_keeps_its_volumes():
    got = vexiloimgc.transform(VOL, SP, oblique(), output_shape=(2, 9, 8, 7), output_spacing=(2, 2, 2))
    assert got.shape == (2, 9, 8, 7)


@pytest.mark.parametrize("dtype", [np.uint16, np.int32, np.uint32, np.int8, np.uint64, np.int64,
                                   np.float16, np.bool_, ">u2"])
def test_element_types_the_module_refuses(dtype):
    v = VOL[0] if np.dtype(dtype).kind != "u" else np.abs(VOL[0])  # values the type holds
    image = (v if dtype != np.bool_ else v > 0).astype(dtype)
    want = _vexiloimgc.transform(image.astype(np.float32), SP, oblique().ravel())
    assert same(vexiloimgc.transform(image, SP, oblique(), workers=2), want)


def test_parameters_from_any_sequence():
    want = vexiloimgc.transform(VOL[0], SP, oblique())
    got = vexiloimgc.transform(VOL[0].tolist(), tuple(float(s) for s in SP), oblique().tolist())
    assert same(got, want)


BAD = [
    (dict(output_shape=(5, 5)), ValueError, "output_shape must hold 3 extents (Z, Y, X), or 4 for a 4-D image, not 2"),
    (dict(output_shape=(3, 5, 5, 5)), ValueError, "output_shape (3, 5, 5, 5) must start with the image's 2 volumes"),
    (dict(output_shape=(5, -1, 5)), ValueError, "output_shape (5, -1, 5) must hold extents from 0 to 2^31 - 1"),
    (dict(output_shape=(5, 2**31, 5)), ValueError, "must hold extents from 0 to 2^31 - 1"),
    (dict(output_shape=(5, 5.0, 5)), TypeError, "output_shape must be a sequence of integers, not float"),
    (dict(output_shape=5), TypeError, "output_shape must be a sequence of integers, not int"),
    (dict(output_shape=(2**10, 2**10, 2**9)), ValueError, "out must have the output's shape (2, 1024, 1024, 512)"),
    (dict(output_spacing=(1, 0, 1)), ValueError, "output_spacing must be finite and positive, got (1.0, 0.0, 1.0)"),
    (dict(output_spacing=(1, 1, np.inf)), ValueError, "output_spacing must be finite and positive"),
    (dict(output_spacing=(1, 1)), ValueError, "output_spacing needs at least 3 values along its first axis, got 2"),
    (dict(output_spacing="abc"), TypeError, "output_spacing must be an array of numbers, not str"),
    (dict(cval="0"), TypeError, "cval must be a real number, not str"),
    (dict(cval=1j), TypeError, "cval must be a real number, not complex"),
    (dict(output_shape=(4, 4, 4)), ValueError, "out must have the output's shape (2, 4, 4, 4), not (2, 17, 23, 29)"),
]


@pytest.mark.parametrize("kw, exc, text", BAD, ids=[b[2][:40] for b in BAD])
def test_grid_refusals_leave_out_unchanged(kw, exc, text):
    out = np.full(VOL.shape, 7, np.float32)
    with pytest.raises(exc, match=re.escape(text)):
        vexiloimgc.transform(VOL, SP, oblique(), out=out, **kw)
    assert (out == 7).all()


@pytest.mark.parametrize("image, text", [
    (VOL[0].astype(np.complex64), "an image of dtype('complex64') is not read; images may be bool"),
    (np.array([[["a"]]]), "an image of dtype('<U1') is not read")])
def test_refused_element_types_are_named(image, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        vexiloimgc.transform(image, SP, oblique())


# ---- reslice against nibabel ---------------------------------------------------

nib = pytest.importorskip("nibabel")
from nibabel.processing import resample_from_to  # noqa: E402

DATA = os.path.join(os.path.dirname(nib.__file__), "tests", "data")


def load(name):
    return nib.load(os.path.join(DATA, name))


@pytest.mark.parametrize("src, dst", [("anatomical.nii", "functional.nii"), ("functional.nii", "anatomical.nii"),
                                      ("example4d.nii.gz", "anatomical.nii")])
def test_reslice_agrees_with_nibabel(src, dst):
    a, b = load(src), load(dst)
    data = np.asanyarray(a.dataobj).astype(np.float32)
    got = vexiloimgc.reslice(data, a.affine, b.shape[:3], b.affine)
    assert got.shape == b.shape[:3] + data.shape[3:]
    vols = [data] if data.ndim == 3 else [data[..., t] for t in range(data.shape[3])]
    # Each target voxel's source index, in double precision.
    ijk = np.indices(b.shape[:3]).reshape(3, -1)
    v = vexiloimgc.voxel_map(a.affine, b.affine)
    c = (v[:3, :3] @ ijk + v[:3, 3:]).T.reshape(b.shape[:3] + (3,))
    extent = np.array(data.shape[:3])
    inner = ((c > 1e-4) & (c < extent - 1 - 1e-4)).all(-1)    # both interpolate
    band = ((c > -2 - 1e-4) & (c < extent + 1e-4)).all(-1)    # ours may write
    assert inner.sum() > 0.2 * inner.size
    for t, vol in enumerate(vols):
        img = nib.Nifti1Image(vol, a.affine)
        want = np.asarray(resample_from_to(img, (b.shape[:3], b.affine), order=1, cval=np.nan).dataobj)
        ours = got if data.ndim == 3 else got[..., t]
        scale = max(1.0, np.abs(vol).max())
        np.testing.assert_allclose(ours[inner], want[inner], rtol=1e-5, atol=1e-5 * scale)
        # The footprint: nibabel's within ours, ours within the face bands.
        assert np.isfinite(want[inner]).all()
        assert not ours[~band].any()


def test_reslice_reads_nibabels_layout_in_place_and_refuses_bad_affines():
    a = load("anatomical.nii")
    data = np.asanyarray(a.dataobj).astype(np.float32, order="F")
    r = vexiloimgc.reslice(data, a.affine, a.shape, a.affine)
    assert r.shape == a.shape and r.flags.f_contiguous
    with pytest.raises(ValueError, match="affine cannot be inverted"):
        vexiloimgc.reslice(data, np.zeros((4, 4)), a.shape, a.affine)
    with pytest.raises(ValueError, match="must be a 4x4"):
        vexiloimgc.reslice(data, np.eye(3), a.shape, a.affine)


SKEW = np.eye(4)
SKEW[3, 0] = 0.5


@pytest.mark.parametrize("kw, exc, text", [
    (dict(out=[0.0] * 8), TypeError, "out must be a numpy.ndarray or a writeable array with the buffer protocol or "
                                     "DLPack, not list"),
    (dict(affine=SKEW), ValueError, r"affine must be affine: its last row must be \[0, 0, 0, 1\], not \[0.5"),
    (dict(target_affine=SKEW), ValueError, "target_affine must be affine"),
])
def test_reslice_refusals(kw, exc, text):
    args = dict(affine=np.eye(4), target_affine=np.eye(4), out=None) | kw
    with pytest.raises(exc, match=text):
        vexiloimgc.reslice(np.zeros((2, 2, 2), np.float32), args["affine"], (2, 2, 2), args["target_affine"],
                           out=args["out"])


class SimpleITKLike:
    def GetSpacing(self): ...
    def GetOrigin(self): ...
    def GetDirection(self): ...
    def __len__(self): return 8
    def __getitem__(self, i): return float(i)


@pytest.mark.parametrize("image, text", [
    (SimpleITKLike(), "image is a SimpleITK image, not an array: pass SimpleITK.GetArrayViewFromImage"),
    ("nibabel", "image is a nibabel image, not an array: pass img.get_fdata"),
])
def test_images_with_their_own_geometry_are_refused_with_what_to_pass(image, text):
    if image == "nibabel":
        nib = pytest.importorskip("nibabel")
        image = nib.Nifti1Image(np.zeros((4, 4, 4), np.float32), np.eye(4))
    with pytest.raises(TypeError, match=text):
        vexiloimgc.transform(image, np.ones(3), np.eye(4))
