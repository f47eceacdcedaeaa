// The linear rule under a boundary mode, row by row, in loops the compiler
// vectorises: voxels whose eight samples lie in the box without extension,
// where no mode matters, by the linear rule's coordinates and gathers;
// voxels near the source through tables of each axis's extended planes;
// every other voxel through modes_part.cpp's scalar code. Each gives that code's
// bits. Internal linkage, as in resample_rows.h: each target's compilation
// (kernels/target.cpp) has its own copy.
#pragma once

#include <array>
#include <climits>
#include <utility>

#include "kernels/modes_part.h"
#include "kernels/dispatch.h"
#include "kernels/resample_rows.h"

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

// blend() as the modes define it: a term at i0 + 1 on an axis whose
// fraction is 0 is left out. On the axes of Z every lane's fraction is 0:
// those terms go whole. On the others with `sel` each lane skips its own by
// a select, never a reordered sum; without, no lane has a fraction of 0
// there and every term is added. A sample's bits, -0.0 included, come back
// alone.
template <int Z, bool sel>
void blend_as(const float (*s)[2 * block], const float *fx, const float *fy, const float *fz, int n, float *dst)
{
    for (int i = 0; i < n; ++i) {
        const double f[3] = {fx[i], fy[i], fz[i]};
        const bool z0 = fx[i] == 0.0f, z1 = fy[i] == 0.0f, z2 = fz[i] == 0.0f;
        double sum = 0.0;
        interior_terms(f, [&](auto t, auto k, auto... w) {
            constexpr int K = decltype(k)::value;
            if constexpr ((K & Z) == 0) {
                const double v = (double(s[K >> 1][2 * i + (K & 1)]) * ... * w);
                if constexpr (decltype(t)::value == 0) {
                    sum = v;
                } else if constexpr (!sel) {
                    sum = sum + v;
                } else {
                    const bool skip = ((K & 1) != 0 && z0) | ((K & 2) != 0 && z1) | ((K & 4) != 0 && z2);
                    sum = keep_unless(skip, sum, sum + v);
                }
            }
        });
        dst[i] = static_cast<float>(sum);
    }
}

using blend_fn = void (*)(const float (*)[2 * block], const float *, const float *, const float *, int, float *);

template <int... Z> constexpr std::array<blend_fn, 16> blends_of(std::integer_sequence<int, Z...>)
{
    return {blend_as<Z, false>..., blend_as<Z, true>...};
}

// The axes whose fraction is 0 in every one of n lanes (bit 0 X, 1 Y, 2 Z)
// and whether some other lane has one of 0 on another axis.
inline int zero_axes(const float *fx, const float *fy, const float *fz, int n, bool &some)
{
    int all = 7, any = 0;
    for (int i = 0; i < n; ++i) {
        const int z = int(fx[i] == 0.0f) | int(fy[i] == 0.0f) << 1 | int(fz[i] == 0.0f) << 2;
        all &= z, any |= z;
    }
    some = (any & ~all) != 0;
    return all;
}

// Sample pairs as gather() takes them, less the rows of the axes of Z
// (see zero_axes), which no term reads.
void gather_rows(const float *S, const int *at, int n, int row, int slice, int Z, float (*s)[2 * block])
{
    const int off[4] = {0, row, slice, slice + row};
    for (int r = 0; r < 4; ++r) {
        if ((r & 1 && Z & 2) || (r & 2 && Z & 4))
            continue;
        for (int i = 0; i < n; ++i)
            std::memcpy(&s[r][2 * i], S + at[i] + off[r], 8);
    }
}

// n lanes' values from their fractions and gathered samples.
inline void moded_blend(const float *S, const int *at, int row, int slice, const float *fx, const float *fy,
                        const float *fz, int n, float (*s)[2 * block], float *dst)
{
    static constexpr std::array<blend_fn, 16> blends = blends_of(std::make_integer_sequence<int, 8>());
    bool some;
    const int Z = zero_axes(fx, fy, fz, n, some);
    gather_rows(S, at, n, row, slice, Z, s);
    blends[Z + 8 * some](s, fx, fy, fz, n, dst);
}

// Voxels that need the extension: each axis's planes over a range of
// indices about the source, looked up instead of extended voxel by voxel.
constexpr int table_cap = 4096;

