"""Chains of transforms against ANTsPy's apply_transforms, which runs
antsApplyTransforms: files ANTs writes, in its order, inverted as it inverts."""
import numpy as np
import pytest

ants = pytest.importorskip("ants")
nib = pytest.importorskip("nibabel")
pytest.importorskip("SimpleITK")
pytest.importorskip("nitransforms")
ndimage = pytest.importorskip("scipy.ndimage")
from vexiloimgc import images  # noqa: E402
from vexiloimgc.__main__ import main  # noqa: E402

OUT = -99.0


def turn(angle, axis):
    c, s = np.cos(angle), np.sin(angle)
    m = np.eye(3)
    a, b = [k for k in range(3) if k != axis]
    m[a, a], m[a, b], m[b, a], m[b, b] = c, -s, s, c
    return m


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A smooth moving image and a reference on oblique grids of their own,
    two affines that do not commute, and a displacement field on the
    reference grid (LPS millimetres, vanishing at its faces), all written by
    ANTs."""
    d = tmp_path_factory.mktemp("ants")
    rng = np.random.default_rng(11)
    data = ndimage.gaussian_filter(rng.normal(0.0, 1.0, (30, 28, 26)), 2.5).astype(np.float32)
    mov = ants.from_numpy(data * 10, origin=(-16.0, -12.0, 14.0), spacing=(1.1, 0.9, 1.2), direction=turn(0.3, 2))
    ref = ants.from_numpy(np.zeros((24, 22, 20), np.float32), origin=(-11.0, -7.0, 10.0),
                          spacing=(1.2, 1.0, 1.1), direction=turn(-0.2, 0) @ turn(0.15, 1))
    ants.image_write(mov, str(d / "mov.nii.gz"))
    ants.image_write(ref, str(d / "ref.nii.gz"))
    for name, m, t, c in [("a", turn(0.25, 2) * 1.05, (2.0, -1.5, 1.0), (3.0, -2.0, 15.0)),
                          ("b", np.array([[1.0, 0.12, 0], [0, 0.9, 0.05], [0.1, 0, 1.1]]), (-1.0, 2.5, -2.0), (0, 0, 0))]:
        tx = ants.create_ants_transform(transform_type="AffineTransform", dimension=3, matrix=m,
                                        translation=t, center=c)
        ants.write_transform(tx, str(d / f"{name}.mat"))
    u = ndimage.gaussian_filter(rng.normal(0.0, 12.0, ref.shape + (3,)), (2, 2, 2, 0))
    taper = np.sin(np.pi * np.mgrid[tuple(slice(0, n) for n in ref.shape)].transpose(1, 2, 3, 0) /
                   (np.array(ref.shape) - 1)).prod(axis=-1)
    warp = ants.from_numpy((u * taper[..., None]).astype(np.float32), origin=ref.origin, spacing=ref.spacing,
                           direction=ref.direction, has_components=True)
    ants.image_write(warp, str(d / "1Warp.nii.gz"))
    return d


CHAINS = {  # (file, inverted) in antsApplyTransforms' -t order
    "a registration's output": [("1Warp.nii.gz", False), ("a.mat", False)],
    "two affines": [("a.mat", False), ("b.mat", False)],
    "a field between affines": [("b.mat", False), ("1Warp.nii.gz", False), ("a.mat", False)],
    "inverted affines": [("a.mat", True), ("1Warp.nii.gz", False), ("b.mat", True)],
}


@pytest.mark.parametrize("how", ["call", "command line"])
@pytest.mark.parametrize("chain", sorted(CHAINS))
def test_chains_as_ants_applies_them(folder, chain, how, monkeypatch):
    monkeypatch.chdir(folder)
    files, inverted = zip(*CHAINS[chain])
    want = ants.apply_transforms(ants.image_read("ref.nii.gz"), ants.image_read("mov.nii.gz"), list(files),
                                 interpolator="linear", whichtoinvert=list(inverted), defaultvalue=OUT).numpy()
    if how == "call":
        items = [(f, True) if inv else f for f, inv in CHAINS[chain]]
        got = images.resample_image("mov.nii.gz", "ref.nii.gz", transforms=items, cval=OUT)
    else:
        argv = [a for f, inv in CHAINS[chain] for a in ("-t", f"[{f},1]" if inv else f)]
        assert main(["resample", "mov.nii.gz", "out.nii.gz", "--like", "ref.nii.gz", "--cval", str(OUT), *argv]) == 0
        got = nib.load("out.nii.gz")
    got = np.asarray(got.dataobj)
    reversed_ = ants.apply_transforms(ants.image_read("ref.nii.gz"), ants.image_read("mov.nii.gz"), list(files[::-1]),
                                      interpolator="linear", whichtoinvert=list(inverted[::-1]),
                                      defaultvalue=OUT).numpy()
    inside = ndimage.binary_erosion((want != OUT) & (got != OUT) & (reversed_ != OUT), iterations=2)
    assert inside.mean() > 0.2
    span = np.ptp(want[inside])
    assert np.abs(reversed_ - want)[inside].max() > 0.1 * span  # the order matters for this chain
    np.testing.assert_allclose(got[inside], want[inside], atol=1e-5 * span)
