"""An independent NumPy model of the resampling, written from the arithmetic
rules rather than from the C++ code: single-precision coordinates in a fixed
order, truncation toward zero, four axis classes, double-precision weights
and sums, float32 store."""

import math

import numpy as np

F32 = np.float32
OUT, LOW, IN, HIGH = 0, 1, 2, 3


def _axis(c, extent):
    """Class, low index and weights (w0 for i0, w1 for i1) of one axis."""
    ok = (c > F32(-2.0**31)) & (c < F32(2.0**31))  # NaN and huge: outside
    i0 = np.trunc(np.where(ok, c, F32(0))).astype(np.int64)
    i1 = i0 + 1
    cls = np.full(c.shape, IN)
    cls[i1 == extent] = HIGH
    cls[i0 == -1] = LOW
    cls[~ok | (i1 < 0) | (i1 > extent)] = OUT
    f = (c - i0.astype(F32)).astype(np.float64)
    return cls, i0, 1.0 - f, f


def positions(shape, s, m, output_shape, output_spacing):
    """Every output voxel's continuous source index (cx, cy, cz), in single
    precision in the kernel's order, and the output grid (Z, Y, X)."""
    Z, Y, X = shape[-3:]
    o = s if output_spacing is None else np.asarray(output_spacing, np.float64)[:3].astype(F32)
    OZ, OY, OX = (Z, Y, X) if output_shape is None else tuple(output_shape)[-3:]
    z, y, x = np.meshgrid(np.arange(OZ, dtype=F32), np.arange(OY, dtype=F32),
                          np.arange(OX, dtype=F32), indexing="ij")
    with np.errstate(all="ignore"):
        px, py, pz = x * o[0], y * o[1], z * o[2]
        cx = (((m[0] * px + m[1] * py) + m[2] * pz) + m[3]) / s[0]
        cy = (((m[4] * px + m[5] * py) + m[6] * pz) + m[7]) / s[1]
        cz = (((m[8] * px + m[9] * py) + m[10] * pz) + m[11]) / s[2]
    return (cx, cy, cz), (OZ, OY, OX)


def _indices(shape, spacing, matrix, output_shape, output_spacing, cs):
    """positions() of a map given as any array, or cs, the source indices
    (cx, cy, cz) to read, for a matrix of None; and the output grid."""
    if cs is not None:
        return cs, cs[0].shape
    s = np.asarray(spacing, np.float64)[:3].astype(F32)
    m = np.asarray(matrix, np.float64).reshape(-1)[:12].astype(F32)
    return positions(shape, s, m, output_shape, output_spacing)


def model(image, spacing, matrix, output_shape=None, output_spacing=None, cval=0.0):
    """Onto the image's own grid, or onto output_shape (Z, Y, X) with
    output_spacing (X, Y, Z); voxels that map nowhere get cval."""
    img = np.asarray(image).astype(F32)
    vols = img if img.ndim == 4 else img[None]
    s = np.asarray(spacing).reshape(len(spacing), -1)[:3, 0].astype(F32)
    m = np.asarray(matrix).reshape(len(matrix), -1)[:12, 0].astype(F32)
    (cx, cy, cz), _ = positions(vols.shape, s, m, output_shape, output_spacing)
    out = sample(vols, cx, cy, cz, cval)
    return out if img.ndim == 4 else out[0]


