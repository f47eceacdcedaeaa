"""World-space geometry to transform's matrix (examples/real_data.py)."""
import importlib.util
from pathlib import Path

import numpy as np
import pytest

import _vexiloimgc

_spec = importlib.util.spec_from_file_location("real_data", Path(__file__).parents[1] / "examples" / "real_data.py")
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)

# Voxel (i, j, k) to world: axes permuted and flipped, anisotropic, oblique origin.
AFFINE = np.array([[0, -3.0, 0, 40], [0, 0, 1.5, -20], [2.0, 0, 0, 7], [0, 0, 0, 1]])
ZOOMS = (2.0, 3.0, 1.5)
SHAPE = (6, 7, 8)  # (i, j, k)


def one_voxel(ijk):
    vol = np.zeros(SHAPE, np.float32)
    vol[ijk] = 1
    return vol


def place(vol_ijk, world, src_affine=AFFINE, out_affine=AFFINE):
    m = example.output_to_source(src_affine, out_affine, world, ZOOMS)
    return _vexiloimgc.transform(vol_ijk.T, np.array(ZOOMS), m).T


@pytest.mark.parametrize("step", [(1, -2, 1), (0, 0, 2), (-1, 3, 0)])
def test_world_shift_moves_content_by_whole_voxels(step):
    # Moving content by +w in world means sampling the source at p - w.
    w = AFFINE[:3, :3] @ np.array(step, float)
    pull = np.eye(4)
    pull[:3, 3] = -w
    out = place(one_voxel((2, 3, 4)), pull)
    peak = tuple(int(i) for i in np.unravel_index(np.argmax(out), out.shape))
    assert peak == (2 + step[0], 3 + step[1], 4 + step[2])
    assert out[peak] == pytest.approx(1, abs=1e-5) and out.sum() == pytest.approx(1, abs=1e-4)


def test_reslicing_onto_a_shifted_grid():
    # Output grid one voxel further along j: output voxel (i, j, k) is source (i, j+1, k).
    out_affine = AFFINE @ np.array([[1, 0, 0, 0], [0, 1, 0, 1], [0, 0, 1, 0], [0, 0, 0, 1.0]])
    out = place(one_voxel((2, 3, 4)), np.eye(4), out_affine=out_affine)
    assert out[2, 2, 4] == pytest.approx(1, abs=1e-5) and out.sum() == pytest.approx(1, abs=1e-4)


def test_quarter_turn_about_centre():
    # i, j, k run along world z, y, x. A right-handed quarter turn of the
    # content about world x through the centre keeps the centre voxel and
    # turns a step along +y (j) into one along +z (i).
    shape = (5, 7, 7)
    affine = np.array([[0, 0, 2.0, 0], [0, 2.0, 0, 0], [2.0, 0, 0, 0], [0, 0, 0, 1]])
    pull = example.turn_about_centre(affine, shape, 0, 90)
    vol = np.zeros(shape, np.float32)
    vol[2, 3, 3] = 5
    vol[2, 4, 3] = 1
    m = example.output_to_source(affine, affine, pull, (2.0, 2.0, 2.0))
    out = _vexiloimgc.transform(vol.T, np.full(3, 2.0), m).T
    assert out[2, 3, 3] == pytest.approx(5, abs=1e-4)
    assert np.argwhere(np.abs(out - 1) < 1e-4).tolist() == [[3, 3, 3]]


def test_example_on_the_file_nibabel_ships(tmp_path):
    nib = pytest.importorskip("nibabel")
    pytest.importorskip("matplotlib")
    result = example.main(["--out", str(tmp_path)])
    src = nib.load(Path(nib.__file__).parent / "tests" / "data" / "anatomical.nii")
    saved = nib.load(tmp_path / "anatomical_turned.nii.gz")
    assert saved.shape == src.shape and np.allclose(saved.affine, src.affine)
    assert np.array_equal(saved.get_fdata(dtype=np.float32), result.T)
    # The turn's centre is a voxel centre here, and stays put.
    c = tuple((n - 1) // 2 for n in src.shape)
    assert saved.get_fdata()[c] == pytest.approx(src.get_fdata()[c], rel=1e-4)
    assert (tmp_path / "anatomical_turned.png").stat().st_size > 10_000
