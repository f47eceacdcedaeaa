// The cubic rule's voxels: positions from geometry.h (the linear rule's),
// then 4 x 4 x 4 coefficients weighted by the B-spline of each fraction.
// The weights in double, each rounded once to float32; the sums in float32
// (in double they cost twice the lanes and a widening per coefficient), in
// the fixed order written here and in docs/usage.md. Internal linkage, as in
// resample_rows.h: each target's compilation has its own copy.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

#include "kernels/cubic.h"
#include "kernels/geometry.h"
#include "vocab/modes.h"

namespace {

// The cubic B-spline's weights of the fraction t in [0, 1) for the
// coefficients at i - 1, i, i + 1, i + 2, each rounded per operation as
// written (the model repeats it); a product by the double nearest 1/6, as
// a division costs a block more than its sums. T: double, or a vector of
// doubles whose lanes each take the same operations.
template <class T>
inline void cubic_weights(const T &t, T w[4])
{
    constexpr double sixth = 1.0 / 6.0;
    const T s = 1.0 - t, t2 = t * t, t3 = t2 * t;
    w[0] = s * s * s * sixth;
    w[1] = (3.0 * t3 - 6.0 * t2 + 4.0) * sixth;
    w[2] = (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) * sixth;
    w[3] = t3 * sixth;
}

// One axis of a voxel: its 4 weights and the offsets (index times the
// axis's stride) of its 4 coefficients.
struct cubic_axis {
    float w[4];
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
    double w[4];
    cubic_weights(d - f, w);
    for (int k = 0; k < 4; ++k)
        a.w[k] = float(w[k]);
    for (int k = 0; k < 4; ++k) {
        const std::int64_t j = i - 1 + k;
        const std::int64_t at =
            (pad ? std::min(std::max(j, -std::int64_t(pad)), e - 1 + pad) : extend(m, j, e)) - held.lo;
        if (at < 0 || at >= held.n)
            return false;
        a.at[k] = at * step;
    }
    return true;
}

// w0 * c0 + w1 * c1 + w2 * c2 + w3 * c3 in float32, left to right: every
// sum of the cubic rule, on every path.
inline float sum4(float w0, float w1, float w2, float w3, float c0, float c1, float c2, float c3)
{
    return w0 * c0 + w1 * c1 + w2 * c2 + w3 * c3;
}

// The value at the voxel of axes x, y, z: along X within each row of 4,
// then the rows along Y, then the planes along Z.
inline float cubic_value(const float *coef, const cubic_axis &x, const cubic_axis &y, const cubic_axis &z)
{
    float p[4];
    for (int kz = 0; kz < 4; ++kz) {
        float r[4];
        for (int ky = 0; ky < 4; ++ky) {
            const float *c = coef + z.at[kz] + y.at[ky];
            r[ky] = sum4(x.w[0], x.w[1], x.w[2], x.w[3], c[x.at[0]], c[x.at[1]], c[x.at[2]], c[x.at[3]]);
        }
        p[kz] = sum4(y.w[0], y.w[1], y.w[2], y.w[3], r[0], r[1], r[2], r[3]);
    }
    return sum4(z.w[0], z.w[1], z.w[2], z.w[3], p[0], p[1], p[2], p[3]);
}

// Voxels formed side by side along a row: each lane runs cubic_value's
// operations in its order, so lanes give the scalar bits.
constexpr int cubic_lanes = 8;
#if defined(__AVX2__)
static_assert(cubic_lanes == 8, "the AVX2 blocks hold one register of float32 lanes");
#endif

#if defined(__GNUC__)
// A block's lanes in GCC's and Clang's vectors, each lane taking the
// scalar operations.
using lanes_d = double __attribute__((vector_size(8 * cubic_lanes)));
using lanes_f = float __attribute__((vector_size(4 * cubic_lanes)));
#endif

// A block's interior voxels: weights w[axis][k][lane] and the offset of
// each lane's first coefficient (the corner at i - 1 on every axis).
struct cubic_block {
    alignas(32) float w[3][4][cubic_lanes];
    std::int64_t at[cubic_lanes];
};

// The interior of an axis: voxels whose 4 coefficients lie among the held
// ones (which lie in the grown grid) without extension, floor(c) in
// [lo + 1, lo + n - 3]. Such a voxel maps under every mode ("constant" has
// no pad, so the held ones lie in [0, e - 1]). NaN is never interior.
struct cubic_span {
    double lo, hi;  // lo <= c < hi
};
inline cubic_span span_of(coef_span h) { return {double(h.lo + 1), double(h.lo + h.n - 2)}; }

// Whether every lane's position c[a][lane] lies in the interior sp[a] of
// every axis a: compared in double, as the spans need.
inline bool interior_lanes(const float (*c)[cubic_lanes], const cubic_span *sp)
{
#if defined(__GNUC__)
    auto in = lanes_d{} == lanes_d{};  // lanes of -1, in the type the compiler gives comparisons
    for (int a = 0; a < 3; ++a) {
        lanes_f cf;
        std::memcpy(&cf, c[a], sizeof cf);
        const lanes_d d = __builtin_convertvector(cf, lanes_d);
        in &= (d >= lanes_d{} + sp[a].lo) & (d < lanes_d{} + sp[a].hi);
    }
    int all = 1;
    for (int l = 0; l < cubic_lanes; ++l)
        all &= int(in[l] != 0);
    return all != 0;
#else
    int in = 1;  // no branch per lane
    for (int a = 0; a < 3; ++a)
        for (int l = 0; l < cubic_lanes; ++l) {
            const double d = c[a][l];
            in &= int(d >= sp[a].lo) & int(d < sp[a].hi);
        }
    return in != 0;
#endif
}

// Whether every lane's coordinate has lane 0's bits (an axis the row does
// not move along): its weights are then formed once for the block.
inline bool same_lanes(const float *c)
{
    std::uint32_t u[cubic_lanes];
    std::memcpy(u, c, sizeof u);
    int same = 1;
    for (int l = 1; l < cubic_lanes; ++l)
        same &= int(u[l] == u[0]);
    return same;
}

// The weights w[k][lane] and first coefficients f[lane] (floor(c) - 1 -
// lo, lo the first held) of the block's interior lanes on one axis:
// GCC's and Clang's vectors take the lanes at once, with the scalar
// operations lane by lane.
#if defined(__GNUC__)
inline void lane_weights(const float *c, std::int64_t lo, std::int64_t *f, float (*w)[cubic_lanes])
{
    // floor(c) in float32 is floor(double(c)), exactly.
    lanes_f cf, ff;
    std::memcpy(&cf, c, sizeof cf);
#if defined(__AVX2__)
    const __m256 fv = _mm256_floor_ps(_mm256_loadu_ps(c));
    std::memcpy(&ff, &fv, sizeof ff);
#else
    for (int l = 0; l < cubic_lanes; ++l)
        ff[l] = std::floor(cf[l]);
#endif
    const lanes_d d = __builtin_convertvector(cf, lanes_d), fl = __builtin_convertvector(ff, lanes_d);
    lanes_d wt[4];
    cubic_weights(d - fl, wt);
    for (int n = 0; n < 4; ++n) {
        const lanes_f wf = __builtin_convertvector(wt[n], lanes_f);
        std::memcpy(w[n], &wf, sizeof wf);
    }
    for (int l = 0; l < cubic_lanes; ++l)
        f[l] = std::int64_t(fl[l]) - 1 - lo;
}
#else
inline void lane_weights(const float *c, std::int64_t lo, std::int64_t *f, float (*w)[cubic_lanes])
{
    for (int l = 0; l < cubic_lanes; ++l) {
        const double d = c[l], fl = std::floor(d);
        f[l] = std::int64_t(fl) - 1 - lo;
        double wt[4];
        cubic_weights(d - fl, wt);
        for (int n = 0; n < 4; ++n)
            w[n][l] = float(wt[n]);
    }
}
#endif

// The same where every lane has the coordinate c.
inline void one_weights(float c, std::int64_t lo, std::int64_t *f, float (*w)[cubic_lanes])
{
    const double d = c, fl = std::floor(d);
    double wt[4];
    cubic_weights(d - fl, wt);
    for (int l = 0; l < cubic_lanes; ++l) {
        f[l] = std::int64_t(fl) - 1 - lo;
        for (int n = 0; n < 4; ++n)
            w[n][l] = float(wt[n]);
    }
}

#if defined(__AVX2__)
// Eight lanes' rows of 4 coefficients at p[0..7] + off: column k of the
// rows (lane by lane) into c[k]. Rows l and l + 4 share a register, so each
// shuffle serves two lanes' rows.
inline void columns8(const float *const p[8], std::int64_t off, __m256 c[4])
{
    auto two = [&](int l) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p[l] + off)), _mm_loadu_ps(p[l + 4] + off), 1);
    };
    const __m256 r0 = two(0), r1 = two(1), r2 = two(2), r3 = two(3);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpacklo_ps(r2, r3);
    const __m256 t2 = _mm256_unpackhi_ps(r0, r1), t3 = _mm256_unpackhi_ps(r2, r3);
    c[0] = _mm256_shuffle_ps(t0, t1, 0x44), c[1] = _mm256_shuffle_ps(t0, t1, 0xee);
    c[2] = _mm256_shuffle_ps(t2, t3, 0x44), c[3] = _mm256_shuffle_ps(t2, t3, 0xee);
}

