// The cubic rule's voxels: positions from geometry.h (the linear rule's),
// then 4 x 4 x 4 coefficients weighted by the B-spline of each fraction.
// All of it in double, in the fixed order written here and in
// docs/usage.md, rounded once to float32.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cubic.h"
#include "geometry.h"
#include "modes.h"

namespace {

// The cubic B-spline's weights of the fraction t in [0, 1) for the
// coefficients at i - 1, i, i + 1, i + 2, each rounded per operation as
// written (the model repeats it).
inline void cubic_weights(double t, double w[4])
{
    const double s = 1.0 - t, t2 = t * t, t3 = t2 * t;
    w[0] = s * s * s / 6.0;
    w[1] = (3.0 * t3 - 6.0 * t2 + 4.0) / 6.0;
    w[2] = (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) / 6.0;
    w[3] = t3 / 6.0;
}

// One axis of a voxel: its 4 weights and the offsets (index times the
// axis's stride) of its 4 coefficients.
struct cubic_axis {
    double w[4];
    std::int64_t at[4];
};

// The axis at continuous index c, extent e, stride `step`, coefficients
// grown by `pad` (cubic.h) held over `held`; false where the voxel maps
// nowhere: under "constant" outside [0, e - 1], under the others beyond
// 2^62 in magnitude, where floor has no int64; NaN under every mode; and
// where a coefficient it reads is not held.
inline bool cubic_axis_of(float c, std::int64_t e, coef_span held, std::int64_t step, mode m, int pad,
                          cubic_axis &a)
{
    const double d = c;
    if (m == constant ? !(d >= 0.0 && d <= double(e - 1)) : !(d > -0x1p62 && d < 0x1p62))
        return false;
    const double f = std::floor(d);
    const std::int64_t i = std::int64_t(f);
    cubic_weights(d - f, a.w);
    for (int k = 0; k < 4; ++k) {
        const std::int64_t j = i - 1 + k;
        const std::int64_t at = (pad ? std::min(std::max(j, -std::int64_t(pad)), e - 1 + pad) : extend(m, j, e)) - held.lo;
        if (at < 0 || at >= held.n)
            return false;
        a.at[k] = at * step;
    }
    return true;
}

// The value at the voxel of axes x, y, z: along X within each row of 4,
// then the rows along Y, then the planes along Z, each sum left to right.
inline float cubic_value(const float *coef, const cubic_axis &x, const cubic_axis &y, const cubic_axis &z)
{
    double planes = 0.0;
    for (int kz = 0; kz < 4; ++kz) {
        double rows = 0.0;
        for (int ky = 0; ky < 4; ++ky) {
            const float *c = coef + z.at[kz] + y.at[ky];
            const double r = x.w[0] * double(c[x.at[0]]) + x.w[1] * double(c[x.at[1]]) +
                             x.w[2] * double(c[x.at[2]]) + x.w[3] * double(c[x.at[3]]);
            rows = ky == 0 ? y.w[0] * r : rows + y.w[ky] * r;
        }
        planes = kz == 0 ? z.w[0] * rows : planes + z.w[kz] * rows;
    }
    return float(planes);
}

// The part's rows: the window's voxels of rows [first, last).
inline void cubic_rows(const part &p, mode m, int pad)
{
    const source_box &b = p.in;
    const out_window &w = p.win;
    const float *os = p.map.out_spacing;
    const coef_span hx = coef_span_of(pad, b.bx, b.bnx, b.X), hy = coef_span_of(pad, b.by, b.bny, b.Y),
                    hz = coef_span_of(pad, b.bz, b.bnz, b.Z);
    for (int q = w.first; q < w.last; ++q) {
        const int k = q / w.ny, j = q % w.ny;
        const float py = position(w.y + j, os[1]), pz = position(w.z + k, os[2]);
        const axis_map mx = axis_of(p.map, 0, py, pz), my = axis_of(p.map, 1, py, pz),
                       mz = axis_of(p.map, 2, py, pz);
        float *o = w.out + k * w.slice + j * w.row;
        for (int i = 0; i < w.nx; ++i) {
            const float px = position(w.x + i, os[0]);
            cubic_axis x, y, z;
            const bool maps = cubic_axis_of(coordinate(mx, px), b.X, hx, 1, m, pad, x) &&
                              cubic_axis_of(coordinate(my, px), b.Y, hy, b.row, m, pad, y) &&
                              cubic_axis_of(coordinate(mz, px), b.Z, hz, b.slice, m, pad, z);
            if (maps)
                o[i] = cubic_value(b.src, x, y, z);
            else if (p.fill.on)
                o[i] = p.fill.value;
        }
    }
}

} // namespace
