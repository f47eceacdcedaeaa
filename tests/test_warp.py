"""vexiloimgc.warp and Field: one affine step against transform bit for bit;
chains of maps and fields against the NumPy model of docs/usage.md
("Warps") for every rule, worker count and a few element types; constant
fields as translations; scipy's order-1 map_coordinates; fields read in
place; refusals leaving out unchanged."""
import numpy as np
import pytest

import vexiloimgc
from vexiloimgc import Field, warp
from model import cubic_model, field_inverse, moded_model, sample, warp_indices
from test_labels import label_model, nearest_model

F32 = np.float32
rng = np.random.default_rng(41)
SP = F32([0.9, 1.1, 1.3])


def turn(k, shift=0.0):
    r = np.random.default_rng(k)
    m = np.eye(3, 4, dtype=np.float64)
    m[:, :3] += r.uniform(-0.2, 0.2, (3, 3))
    m[:, 3] = r.uniform(-3, 3, 3) + shift
    return m.astype(F32)


def image(shape, rule, dtype):
    if rule == "label":
        return rng.integers(0, 4, shape).astype(dtype)
    return (rng.uniform(-50, 50, shape) if np.dtype(dtype).kind == "f" else rng.integers(0, 100, shape)).astype(dtype)


def smooth_field(shape, scale):
    """A displacement that varies slowly: a coarse random field's trilinear zoom."""
    return rng.uniform(-scale, scale, shape + (3,)).astype(F32)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# ---- one affine step is transform ---------------------------------------------------

ZERO = "zero field before", "zero field after"


@pytest.mark.parametrize("rule,dtype", [("linear", F32), ("linear", np.int16), ("nearest", np.uint16),
                                        ("label", np.int32)])
@pytest.mark.parametrize("four_d", [False, True])
@pytest.mark.parametrize("zero", [None, *ZERO])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_one_affine_step_gives_the_transform_bits(rule, dtype, four_d, zero, seed):
    img = image((2, 9, 10, 11) if four_d else (9, 10, 11), rule, dtype)
    m = np.stack([turn(seed), turn(seed + 10)]) if four_d else turn(seed)
    steps = [m]
    if zero:
        f = Field(np.zeros((12, 13, 14, 3), F32), SP * F32(1.3))
        steps = [f, m] if zero == ZERO[0] else [m, f]
    kw = dict(interpolation=rule, output_shape=(10, 12, 13), output_spacing=(0.8, 0.9, 1.2), cval=3)
    assert same_bits(warp(img, SP, steps, **kw), vexiloimgc.transform(img, SP, m, **kw))


MODES = [None, "constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"]


@pytest.mark.parametrize("rule,dtype", [("linear", F32), ("nearest", np.uint16), ("label", np.int32),
                                        ("cubic", F32)])
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("zero", [None, ZERO[0], "no step"])
def test_every_rule_and_mode_gives_the_transform_bits(rule, dtype, mode, zero):
    """One map alone (none: the identity) runs transform's call; a zero field before it reads each point alone."""
    img = image((2, 7, 8, 9), rule, dtype)
    m = np.stack([turn(4, 3.0), turn(14, -3.0)])  # past every edge, where the modes differ
    steps = [Field(np.zeros((12, 13, 14, 3), F32), SP), m] if zero == ZERO[0] else [m]
    if zero == "no step":
        m, steps = np.eye(3, 4, dtype=F32), []
    kw = dict(interpolation=rule, mode=mode, output_shape=(9, 10, 11), output_spacing=(1.1, 1.2, 1.3), cval=5)
    assert same_bits(warp(img, SP, steps, **kw), vexiloimgc.transform(img, SP, m, **kw))


# ---- chains against the model -------------------------------------------------------


