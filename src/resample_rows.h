// The portable row kernel: plain C++ whose loops the compiler vectorises.
// resample.cpp compiles it for any CPU (the scalar path), resample_avx2.cpp
// for AVX2, where the same loops get twice the vector width and a 32-bit
// integer multiply. Internal linkage keeps the two compilations apart.
// The label rows include it for its coordinates and interior split alone
// (coords, locate): the whole-row functions are marked maybe_unused. Where
// voxels read is geometry.h's; this file combines their terms (linear_sum).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "resample_paths.h"

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