def sample(vols, cx, cy, cz, cval=0.0):
    """The linear rule of (N, Z, Y, X) float32 volumes at the continuous
    indices cx, cy, cz (float32, of the output grid's shape)."""
    n, Z, Y, X = vols.shape
    OZ, OY, OX = cx.shape
    with np.errstate(all="ignore"):
        kx, x0, gx, fx = _axis(cx, X)
        ky, y0, gy, fy = _axis(cy, Y)
        kz, z0, gz, fz = _axis(cz, Z)
    faces = (kx != IN).astype(int) + (ky != IN) + (kz != IN)
    ok = (kx != OUT) & (ky != OUT) & (kz != OUT) & (faces <= 1)
    bx = np.where(kx == LOW, 0, X - 1)
    by = np.where(ky == LOW, 0, Y - 1)
    bz = np.where(kz == LOW, 0, Z - 1)
    x1, y1, z1 = x0 + 1, y0 + 1, z0 + 1
    out = np.zeros((n, OZ, OY, OX), F32)
    for v in range(n):
        vol = vols[v]

        def S(k, j, i):
            return vol[np.clip(k, 0, Z - 1), np.clip(j, 0, Y - 1),
                       np.clip(i, 0, X - 1)].astype(np.float64)

        with np.errstate(all="ignore"):
            inner = (S(z0, y0, x0) * gx * gy * gz + S(z0, y0, x1) * fx * gy * gz
                     + S(z0, y1, x0) * gx * fy * gz + S(z0, y1, x1) * fx * fy * gz
                     + S(z1, y0, x0) * gx * gy * fz + S(z1, y0, x1) * fx * gy * fz
                     + S(z1, y1, x0) * gx * fy * fz + S(z1, y1, x1) * fx * fy * fz)
            xface = (S(z0, y0, bx) * gy * gz + S(z0, y1, bx) * fy * gz
                     + S(z1, y0, bx) * gy * fz + S(z1, y1, bx) * fy * fz)
            yface = (S(z0, by, x1) * fx * gz + S(z0, by, x0) * gx * gz
                     + S(z1, by, x0) * gx * fz + S(z1, by, x1) * fx * fz)
            zface = (S(bz, y0, x1) * fx * gy + S(bz, y0, x0) * gx * gy
                     + S(bz, y1, x0) * gx * fy + S(bz, y1, x1) * fx * fy)
            val = np.select([faces == 0, kx != IN, ky != IN], [inner, xface, yface], zface).astype(F32)
        out[v] = np.where(ok, val, F32(cval))
    return out


# ---- boundary modes and the separable axis filters ---------------------------
# Written from the documented arithmetic (docs/usage.md, "Boundary modes and
# separable filters"): each axis's output sample is the sum of h[k] times the
# extended sample at offset k, k from -K to K, in double, left to right,
# rounded to float32 after each axis (X, then Y, then Z).

MODES = ("constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap")
SPLINE_K = 12
LN2_HI = float.fromhex("0x1.62e42feep-1")
LN2_LO = float.fromhex("0x1.a39ef35793c76p-33")


def extend(mode, i, n):
    """The index of [0, n) that indices i (int64) read, or -1 for the fill."""
    i = np.asarray(i, np.int64)
    inside = (i >= 0) & (i < n)
    if mode == "grid-constant":
        return np.where(inside, i, -1)
    if mode == "nearest":
        return np.clip(i, 0, n - 1)
    if mode == "grid-wrap":
        return np.mod(i, n)
    if mode == "reflect":
        r = np.mod(i, 2 * n)
        return np.where(r < n, r, 2 * n - 1 - r)
    if n == 1:  # mirror, and constant as mirror
        return np.zeros_like(i)
    r = np.mod(i, 2 * n - 2)
    return np.where(r < n, r, 2 * n - 2 - r)


def _floor_axis(c, e, mode):
    """The cubic and moded rules' reading of source indices c (float32) on
    an axis of extent e: where they map (under "constant", within [0, e -
    1]), floor(c) as int64, c - floor(c) and c, in double (0 where they do
    not map)."""
    d = c.astype(np.float64)
    ok = (d >= 0) & (d <= e - 1) if mode == "constant" else (d > -2.0**62) & (d < 2.0**62)
    d = np.where(ok, d, 0.0)
    f = np.floor(d)
    return ok, f.astype(np.int64), d - f, d


def _normalised(e):
    total = e[0]
    for t in e[1:]:
        total += t
    return [t / total for t in e]


def spline_taps():
    s3 = math.sqrt(3.0)
    z = s3 - 2.0
    p = [1.0]
    for _ in range(SPLINE_K):
        p.append(p[-1] * z)
    return _normalised([s3 * p[abs(k)] for k in range(-SPLINE_K, SPLINE_K + 1)])