def chains(n):
    """Chains as (package steps, model steps per volume); n volumes."""
    near = smooth_field((48, 52, 56), 1.5)            # on the output grid
    coarse = smooth_field((6, 7, 8), 3.0)             # its own spacing
    tilted = smooth_field((9, 1, 10), 2.0)            # its own matrix, one sample along Y
    tilt = np.float64([[0.95, -0.3, 0.0, 2.0], [0.3, 0.95, 0.1, -1.0], [0.0, -0.1, 1.0, 0.5]])
    per = smooth_field((n, 10, 11, 12), 2.0)          # one per volume
    wild = smooth_field((8, 9, 10), 2.0)             # NaN, infinities, indices far past 2^31
    hostile = F32([np.nan, np.inf, -np.inf, 3e9, -1e30])
    wild.reshape(-1)[rng.choice(wild.size, 40, replace=False)] = rng.choice(hostile, 40)
    o = F32([0.45, 0.5, 0.55])
    return {
        "field of non-finite and huge values": (
            [Field(wild, (3.0, 3.0, 3.0)), turn(9)],
            [[("field", wild, field_inverse((3.0, 3.0, 3.0))), ("affine", turn(9))]] * n),
        "field on the output grid": ([Field(near, o)], [[("field", near, field_inverse(o))]] * n),
        "map, coarse field, map": (
            [turn(5), Field(coarse, (3.1, 3.3, 3.7)), turn(6)],
            [[("affine", turn(5)), ("field", coarse, field_inverse((3.1, 3.3, 3.7))), ("affine", turn(6))]] * n),
        "field with its own matrix": (
            [Field(tilted, (2.5, 1.0, 2.0), tilt), turn(7)],
            [[("field", tilted, field_inverse((2.5, 1.0, 2.0), tilt)), ("affine", turn(7))]] * n),
        "per volume": (
            [Field(per, (2.2, 2.3, 2.1)), np.stack([turn(8 + v) for v in range(n)])],
            [[("field", per[v], field_inverse((2.2, 2.3, 2.1))), ("affine", turn(8 + v))] for v in range(n)]),
    }


def expected(img, rule, per_volume_steps, grid, o, cval, mode=None):
    vols = img if img.ndim == 4 else img[None]
    out = []
    for v, steps in enumerate(per_volume_steps):
        cs = warp_indices(SP, steps, grid, o)
        if rule == "cubic":
            out.append(cubic_model(vols[v], SP, None, mode, cval=cval, cs=cs))
        elif mode is not None:
            out.append(moded_model(vols[v], SP, None, rule, mode, cval=cval, cs=cs))
        elif rule == "linear":
            out.append(sample(vols[v:v + 1].astype(F32), *cs, cval)[0])
        else:
            model = nearest_model if rule == "nearest" else label_model
            out.append(model(vols[v], SP, None, cval=cval, cs=cs))
    return np.stack(out) if img.ndim == 4 else out[0]


@pytest.mark.parametrize("rule,dtype", [("linear", F32), ("linear", np.uint8), ("linear", np.float64),
                                        ("nearest", F32), ("nearest", np.int64), ("label", np.uint8),
                                        ("label", np.int16)])
@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("chain", ["field on the output grid", "map, coarse field, map",
                                   "field with its own matrix", "per volume", "field of non-finite and huge values"])
def test_chains_match_the_model(rule, dtype, workers, chain):
    n = 2 if chain == "per volume" else 1
    img = image((n, 20, 22, 24) if n > 1 else (20, 22, 24), rule, dtype)
    steps, model_steps = chains(n)[chain]
    grid, o = (48, 52, 56), F32([0.45, 0.5, 0.55])
    got = warp(img, SP, steps, output_shape=grid, output_spacing=o, interpolation=rule, cval=7, workers=workers)
    assert same_bits(got, expected(img, rule, model_steps, grid, o, 7).astype(got.dtype))


@pytest.mark.parametrize("rule,dtype,mode", [  # the rules' None is test_chains_match_the_model's
    (r, d, m) for r, d in [("linear", F32), ("nearest", np.int64), ("label", np.uint8), ("cubic", F32),
                           ("cubic", np.int16)] for m in (MODES if r == "cubic" else MODES[1:])])
@pytest.mark.parametrize("chain", ["map, coarse field, map", "per volume", "field of non-finite and huge values"])
def test_chains_match_the_model_under_every_mode(rule, dtype, mode, chain):
    n = 2 if chain == "per volume" else 1
    img = image((n, 10, 11, 12) if n > 1 else (10, 11, 12), rule, dtype)
    steps, model_steps = chains(n)[chain]
    grid, o = (20, 22, 24), F32([0.7, 0.75, 0.8])
    got = warp(img, SP, steps, output_shape=grid, output_spacing=o, interpolation=rule, mode=mode, cval=7)
    assert same_bits(got, expected(img, rule, model_steps, grid, o, 7, mode).astype(got.dtype))


