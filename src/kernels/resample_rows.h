// The portable row kernel: plain C++ whose loops the compiler vectorises.
// kernels/target.cpp compiles it once per target: for AVX2 the same loops
// get twice the vector width and a 32-bit integer multiply. Internal
// linkage keeps the compilations apart.
// The label rows include it for its coordinates and interior split alone
// (coords, locate): the whole-row functions are marked maybe_unused. Where
// voxels read is geometry.h's; this file combines their terms (linear_sum).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/dispatch.h"

// Everything below has internal linkage on purpose: kernels/target.cpp is
// compiled once per target, and a shared inline symbol could let the linker
// hand one target's code to a CPU without it.
#include "kernels/terms.h"

namespace {

// One output row: the part's source as the classes see it (frame), where
// the row lies and the three maps with the row's fixed products.
struct row_job : frame {
    float *out;              // voxel x0 + i of the row at out[i]; null when the part has none
    std::int64_t at;         // the row's first element in the window's output
    int x0, n;               // the row's first voxel in the whole grid, its length
    float ox;                // output spacing along X
    std::ptrdiff_t ahead;    // fetch_ahead_of
    int every;               // fetch_every
    axis_map mx, my, mz;
};

// Output slices walked together, row by row across them: 32 where a row
// crosses source slices more often than source rows (a turn about Y), else
// 1. Such a row's samples lie on a few rows of many slices, and the row one
// output slice on reads nearly the same lines; slice by slice, those lines
// have left L1 and L2 when the next output slice comes back to them. Much
// deeper tiles put more lines of one source row in a set than L2 has ways.
// Rows that cross source rows too (the oblique map) gain nothing tiled, and
// rows that stay within a source slice reuse their lines from the row
// before ("Design measurements" in docs/performance.md).
inline int tile_slices(const part &p)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    const double rows = std::fabs(double(m[4]) * o[0] / s[1] * p.win.nx);
    const double slices = std::fabs(double(m[8]) * o[0] / s[2] * p.win.nx);
    return slices >= 2 && slices >= rows ? 32 : 1;
}

// Roughly how far, in samples, to prefetch ahead of a voxel's samples: to
// those of the voxel one output row on where slices are walked in tiles (see
// tile_slices), else one output slice on; 0 for none. A row that walks
// across source rows or slices, or a slice whose rows do, reaches each
// fresh line diagonally, in an order no hardware prefetcher follows, and at
// 256^3 those first touches, not the arithmetic, set the pace; the rows of
// a shift read the source in order and go without. The step is rounded per
// source axis, so the fetched 2 x 2 sample rows are the future voxel's,
// give or take one; summed unrounded, the step's fraction of a slice lands
// rows away. In tiles the row on comes a tile's rows later;
// the slice on comes a slice's rows later, when its lines have left L2 but
// wait in L3.
inline std::ptrdiff_t fetch_ahead_of(const part &p, int row, int slice)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    if (s[0] == 0 || s[1] == 0 || s[2] == 0)
        return 0;
    const int X = p.win.nx, Y = p.win.ny;
    const double across = std::fabs(double(m[4]) * o[0] / s[1] * X) + std::fabs(double(m[8]) * o[0] / s[2] * X) +
                          std::fabs(double(m[9]) * o[1] / s[2] * Y);
    if (!(across >= 1))
        return 0;
    const int k = tile_slices(p) > 1 ? 1 : 2;  // column of the output axis stepped
    const double dx = std::round(double(m[k]) * o[k] / s[0]);
    const double dy = std::round(double(m[4 + k]) * o[k] / s[1]);
    const double dz = std::round(double(m[8 + k]) * o[k] / s[2]);
    const double d = dx + dy * row + dz * slice;
    return d > -1e15 && d < 1e15 ? std::ptrdiff_t(d) : 0;
}

// Voxels per prefetch along a row: 8, or 4 where the row crosses more than
// three source rows and slices in eight voxels; denser prefetching only
// adds instructions ("Design measurements" in docs/performance.md).
inline int fetch_every(const part &p)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    const double crossed = std::fabs(double(m[4]) * o[0] / s[1]) + std::fabs(double(m[8]) * o[0] / s[2]);
    return crossed * 8 > 3 ? 4 : 8;
}