// Planes [lo, lo + n) of one axis: offsets (index times stride), -1 for the
// fill; n = 0 for none.
struct moded_table {
    int lo, n;
    float clo, chi;  // floor(c) in [lo, lo + n - 2]: both planes held
    int at[table_cap];
};

// An axis of extent e whose box is the whole: its planes out to e beyond
// each edge where the table holds them, fewer on a longer axis. None under
// "constant", where a voxel beyond the edges maps nowhere.
inline void table_of(moded_table &t, mode m, int e, bool whole, int step)
{
    t.n = 0;
    const int reach = std::min(e, (table_cap - e) / 2);
    if (m == constant || !whole || reach < 1)
        return;
    t.lo = -reach, t.n = e + 2 * reach;
    for (int i = 0; i < t.n; ++i) {
        const std::int64_t j = extend(m, t.lo + i, e);
        t.at[i] = j == fill_index ? -1 : int(j) * step;
    }
    t.clo = float(t.lo), t.chi = float(t.lo + t.n - 2);
}

// One axis through its table: floor(c)'s planes o0, o1, the fraction f,
// and whether the table held them.
inline int table_axis(float c, float lo, float hi, int first, const int *T, double &f, int &o0, int &o1)
{
    const float k = std::min(std::max(lo, c), hi);
    int j = int(k);
    j -= int(float(j) > k);  // floor
    f = double(c) - double(j);
    o0 = T[j - first], o1 = T[j + 1 - first];
    return int(f >= 0.0) & int(f < 1.0);
}

// The scalar code's arithmetic for n voxels through the tables: res[i] the
// value, ok[i] whether the tables held voxel i's planes. Every lane's
// lookups and reads stay in the tables and the source (clamped), whatever
// its coordinates.
void moded_general(const float *__restrict S, const moded_table (&t)[3], float fill, const float *cx, const float *cy,
                   const float *cz, int n, float *__restrict res, int *__restrict ok)
{
    const float l0 = t[0].clo, h0 = t[0].chi, l1 = t[1].clo, h1 = t[1].chi, l2 = t[2].clo, h2 = t[2].chi;
    const int b0 = t[0].lo, b1 = t[1].lo, b2 = t[2].lo;
    const int *const T0 = t[0].at, *const T1 = t[1].at, *const T2 = t[2].at;
    for (int i = 0; i < n; ++i) {
        int x0, x1, y0, y1, z0_, z1_;
        double f[3];
        const int good = table_axis(cx[i], l0, h0, b0, T0, f[0], x0, x1) &
                         table_axis(cy[i], l1, h1, b1, T1, f[1], y0, y1) &
                         table_axis(cz[i], l2, h2, b2, T2, f[2], z0_, z1_);
        const int o[3][2] = {{x0, x1}, {y0, y1}, {z0_, z1_}};
        const bool z0 = f[0] == 0.0, z1 = f[1] == 0.0, z2 = f[2] == 0.0;
        double sum = 0.0;
        interior_terms(f, [&](auto q, auto k, auto... w) {
            constexpr int K = decltype(k)::value;
            const int x = o[0][K & 1], y = o[1][(K >> 1) & 1], z = o[2][K >> 2];
            // The fill where a plane is (an offset < 0); sample 0 read
            // then, by a mask, not a branch, so the read is unconditional.
            const int out = (x | y | z) >> 31;
            const float s = S[((z + y) + x) & ~out];
            const double v = (double(out ? fill : s) * ... * w);
            if constexpr (decltype(q)::value == 0) {
                sum = v;
            } else {
                const bool skip = ((K & 1) != 0 && z0) | ((K & 2) != 0 && z1) | ((K & 4) != 0 && z2);
                sum = keep_unless(skip, sum, sum + v);
            }
        });
        res[i] = static_cast<float>(sum);
        ok[i] = good;
    }
}

// A part's fixed pieces: the interior clamps, the tables, what each allows.
struct moded_frame {
    moded_clamp k[3];
    bool interior, tabled;
    moded_table t[3];
};

