// The rules read at one continuous source index each, with 64-bit offsets:
// a warp's points follow no row, so none of the row kernels' shortcuts
// apply. The classes, terms and their order are geometry.h's and the row
// kernels' (linear_sum, votes, pick), so a point gets the bits the row
// kernels give it.
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/label_rows.h"

namespace {

// One volume of the source: sample (z, y, x) at data[z * slice + y * row + x -
// origin], in elements; every extent at least 1. X, Y, Z are the whole
// source's, data a box of it whose first sample is at `origin` (0 for the
// whole): planes [b[a], b[a] + n[a]) along X, Y, Z (n 0 for the whole). A
// point that would read a sample outside the box maps nowhere.
template <class T> struct volume_at {
    const T *data;
    std::int64_t slice, row;
    int X, Y, Z;
    std::int64_t origin = 0;
    int b[3] = {}, n[3] = {};
};

// Whether the box holds planes [lo, hi] along axis a.
template <class T> inline bool holds(const volume_at<T> &g, int a, std::int64_t lo, std::int64_t hi)
{
    return !g.n[a] || (lo >= g.b[a] && hi < std::int64_t(g.b[a]) + g.n[a]);
}

template <class T> inline std::int64_t offset_of(const volume_at<T> &g, int k)
{
    return (k & 1) + (k & 2 ? g.row : 0) + (k & 4 ? g.slice : 0);
}

// cell_of() without a box: false when the point maps nowhere (outside on an
// axis, or on two faces or more).
template <class T> inline bool point_cell(const volume_at<T> &g, float cx, float cy, float cz, cell &c)
{
    int x0 = 0, y0 = 0, z0 = 0;
    const int kx = classify(cx, g.X, x0), ky = classify(cy, g.Y, y0), kz = classify(cz, g.Z, z0);
    const int faces = (kx != inside) + (ky != inside) + (kz != inside);
    if (kx == outside || ky == outside || kz == outside || faces > 1)
        return false;
    if (!holds(g, 0, first_plane(kx, x0, g.X), last_plane(kx, x0, g.X)) ||
        !holds(g, 1, first_plane(ky, y0, g.Y), last_plane(ky, y0, g.Y)) ||
        !holds(g, 2, first_plane(kz, z0, g.Z), last_plane(kz, z0, g.Z)))
        return false;
    c.face = kx != inside ? 0 : ky != inside ? 1 : kz != inside ? 2 : -1;
    c.at = first_plane(kz, z0, g.Z) * g.slice + first_plane(ky, y0, g.Y) * g.row + first_plane(kx, x0, g.X) -
           g.origin;
    c.f[0] = cx - float(x0), c.f[1] = cy - float(y0), c.f[2] = cz - float(z0);
    return true;
}

inline float linear_at(const volume_at<float> &g, float cx, float cy, float cz, float fill)
{
    cell c;
    if (!point_cell(g, cx, cy, cz, c))
        return fill;
    const float *S = g.data + c.at;
    linear_sum<double> sum;
    each_term(c, [&](auto t, auto k, auto... w) { sum.add(t, double(S[offset_of(g, k)]), w...); });
    return static_cast<float>(sum.sum);
}

// linear_at() over n points at once: the row kernel's interior split,
// gather and blend (resample_rows.h), which the compiler vectorises, for
// the interior points, linear_at() for the rest. The row kernel's offsets
// are 32-bit: only for a volume whose furthest sample they reach.
struct linear_block {
    source_box box;
    row_job r{};
    columns c;
    bool interior;
};

// b's frame of the volume g; b is not to be copied (its frame points into it).
inline void linear_block_of(linear_block &b, const volume_at<float> &g)
{
    b.box = whole_box(g.data, g.X, g.Y, g.Z);
    b.box.slice = g.slice, b.box.row = g.row;
    static_cast<frame &>(b.r) = frame_of(b.box);
    b.interior = has_interior(b.r);
}

inline void linear_points(linear_block &b, const volume_at<float> &g, const float *cx, const float *cy,
                          const float *cz, int n, float fill, float *out)
{
    columns &c = b.c;
    const int count = b.interior ? locate(b.r, n, cx, cy, cz, c.fx, c.fy, c.fz, c.at, c.in) : 0;
    if (count) {
        gather(g.data, c.at, n, b.r.row, b.r.slice, c.s);
        blend(c.s, c.fx, c.fy, c.fz, n, c.res);
    }
    for (int i = 0; i < n; ++i)
        out[i] = count && c.in[i] ? c.res[i] : linear_at(g, cx[i], cy[i], cz[i], fill);
}

template <class T> inline T nearest_at(const volume_at<T> &g, float cx, float cy, float cz, T fill)
{
    int hx, hy, hz;
    const std::int64_t x = nearest_plane(cx, 0.0, g.X, hx);
    const std::int64_t y = nearest_plane(cy, 0.0, g.Y, hy);
    const std::int64_t z = nearest_plane(cz, 0.0, g.Z, hz);
    const bool held = (hx & hy & hz) && holds(g, 0, x, x) && holds(g, 1, y, y) && holds(g, 2, z, z);
    return held ? g.data[z * g.slice + y * g.row + x - g.origin] : fill;
}

template <class T> inline T label_at(const volume_at<T> &g, float cx, float cy, float cz, T fill)
{
    cell c;
    if (!point_cell(g, cx, cy, cz, c))
        return fill;
    votes<T> v;
    each_term(c, [&](auto t, auto k, auto... w) {
        v.L[t] = g.data[c.at + offset_of(g, k)], v.w[t] = (... * w), v.k[t] = k;
    });
    const int n = c.face < 0 ? 8 : 4;
    return uniform(v.L, n) ? v.L[0] : pick(v, n);
}

} // namespace