// Prefetches, into L2, the 2 x 2 sample rows r.ahead samples on from the
// sample index i (see fetch_ahead_of), on GCC and Clang; elsewhere nothing.
// The addresses are formed as integers: they may lie outside the image,
// where a prefetch does nothing. Callers loop over it in their own bodies:
// GCC 12 took a function holding only such a loop for one without effects
// and dropped its calls.
inline void fetch(const row_job &r, std::ptrdiff_t i)
{
#if defined(__GNUC__)
    const std::uintptr_t q = reinterpret_cast<std::uintptr_t>(r.in->src) + 4 * std::uintptr_t(i + r.ahead);
    const std::uintptr_t row = 4 * std::uintptr_t(r.row), plane = 4 * std::uintptr_t(r.slice);
    __builtin_prefetch(reinterpret_cast<const void *>(q), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + row), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + plane), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + plane + row), 0, 2);
#else
    (void)r, (void)i;
#endif
}

// What a part's rows share.
inline row_job job_of(const part &p)
{
    row_job r;
    static_cast<frame &>(r) = frame_of(p.in);
    r.x0 = p.win.x, r.n = p.win.nx, r.ox = p.map.out_spacing[0];
    r.ahead = r.empty ? 0 : fetch_ahead_of(p, r.row, r.slice);
    r.every = fetch_every(p);
    r.mx = axis_of(p.map, 0, 0, 0), r.my = axis_of(p.map, 1, 0, 0), r.mz = axis_of(p.map, 2, 0, 0);
    return r;
}

// Sets r to row q of the part's window: the maps' fixed products (the same
// single-precision products as per voxel, so nothing changes), where it is
// written, and the fill.
inline void start_row(const part &p, row_job &r, int q)
{
    const int ny = p.win.ny, z = p.win.z + q / ny, y = p.win.y + q % ny;
    const float py = position(y, p.map.out_spacing[1]), pz = position(z, p.map.out_spacing[2]);
    at_row(r.mx, p.map, 0, py, pz), at_row(r.my, p.map, 1, py, pz), at_row(r.mz, p.map, 2, py, pz);
    r.at = (q / ny) * p.win.slice + (q % ny) * p.win.row;
    // A part of another element type (label.h) writes through its own
    // pointer and fills its own rows.
    r.out = p.win.out ? p.win.out + r.at : nullptr;
    if (p.fill.on && r.out)
        std::fill(r.out, r.out + r.n, p.fill.value);
}

// Hands one(q) every row q of the part: rows of partly covered slices in
// order, whole slices in tiles of tile_slices (see rows_per_chunk).
template <class F> inline void walk_rows(const part &p, F &&one)
{
    const int ny = p.win.ny, first = p.win.first, last = p.win.last;
    const int tile = tile_slices(p);
    const int zf = int((std::int64_t(first) + ny - 1) / ny), zl = last / ny;  // whole slices
    if (zf >= zl || tile <= 1) {
        for (int q = first; q < last; ++q)
            one(q);
        return;
    }
    for (int q = first; q < zf * ny; ++q)
        one(q);
    for (int z0 = zf, z1; z0 < zl; z0 = z1) {
        z1 = zl - z0 < tile ? zl : z0 + tile;
        for (int y = 0; y < ny; ++y)
            for (int z = z0; z < z1; ++z)
                one(z * ny + y);
    }
    for (int q = zl * ny; q < last; ++q)
        one(q);
}

// Hands every row of the part to do_row, in walk_rows' order. Rows of an
// empty source only take the fill.
template <class F> inline void each_row(const part &p, F &&do_row)
{
    const out_window &w = p.win;
    if (w.nx <= 0 || w.ny <= 0 || w.nz <= 0 || w.first >= w.last)
        return;
    row_job r = job_of(p);
    walk_rows(p, [&](int q) {
        start_row(p, r, q);
        if (!r.empty)
            do_row(r);
    });
}

} // namespace