def fixed_exp(x):
    if x < -746.0:
        return 0.0
    n = float(math.floor(x * 1.4426950408889634 + 0.5))
    r = (x - n * LN2_HI) - n * LN2_LO
    fact = [1.0]
    for k in range(1, 14):
        fact.append(fact[-1] * k)
    e = 1.0 / fact[13]
    for k in range(12, -1, -1):
        e = e * r + 1.0 / fact[k]
    return math.ldexp(e, int(n))


def gaussian_taps(d):
    """None for a factor of 1 or less: that axis is not filtered."""
    if not d > 1.0:
        return None
    sigma = (d - 1.0) / 2.0
    q = 2.0 * sigma * sigma
    K = math.ceil(4.0 * sigma)
    return _normalised([fixed_exp(-(float(k) * float(k)) / q) for k in range(-K, K + 1)])


def filter_axis(vol, axis, h, mode, fill=0.0, origin=0, whole=None):
    """One pass of taps h along `axis` of float32 `vol`, a box whose first
    sample is sample `origin` of a whole axis of extent `whole`; reads the
    whole's extension puts outside the box take the box's nearest sample."""
    v = np.moveaxis(np.asarray(vol, F32), axis, -1)
    n = v.shape[-1]
    whole = n if whole is None else whole
    K = len(h) // 2
    e = extend(mode, origin + np.arange(-K, n + K), whole)
    at = np.where(e < 0, n, np.clip(e - origin, 0, n - 1))
    padded = np.concatenate([v, np.full(v.shape[:-1] + (1,), fill, F32)], axis=-1)
    s = padded[..., at].astype(np.float64)
    with np.errstate(all="ignore"):
        acc = h[0] * s[..., 0:n]
        for k in range(1, 2 * K + 1):
            acc = acc + h[k] * s[..., k:k + n]
        out = acc.astype(F32)
    return np.moveaxis(out, -1, axis)


def _passes(image, taps_xyz, mode, fill, place):
    img = np.asarray(image, F32)
    vols = img if img.ndim == 4 else img[None]
    origin = (0, 0, 0) if place is None else place[:3]  # Z, Y, X
    whole = vols.shape[1:] if place is None else place[3:]
    for a, h in enumerate(taps_xyz):  # X, Y, Z: array axes 3, 2, 1
        if h is not None:
            vols = filter_axis(vols, 3 - a, h, mode, F32(fill), origin[2 - a], whole[2 - a])
    return vols if img.ndim == 4 else vols[0]


def spline_model(image, mode, cval=0.0, place=None):
    h = spline_taps()
    return _passes(image, (h, h, h), mode, cval, place)


def gaussian_model(image, factors, mode, place=None):
    mode = "mirror" if mode in ("constant", "grid-constant") else mode
    return _passes(image, [gaussian_taps(float(d)) for d in factors], mode, 0.0, place)


# ---- interpolation="cubic" ---------------------------------------------------
# From the documented arithmetic (docs/usage.md, "Cubic B-spline"): the
# linear rule's positions, the spline's weights of each fraction in double
# rounded to float32, 4 x 4 x 4 coefficients summed in float32 along X, then
# Y, then Z, each sum of 4 left to right.

CUBIC_PAD = SPLINE_K + 1


def cubic_weights(t):
    sixth = 1.0 / 6.0
    s = 1.0 - t
    t2 = t * t
    t3 = t2 * t
    return (s * s * s * sixth, (3.0 * t3 - 6.0 * t2 + 4.0) * sixth,
            (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) * sixth, t3 * sixth)


def cubic_coefficients(vols, mode, cval):
    """Coefficients of (N, Z, Y, X) float32 volumes and the pad they are
    grown by: under "nearest" and "grid-constant" the prefilter of the
    samples the mode extends CUBIC_PAD past every edge."""
    if mode not in ("nearest", "grid-constant"):
        return spline_model(vols, mode, cval), 0
    p = CUBIC_PAD
    g = vols
    for axis in (1, 2, 3):
        n = g.shape[axis]
        e = extend(mode, np.arange(-p, n + p), n)
        fill = np.full(g.shape[:axis] + (1,) + g.shape[axis + 1:], cval, F32)
        g = np.take(np.concatenate([g, fill], axis=axis), np.where(e < 0, n, e), axis=axis)
    Z, Y, X = vols.shape[1:]
    return spline_model(g, mode, cval, place=(-p, -p, -p, Z, Y, X)), p


