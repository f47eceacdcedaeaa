"""An independent NumPy model of the resampling, written from the arithmetic
rules rather than from the C++ code: single-precision coordinates in a fixed
order, truncation toward zero, four axis classes, double-precision weights
and sums, float32 store."""

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


def model(image, spacing, matrix, output_shape=None, output_spacing=None, cval=0.0):
    """Onto the image's own grid, or onto output_shape (Z, Y, X) with
    output_spacing (X, Y, Z); voxels that map nowhere get cval."""
    img = np.asarray(image).astype(F32)
    vols = img if img.ndim == 4 else img[None]
    n, Z, Y, X = vols.shape
    s = np.asarray(spacing).reshape(len(spacing), -1)[:3, 0].astype(F32)
    m = np.asarray(matrix).reshape(len(matrix), -1)[:12, 0].astype(F32)
    o = s if output_spacing is None else np.asarray(output_spacing, np.float64)[:3].astype(F32)
    OZ, OY, OX = (Z, Y, X) if output_shape is None else tuple(output_shape)[-3:]
    z, y, x = np.meshgrid(np.arange(OZ, dtype=F32), np.arange(OY, dtype=F32),
                          np.arange(OX, dtype=F32), indexing="ij")
    with np.errstate(all="ignore"):
        px, py, pz = x * o[0], y * o[1], z * o[2]
        cx = (((m[0] * px + m[1] * py) + m[2] * pz) + m[3]) / s[0]
        cy = (((m[4] * px + m[5] * py) + m[6] * pz) + m[7]) / s[1]
        cz = (((m[8] * px + m[9] * py) + m[10] * pz) + m[11]) / s[2]
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
        val = np.select([faces == 0, kx != IN, ky != IN], [inner, xface, yface], zface)
        out[v] = np.where(ok, val.astype(F32), F32(cval))
    return out if img.ndim == 4 else out[0]
