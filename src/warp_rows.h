// A warp's per-point work as plain loops the compiler vectorises, the
// points of a block in lanes: resample.cpp compiles it for any CPU,
// warp_avx2.cpp and warp_avx512.cpp for wider vectors. Each point keeps
// its own order of operations, so every path gives the same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "warp_kernel.h"
#include "warp_points.h"

namespace {

// A field's axis of extent e >= 1: its last index, and the last lower
// sample of a cell (so that the last plane is reached with a fraction of 1).
struct field_extent {
    double last;
    int top;
};
inline field_extent extent_of(std::int64_t e) { return {double(e - 1), int(std::max<std::int64_t>(e - 2, 0))}; }

// One axis of a field index c: whether c lies in [0, e - 1] (NaN does
// not), the lower sample i0 and the fraction c - i0, exact in float; 0 and 0
// where c lies outside.
inline int field_axis(float c, field_extent e, int &i0, float &f)
{
    const int in = (c >= 0.0f) & (double(c) <= e.last);
    const float k = in ? c : 0.0f;  // below e < 2^31: the conversion is defined
    i0 = std::min(int(k), e.top);
    f = k - float(i0);
    return in;
}

// Component j of the displacement at point i: its corners' values (d[k],
// three components per point) times their weights, summed in the corners'
// order.
inline double corners(const float (*d)[3 * warp_block], int j, int i, const double *w)
{
    const int c = 3 * i + j;
    return ((((((double(d[0][c]) * w[0] + double(d[1][c]) * w[1]) + double(d[2][c]) * w[2]) +
               double(d[3][c]) * w[3]) +
              double(d[4][c]) * w[4]) +
             double(d[5][c]) * w[5]) +
            double(d[6][c]) * w[6]) +
           double(d[7][c]) * w[7];
}

void field_points(const warp_field &st, std::int64_t v, float *x, float *y, float *z, int n)
{
    if (st.X < 1 || st.Y < 1 || st.Z < 1)
        return;  // no grid: no point moves
    const float *a = st.inv;
    const field_extent ex = extent_of(st.X), ey = extent_of(st.Y), ez = extent_of(st.Z);
    float fx[warp_block], fy[warp_block], fz[warp_block];
    int ix[warp_block], iy[warp_block], iz[warp_block], in[warp_block];
    for (int i = 0; i < n; ++i) {
        const float cx = ((a[0] * x[i] + a[1] * y[i]) + a[2] * z[i]) + a[3];
        const float cy = ((a[4] * x[i] + a[5] * y[i]) + a[6] * z[i]) + a[7];
        const float cz = ((a[8] * x[i] + a[9] * y[i]) + a[10] * z[i]) + a[11];
        in[i] = field_axis(cx, ex, ix[i], fx[i]) & field_axis(cy, ey, iy[i], fy[i]) & field_axis(cz, ez, iz[i], fz[i]);
    }
    // The corners' three components around each point, the corners in
    // order; no step along an axis of one sample.
    const char *base = st.data + (st.per_volume ? v * st.s[0] : 0);
    std::int64_t at[8];
    for (int k = 0; k < 8; ++k)
        at[k] = (k & 1 && st.X > 1 ? st.s[3] : 0) + (k & 2 && st.Y > 1 ? st.s[2] : 0) +
                (k & 4 && st.Z > 1 ? st.s[1] : 0);
    std::int64_t q[warp_block];
    for (int i = 0; i < n; ++i)
        q[i] = (iz[i] * st.s[1] + iy[i] * st.s[2]) + ix[i] * st.s[3];
    float d[8][3 * warp_block];
    // A field's strides need not keep its floats aligned: bytes are copied.
    if (st.s[4] == 4) {
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < 8; ++k)
                std::memcpy(&d[k][3 * i], base + q[i] + at[k], 12);
    } else {
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < 8; ++k)
                for (int j = 0; j < 3; ++j)
                    std::memcpy(&d[k][3 * i + j], base + q[i] + at[k] + j * st.s[4], 4);
    }
    for (int i = 0; i < n; ++i) {
        const double f0 = fx[i], f1 = fy[i], f2 = fz[i];
        const double g0 = 1.0 - f0, g1 = 1.0 - f1, g2 = 1.0 - f2;
        // Each corner's weight once, for all three components.
        const double w[8] = {(g0 * g1) * g2, (f0 * g1) * g2, (g0 * f1) * g2, (f0 * f1) * g2,
                             (g0 * g1) * f2, (f0 * g1) * f2, (g0 * f1) * f2, (f0 * f1) * f2};
        const double u[3] = {corners(d, 0, i, w), corners(d, 1, i, w), corners(d, 2, i, w)};
        x[i] = keep_unless(!in[i], x[i], x[i] + float(u[0]));
        y[i] = keep_unless(!in[i], y[i], y[i] + float(u[1]));
        z[i] = keep_unless(!in[i], z[i], z[i] + float(u[2]));
    }
}

void linear_reads(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z, const float *cx,
                  const float *cy, const float *cz, int n, float fill, float *out)
{
    const volume_at<float> g{data, slice, row, X, Y, Z};
    linear_block b;
    linear_block_of(b, g);
    linear_points(b, g, cx, cy, cz, n, fill, out);
}

} // namespace
