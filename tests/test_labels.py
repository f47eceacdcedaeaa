"""interpolation="nearest" and "label" against a plain NumPy model of their
rules on random label maps of every integer type, on every worker count;
ties at half positions; thin structures; the footprint shared with
"linear"; agreement with one-hot trilinear then argmax; dtype and cval
refusals leaving out unchanged; tiles."""
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import vexiloimgc
from vexiloimgc._native import transform as native
from model import model

F32 = np.float32
rng = np.random.default_rng(23)


def source_index(shape, spacing, matrix, out_shape, out_spacing):
    """The continuous source index per axis, float32, as the linear rule forms it."""
    s = np.float32(spacing)
    m = np.float32(matrix).reshape(-1)[:12]
    o = s if out_spacing is None else np.float32(out_spacing)
    z, y, x = np.meshgrid(*[np.arange(n, dtype=F32) for n in out_shape], indexing="ij")
    px, py, pz = x * o[0], y * o[1], z * o[2]
    with np.errstate(all="ignore"):
        return [(((m[4 * k] * px + m[4 * k + 1] * py) + m[4 * k + 2] * pz) + m[4 * k + 3]) / s[k]
                for k in range(3)]


def nearest_model(vol, spacing, matrix, out_shape=None, out_spacing=None, cval=0, cs=None):
    """cs: the source indices (cx, cy, cz) to read, for a matrix of None."""
    out_shape = (vol.shape if out_shape is None else out_shape) if cs is None else cs[0].shape
    cs = source_index(vol.shape, spacing, matrix, out_shape, out_spacing) if cs is None else cs
    idx, ok = [], np.ones(out_shape, bool)
    for c, e in zip(cs, vol.shape[::-1]):
        d = c.astype(np.float64) + 0.5
        good = (d >= 0) & (d < e)
        ok &= good
        idx.append(np.floor(np.where(good, d, 0)).astype(np.int64))
    return np.where(ok, vol[idx[2], idx[1], idx[0]], vol.dtype.type(cval))