// sum4 lane by lane, with the weights w[0..3].
inline __m256 sum4x8(const __m256 w[4], const __m256 c[4])
{
    __m256 s = _mm256_mul_ps(w[0], c[0]);
    s = _mm256_add_ps(s, _mm256_mul_ps(w[1], c[1]));
    s = _mm256_add_ps(s, _mm256_mul_ps(w[2], c[2]));
    return _mm256_add_ps(s, _mm256_mul_ps(w[3], c[3]));
}

inline void interior8(const float *coef, std::int64_t row, std::int64_t slice, const cubic_block &b, float *o)
{
    const float *p[8];
    for (int l = 0; l < 8; ++l)
        p[l] = coef + b.at[l];
    __m256 wx[4], wy[4], wz[4];
    for (int k = 0; k < 4; ++k) {
        wx[k] = _mm256_load_ps(b.w[0][k]);
        wy[k] = _mm256_load_ps(b.w[1][k]);
        wz[k] = _mm256_load_ps(b.w[2][k]);
    }
    __m256 planes[4];
    for (int kz = 0; kz < 4; ++kz) {
        __m256 rows[4];
        for (int ky = 0; ky < 4; ++ky) {
            __m256 c[4];
            columns8(p, kz * slice + ky * row, c);
            rows[ky] = sum4x8(wx, c);
        }
        planes[kz] = sum4x8(wy, rows);
    }
    _mm256_storeu_ps(o, sum4x8(wz, planes));
}
#endif

