// The linear, nearest and label rules under a boundary mode (modes.h) at
// one continuous source index: the one owner of their arithmetic, which
// modes_part.cpp's rows and a warp's points both run. 64-bit offsets.
#pragma once

#include <cstdint>

#include "kernels/terms.h"
#include "kernels/label_rows.h"
#include "kernels/modes_part.h"
#include "vocab/modes.h"
#include "vocab/part.h"

namespace {

// Planes i0 and i0 + 1 of one axis as the mode extends them against the
// whole's extent e: their offsets in the box of n planes from b0 (index
// less b0, times stride), which of them is the fill, and which the box
// lacks.
struct planes {
    std::int64_t at[2];
    bool fill[2], lost[2];
};

inline planes planes_of(mode m, std::int64_t i0, std::int64_t e, std::int64_t b0, std::int64_t n,
                        std::int64_t step)
{
    planes p;
    for (int k = 0; k < 2; ++k) {
        const std::int64_t j = extend(m, i0 + k, e);
        p.fill[k] = j == fill_index;
        p.lost[k] = !p.fill[k] && (j < b0 || j - b0 >= n);
        p.at[k] = p.fill[k] || p.lost[k] ? 0 : (j - b0) * step;
    }
    return p;
}

// A voxel under a mode: its axes and their extended planes.
struct moded_cell {
    moded_axis a[3];
    planes p[3];
};

// False where the voxel maps nowhere, or reads a plane its box lacks (its
// terms leave plane i0 + 1 out where f is 0).
inline bool moded_cell_of(const source_box &b, mode m, float cx, float cy, float cz, moded_cell &c)
{
    const bool k = m == constant;
    if (!moded_axis_of(cx, b.X, k, c.a[0]) || !moded_axis_of(cy, b.Y, k, c.a[1]) ||
        !moded_axis_of(cz, b.Z, k, c.a[2]))
        return false;
    c.p[0] = planes_of(m, c.a[0].i0, b.X, b.bx, b.bnx, 1);
    c.p[1] = planes_of(m, c.a[1].i0, b.Y, b.by, b.bny, b.row);
    c.p[2] = planes_of(m, c.a[2].i0, b.Z, b.bz, b.bnz, b.slice);
    bool lost = false;
    for (int a = 0; a < 3; ++a)
        lost = lost || c.p[a].lost[0] || (c.a[a].f != 0.0 && c.p[a].lost[1]);
    return !lost;
}

// Corner k's sample offset, or false where any of its planes is the fill.
inline bool corner_at(const moded_cell &c, int k, std::int64_t &at)
{
    const int x = k & 1, y = (k >> 1) & 1, z = k >> 2;
    at = c.p[2].at[z] + c.p[1].at[y] + c.p[0].at[x];
    return !(c.p[0].fill[x] | c.p[1].fill[y] | c.p[2].fill[z]);
}

// The linear rule at (cx, cy, cz) of b.src into o; false, o untouched,
// where it maps nowhere. Each term's sample (the fill as a float32 where
// the mode gives none) times its factors in order, the terms summed in
// order, the first as it is, as linear_sum does.
inline bool moded_linear(const source_box &b, mode m, float fill, float cx, float cy, float cz, float &o)
{
    moded_cell c;
    if (!moded_cell_of(b, m, cx, cy, cz, c))
        return false;
    const float *S = b.src;
    double sum = 0.0;
    bool first = true;
    moded_terms(c.a, [&](int k, double wx, double wy, double wz) {
        std::int64_t at;
        const double s = corner_at(c, k, at) ? double(S[at]) : double(fill);
        const double v = s * wx * wy * wz;
        sum = first ? v : sum + v;
        first = false;
    });
    o = static_cast<float>(sum);
    return true;
}

// The linear rule at one voxel of the part (a moded_voxel): where it maps
// nowhere, the fill if the part has one, else the voxel as it was.
inline void linear_voxel(const part &p, mode m, std::int64_t o, float cx, float cy, float cz)
{
    if (!moded_linear(p.in, m, p.fill.value, cx, cy, cz, p.win.out[o]) && p.fill.on)
        p.win.out[o] = p.fill.value;
}

// The label rule: label_rows.h's vote (pick) over the moded terms, the fill
// cv a label like any other. S holds the elements at b's strides.
template <class T> inline T moded_label(const source_box &b, mode m, const T *S, T cv, float cx, float cy, float cz)
{
    moded_cell c;
    if (!moded_cell_of(b, m, cx, cy, cz, c))
        return cv;
    votes<T> v;
    int n = 0;
    moded_terms(c.a, [&](int k, double wx, double wy, double wz) {
        std::int64_t at;
        v.L[n] = corner_at(c, k, at) ? S[at] : cv;
        v.w[n] = wx * wy * wz, v.k[n] = k;
        ++n;
    });
    return pick(v, n);
}

// The nearest rule: the rounded index on each axis, extended; a sample the
// box lacks is read as a voxel that maps nowhere.
template <class T> inline T moded_near(const source_box &b, mode m, const T *S, T cv, float cx, float cy, float cz)
{
    const bool k = m == constant;
    moded_axis a[3];
    if (!moded_axis_of(cx, b.X, k, a[0]) || !moded_axis_of(cy, b.Y, k, a[1]) || !moded_axis_of(cz, b.Z, k, a[2]))
        return cv;
    const std::int64_t x = extend(m, moded_nearest(cx), b.X), y = extend(m, moded_nearest(cy), b.Y),
                       z = extend(m, moded_nearest(cz), b.Z);
    if (x == fill_index || y == fill_index || z == fill_index)
        return cv;
    const std::int64_t i = x - b.bx, j = y - b.by, l = z - b.bz;
    const bool held = i >= 0 && i < b.bnx && j >= 0 && j < b.bny && l >= 0 && l < b.bnz;
    return held ? S[l * b.slice + j * b.row + i] : cv;
}

} // namespace