def _cubic_axis(c, e, mode, pad):
    ok, i, t, _ = _floor_axis(c, e, mode)
    w = [x.astype(F32) for x in cubic_weights(t)]
    j = [i - 1 + k for k in range(4)]
    at = [np.clip(x, -pad, e - 1 + pad) + pad if pad else extend(mode, x, e) for x in j]
    return ok, w, at


def _sum4(w, c):
    """w[0] c[0] + w[1] c[1] + w[2] c[2] + w[3] c[3], float32 arrays, left to right."""
    return ((w[0] * c[0] + w[1] * c[1]) + w[2] * c[2]) + w[3] * c[3]


def cubic_model(image, spacing, matrix, mode=None, output_shape=None, output_spacing=None, cval=0.0, cs=None):
    """cs: the source indices (cx, cy, cz) to read, for a matrix of None."""
    mode = "constant" if mode is None else mode
    img = np.asarray(image).astype(F32)
    vols = img if img.ndim == 4 else img[None]
    n, Z, Y, X = vols.shape
    (cx, cy, cz), (OZ, OY, OX) = _indices(vols.shape, spacing, matrix, output_shape, output_spacing, cs)
    with np.errstate(all="ignore"):
        coef, pad = cubic_coefficients(vols, mode, F32(cval))
        okx, wx, ax = _cubic_axis(cx, X, mode, pad)
        oky, wy, ay = _cubic_axis(cy, Y, mode, pad)
        okz, wz, az = _cubic_axis(cz, Z, mode, pad)
        out = np.empty((n, OZ, OY, OX), F32)
        for v in range(n):
            C = coef[v]
            planes = [_sum4(wy, [_sum4(wx, [C[az[kz], ay[ky], ax[k]] for k in range(4)]) for ky in range(4)])
                      for kz in range(4)]
            out[v] = np.where(okx & oky & okz, _sum4(wz, planes), F32(cval))
    return out if img.ndim == 4 else out[0]


# ---- antialias=True ----------------------------------------------------------
# From the documented rule (docs/usage.md, "Anti-aliasing"): per volume, the
# factors of its map, then the Gaussian of gaussian_model, then the rule.

FACTOR_LIMIT = 1024.0


def smoothing_factors(matrix, spacing, output_spacing):
    """d per source axis X, Y, Z: max over j of |m[a][j]| * o[j] / |s[a]|,
    in double from the float32 values; NaN sticks."""
    m = np.asarray(matrix, np.float64).reshape(-1)[:12].astype(F32)
    s = np.asarray(spacing, np.float64)[:3].astype(F32)
    o = s if output_spacing is None else np.asarray(output_spacing, np.float64)[:3].astype(F32)
    d = []
    for a in range(3):
        v = 0.0
        for j in range(3):
            with np.errstate(all="ignore"):
                t = abs(float(m[4 * a + j])) * float(o[j]) / abs(float(s[a]))
            if not math.isnan(v) and not t <= v:
                v = t
        d.append(v)
    return d


def antialiased(image, spacing, matrices, mode, output_spacing=None):
    """The float32 volumes the rule reads: each smoothed by its own map's
    factors ("mirror" for the constant modes)."""
    img = np.asarray(image).astype(F32)
    vols = img if img.ndim == 4 else img[None]
    out = []
    for v, m in zip(vols, matrices):
        d = [min(x, FACTOR_LIMIT) if math.isfinite(x) else 1.0
             for x in smoothing_factors(m, spacing, output_spacing)]
        out.append(gaussian_model(v, d, "mirror" if mode is None else mode))
    out = np.stack(out)
    return out if img.ndim == 4 else out[0]