def test_a_constant_field_is_a_translation():
    img = image((12, 13, 14), "linear", F32)
    t = F32([0.7, -1.3, 2.1])
    field = Field(np.broadcast_to(t, (12, 13, 14, 3)), SP)  # covers every output point
    np.testing.assert_allclose(warp(img, SP, [field]),
                               vexiloimgc.transform(img, SP, np.eye(3, 4, dtype=F32) + np.c_[np.zeros((3, 3)), t]),
                               rtol=1e-6, atol=1e-5)


def test_agrees_with_scipy_map_coordinates():
    ndimage = pytest.importorskip("scipy.ndimage")
    img = rng.uniform(0, 1, (30, 32, 34)).astype(F32)
    fs = F32([4.0, 4.0, 4.0])
    u = smooth_field((9, 9, 10), 1.0)
    got = warp(img, SP, [Field(u, fs)])
    z, y, x = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in img.shape], indexing="ij")
    p = [x * SP[0], y * SP[1], z * SP[2]]
    at = [p[2] / fs[2], p[1] / fs[1], p[0] / fs[0]]
    d = [ndimage.map_coordinates(u[..., j].astype(np.float64), at, order=1) for j in range(3)]
    c = [(p[j] + d[j]) / SP[j] for j in range(3)]
    want = ndimage.map_coordinates(img.astype(np.float64), c[::-1], order=1)
    inside = np.ones(img.shape, bool)  # both the field's grid and the source's interior
    for j, e in enumerate(img.shape[::-1]):
        inside &= (at[2 - j] <= u.shape[2 - j] - 1) & (c[j] >= 0) & (c[j] <= e - 1)
    assert inside.mean() > 0.5
    np.testing.assert_allclose(got[inside], want[inside], rtol=0, atol=1e-5)


# ---- fields read in place -----------------------------------------------------------


def test_a_float32_field_is_read_where_it_lies():
    img = image((12, 13, 14), "linear", F32)
    base = smooth_field((14, 13, 12), 2.0)
    strided = base.transpose(2, 1, 0, 3)  # (12, 13, 14, 3), not C-contiguous
    f = Field(strided, SP)
    assert f.displacement is strided
    assert same_bits(warp(img, SP, [f]), warp(img, SP, [Field(np.ascontiguousarray(strided), SP)]))
    as64 = Field(strided.astype(np.float64), SP)  # by value
    assert as64.displacement.dtype == F32 and same_bits(warp(img, SP, [as64]), warp(img, SP, [f]))


# ---- refusals -----------------------------------------------------------------------


def bad_calls():
    f3 = Field(np.zeros((4, 5, 6, 3), F32), SP)
    f5 = Field(np.zeros((3, 4, 5, 6, 3), F32), SP)
    return {
        "neither": (TypeError, "steps\\[1\\] must be an affine map or a vexiloimgc.Field", (5, 6, 7),
                    [turn(1), "shift"], {}),
        "not a sequence": (TypeError, "steps must be a sequence", (5, 6, 7), 3.5, {}),
        "maps per volume, count": (ValueError, "does not fit a 4-D image of 2 volumes", (2, 5, 6, 7),
                                   [np.stack([turn(1)] * 3)], {}),
        "fields per volume, count": (ValueError, "does not fit a 4-D image of 2 volumes", (2, 5, 6, 7), [f5], {}),
        "field per volume, 3-D image": (ValueError, "does not fit a 3-D image", (5, 6, 7), [f5], {}),
        "unknown mode": (ValueError, "mode", (5, 6, 7), [f3], {"mode": "wrap"}),
        "out in the field": (ValueError, "share memory with steps\\[0\\]", (5, 6, 7), "out", {}),
    }


@pytest.mark.parametrize("case", list(bad_calls()))
def test_bad_calls_raise_and_write_nothing(case):
    kind, text, shape, steps, kw = bad_calls()[case]
    out = np.full(shape, 9, F32)
    if isinstance(steps, str):  # the field is a view of out
        steps = [Field(np.lib.stride_tricks.as_strided(out, shape + (3,), out.strides + (0,)), SP)]
    before = out.copy()
    with pytest.raises(kind, match=text):
        warp(np.ones(shape, F32), SP, steps, out=out, **kw)
    assert same_bits(out, before)


