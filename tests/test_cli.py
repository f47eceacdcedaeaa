"""The command line end to end, on files."""
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

nib = pytest.importorskip("nibabel")
sitk = pytest.importorskip("SimpleITK")
pytest.importorskip("nitransforms")
from vexiloimgc import images  # noqa: E402
from vexiloimgc.__main__ import main  # noqa: E402


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    i, j, k = np.mgrid[:20, :22, :18].astype(np.float32)
    nib.save(nib.Nifti1Image(np.sin(i / 3) + j / 9 - k / 7, np.diag([-1.5, 1.25, 2, 1])), "in.nii.gz")
    ref = sitk.Image(16, 19, 12, sitk.sitkInt16)
    ref.SetSpacing((1.5, 1.4, 2.5))
    ref.SetOrigin((-12, 2, 3))
    ref.SetDirection((0, 1, 0, 1, 0, 0, 0, 0, -1))
    sitk.WriteImage(ref, "ref.nrrd")
    sitk.WriteTransform(sitk.Euler3DTransform((0, 0, 0), 0.1, 0, 0.2, (1, 2, 3)), "t.tfm")
    return tmp_path


@pytest.mark.parametrize("out", ["out.nii.gz", "out.nrrd", "out.mha", "out.mhd", "out.nhdr"])
def test_resample_like(files, out, capsys):
    assert main(["resample", "in.nii.gz", out, "--like", "ref.nrrd", "-t", "t.tfm"]) == 0
    assert capsys.readouterr().err == ""
    want = images.resample_image("in.nii.gz", "ref.nrrd", transforms=["t.tfm"])
    got = images.load_image(out)
    np.testing.assert_allclose(images.image_affine(got), images.image_affine("ref.nrrd"), atol=1e-6)
    np.testing.assert_array_equal(np.asarray(images.as_nibabel(got).dataobj), np.asarray(want.dataobj))
    assert not list(files.glob(".*"))


def test_series_progress_on_a_terminal(files, capsys, monkeypatch):
    nib.save(nib.Nifti1Image(np.zeros((6, 7, 5, 3), np.int16), np.eye(4)), "run.nii")
    assert main(["resample", "run.nii", "quiet.nii", "--like", "in.nii.gz"]) == 0
    assert capsys.readouterr().err == ""
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    assert main(["resample", "run.nii", "run.nrrd", "--like", "in.nii.gz"]) == 0
    assert capsys.readouterr().err.endswith("volume 3 of 3\n")
    assert nib.load("quiet.nii").shape == (20, 22, 18, 3)
    assert sitk.ReadImage("run.nrrd").GetNumberOfComponentsPerPixel() == 3


def test_resample_spacing_label(files):
    assert main(["resample", "in.nii.gz", "out.nrrd", "--spacing", "3", "2.5", "4",
                 "--interpolation", "nearest", "--workers", "1"]) == 0
    got = sitk.ReadImage("out.nrrd")
    assert got.GetSize() == (10, 11, 9) and got.GetSpacing() == (3, 2.5, 4)


@pytest.mark.parametrize("blocks", [[], ["--chunks", "7"]])
def test_identity_keeps_every_bit(files, blocks):
    if blocks:
        pytest.importorskip("dask")
    assert main(["resample", "in.nii.gz", "same.nii", "--like", "in.nii.gz", *blocks]) == 0
    np.testing.assert_array_equal(nib.load("same.nii").dataobj, nib.load("in.nii.gz").dataobj)


@pytest.mark.parametrize("argv, code, text", [
    (["resample", "in.nii.gz"], 2, "the following arguments are required: OUT"),
    (["resample", "in.nii.gz", "o.nii", "--like", "ref.nrrd", "--spacing", "1", "1", "1"], 2, "not allowed with"),
    (["resample", "in.nii.gz", "o.nii", "--interpolation", "sinc"], 2, "invalid choice: 'sinc'"),
    (["resample", "nothere.nii", "o.nii"], 1, "nothere.nii: no such file"),
    (["resample", "in.nii.gz", "o.xyz"], 1, "o.xyz: unknown output format"),
    (["resample", "in.nii.gz", "nodir/o.nrrd"], 1, "nodir: no such folder"),
    (["resample", "t.tfm", "o.nii"], 1, "cannot read t.tfm"),
    (["resample", "in.nii.gz", "o.nii", "-t", "in.nii.gz"], 1, "in.nii.gz: a displacement field is"),
    (["resample", "in.nii.gz", "o.nii", "-t", "ref.nrrd.tfm"], 1, "ref.nrrd.tfm: no such file"),
    (["resample", "in.nii.gz", "o.nii", "-t", "[ref.nrrd.tfm,1]"], 1, "ref.nrrd.tfm: no such file"),
    (["resample", "in.nii.gz", "o.nii", "-t", "[t.tfm,2]"], 2, "[t.tfm,2]: give [FILE,1] for the inverse"),
    (["resample", "in.nii.gz", "o.nii", "-t", "in.nii.gz", "--antialias"], 1, "a displacement field is"),
    (["resample", "in.nii.gz", "o.nii", "--chunks", "4", "4"], 1, "--chunks takes 1 or 3 positive sizes"),
])
def test_mistakes(files, argv, code, text, capsys):
    assert main(argv) == code
    err = capsys.readouterr().err
    assert text in err and "Traceback" not in err and err.count("\n") == 1
    assert not (files / "o.nii").exists()


