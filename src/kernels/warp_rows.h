// A warp's per-point work as plain loops the compiler vectorises, the
// points of a block in lanes, compiled for each target by
// kernels/target.cpp. Each point keeps its own order of operations, so
// every target gives the same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/warp_kernel.h"
#include "kernels/warp_points.h"

namespace {

// A field's axis of extent e >= 1: its last index, the last lower sample
// of a cell, and the fraction that reaches the last plane from it (1, or 0
// where e is 1).
struct field_extent {
    double last;
    int top;
    float rise;
};
inline field_extent extent_of(std::int64_t e)
{
    const int top = int(std::max<std::int64_t>(e - 2, 0));
    return {double(e - 1), top, float(e - 1 - top)};
}

// One axis of a field index c: whether c lies within half a sample of the
// field's samples, in [-0.5, e - 0.5) (NaN does not), as the field's voxels
// reach; the lower sample i0 and the fraction, exact in float, of c held to
// [0, e - 1], so that the margin takes the outer plane's values. 0 and 0
// where c lies outside.
inline int field_axis(float c, field_extent e, int &i0, float &f)
{
    const int in = (c >= -0.5f) & (double(c) < e.last + 0.5);
    const int above = in & (double(c) > e.last);
    const float k = (in & (c > 0.0f)) ? c : 0.0f;  // below e < 2^31: the conversion is defined
    i0 = above ? e.top : std::min(int(k), e.top);
    f = above ? e.rise : k - float(i0);
    return in;
}

// Points whose field values are held at once: 8 KiB of them.
constexpr int field_chunk = 64;

// Component j of the displacement at point i: its corners' values times
// their weights, summed in the corners' order. d[r] holds the corners of
// row r (y and z steps) of each point, 8 floats a point: the three
// components at x0, at x0 + 1, and two unused.
inline double corners(const float (*d)[8 * field_chunk], int j, int i, const double *w)
{
    const int a = 8 * i + j, b = a + 3;
    return ((((((double(d[0][a]) * w[0] + double(d[0][b]) * w[1]) + double(d[1][a]) * w[2]) +
               double(d[1][b]) * w[3]) +
              double(d[2][a]) * w[4]) +
             double(d[2][b]) * w[5]) +
            double(d[3][a]) * w[6]) +
           double(d[3][b]) * w[7];
}

// The corners of points i < n at byte offsets q[i] from base, into d; no
// step along an axis of one sample. A field's strides need not keep its
// floats aligned: bytes are copied.
inline void field_corners(const warp_field &st, const char *base, const std::int64_t *q, int n,
                          float (*d)[8 * field_chunk])
{
    const std::int64_t sx = st.X > 1 ? st.s[3] : 0, c = st.s[4];
    std::int64_t row[4];
    for (int r = 0; r < 4; ++r)
        row[r] = (r & 1 && st.Y > 1 ? st.s[2] : 0) + (r & 2 && st.Z > 1 ? st.s[1] : 0);
    if (c == 4 && sx == 12) {  // packed: a row's two corners are 24 bytes in a row
        // Whole 32 bytes where the field's memory goes on that far: the
        // last 8 land in the unused slots.
        const std::int64_t room = st.end ? st.end - base - 32 : -1;
        const std::int64_t top = std::max(std::max(row[0], row[1]), std::max(row[2], row[3]));
        for (int i = 0; i < n; ++i) {
            if (q[i] + top <= room)
                for (int r = 0; r < 4; ++r)
                    std::memcpy(&d[r][8 * i], base + q[i] + row[r], 32);
            else
                for (int r = 0; r < 4; ++r)
                    std::memcpy(&d[r][8 * i], base + q[i] + row[r], 24);
        }
        return;
    }
    for (int i = 0; i < n; ++i)
        for (int r = 0; r < 4; ++r)
            for (int k = 0; k < 2; ++k)
                for (int j = 0; j < 3; ++j)
                    std::memcpy(&d[r][8 * i + 3 * k + j], base + q[i] + row[r] + k * sx + j * c, 4);
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
    const char *base = st.data + (st.per_volume ? v * st.s[0] : 0);
    std::int64_t q[warp_block];
    for (int i = 0; i < n; ++i)
        q[i] = (iz[i] * st.s[1] + iy[i] * st.s[2]) + ix[i] * st.s[3];
    for (int i0 = 0; i0 < n; i0 += field_chunk) {
        const int m = std::min(field_chunk, n - i0);
        float d[4][8 * field_chunk];
        field_corners(st, base, q + i0, m, d);
        for (int t = 0; t < m; ++t) {
            const int i = i0 + t;
            const double f0 = fx[i], f1 = fy[i], f2 = fz[i];
            const double g0 = 1.0 - f0, g1 = 1.0 - f1, g2 = 1.0 - f2;
            // Each corner's weight once, for all three components.
            const double w[8] = {(g0 * g1) * g2, (f0 * g1) * g2, (g0 * f1) * g2, (f0 * f1) * g2,
                                 (g0 * g1) * f2, (f0 * g1) * f2, (g0 * f1) * f2, (f0 * f1) * f2};
            const double u[3] = {corners(d, 0, t, w), corners(d, 1, t, w), corners(d, 2, t, w)};
            x[i] = keep_unless(!in[i], x[i], x[i] + float(u[0]));
            y[i] = keep_unless(!in[i], y[i], y[i] + float(u[1]));
            z[i] = keep_unless(!in[i], z[i], z[i] + float(u[2]));
        }
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