// The block's lanes, all interior, written to o[0..cubic_lanes - 1].
inline void cubic_interior(const float *coef, std::int64_t row, std::int64_t slice, const cubic_block &b, float *o)
{
#if defined(__AVX2__)
    interior8(coef, row, slice, b, o);
#else
    for (int l = 0; l < cubic_lanes; ++l) {
        cubic_axis x, y, z;
        for (int k = 0; k < 4; ++k) {
            x.w[k] = b.w[0][k][l], y.w[k] = b.w[1][k][l], z.w[k] = b.w[2][k][l];
            x.at[k] = k, y.at[k] = k * row, z.at[k] = k * slice;
        }
        o[l] = cubic_value(coef + b.at[l], x, y, z);
    }
#endif
}

// One voxel by the general path: any position, any mode.
inline void cubic_voxel(const part &p, mode m, int pad, const coef_span *h, float cx, float cy, float cz, float *o)
{
    const source_box &b = p.in;
    cubic_axis x, y, z;
    const bool maps = cubic_axis_of(cx, b.X, h[0], 1, m, pad, x) && cubic_axis_of(cy, b.Y, h[1], b.row, m, pad, y) &&
                      cubic_axis_of(cz, b.Z, h[2], b.slice, m, pad, z);
    if (maps)
        *o = cubic_value(b.src, x, y, z);
    else if (p.fill.on)
        *o = p.fill.value;
}