@np.errstate(invalid="ignore")  # weights of voxels the rule leaves out may be NaN
def label_model(vol, spacing, matrix, out_shape=None, out_spacing=None, cval=0, cs=None):
    out_shape = (vol.shape if out_shape is None else out_shape) if cs is None else cs[0].shape
    Z, Y, X = vol.shape
    cs = source_index(vol.shape, spacing, matrix, out_shape, out_spacing) if cs is None else cs
    cls, i0, f = [], [], []
    for c, e in zip(cs, (X, Y, Z)):
        good = (c > F32(-2.0**31)) & (c < F32(2.0**31))
        a = np.trunc(np.where(good, c, 0)).astype(np.int64)
        k = np.full(c.shape, 2)
        k[a + 1 == e] = 3
        k[a == -1] = 1
        k[~good | (a + 1 < 0) | (a + 1 > e)] = 0
        cls.append(k), i0.append(a), f.append((c - a.astype(F32)).astype(np.float64))
    (kx, ky, kz), (x0, y0, z0), (fx, fy, fz) = cls, i0, f
    gx, gy, gz = 1 - fx, 1 - fy, 1 - fz
    x1, y1, z1 = x0 + 1, y0 + 1, z0 + 1
    faces = (kx != 2).astype(int) + (ky != 2) + (kz != 2)
    ok = (kx != 0) & (ky != 0) & (kz != 0) & (faces <= 1)
    bx, by, bz = [np.where(k == 1, 0, e - 1) for k, e in ((kx, X), (ky, Y), (kz, Z))]

    def S(k, j, i):
        return vol[np.clip(k, 0, Z - 1), np.clip(j, 0, Y - 1), np.clip(i, 0, X - 1)]

    def T(k, j, i, w):  # a term: its label, its weight and its sample's place
        return S(k, j, i), w, tuple(np.broadcast_to(v, w.shape) for v in (k, j, i))

    terms = {  # per case, in term order
        "in": [T(z0, y0, x0, gx * gy * gz), T(z0, y0, x1, fx * gy * gz), T(z0, y1, x0, gx * fy * gz),
               T(z0, y1, x1, fx * fy * gz), T(z1, y0, x0, gx * gy * fz), T(z1, y0, x1, fx * gy * fz),
               T(z1, y1, x0, gx * fy * fz), T(z1, y1, x1, fx * fy * fz)],
        "x": [T(z0, y0, bx, gy * gz), T(z0, y1, bx, fy * gz), T(z1, y0, bx, gy * fz), T(z1, y1, bx, fy * fz)],
        "y": [T(z0, by, x1, fx * gz), T(z0, by, x0, gx * gz), T(z1, by, x0, gx * fz), T(z1, by, x1, fx * fz)],
        "z": [T(bz, y0, x1, fx * gy), T(bz, y0, x0, gx * gy), T(bz, y1, x0, gx * fy), T(bz, y1, x1, fx * fy)],
    }

    def greater(a, b):  # a > b, tuples of arrays compared in order
        out, same = np.zeros(a[0].shape, bool), np.ones(a[0].shape, bool)
        for u, v in zip(a, b):
            out |= same & (u > v)
            same &= u == v
        return out

    def pick(take, a, b):
        return tuple(np.where(take, u, v) for u, v in zip(a, b))

    def winner(ts):
        # A label's key: its score (its weights summed in term order), then
        # its heaviest term's weight and that term's place along Z, Y, X.
        best = key = None
        for lt, _, _ in ts:
            score = sum(np.where(lu == lt, wu, 0.0) for lu, wu, _ in ts)
            top = (np.full(lt.shape, -np.inf),) + (np.zeros(lt.shape, np.int64),) * 3
            for lu, wu, at in ts:
                mine = (wu,) + at
                top = pick((lu == lt) & greater(mine, top), mine, top)
            mine = (score,) + top
            take = np.ones(lt.shape, bool) if key is None else greater(mine, key)
            best = lt if best is None else np.where(take, lt, best)
            key = mine if key is None else pick(take, mine, key)
        return best

    got = np.select([faces == 0, kx != 2, ky != 2],
                    [winner(terms["in"]), winner(terms["x"]), winner(terms["y"])], winner(terms["z"]))
    return np.where(ok, got, vol.dtype.type(cval))


MODELS = {"nearest": nearest_model, "label": label_model}
SP = np.float32([0.9, 1.1, 1.7])


def turn(k=0):
    a = np.radians(11 + 17 * k)
    c, s = np.cos(a), np.sin(a)
    return np.float32([[c, -s, 0.05, 1.3 - k], [s, c, 0.1, -1.7], [0.02, -0.08, 1.05, 0.6 + k]])


MAPS = {
    "turn": (turn(), None, None),
    "half shift": (np.float32([[1, 0, 0, 0.45], [0, 1, 0, 0.55], [0, 0, 1, 0.85]]), None, None),
    "up by 2": (np.float32([[1, 0, 0, -0.5], [0, 1, 0, 0.3], [0, 0, 1, 0]]), (44, 50, 60), (0.45, 0.55, 0.85)),
    # Indices far past 2^31 along X (only x = 0 maps); NaN (z = 0) and
    # infinite (z > 0) along Y. No read may leave the source.
    "far": (np.float32([[1e10, 0, 0, -0.2], [0, 1, 0, 0], [0, 0, -1, 20]]), None, None),
    "not finite": (np.float32([[1, 0, 0, 0], [0, 1, np.inf, 0], [0, 0, 1, 0]]), None, None),
}