// n <= block voxels whose positions are in c's cx, cy, cz, into o: voxel
// i is the window's voxel at + i, handed to `voxel` where neither the
// interior nor the tables take it. A row's block (moded_row) or a warp's
// points (warp_reads.h), with r's frame of p's box.
void moded_block(const part &p, mode m, moded_voxel voxel, const row_job &r, const moded_frame &g, columns &c,
                 int n, std::int64_t at, float *o)
{
    float res[block];
    int ok[block];
    const float *S = p.in.src;
    // Voxels [a, b), none of them interior.
    auto others = [&](int a, int b) {
        if (g.tabled)
            moded_general(S, g.t, p.fill.value, c.cx + a, c.cy + a, c.cz + a, b - a, res + a, ok + a);
        for (int i = a; i < b; ++i) {
            if (g.tabled && ok[i])
                o[i] = res[i];
            else
                voxel(p, m, at + i, c.cx[i], c.cy[i], c.cz[i]);
        }
    };
    const int count = g.interior ? moded_locate(r, g.k, n, c.cx, c.cy, c.cz, c.fx, c.fy, c.fz, c.at, c.in) : 0;
    if (!count) {
        others(0, n);
        return;
    }
    int lo = 0, hi = n;
    while (!c.in[lo])
        ++lo;
    while (!c.in[hi - 1])
        --hi;
    if (hi - lo == count) {  // one run, as an affine row gives
        for (int i = lo; r.ahead && i < hi; i += r.every)
            fetch(r, c.at[i]);
        moded_blend(S, c.at + lo, r.row, r.slice, c.fx + lo, c.fy + lo, c.fz + lo, count, c.s, o + lo);
        if (lo)
            others(0, lo);
        if (hi < n)
            others(hi, n);
        return;
    }
    // Clamped, every lane's pair lies in the box.
    moded_blend(S, c.at, r.row, r.slice, c.fx, c.fy, c.fz, n, c.s, c.res);
    others(0, n);
    for (int i = 0; i < n; ++i)
        if (c.in[i])
            o[i] = c.res[i];
}

// One row, r set to it by moded_rows. Its own function with its own
// columns, as plain_row: so the compiler sees they alias nothing and
// vectorises their loops.
void moded_row(const part &p, mode m, moded_voxel voxel, const row_job &r, const moded_frame &g)
{
    columns c;
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        coords(r, x0, n, c.cx, c.cy, c.cz);
        moded_block(p, m, voxel, r, g, c, n, r.at + x0, r.out + x0);
    }
}

// The interior clamps of r's frame of box b, and with `tables` the tables
// of the modes' planes.
inline void moded_frame_of(moded_frame &g, const row_job &r, const source_box &b, mode m, bool tables)
{
    g.k[0] = moded_clamp_of(b.bx, b.bnx), g.k[1] = moded_clamp_of(b.by, b.bny), g.k[2] = moded_clamp_of(b.bz, b.bnz);
    // 32-bit offsets, as the linear rule's; a larger box goes voxel by voxel.
    const bool small = r.span <= INT_MAX;
    g.interior = small && b.bnx > 1 && b.bny > 1 && b.bnz > 1 && g.k[0].lo <= g.k[0].hi &&
                 g.k[1].lo <= g.k[1].hi && g.k[2].lo <= g.k[2].hi;
    g.tabled = false;
    if (!tables)
        return;
    // Only within 32-bit reach: every plane's offset then fits the table's ints.
    table_of(g.t[0], m, b.X, small && b.bx == 0 && b.bnx == b.X, 1);
    table_of(g.t[1], m, b.Y, small && b.by == 0 && b.bny == b.Y, int(r.row));
    table_of(g.t[2], m, b.Z, small && b.bz == 0 && b.bnz == b.Z, int(r.slice));
    g.tabled = small && g.t[0].n && g.t[1].n && g.t[2].n;
}

// The part's rows in walk_rows' order (tiles as the linear rule's).
inline void moded_rows(const part &p, mode m, moded_voxel voxel)
{
    const out_window &w = p.win;
    if (w.nx <= 0 || w.ny <= 0 || w.first >= w.last)
        return;
    row_job r = job_of(p);
    moded_frame g;
    moded_frame_of(g, r, p.in, m, true);
    walk_rows(p, [&](int q) {
        const int ny = w.ny;
        const float py = position(w.y + q % ny, p.map.out_spacing[1]), pz = position(w.z + q / ny, p.map.out_spacing[2]);
        at_row(r.mx, p.map, 0, py, pz), at_row(r.my, p.map, 1, py, pz), at_row(r.mz, p.map, 2, py, pz);
        r.at = (q / ny) * w.slice + (q % ny) * w.row;
        r.out = w.out + r.at;
        moded_row(p, m, voxel, r, g);
    });
}

} // namespace
