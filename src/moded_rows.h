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
inline int moded_locate(const row_job &r, const moded_clamp (&k)[3], int n, columns &c)
{
    const int bx = r.in->bx, by = r.in->by, bz = r.in->bz, row = r.row, slice = r.slice;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const int x = int(std::min(std::max(k[0].lo, c.cx[i]), k[0].hi));
        const int y = int(std::min(std::max(k[1].lo, c.cy[i]), k[1].hi));
        const int z = int(std::min(std::max(k[2].lo, c.cz[i]), k[2].hi));
        c.fx[i] = c.cx[i] - float(x), c.fy[i] = c.cy[i] - float(y), c.fz[i] = c.cz[i] - float(z);
        const int in = (c.fx[i] >= 0.0f) & (c.fx[i] < 1.0f) & (c.fy[i] >= 0.0f) & (c.fy[i] < 1.0f) &
                       (c.fz[i] >= 0.0f) & (c.fz[i] < 1.0f);
        c.at[i] = ((z - bz) * slice + (y - by) * row) + (x - bx);
        c.in[i] = in;
        count += in;
    }
    return count;
}

// blend() as the modes define it: a term at i0 + 1 on an axis whose
// fraction is 0 is left out, so its sum is skipped lane by lane (a select,
// never a reordered sum): a sample's bits, -0.0 included, come back alone.
void moded_blend(const float (*s)[2 * block], const float *fx, const float *fy, const float *fz, int n, float *dst)
{
    for (int i = 0; i < n; ++i) {
        const double f[3] = {fx[i], fy[i], fz[i]};
        const int zero = (f[0] == 0.0 ? 1 : 0) | (f[1] == 0.0 ? 2 : 0) | (f[2] == 0.0 ? 4 : 0);
        double sum = 0.0;
        interior_terms(f, [&](auto t, auto k, auto... w) {
            const double v = (double(s[k >> 1][2 * i + (k & 1)]) * ... * w);
            if constexpr (decltype(t)::value == 0) {
                sum = v;
            } else {
                const double a = sum + v;
                sum = (zero & decltype(k)::value) ? sum : a;
            }
        });
        dst[i] = static_cast<float>(sum);
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
    columns c;
    walk_rows(p, [&](int q) {
        const int ny = w.ny;
        const float py = position(w.y + q % ny, p.map.out_spacing[1]), pz = position(w.z + q / ny, p.map.out_spacing[2]);
        at_row(r.mx, p.map, 0, py, pz), at_row(r.my, p.map, 1, py, pz), at_row(r.mz, p.map, 2, py, pz);
        r.at = (q / ny) * w.slice + (q % ny) * w.row;
        float *out = w.out + r.at;
        for (int x0 = 0; x0 < r.n; x0 += block) {
            const int n = r.n - x0 < block ? r.n - x0 : block;
            const std::int64_t at = r.at + x0;
            float *o = out + x0;
            coords(r, x0, n, c.cx, c.cy, c.cz);
            const int count = interior ? moded_locate(r, k, n, c) : 0;
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
                gather(b.src, c.at + lo, count, r.row, r.slice, c.s);
                moded_blend(c.s, c.fx + lo, c.fy + lo, c.fz + lo, count, o + lo);
                for (int i = 0; i < lo; ++i)
                    voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
                for (int i = hi; i < n; ++i)
                    voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
                continue;
            }
            // Clamped, every lane's pair lies in the box.
            gather(b.src, c.at, n, r.row, r.slice, c.s);
            moded_blend(c.s, c.fx, c.fy, c.fz, n, c.res);
            for (int i = 0; i < n; ++i) {
                if (c.in[i])
                    o[i] = c.res[i];
                else
                    voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
            }
        }
    });
}

} // namespace