def test_conversions_come_before_the_checks():
    class Boom(Exception):
        pass

    class Value:
        def __float__(self):
            raise Boom

    with pytest.raises(Boom):
        warp(np.ones((5, 6, 7), F32), SP, [turn(1), "shift"], cval=Value())


@pytest.mark.parametrize("args,kind,text", [
    ((np.zeros((4, 5, 6, 2), F32), SP), ValueError, "displacement must be"),
    ((np.zeros((5, 6, 3), F32), SP), ValueError, "displacement must be"),
    ((np.zeros((4, 5, 6, 3), F32), (1.0, np.nan, 1.0)), ValueError, "finite and positive"),
    ((np.zeros((4, 5, 6, 3), F32), (1.0, 0.0, 1.0)), ValueError, "finite and positive"),
    ((np.zeros((4, 5, 6, 3), F32), SP, np.zeros((3, 4))), ValueError, "cannot be inverted"),
    ((np.zeros((4, 5, 6, 3), F32), SP, np.eye(3)), ValueError, "matrix must be"),
    ((np.array([["a"]]), SP), TypeError, "numbers"),
])
def test_bad_fields_are_refused(args, kind, text):
    with pytest.raises(kind, match=text):
        Field(*args)


def test_a_field_is_read_only():
    f = Field(np.zeros((2, 2, 2, 3), F32), SP)
    with pytest.raises(AttributeError):
        f.spacing = SP  # type: ignore[misc]


# ---- the field's margin -------------------------------------------------------------


def test_a_field_on_the_output_grid_moves_every_voxel():
    # At 0.7 mm x * 0.7 maps to field index x + 2^-19 on some planes: past
    # the last sample, within its half-sample margin.
    img = image((22, 28, 29), "linear", F32)
    sp, t = F32([0.7, 0.7, 0.7]), F32([0.5, -0.6, 0.4])
    field = Field(np.broadcast_to(t, img.shape + (3,)), sp)
    shift = np.eye(3, 4, dtype=F32) + np.c_[np.zeros((3, 3)), t]
    assert same_bits(warp(img, sp, [field]), vexiloimgc.transform(img, sp, shift))


def test_the_margin_moves_points_as_simpleitk_does():
    sitk = pytest.importorskip("SimpleITK")
    r = np.random.default_rng(5)
    fs, u = (0.7, 0.9, 1.1), r.uniform(-2, 2, (5, 6, 7, 3)).astype(F32)
    ref = sitk.GetImageFromArray(u.astype(np.float64), isVector=True)
    ref.SetSpacing(fs)
    itk = sitk.DisplacementFieldTransform(ref)
    # Field indices along each axis within, on and just past the margin.
    marks = [lambda e: -0.7, lambda e: -0.52, lambda e: -0.48, lambda e: -0.2, lambda e: 0.0, lambda e: 1.3,
             lambda e: e - 1.0, lambda e: e - 0.8, lambda e: e - 0.52, lambda e: e - 0.48, lambda e: e - 0.2]
    c = np.array([[marks[k](e) for k, e in zip(r.integers(0, len(marks), 3), (7, 6, 5))] for _ in range(300)])
    p = (c * fs).astype(F32)
    # The points p on a one-row grid: a field of p - x; the warp's result, read
    # from ramps along X, Y, Z (exact under "linear"), is where p moves.
    to_p = Field((p - np.c_[np.arange(len(p)), np.zeros((len(p), 2))]).astype(F32)[None, None], (1, 1, 1))
    ramps = np.stack(np.meshgrid(*[np.arange(20, dtype=F32)] * 3, indexing="ij")[::-1])
    got = warp(ramps, (1, 1, 1), [to_p, Field(u, fs), np.eye(3, 4) + np.c_[np.zeros((3, 3)), [5, 5, 5]]],
               output_shape=(1, 1, len(p)))[:, 0, 0].T - 5
    want = np.array([itk.TransformPoint(tuple(map(float, q))) for q in p])
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-4)


@pytest.mark.parametrize("args", [((1, 1, 1), np.diag([1, 1, 1e-300, 1])), ((1, 1, 1e-40),)],
                         ids=["matrix", "spacing"])
def test_a_field_whose_inverse_overflows_float32_is_refused(args):
    with pytest.raises(ValueError, match="inverse too large for float32"):
        Field(np.ones((2, 2, 2, 3)), *args)