def label_map(shape, labels, dtype, blocky):
    """Random labels (values spread over the type's range), iid or in blocks."""
    dt = np.dtype(dtype)
    if dt == bool:
        values = np.array([False, True])
    else:
        lo, hi = int(np.iinfo(dt).min), int(np.iinfo(dt).max)
        n = min(labels, hi - lo + 1)
        values = np.array(sorted({lo + (hi - lo) * k // (n - 1) for k in range(n)}), dt.newbyteorder("="))
    if blocky:
        small = rng.integers(0, len(values), [n // 3 + 1 for n in shape])
        pick = small.repeat(3, 0).repeat(3, 1).repeat(3, 2)[tuple(slice(0, n) for n in shape)]
    else:
        pick = rng.integers(0, len(values), shape)
    return values[pick].astype(dt)


DTYPES = [np.uint8, np.int8, np.uint16, ">i2", np.int32, ">u4", np.int64, np.uint64, np.bool_]


@pytest.mark.parametrize("mode", ["nearest", "label"])
@pytest.mark.parametrize("dtype,labels,blocky", [(d, n, b) for d, n, b in zip(
    DTYPES, [2, 7, 300, 40, 300, 12, 300, 5, 2], [False, True] * 5)])
@pytest.mark.parametrize("where", list(MAPS))
def test_matches_the_model_on_every_worker_count(mode, dtype, labels, blocky, where):
    vols = np.stack([label_map((22, 25, 30), labels, dtype, blocky) for _ in range(2)])
    m, shape, osp = MAPS[where]
    maps = np.stack([m, turn(1)]) if where == "turn" else m
    cval = vols[0, 0, 0, 0].item() if dtype == np.bool_ else vols.max().item()
    want = [MODELS[mode](vols[v], SP, maps[v] if maps.ndim == 3 else m, shape, osp, cval) for v in range(2)]
    for workers in (1, 2, 3):
        got = vexiloimgc.transform(vols, SP, maps, output_shape=shape, output_spacing=osp, cval=cval,
                                   interpolation=mode, workers=workers)
        assert got.dtype == np.dtype(dtype).newbyteorder("=") and got.flags.c_contiguous
        np.testing.assert_array_equal(got, np.stack(want))


# Maps whose weights tie exactly: halves along every axis, a 2.5-fold
# down-sampling, and a turn through halves.
TIES = {
    "halves": (np.float32([[1, 0, 0, 0.5], [0, 1, 0, -0.5], [0, 0, 1, 0.5]]), (20, 21, 22), (1, 1, 1)),
    "down 2.5": (np.float32(np.eye(3, 4)), (8, 9, 9), (2.5, 2.5, 2.5)),
    "turn": (np.float32([[0, -1, 0, 20.5], [1, 0, 0, 0.5], [0, 0, 1, 0]]), (20, 22, 21), (1, 1, 1)),
}


@pytest.mark.parametrize("dtype", [np.uint8, ">i2", np.int64])
@pytest.mark.parametrize("where", list(TIES))
def test_relabelling_relabels_the_result(dtype, where):
    vol = label_map((20, 21, 22), 6, dtype, blocky=False)
    values = np.unique(vol)
    moved = np.concatenate([values[:1], rng.permutation(values[1:])])  # cval keeps its label

    def relabel(a):
        return moved[np.searchsorted(values, a)].astype(a.dtype)

    m, shape, osp = TIES[where]
    kw = dict(output_shape=shape, output_spacing=osp, cval=values[0].item(), interpolation="label", workers=2)
    got = vexiloimgc.transform(vol, np.ones(3), m, **kw)
    np.testing.assert_array_equal(vexiloimgc.transform(relabel(vol), np.ones(3), m, **kw), relabel(got))
    np.testing.assert_array_equal(got, label_model(vol, np.ones(3), m, shape, osp, values[0].item()))


@pytest.mark.parametrize("dtype", [np.float32, np.float64, ">f4"])
def test_nearest_moves_floats_bit_for_bit(dtype):
    vol = rng.standard_normal((20, 21, 22)).astype(dtype)
    vol.flat[::7] = np.nan
    got = vexiloimgc.transform(vol, SP, turn(), interpolation="nearest", cval=np.inf, workers=2)
    want = nearest_model(vol.astype(np.dtype(dtype).newbyteorder("=")), SP, turn(), cval=np.inf)
    assert got.dtype == np.dtype(dtype).newbyteorder("=") and got.tobytes() == want.tobytes()


def test_halves_go_to_the_higher_index():
    vol = np.arange(4 * 5 * 6, dtype=np.int16).reshape(4, 5, 6)
    shift = np.float32([[1, 0, 0, 0.5], [0, 1, 0, -0.5], [0, 0, 1, 0]])
    got = vexiloimgc.transform(vol, np.ones(3), shift, interpolation="nearest", cval=-1)
    # x + 0.5 takes x + 1; y - 0.5 takes y itself; the last column maps nowhere
    np.testing.assert_array_equal(got[:, :, :-1], vol[:, :, 1:])
    assert (got[:, :, -1] == -1).all()


def test_a_thin_sheet_kept_by_label_and_lost_by_nearest():
    z, y = np.indices((24, 24))
    sheet = np.where(z + y < 23, 0, np.where(z + y == 23, 1, 2)).astype(np.uint8)
    vol = np.repeat(sheet[:, :, None], 4, axis=2)
    m = np.float32([[1, 0, 0, 0], [0, 1, 0, 0.4], [0, 0, 1, 0.4]])
    kw = dict(output_shape=(11, 11, 4), output_spacing=(1, 2, 2), cval=9)
    label = vexiloimgc.transform(vol, np.ones(3), m, interpolation="label", **kw)
    nearest = vexiloimgc.transform(vol, np.ones(3), m, interpolation="nearest", **kw)
    assert (label == 1).sum() >= 10 * 3 and not (nearest == 1).any()


@pytest.mark.parametrize("where", list(MAPS))
def test_label_writes_where_linear_writes(where):
    vol = label_map((22, 25, 30), 9, np.int16, True)
    m, shape, osp = MAPS[where]
    lin = vexiloimgc.transform(vol, SP, m, output_shape=shape, output_spacing=osp, cval=np.nan)
    lab = vexiloimgc.transform(vol, SP, m, output_shape=shape, output_spacing=osp, cval=3,
                               interpolation="label")
    np.testing.assert_array_equal(lab != 3, ~np.isnan(lin))


@pytest.mark.parametrize("labels", [3, 10])
def test_label_is_one_hot_linear_then_argmax_where_that_has_no_tie(labels):
    vol = rng.integers(0, labels, (30, 31, 32)).astype(np.uint8)
    for k in range(3):
        m = turn(k) if k < 2 else np.float32([[0.6, 0, 0, 0.3], [0, 0.7, 0, 0.2], [0, 0, 0.5, 0.1]])
        hot = np.stack([vexiloimgc.transform((vol == v).astype(F32), SP, m, cval=np.nan) for v in range(labels)])
        lab = vexiloimgc.transform(vol, SP, m, interpolation="label", cval=255)
        top = np.sort(hot, axis=0)
        clear = ~np.isnan(top[-1]) & (top[-1] > top[-2])
        assert clear.mean() > 0.5
        np.testing.assert_array_equal(lab[clear], np.argmax(hot, axis=0)[clear])


def _out(dtype, shape=(6, 7, 8)):
    return np.full(shape, 3, dtype)


VOL8 = rng.integers(0, 5, (6, 7, 8)).astype(np.uint8)


@pytest.mark.parametrize("image,kw,text", [
    (VOL8.astype(F32), dict(interpolation="label"), 'interpolation="label" takes bool or integer'),
    (VOL8.astype(np.float16), dict(interpolation="nearest"), 'interpolation="nearest" takes bool'),
    (VOL8, dict(interpolation="quintic"), 'interpolation must be "linear", "nearest", "label" or "cubic"'),
    (VOL8, dict(interpolation=None), 'interpolation must be'),
    (VOL8, dict(interpolation="label", cval=256), "cval 256 does not fit uint8 exactly"),
    (VOL8, dict(interpolation="label", cval=-1), "cval -1 does not fit uint8"),
    (VOL8, dict(interpolation="nearest", cval=0.5), "cval 0.5 does not fit uint8"),
    (VOL8, dict(interpolation="nearest", cval=np.nan), "cval nan does not fit"),
    (VOL8.astype(np.int64), dict(interpolation="label", cval=2**63), "does not fit int64"),
    (VOL8.astype(np.uint64), dict(interpolation="label", cval=2**64), "beyond 64 bits"),
    (VOL8.astype(np.bool_), dict(interpolation="label", cval=2), "does not fit bool"),
    (VOL8.astype(F32), dict(interpolation="nearest", cval=0.1), "cval 0.1 does not fit float32"),
    (VOL8.astype(F32), dict(interpolation="nearest", cval=2**24 + 1), "does not fit float32"),
    # Reals that are not floats are read exactly, not through their double.
    (VOL8.astype(np.float64), dict(interpolation="nearest", cval=Fraction(1, 3)),
     "cval Fraction(1, 3"),
    (VOL8.astype(np.float64), dict(interpolation="nearest", cval=Decimal("0.1")),
     "cval Decimal('0.1'"),
    (VOL8.astype(np.int64), dict(interpolation="label", cval=Fraction(2**63 + 1)), "cval 9223372036854775809 does"),
])
def test_refusals_leave_out_unchanged(image, kw, text):
    out = _out(np.dtype(image.dtype).newbyteorder("="))
    with pytest.raises(ValueError, match=text.replace("(", r"\(")):
        vexiloimgc.transform(image, np.ones(3), np.eye(4), out=out, **kw)
    assert np.array_equal(out, _out(out.dtype))


@pytest.mark.parametrize("image,out,text", [
    (VOL8, _out(np.int8), "out must be uint8 in the machine's byte order, not dtype('int8')"),
    (VOL8, _out(F32), "out must be uint8"),
    (VOL8.astype(">i4"), _out(">i4"), "out must be int32 in the machine's byte order"),
    (VOL8, _out(np.uint8, (8, 7, 6)).T, "out must be C-contiguous"),
    (VOL8, _out(np.uint8, (6, 7, 9)), "out must have the image's shape"),
])
def test_out_must_hold_the_images_type(image, out, text):
    before = out.copy()
    with pytest.raises(ValueError, match=text.replace("(", r"\(").replace(")", r"\)")):
        vexiloimgc.transform(image, np.ones(3), np.eye(4), out=out, interpolation="nearest")
    assert np.array_equal(out, before)


@pytest.mark.parametrize("dtype,cval", [(np.uint64, 2**64 - 1), (np.int64, -2**63), (np.int64, 2**53 + 1),
                                        (np.uint8, np.uint8(200)), (np.int16, -7.0), (np.bool_, True),
                                        (np.int64, Fraction(2**53 + 1)), (np.uint64, Decimal(2**64 - 1)),
                                        (np.int64, Fraction(-(2**63) + 1, 1)), (np.int32, Decimal("-7.000"))])
def test_cval_exact_in_every_type(dtype, cval):
    vol = VOL8.astype(dtype)
    out = np.zeros(vol.shape, dtype)
    got = vexiloimgc.transform(vol, np.ones(3), np.eye(4), interpolation="label", cval=cval, out=out)
    assert got is out and got[-1, -1, -1] == dtype(int(cval)) and got[0, 0, 0] == vol[0, 0, 0]


@pytest.mark.parametrize("mode", ["nearest", "label"])
def test_in_place_and_copied_images_agree(mode):
    vol = label_map((20, 22, 24), 6, np.uint16, False)
    want = vexiloimgc.transform(vol, SP, turn(), interpolation=mode)
    for image in (vol.astype(">u2"), np.asfortranarray(vol), vol[:, ::-1][:, ::-1], vol[::1, :, :].copy()):
        np.testing.assert_array_equal(vexiloimgc.transform(image, SP, turn(), interpolation=mode), want)
    # crops read in place
    big = np.zeros((24, 26, 30), np.uint16)
    big[2:22, 1:23, 3:27] = vol
    np.testing.assert_array_equal(
        vexiloimgc.transform(big[2:22, 1:23, 3:27], SP, turn(), interpolation=mode), want)


@pytest.mark.parametrize("mode", ["linear", "nearest", "label"])
def test_tiles_give_the_whole_grids_bits(mode):
    vol = label_map((30, 32, 34), 8, np.int32, True)
    m, osp, shape = MAPS["up by 2"][0], np.float32([0.5, 0.5, 0.5]), (60, 64, 68)
    call = dict(spacing=np.ones(3), matrix=m, output_spacing=osp, cval=7, interpolation=mode, workers=2)
    whole = native(image=vol, output_shape=shape, **call)
    for wz, wy, wx, n in [(0, 0, 0, 16), (20, 30, 10, 24), (40, 40, 48, 20)]:
        lo = [max(0, w // 2 - 2) for w in (wz, wy, wx)]
        hi = [min(e, (w + n) // 2 + 3) for w, e in zip((wz, wy, wx), vol.shape)]
        box = vol[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]]
        got = native(image=box, output_shape=(n, n, n), tile=list(vol.shape) + lo + [wz, wy, wx], **call)
        want = whole[wz:wz + n, wy:wy + n, wx:wx + n]
        assert got.tobytes() == want.tobytes()
        # a box short of planes the window reads: voxels that need them map nowhere, the rest keep their bits
        short = native(image=box[:-3], output_shape=(n, n, n), tile=list(vol.shape) + lo + [wz, wy, wx], **call)
        lost = short != want
        assert lost.any() and (short[lost] == 7).all()


@pytest.mark.parametrize("mode", ["linear", "nearest", "label"])
@pytest.mark.parametrize("axis", [0, 1, 2])
@pytest.mark.parametrize("b", [1, 3])
def test_a_box_past_the_low_planes_leaves_their_readers_unmapped(mode, axis, b):
    """The whole grid from a box that starts at plane b of one axis: a voxel
    that reads a plane below b maps nowhere; every other voxel keeps the
    whole call's bits (on the other axes, the whole source's low faces and
    coordinates in (-1, 0) too)."""
    vol = label_map((9, 10, 11), 6, np.uint8, False)
    m = np.eye(4, dtype=F32)
    m[:3, 3] = -1.9  # quarter steps from -1.9: (b - 1, b) and both low bands on every axis
    osp, shape = np.float32([0.25, 0.25, 0.25]), (48, 52, 56)
    call = dict(spacing=np.ones(3), matrix=m, output_shape=shape, output_spacing=osp, cval=7, interpolation=mode,
                workers=1)
    whole = native(image=vol, **call)
    lo = [0, 0, 0]
    lo[axis] = b
    box = vol[tuple(slice(a, None) for a in lo)]
    got = native(image=box, tile=list(vol.shape) + lo + [0, 0, 0], **call)
    c = np.arange(shape[axis], dtype=F32) * F32(0.25) + F32(-1.9)
    lacks = c + F32(0.5) < b if mode == "nearest" else c < b  # c > -1 truncates, (-2, -1] reads plane 0
    want = np.where(lacks.reshape([-1 if k == axis else 1 for k in range(3)]), np.uint8(7), whole)
    assert got.dtype == whole.dtype and got.tobytes() == want.astype(whole.dtype).tobytes()


def test_empty_source_and_reslice():
    got = vexiloimgc.transform(np.zeros((0, 4, 4), np.uint8), np.ones(3), np.eye(4), output_shape=(2, 3, 4),
                               interpolation="label", cval=5)
    assert got.dtype == np.uint8 and (got == 5).all()
    data = label_map((12, 13, 14), 4, np.uint8, True)
    aff = np.diag([2.0, 2.0, 2.0, 1.0])
    res = vexiloimgc.reslice(data, aff, (24, 26, 28), np.diag([1.0, 1.0, 1.0, 1.0]), interpolation="nearest")
    assert res.dtype == np.uint8 and res.shape == (24, 26, 28)
    np.testing.assert_array_equal(res[::2, ::2, ::2], data)


def test_linear_bits_unchanged_beside_model():
    vol = label_map((15, 16, 17), 5, np.uint8, False)
    got = vexiloimgc.transform(vol, SP, turn(), interpolation="linear")
    assert got.tobytes() == model(vol, SP, turn().ravel()).tobytes()