namespace {

// The linear rule: each term's sample times its factors in order, the
// terms summed in order, the first one as it is.
template <class D> struct linear_sum {
    D sum;
    template <int T, class... W> void add(ic<T>, D s, W... w)
    {
        const D v = (s * ... * w);
        if constexpr (T == 0)
            sum = v;
        else
            sum = sum + v;
    }
};

// a where `skip` is false, else s: a select by bits, since the compiler
// will not vectorise a choice between sums (it would keep the add in a
// branch, where under the default trapping math it must stay).
template <class F> inline F keep_unless(bool skip, F s, F a)
{
    using bits = std::conditional_t<sizeof(F) == 8, std::uint64_t, std::uint32_t>;
    bits u, v;
    std::memcpy(&u, &s, sizeof u);
    std::memcpy(&v, &a, sizeof v);
    const bits m = bits(0) - bits(skip);
    u = (u & m) | (v & ~m);
    std::memcpy(&s, &u, sizeof u);
    return s;
}

// Evaluates one output voxel from its continuous source index and stores it
// unless no sample can be formed.
[[maybe_unused]] void voxel(const row_job &r, int x, float cx, float cy, float cz)
{
    cell c;
    if (!cell_of(r, cx, cy, cz, c))
        return;
    const float *S = r.in->src + c.at;
    linear_sum<double> sum;
    each_term(c, [&](auto t, auto k, auto... w) { sum.add(t, double(S[corner(r, k)]), w...); });
    r.out[x] = static_cast<float>(sum.sum);
}

// Columns per pass: the working arrays fit in L1.
constexpr int block = 256;

// Sample pairs of n interior voxels, two adjacent floats per 8-byte copy:
// s[0] rows (z0, y0), s[1] (z0, y1), s[2] (z1, y0), s[3] (z1, y1).
void gather(const float *S, const int *at, int n, int row, int slice, float (*s)[2 * block])
{
    for (int i = 0; i < n; ++i) {
        const float *p = S + at[i];
        std::memcpy(&s[0][2 * i], p, 8);
        std::memcpy(&s[1][2 * i], p + row, 8);
        std::memcpy(&s[2][2 * i], p + slice, 8);
        std::memcpy(&s[3][2 * i], p + slice + row, 8);
    }
}

// The interior formula of voxel(). Vector lanes are voxels, so every voxel
// keeps its own order of operations.
void blend(const float (*s)[2 * block], const float *fx, const float *fy, const float *fz, int n,
           float *dst)
{
    for (int i = 0; i < n; ++i) {
        const double f[3] = {fx[i], fy[i], fz[i]};
        linear_sum<double> sum;
        interior_terms(f, [&](auto t, auto k, auto... w) { sum.add(t, double(s[k >> 1][2 * i + (k & 1)]), w...); });
        dst[i] = static_cast<float>(sum.sum);
    }
}

// The continuous source indices of voxels x0 .. x0 + n - 1 of the row.
inline void coords(const row_job &r, int x0, int n, float *cx, float *cy, float *cz)
{
    for (int i = 0; i < n; ++i) {
        const float px = position(r.x0 + x0 + i, r.ox);
        cx[i] = numerator(r.mx, px);
        cy[i] = numerator(r.my, px);
        cz[i] = numerator(r.mz, px);
    }
    divide(cx, n, r.mx);
    divide(cy, n, r.my);
    divide(cz, n, r.mz);
}

// The interior voxels of n: in[i] says whether voxel i is interior,
// at[i] is the box index of its sample (z0, y0, x0) and f its fractions;
// returns how many are interior. Branch-free, so the compiler vectorises
// it. Up to 2^24 samples (`exact`), indices and their partial sums are
// exact in float, whose vector multiply SSE2 has; it has none for 32-bit
// integers.
template <bool exact>
inline int locate_as(const row_job &r, int n, const float *cx, const float *cy, const float *cz, float *fx,
                     float *fy, float *fz, int *at, int *in)
{
    const clamp kx = r.ax, ky = r.ay, kz = r.az;
    const int bx = r.in->bx, by = r.in->by, bz = r.in->bz, row = r.row, slice = r.slice;
    const float fs = float(slice), fr = float(row);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        int x, y, z;
        const int k = split(cx[i], kx, x, fx[i]) & split(cy[i], ky, y, fy[i]) & split(cz[i], kz, z, fz[i]);
        if constexpr (exact)
            at[i] = int((float(z - bz) * fs + float(y - by) * fr) + float(x - bx));
        else
            at[i] = ((z - bz) * slice + (y - by) * row) + (x - bx);
        in[i] = k;
        count += k;
    }
    return count;
}