# ---- "linear", "nearest" and "label" under a mode ----------------------------
# From the documented rule (docs/usage.md, "Boundary modes for every rule"):
# the linear rule's positions; per axis i0 = floor(c), f = c - i0; the
# corners k (bit 0 X, bit 1 Y, bit 2 Z) in increasing order, those at i0 + 1
# on an axis with f = 0 left out, each index extended by the mode.

def _vote(labels, weights, keep):
    """The label rule's winner per voxel over terms t (axis 0): the highest
    score (its weights summed in term order), then the heaviest term, then
    that term's larger corner."""
    best = None
    for t in range(8):
        same = [keep[u] & (labels[u] == labels[t]) for u in range(8)]
        score = 0.0
        heavy = np.full(labels.shape[1:], -1.0)
        at = np.full(labels.shape[1:], -1)
        for u in range(8):
            score = score + np.where(same[u], weights[u], 0.0)
            up = same[u] & (weights[u] >= heavy)  # u rises: ties go to the larger corner
            at = np.where(up, u, at)
            heavy = np.where(up, weights[u], heavy)
        key = (score, heavy, at)
        if best is None:
            best, pick = key, labels[t].copy()
            continue
        win = keep[t] & ((key[0] > best[0]) | ((key[0] == best[0]) & ((key[1] > best[1]) | (
            (key[1] == best[1]) & (key[2] > best[2])))))
        best = tuple(np.where(win, k, b) for k, b in zip(key, best))
        pick = np.where(win, labels[t], pick)
    return pick


def moded_model(image, spacing, matrix, interpolation, mode, output_shape=None, output_spacing=None, cval=0,
                cs=None):
    """cs: the source indices (cx, cy, cz) to read, for a matrix of None."""
    img = np.asarray(image)
    linear = interpolation == "linear"
    vols = img if img.ndim == 4 else img[None]  # samples are read as float32 where gathered
    n, Z, Y, X = vols.shape
    (cx, cy, cz), (OZ, OY, OX) = _indices(vols.shape, spacing, matrix, output_shape, output_spacing, cs)
    fill = F32(cval) if linear else np.asarray(cval).astype(img.dtype)
    out = np.empty((n, OZ, OY, OX), F32 if linear else img.dtype)
    with np.errstate(all="ignore"):
        axes = [_floor_axis(c, e, mode) for c, e in ((cx, X), (cy, Y), (cz, Z))]
        ok = axes[0][0] & axes[1][0] & axes[2][0]
        for v in range(n):
            vol = vols[v]
            if interpolation == "nearest":
                at = [extend(mode, np.floor(a[3] + 0.5).astype(np.int64), e)
                      for a, e in zip(axes, (X, Y, Z))]
                val = np.where((at[0] < 0) | (at[1] < 0) | (at[2] < 0), fill,
                               vol[np.maximum(at[2], 0), np.maximum(at[1], 0), np.maximum(at[0], 0)])
                out[v] = np.where(ok, val, fill)
                continue
            samples, weights, keep = [], [], []
            for k in range(8):
                bits = (k & 1, (k >> 1) & 1, k >> 2)
                kept = np.ones(ok.shape, bool)
                w, j = [], []
                for (_, i0, f, _), b, e in zip(axes, bits, (X, Y, Z)):
                    if b:
                        kept &= f != 0
                    w.append(f if b else 1.0 - f)
                    j.append(extend(mode, i0 + b, e))
                gone = (j[0] < 0) | (j[1] < 0) | (j[2] < 0)
                val = vol[np.maximum(j[2], 0), np.maximum(j[1], 0), np.maximum(j[0], 0)]
                val = val.astype(F32) if linear else val
                samples.append(np.where(gone, fill, val))
                weights.append(w)
                keep.append(kept)
            if linear:  # each term s * wx * wy * wz left to right; corner 0 is always kept
                terms = [((samples[k].astype(np.float64) * w[0]) * w[1]) * w[2] for k, w in enumerate(weights)]
                total = terms[0]
                for k in range(1, 8):
                    total = np.where(keep[k], total + terms[k], total)
                out[v] = np.where(ok, total.astype(F32), fill)
            else:
                products = np.stack([(w[0] * w[1]) * w[2] for w in weights])
                out[v] = np.where(ok, _vote(np.stack(samples), products, np.stack(keep)), fill)
    return out if img.ndim == 4 else out[0]