// The coefficients' spans of a part's box, and the interior they allow.
struct cubic_frame {
    coef_span h[3];
    cubic_span sp[3];
};

inline cubic_frame cubic_frame_of(const source_box &b, int pad)
{
    cubic_frame g;
    g.h[0] = coef_span_of(pad, b.bx, b.bnx, b.X), g.h[1] = coef_span_of(pad, b.by, b.bny, b.Y);
    g.h[2] = coef_span_of(pad, b.bz, b.bnz, b.Z);
    for (int a = 0; a < 3; ++a)
        g.sp[a] = span_of(g.h[a]);
    return g;
}

// cubic_lanes voxels at positions c into o[0..cubic_lanes - 1]: all of them
// interior on every axis by cubic_interior, else each by the general path.
// A row's block (cubic_rows) or a warp's points (warp_reads.h).
inline void cubic_lanes_at(const part &p, mode m, int pad, const cubic_frame &g, const float (*c)[cubic_lanes],
                           float *o)
{
    constexpr int L = cubic_lanes;
    const source_box &b = p.in;
    if (!interior_lanes(c, g.sp)) {
        for (int l = 0; l < L; ++l)
            cubic_voxel(p, m, pad, g.h, c[0][l], c[1][l], c[2][l], o + l);
        return;
    }
    cubic_block blk;
    std::int64_t f[3][L];
    for (int a = 0; a < 3; ++a) {
        if (same_lanes(c[a]))
            one_weights(c[a][0], g.h[a].lo, f[a], blk.w[a]);
        else
            lane_weights(c[a], g.h[a].lo, f[a], blk.w[a]);
    }
    for (int l = 0; l < L; ++l)
        blk.at[l] = f[2][l] * b.slice + f[1][l] * b.row + f[0][l];
    cubic_interior(b.src, b.row, b.slice, blk, o);
}

// The part's rows: the window's voxels of rows [first, last). Blocks of
// cubic_lanes voxels all interior on every axis take cubic_interior; any
// other voxel the general path, alone.
inline void cubic_rows(const part &p, mode m, int pad)
{
    const out_window &w = p.win;
    const float *os = p.map.out_spacing;
    const cubic_frame g = cubic_frame_of(p.in, pad);
    constexpr int L = cubic_lanes;
    for (int q = w.first; q < w.last; ++q) {
        const int k = q / w.ny, j = q % w.ny;
        const float py = position(w.y + j, os[1]), pz = position(w.z + k, os[2]);
        const axis_map mx = axis_of(p.map, 0, py, pz), my = axis_of(p.map, 1, py, pz),
                       mz = axis_of(p.map, 2, py, pz);
        float *o = w.out + k * w.slice + j * w.row;
        int i = 0;
        for (; i + L <= w.nx; i += L) {
            float c[3][L];
            for (int l = 0; l < L; ++l) {
                const float px = position(w.x + i + l, os[0]);
                c[0][l] = coordinate(mx, px), c[1][l] = coordinate(my, px), c[2][l] = coordinate(mz, px);
            }
            cubic_lanes_at(p, m, pad, g, c, o + i);
        }
        for (; i < w.nx; ++i) {
            const float px = position(w.x + i, os[0]);
            cubic_voxel(p, m, pad, g.h, coordinate(mx, px), coordinate(my, px), coordinate(mz, px), o + i);
        }
    }
}

} // namespace