inline int locate(const row_job &r, int n, const float *cx, const float *cy, const float *cz, float *fx,
                  float *fy, float *fz, int *at, int *in)
{
    if (r.span <= 1 << 24)
        return locate_as<true>(r, n, cx, cy, cz, fx, fy, fz, at, in);
    return locate_as<false>(r, n, cx, cy, cz, fx, fy, fz, at, in);
}

// A block's working arrays, and the bands' upper ends (above(E)).
struct columns {
    float cx[block], cy[block], cz[block], fx[block], fy[block], fz[block];
    float s[4][2 * block], res[block];
    int at[block], in[block];
    float ex, ey, ez;
};

// Beyond the bands voxel() writes nothing; skip the call.
inline bool near(const columns &c, int i)
{
    return in_band(c.cx[i], c.ex) && in_band(c.cy[i], c.ey) && in_band(c.cz[i], c.ez);
}

inline void edge(const row_job &r, const columns &c, int i, int x)
{
    if (near(c, i))
        voxel(r, x, c.cx[i], c.cy[i], c.cz[i]);
}

// Voxels x0 .. x0 + n - 1 of the row, count of them (one or more) interior
// by locate().
inline void interior_block(const row_job &r, int x0, int n, int count, columns &c)
{
    float *o = r.out + x0;
    int lo = 0, hi = n;
    while (!c.in[lo])
        ++lo;
    while (!c.in[hi - 1])
        --hi;
    // An affine map gives one run of interior voxels per row: write it
    // straight out. The near voxels form one run around it: walk out to
    // its ends through voxel() and leave the far ones (a sixth of the
    // oblique map) unvisited.
    if (hi - lo == count) {
        // Every r.every-th voxel's rows one row or slice on (see fetch).
        for (int i = lo; r.ahead && i < hi; i += r.every)
            fetch(r, c.at[i]);
        gather(r.in->src, c.at + lo, count, r.row, r.slice, c.s);
        blend(c.s, c.fx + lo, c.fy + lo, c.fz + lo, count, o + lo);
        for (int i = lo - 1; i >= 0 && near(c, i); --i)
            voxel(r, x0 + i, c.cx[i], c.cy[i], c.cz[i]);
        for (int i = hi; i < n && near(c, i); ++i)
            voxel(r, x0 + i, c.cx[i], c.cy[i], c.cz[i]);
        return;
    }
    // Any other pattern: each voxel by its own flag.
    gather(r.in->src, c.at, n, r.row, r.slice, c.s);
    blend(c.s, c.fx, c.fy, c.fz, n, c.res);
    for (int i = 0; i < n; ++i) {
        if (c.in[i])
            o[i] = c.res[i];
        else
            edge(r, c, i, x0 + i);
    }
}

[[maybe_unused]] void plain_row(const row_job &r)
{
    columns c;
    c.ex = above(r.in->X), c.ey = above(r.in->Y), c.ez = above(r.in->Z);
    const bool interior = has_interior(r);
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        coords(r, x0, n, c.cx, c.cy, c.cz);
        const int count = interior ? locate(r, n, c.cx, c.cy, c.cz, c.fx, c.fy, c.fz, c.at, c.in) : 0;
        // Each coordinate is monotone along a row (so is every rounded step
        // forming it); with NaN or infinities about, no voxel is near. So
        // a block with no interior voxel lies wholly beyond one side of an
        // axis when both its ends do, and is skipped, else it is checked
        // voxel by voxel.
        if (count) {
            interior_block(r, x0, n, count, c);
        } else if (!interior || (!beyond(c.cx, n, c.ex) && !beyond(c.cy, n, c.ey) && !beyond(c.cz, n, c.ez))) {
            for (int i = 0; i < n; ++i)
                edge(r, c, i, x0 + i);
        }
    }
}

} // namespace
