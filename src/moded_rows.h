// The linear rule under a boundary mode, row by row: voxels whose eight
// samples lie in the box without extension, where no mode matters, in
// blocks the compiler vectorises (the linear rule's coordinates and
// gathers); every other voxel through moded.cpp's scalar code. Internal
// linkage, as in resample_paths.h: each instruction-set file compiles its
// own copy.
#pragma once

#include <climits>

#include "moded.h"
#include "resample_paths.h"
#include "resample_rows.h"

namespace {

// The interior of a box axis of n >= 2 planes from plane b: floor(c) in
// [b, b + n - 2], both planes of the pair in the box. Unlike split()'s
// clamp, c below plane b is never interior: a mode reads floor(c) there.
struct moded_clamp {
    float lo, hi;
};

inline moded_clamp moded_clamp_of(int b, int n) { return {above(b), below(b + n - 2)}; }

// locate() for the modes: the clamp (NaN to lo) keeps the truncation
// defined and the pair in the box; of the clamped voxels exactly the
// interior ones give 0 <= f < 1, and there the truncation is floor(c) and
// the float fraction d - floor(d) exactly.
inline int moded_locate(const row_job &r, const moded_clamp (&k)[3], int n, const float *cx, const float *cy,
                        const float *cz, float *fx, float *fy, float *fz, int *at, int *in)
{
    const int bx = r.in->bx, by = r.in->by, bz = r.in->bz, row = r.row, slice = r.slice;
    // By value: std::min and std::max on references to these and to the
    // columns keep the compiler from vectorising.
    const float xl = k[0].lo, xh = k[0].hi, yl = k[1].lo, yh = k[1].hi, zl = k[2].lo, zh = k[2].hi;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const float u = cx[i], v = cy[i], w = cz[i];
        const int x = int(std::min(std::max(xl, u), xh)), y = int(std::min(std::max(yl, v), yh)),
                  z = int(std::min(std::max(zl, w), zh));
        const float f = u - float(x), g = v - float(y), h = w - float(z);
        fx[i] = f, fy[i] = g, fz[i] = h;
        const int ok = (f >= 0.0f) & (f < 1.0f) & (g >= 0.0f) & (g < 1.0f) & (h >= 0.0f) & (h < 1.0f);
        at[i] = ((z - bz) * slice + (y - by) * row) + (x - bx);
        in[i] = ok;
        count += ok;
    }
    return count;
}

// a where `skip` is false, else s: a select by bits, since the compiler
// will not vectorise a choice between sums (it would keep the add in a
// branch, where under the default trapping math it must stay).
inline double keep_unless(bool skip, double s, double a)
{
    std::uint64_t u, v;
    std::memcpy(&u, &s, 8);
    std::memcpy(&v, &a, 8);
    const std::uint64_t m = std::uint64_t(0) - std::uint64_t(skip);
    u = (u & m) | (v & ~m);
    std::memcpy(&s, &u, 8);
    return s;
}

// blend() as the modes define it: a term at i0 + 1 on an axis whose
// fraction is 0 is left out, so its sum is skipped lane by lane (a select,
// never a reordered sum): a sample's bits, -0.0 included, come back alone.
void moded_blend(const float (*s)[2 * block], const float *fx, const float *fy, const float *fz, int n, float *dst)
{
    for (int i = 0; i < n; ++i) {
        const double f[3] = {fx[i], fy[i], fz[i]};
        const bool z0 = fx[i] == 0.0f, z1 = fy[i] == 0.0f, z2 = fz[i] == 0.0f;
        double sum = 0.0;
        interior_terms(f, [&](auto t, auto k, auto... w) {
            constexpr int K = decltype(k)::value;
            const double v = (double(s[K >> 1][2 * i + (K & 1)]) * ... * w);
            if constexpr (decltype(t)::value == 0) {
                sum = v;
            } else {
                const bool skip = ((K & 1) != 0 && z0) | ((K & 2) != 0 && z1) | ((K & 4) != 0 && z2);
                sum = keep_unless(skip, sum, sum + v);
            }
        });
        dst[i] = static_cast<float>(sum);
    }
}

// One row, r set to it by moded_rows. Its own function with its own
// columns, as plain_row: so the compiler sees they alias nothing and
// vectorises their loops.
void moded_row(const part &p, mode m, moded_voxel voxel, const row_job &r, const moded_clamp (&k)[3], bool interior)
{
    columns c;
    const float *S = p.in.src;
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        const std::int64_t at = r.at + x0;
        float *o = r.out + x0;
        coords(r, x0, n, c.cx, c.cy, c.cz);
        const int count = interior ? moded_locate(r, k, n, c.cx, c.cy, c.cz, c.fx, c.fy, c.fz, c.at, c.in) : 0;
        if (!count) {
            for (int i = 0; i < n; ++i)
                voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
            continue;
        }
        int lo = 0, hi = n;
        while (!c.in[lo])
            ++lo;
        while (!c.in[hi - 1])
            --hi;
        if (hi - lo == count) {  // one run, as an affine row gives
            for (int i = lo; r.ahead && i < hi; i += r.every)
                fetch(r, c.at[i]);
            gather(S, c.at + lo, count, r.row, r.slice, c.s);
            moded_blend(c.s, c.fx + lo, c.fy + lo, c.fz + lo, count, o + lo);
            for (int i = 0; i < lo; ++i)
                voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
            for (int i = hi; i < n; ++i)
                voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
            continue;
        }
        // Clamped, every lane's pair lies in the box.
        gather(S, c.at, n, r.row, r.slice, c.s);
        moded_blend(c.s, c.fx, c.fy, c.fz, n, c.res);
        for (int i = 0; i < n; ++i) {
            if (c.in[i])
                o[i] = c.res[i];
            else
                voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
        }
    }
}

// The part's rows in walk_rows' order (tiles as the linear rule's).
inline void moded_rows(const part &p, mode m, moded_voxel voxel)
{
    const out_window &w = p.win;
    if (w.nx <= 0 || w.ny <= 0 || w.first >= w.last)
        return;
    row_job r = job_of(p);
    const source_box &b = p.in;
    const moded_clamp k[3] = {moded_clamp_of(b.bx, b.bnx), moded_clamp_of(b.by, b.bny), moded_clamp_of(b.bz, b.bnz)};
    // 32-bit indices, as the linear rule's; a larger box goes voxel by voxel.
    const bool interior = b.bnx > 1 && b.bny > 1 && b.bnz > 1 && k[0].lo <= k[0].hi && k[1].lo <= k[1].hi &&
                          k[2].lo <= k[2].hi && r.span <= INT_MAX;
    walk_rows(p, [&](int q) {
        const int ny = w.ny;
        const float py = position(w.y + q % ny, p.map.out_spacing[1]), pz = position(w.z + q / ny, p.map.out_spacing[2]);
        at_row(r.mx, p.map, 0, py, pz), at_row(r.my, p.map, 1, py, pz), at_row(r.mz, p.map, 2, py, pz);
        r.at = (q / ny) * w.slice + (q % ny) * w.row;
        r.out = w.out + r.at;
        moded_row(p, m, voxel, r, k, interior);
    });
}

} // namespace