# ---- warp --------------------------------------------------------------------
# From the documented arithmetic (docs/usage.md, "Warps"): the output point,
# each step in float32 in a fixed order, a field's trilinear displacement in
# double, then the division by the spacing.


def field_inverse(spacing, matrix=None):
    """A field's map from physical points to its continuous index, 12 float32."""
    from vexiloimgc import voxel_map

    s = np.asarray(spacing, np.float64).reshape(-1)[:3].astype(F32)
    g = np.eye(4)
    if matrix is not None:
        g[:3] = np.asarray(matrix, np.float64)[:3]
    g[:3, :3] = g[:3, :3] * s.astype(np.float64)
    return voxel_map(g, np.eye(4))[:3].astype(F32).reshape(12)


def _field_axis(c, e):
    ok = (c >= F32(-0.5)) & (c.astype(np.float64) < e - 0.5)
    k = np.clip(np.where(ok, c, F32(0)).astype(np.float64), 0, e - 1)  # the margin holds the outer plane
    i0 = np.minimum(np.trunc(k).astype(np.int64), max(e - 2, 0))
    return ok, i0, i0 + (1 if e > 1 else 0), k - i0


def displace(p, disp, inv):
    """p + u(p) of float32 points p = (px, py, pz) through a field of
    displacements disp (Z, Y, X, 3) with inverse map inv (12 float32)."""
    px, py, pz = p
    a = np.asarray(inv, F32)
    with np.errstate(all="ignore"):
        c = [((a[4 * k] * px + a[4 * k + 1] * py) + a[4 * k + 2] * pz) + a[4 * k + 3] for k in range(3)]
    Z, Y, X = disp.shape[:3]
    (okx, x0, x1, fx), (oky, y0, y1, fy), (okz, z0, z1, fz) = (
        _field_axis(c[0], X), _field_axis(c[1], Y), _field_axis(c[2], Z))
    ok = okx & oky & okz
    gx, gy, gz = 1.0 - fx, 1.0 - fy, 1.0 - fz
    D = np.asarray(disp, F32).astype(np.float64)
    w = [(gx * gy) * gz, (fx * gy) * gz, (gx * fy) * gz, (fx * fy) * gz,
         (gx * gy) * fz, (fx * gy) * fz, (gx * fy) * fz, (fx * fy) * fz]
    at = [(z0, y0, x0), (z0, y0, x1), (z0, y1, x0), (z0, y1, x1),
          (z1, y0, x0), (z1, y0, x1), (z1, y1, x0), (z1, y1, x1)]
    moved = []
    for j, q in enumerate(p):
        with np.errstate(all="ignore"):
            u = D[at[0] + (j,)] * w[0]
            for k in range(1, 8):
                u = u + D[at[k] + (j,)] * w[k]
            u = u.astype(F32)
            moved.append(np.where(ok, q + u, q))
    return tuple(moved)


def warp_indices(spacing, steps, grid, output_spacing=None):
    """The continuous source indices (cx, cy, cz) of the output grid (Z, Y,
    X) through steps: ("affine", 12 float32) or ("field", disp, inv)."""
    s = np.asarray(spacing, np.float64).reshape(-1)[:3].astype(F32)
    o = s if output_spacing is None else np.asarray(output_spacing, np.float64)[:3].astype(F32)
    z, y, x = np.meshgrid(*[np.arange(n, dtype=F32) for n in grid], indexing="ij")
    p = (x * o[0], y * o[1], z * o[2])
    for st in steps:
        if st[0] == "field":
            p = displace(p, st[1], st[2])
            continue
        m = np.asarray(st[1], F32).reshape(-1)[:12]
        with np.errstate(all="ignore"):
            p = tuple(((m[4 * k] * p[0] + m[4 * k + 1] * p[1]) + m[4 * k + 2] * p[2]) + m[4 * k + 3]
                      for k in range(3))
    with np.errstate(all="ignore"):
        return p[0] / s[0], p[1] / s[1], p[2] / s[2]
