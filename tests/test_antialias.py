"""antialias=True: the package against the NumPy model (the Gaussian of
gaussian_model per volume, then the linear or cubic model) bit for bit, less
aliasing on a down-sampled noise, and its refusals."""

import numpy as np
import pytest

import model
import vexiloimgc
from conftest import EYE
from test_cubic import turned
from test_filters import same_bits

F32 = np.float32
SP = np.array([1.0, 0.8, 1.25], F32)  # X, Y, Z


def scaled(x, y, z, shift=(0.3, -0.4, 0.2)):
    return np.array([x, 0, 0, shift[0], 0, y, 0, shift[1], 0, 0, z, shift[2]], F32)


# map, output spacing, output grid (Z, Y, X)
CASES = {
    "half": (EYE, 2 * SP, (9, 12, 13)),
    "anisotropic": (scaled(1.0, 2.6, 0.5), (1.5, 1.0, 3.0), (6, 12, 12)),
    "turned": (turned(30.0, 2.0), SP, (9, 11, 12)),
    "huge": (scaled(3000.0, 1.0, 1.0), SP, (4, 5, 6)),  # d taken as 1024
    "up": (turned(10.0, 0.6), SP * 0.9, (20, 24, 26)),  # every d <= 1: not smoothed
}


def expected(img, matrix, rule, mode, grid, osp, maps=None):
    maps = [matrix] * (img.shape[0] if img.ndim == 4 else 1) if maps is None else maps
    sm = model.antialiased(img, SP, maps, mode if rule == "cubic" else None, osp)
    vols = sm if sm.ndim == 4 else sm[None]
    if rule == "linear":
        out = [model.model(v, SP, m, grid, osp, cval=-2.5) for v, m in zip(vols, maps)]
    else:
        out = [model.cubic_model(v, SP, m, mode, grid, osp, cval=-2.5) for v, m in zip(vols, maps)]
    return np.stack(out) if img.ndim == 4 else out[0]


@pytest.mark.parametrize("rule,mode", [("linear", None), ("cubic", None), ("cubic", "nearest"),
                                       ("cubic", "grid-wrap"), ("cubic", "grid-constant")])
@pytest.mark.parametrize("name", sorted(CASES))
@pytest.mark.parametrize("dtype", [F32, np.int16])
def test_model_bit_for_bit(rule, mode, name, dtype):
    img = np.random.default_rng(4).uniform(-50, 50, (19, 23, 25)).astype(dtype)
    before = img.copy()
    matrix, osp, grid = CASES[name]
    want = expected(img, matrix, rule, mode, grid, osp)
    for workers in (1, 2):
        got = vexiloimgc.transform(img, SP, matrix, interpolation=rule, mode=mode, antialias=np.True_,
                                   output_shape=grid, output_spacing=osp, cval=-2.5, workers=workers)
        same_bits(got, want)
    np.testing.assert_array_equal(img, before)  # the source is smoothed in a copy
    if name == "up":
        same_bits(got, vexiloimgc.transform(img, SP, matrix, interpolation=rule, mode=mode, output_shape=grid,
                                            output_spacing=osp, cval=-2.5))


@pytest.mark.parametrize("rule", ["linear", "cubic"])
def test_per_volume_maps_and_threads(rule):
    # Enough voxels for two threads with the lock released; each volume its own factors.
    img = np.random.default_rng(9).uniform(-1, 1, (3, 30, 34, 36)).astype(F32)
    maps = np.stack([scaled(2.0, 1.0, 1.0), turned(-20.0, 1.7), scaled(0.5, 0.7, 3.2)])
    want = expected(img, None, rule, None, (30, 34, 36), None, maps=list(maps))
    for workers in (1, 2):
        got = vexiloimgc.transform(img, SP, maps, interpolation=rule, antialias=True, cval=-2.5,
                                   workers=workers)
        same_bits(got, want)


def test_reslice_passes_antialias():
    data = np.random.default_rng(5).uniform(-1, 1, (16, 14, 12)).astype(F32)
    target = np.diag([2.0, 2.0, 2.0, 1.0])
    got = vexiloimgc.reslice(data, np.eye(4), (8, 7, 6), target, antialias=True)
    m = scaled(2.0, 2.0, 2.0, (0, 0, 0))
    sm = model.antialiased(data.T, np.ones(3), [m], None)
    same_bits(got, model.model(sm, np.ones(3), m, (6, 7, 8)).T)


def high_energy(a):
    """A volume's energy above half its Nyquist frequency along any axis."""
    p = np.abs(np.fft.fftn(a)) ** 2
    f = np.meshgrid(*[np.abs(np.fft.fftfreq(n)) for n in a.shape], indexing="ij")
    return p[(f[0] > 0.25) | (f[1] > 0.25) | (f[2] > 0.25)].sum() / a.size


@pytest.mark.parametrize("pattern,step", [("checkerboard", 2), ("noise", 4)])
def test_down_sampling_aliases_less(pattern, step):
    z, y, x = np.indices((64, 64, 64))
    if pattern == "checkerboard":  # every second sample of it is +1: all of it aliases to a constant
        img = np.where((x + y + z) % 2 == 0, 1.0, -1.0).astype(F32)
    else:
        img = np.random.default_rng(1).uniform(-1, 1, (64, 64, 64)).astype(F32)
    one = np.ones(3, F32)
    kw = dict(output_shape=(64 // step - 1,) * 3, output_spacing=(step,) * 3)
    plain = vexiloimgc.transform(img, one, EYE, **kw)
    smooth = vexiloimgc.transform(img, one, EYE, antialias=True, **kw)
    if pattern == "checkerboard":
        assert plain.min() == 1 and abs(smooth).max() < 0.2  # 0.574 per axis at Nyquist
    else:
        assert high_energy(smooth) < 0.02 * high_energy(plain)


class Interrupting:
    def __float__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("kw,exc,text", [
    (dict(interpolation="nearest", antialias=True), ValueError, "'nearest' picks samples and takes antialias=False"),
    (dict(interpolation="label", antialias=np.True_), ValueError, "'label' picks samples"),
    (dict(antialias=1), TypeError, "antialias must be True or False, not int"),
    (dict(antialias=None), TypeError, "antialias must be True or False, not NoneType"),
    (dict(antialias="yes", workers=0), ValueError, "workers must not be 0"),  # workers first
    (dict(antialias="yes", cval=Interrupting()), KeyboardInterrupt, None),  # the caller's code before
    (dict(antialias="yes", image=np.zeros((2, 3), np.int16)), TypeError, "antialias"),  # before the image
])
def test_refusals(kw, exc, text):
    img = kw.pop("image", np.ones((6, 7, 8), np.int16))
    out = np.full((6, 7, 8), 3, np.int16)
    with pytest.raises(exc, match=text):
        vexiloimgc.transform(img, SP, EYE, out=out, **kw)
    assert (out == 3).all()