def test_help_in_a_subprocess():
    out = subprocess.run([sys.executable, "-m", "vexiloimgc", "--help"], capture_output=True, text=True)
    assert out.returncode == 0 and "{resample}" in out.stdout and "example:" in out.stdout


def write_field():
    """A displacement field of ITK's layout (LPS vectors) on its own grid."""
    d = np.random.default_rng(4).normal(0.0, 1.0, (6, 7, 8, 3))
    f = sitk.GetImageFromArray(d, isVector=True)
    f.SetSpacing((4.0, 4.0, 5.0))
    f.SetOrigin((-20.0, -6.0, -4.0))
    sitk.WriteImage(f, "warp.nii.gz")


@pytest.mark.parametrize("chunks, field", [(["5"], False), (["4", "7", "6"], False), (["4", "7", "6"], True)])
def test_blocks_and_zarr_give_the_same_bits(files, chunks, field):
    zarr = pytest.importorskip("zarr")
    pytest.importorskip("dask")
    grid = ["--like", "ref.nrrd", "-t", "t.tfm"]
    if field:
        write_field()
        grid += ["-t", "warp.nii.gz"]
    assert main(["resample", "in.nii.gz", "one.nii.gz", *grid]) == 0
    assert main(["resample", "in.nii.gz", "out.zarr", *grid, "--chunks", *chunks]) == 0
    assert main(["resample", "out.zarr", "back.nrrd", "--chunks", *chunks]) == 0
    one = nib.load("one.nii.gz")
    z = zarr.open_array("out.zarr", mode="r")
    np.testing.assert_array_equal(z[:].T, np.asarray(one.dataobj))
    np.testing.assert_allclose(z.attrs["affine"], one.affine, atol=1e-6)
    np.testing.assert_array_equal(sitk.GetArrayFromImage(sitk.ReadImage("back.nrrd")), z[:])


def snapshot(root):
    return {p.relative_to(root): p.read_bytes() for p in root.rglob("*") if p.is_file()}


@pytest.mark.parametrize("name", ["vol.zarr", "link.zarr"])
def test_zarr_in_place(files, name):
    pytest.importorskip("zarr")
    grid = ["--spacing", "1", "1", "1", "--chunks", "7"]
    assert main(["resample", "in.nii.gz", "vol.zarr", *grid]) == 0
    assert main(["resample", "vol.zarr", "want.zarr", *grid]) == 0
    os.symlink("vol.zarr", "link.zarr")
    assert main(["resample", name, name, *grid]) == 0
    assert os.path.islink("link.zarr") and not os.path.islink("vol.zarr")
    assert snapshot(files / "vol.zarr") == snapshot(files / "want.zarr")


@pytest.mark.parametrize("out, writer, sig", [
    ("in.nii.gz", "nibabel.save", signal.SIGINT),
    ("out.nrrd", "SimpleITK.WriteImage", signal.SIGTERM),
    ("out.zarr", "dask.array.Array.to_zarr", signal.SIGINT),
])
def test_an_interrupted_write_leaves_everything_as_it_was(files, out, writer, sig, monkeypatch, capsys):
    da = pytest.importorskip("dask.array")
    pytest.importorskip("zarr")
    if out != "in.nii.gz":
        assert main(["resample", "in.nii.gz", out, "--like", "ref.nrrd"]) == 0
    before = snapshot(files)
    where, name = writer.rsplit(".", 1)
    owner = {"nibabel": nib, "SimpleITK": sitk, "dask.array.Array": da.Array}[where]
    real = getattr(owner, name)

    def write(*a, **k):
        real(*a, **k)
        os.kill(os.getpid(), sig)
    monkeypatch.setattr(owner, name, write)
    assert main(["resample", "in.nii.gz", out, "--spacing", "2", "2", "2"]) == 128 + sig
    assert capsys.readouterr().err == f"vexiloimgc: {'interrupted' if sig == signal.SIGINT else 'terminated'}\n"
    assert snapshot(files) == before


def test_a_read_error_keeps_the_old_store(files, capsys):
    pytest.importorskip("zarr")
    assert main(["resample", "in.nii.gz", "vol.zarr", "--spacing", "1", "1", "1", "--chunks", "5"]) == 0
    assert main(["resample", "vol.zarr", "out.zarr", "--spacing", "2", "2", "2"]) == 0
    sorted((files / "vol.zarr").rglob("c/*/*/*"))[-1].write_bytes(b"not a chunk")
    before = snapshot(files)
    assert main(["resample", "vol.zarr", "out.zarr", "--spacing", "1", "1", "1"]) == 1
    assert capsys.readouterr().err.count("\n") == 1
    assert snapshot(files) == before


def test_no_grid_nor_transform_is_said(files, capsys):
    assert main(["resample", "in.nii.gz", "out.nrrd"]) == 0
    assert "no --like, --spacing or -t: in.nii.gz resampled onto its own grid" in capsys.readouterr().err
