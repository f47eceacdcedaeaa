// The linear rows of the AVX-512 target (F, VL, BW, DQ), which
// kernels/target.cpp includes under that target's condition: coordinates in
// single precision, the interpolation in double, the same operations in the
// same order as the scalar target. Rows that stay on a source row go sixteen voxels per step
// while all are interior, else eight, with face bands and the row's tail
// handled by masks; every other map runs the portable rows compiled for
// AVX-512 (see fetch_mode).
#pragma once

#include <immintrin.h>

// GCC 12's own AVX-512 headers trip this warning (their "undefined" sources).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
// The vector types' may_alias, dropped in linear_sum<__m512d>, which holds
// its value and is never read through a pointer.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

#include <cmath>

#include "kernels/lanes.h"
#include "kernels/resample_rows.h"

namespace {

// The samples at eight lanes' indices, widened; lanes outside `k` are not
// read.
inline __m512d single(const float *S, __mmask8 k, __m256i idx)
{
    return _mm512_cvtps_pd(_mm256_mmask_i32gather_ps(_mm256_setzero_ps(), k, idx, S, 4));
}

// Pairs (S[i], S[i + 1]) of eight lanes as 64-bit lanes, lanes outside `k`
// not read, and their first and second floats widened. Half the gathers of
// singles; now and then an element straddles two cache lines.
inline __m512i pairs(const float *S, __mmask8 k, __m256i idx)
{
    return _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), k, idx, S, 4);
}

inline __m512d first(__m512i p) { return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(p))); }
inline __m512d second(__m512i p)
{
    return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(_mm512_srli_epi64(p, 32))));
}

// A sample of corner k from its row's pair: x0 first, x1 second.
template <int K> inline __m512d of_pair(__m512i p, ic<K>) { return K & 1 ? second(p) : first(p); }

inline __m512d wide(__m256 v) { return _mm512_cvtps_pd(v); }

// The interior terms for the interior lanes k, i00 the index of corner 0,
// from 64-bit sample pairs: half the elements of single-float gathers,
// whose cost goes by the element on some AVX-512 cores (see "Design
// measurements" in docs/performance.md).
inline __m512d interior(const row_job &r, __mmask8 k, __m256i i00, const __m512d (&f)[3])
{
    const float *S = r.in->src;
    const __m256i i01 = _mm256_add_epi32(i00, _mm256_set1_epi32(int(corner(r, ic<2>()))));
    const __m256i i10 = _mm256_add_epi32(i00, _mm256_set1_epi32(int(corner(r, ic<4>()))));
    const __m256i i11 = _mm256_add_epi32(i00, _mm256_set1_epi32(int(corner(r, ic<6>()))));
    const __m512i p[4] = {pairs(S, k, i00), pairs(S, k, i01), pairs(S, k, i10), pairs(S, k, i11)};
    linear_sum<__m512d> sum;
    interior_terms(f, [&](auto t, auto c, auto... w) { sum.add(t, of_pair(p[c >> 1], c), w...); });
    return sum.sum;
}

// The X face's terms for lanes k, i the index of corner 0 on the border
// plane: single samples.
inline __m512d face_x(const row_job &r, __mmask8 k, __m256i i, const __m512d (&f)[3])
{
    linear_sum<__m512d> sum;
    face_terms<0>(f, [&](auto t, auto c, auto... w) {
        const __m256i at = _mm256_add_epi32(i, _mm256_set1_epi32(int(corner(r, c))));
        sum.add(t, single(r.in->src, k, at), w...);
    });
    return sum.sum;
}

// The Y or Z face's terms: x0 and x1 in pairs, from two rows of samples.
template <int A> inline __m512d face_pairs(const row_job &r, __mmask8 k, __m256i i, const __m512d (&f)[3])
{
    constexpr int V = 1 << (3 - A);  // the corner bit of the face's other axis
    const float *S = r.in->src;
    const __m256i j = _mm256_add_epi32(i, _mm256_set1_epi32(int(corner(r, ic<V>()))));
    const __m512i p[2] = {pairs(S, k, i), pairs(S, k, j)};
    linear_sum<__m512d> sum;
    face_terms<A>(f, [&](auto t, auto c, auto... w) { sum.add(t, of_pair(p[(c & V) != 0], c), w...); });
    return sum.sum;
}

// Eight voxels of any class, `live` the lanes that exist. Each lane takes
// the interior terms or its one face's, or is not written.
inline void general(const row_job &r, int x, __mmask8 live, __m256 cx, __m256 cy, __m256 cz)
{
    const int X = r.in->X, Y = r.in->Y, Z = r.in->Z;
    const lanes lx = classify8(cx, X), ly = classify8(cy, Y), lz = classify8(cz, Z);
    const cells8 c = cells_of8(lx, ly, lz, live);
    const __mmask8 all = c.in | c.face[0] | c.face[1] | c.face[2];
    if (!all)
        return;
    const __m512d f[3] = {wide(frac8(cx, lx.i0)), wide(frac8(cy, ly.i0)), wide(frac8(cz, lz.i0))};
    __m512d v = _mm512_setzero_pd();
    if (c.in)
        v = _mm512_mask_mov_pd(v, c.in, interior(r, c.in, index8(r, lz.i0, ly.i0, lx.i0), f));
    if (c.face[0])
        v = _mm512_mask_mov_pd(v, c.face[0], face_x(r, c.face[0], index8(r, lz.i0, ly.i0, border8(lx, X)), f));
    if (c.face[1])
        v = _mm512_mask_mov_pd(v, c.face[1],
                               face_pairs<1>(r, c.face[1], index8(r, lz.i0, border8(ly, Y), lx.i0), f));
    if (c.face[2])
        v = _mm512_mask_mov_pd(v, c.face[2],
                               face_pairs<2>(r, c.face[2], index8(r, border8(lz, Z), ly.i0, lx.i0), f));
    _mm256_mask_storeu_ps(r.out + x, all, _mm512_cvtpd_ps(v));
}

// Eight voxels from x on, all interior: no classes. Their coordinates are
// in the int32 range, so truncation is defined.
inline void inside8(const row_job &r, int x, __m256 cx, __m256 cy, __m256 cz)
{
    const __m256i ix = _mm256_cvttps_epi32(cx), iy = _mm256_cvttps_epi32(cy), iz = _mm256_cvttps_epi32(cz);
    const __m512d f[3] = {wide(frac8(cx, ix)), wide(frac8(cy, iy)), wide(frac8(cz, iz))};
    _mm256_storeu_ps(r.out + x, _mm512_cvtpd_ps(interior(r, 0xff, index8(r, iz, iy, ix), f)));
}

inline void block8(const row_job &r, int x, __mmask8 live)
{
    const __m256 px = _mm256_mul_ps(
        _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(r.x0 + x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))),
        _mm256_set1_ps(r.ox));
    general(r, x, live, coordinate(r.mx, px), coordinate(r.my, px), coordinate(r.mz, px));
}

inline __m256 lower(__m512 v) { return _mm512_castps512_ps256(v); }
inline __m256 upper(__m512 v) { return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)); }

// The eight samples of sixteen interior voxels, run by run. A run is lanes
// on one source row (z0, y0); along an affine row runs are long wherever the
// map moves less than a source row per voxel. A run's pairs come from two
// 16-float loads per corner row and permutes, which cost a fraction of the
// gathers they replace; the runs are found at once from where the row index
// changes, so each run's loads wait on nothing but the indices. Each lane
// reads its own samples, at + corner and at + corner + 1, whatever the
// others do; lanes further than 15 samples from their run's least (a map
// faster than a sample per voxel) are gathered instead.
// s[2c] holds x0, s[2c + 1] x1 of corner row c: (y0, z0), (y1, z0),
// (y0, z1), (y1, z1).
inline void runs16(const row_job &r, __m512i key, __m512i at, bool down, __m512 *s)
{
    alignas(64) int ats[16];
    _mm512_store_si512(ats, at);
    const std::ptrdiff_t off[4] = {0, r.row, r.slice, std::ptrdiff_t(r.slice) + r.row};
    // Lane 0 and every lane whose row differs from the lane before.
    const unsigned starts = _mm512_cmpneq_epi32_mask(key, _mm512_alignr_epi32(key, key, 15)) | 1u;
    __mmask16 rest = 0;
    for (unsigned m = starts; m;) {
        const int l = __builtin_ctz(m);
        m &= m - 1;
        const int e = m ? __builtin_ctz(m) : 16;  // one past the run
        const __mmask16 run = __mmask16((0xffffu << l) & ~(0xffffu << e));
        // The run's least sample: its first lane's, or its last where x falls.
        const int b = ats[down ? e - 1 : l];
        const __m512i idx = _mm512_sub_epi32(at, _mm512_set1_epi32(b));
        const __mmask16 k = _mm512_mask_cmple_epu32_mask(run, idx, _mm512_set1_epi32(15));
        rest |= run & __mmask16(~k);
        // Loads up to b + slice + row + 16; near the source's end only what
        // is there (masked lanes are never picked: they lie past x1).
        const std::int64_t room = r.span - (std::int64_t(b) + off[3]);
        for (int c = 0; c < 4; ++c) {
            const float *p = r.in->src + b + off[c];
            __m512 t0, t1;
            if (room >= 17) {
                t0 = _mm512_loadu_ps(p), t1 = _mm512_loadu_ps(p + 1);
            } else {
                const std::int64_t n = r.span - (std::int64_t(b) + off[c]);  // >= 2
                const __mmask16 m0 = n >= 16 ? 0xffff : __mmask16((1u << n) - 1);
                t0 = _mm512_maskz_loadu_ps(m0, p), t1 = _mm512_maskz_loadu_ps(__mmask16(m0 >> 1), p + 1);
                if (n >= 17)
                    t1 = _mm512_loadu_ps(p + 1);
            }
            s[2 * c] = _mm512_mask_permutexvar_ps(s[2 * c], k, idx, t0);
            s[2 * c + 1] = _mm512_mask_permutexvar_ps(s[2 * c + 1], k, idx, t1);
        }
    }
    if (rest)
        for (int c = 0; c < 4; ++c) {
            const __m512i i = _mm512_add_epi32(at, _mm512_set1_epi32(int(off[c])));
            s[2 * c] = _mm512_mask_i32gather_ps(s[2 * c], rest, i, r.in->src, 4);
            s[2 * c + 1] = _mm512_mask_i32gather_ps(s[2 * c + 1], rest, i, r.in->src + 1, 4);
        }
}

inline __m512d wide(__m512 v, int h) { return wide(h ? upper(v) : lower(v)); }

// Sixteen voxels from x on. In most blocks of a volume of any size all are
// interior: their coordinates, truncations and fractions are formed sixteen
// at a time, their samples by runs16 (`runs` says from which side). Other
// blocks go eight by eight.
inline void block16(const row_job &r, int x, int runs)
{
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512 px = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_add_epi32(_mm512_set1_epi32(r.x0 + x), lane)),
                                    _mm512_set1_ps(r.ox));
    const __m512 cx = coordinate(r.mx, px), cy = coordinate(r.my, px), cz = coordinate(r.mz, px);
    const __mmask16 in = inner16(cx, r.ax.top) & inner16(cy, r.ay.top) & inner16(cz, r.az.top);
    if (in != 0xffff) {
        for (int h = 0; h < 2; ++h) {
            const __m256 hx = h ? upper(cx) : lower(cx), hy = h ? upper(cy) : lower(cy), hz = h ? upper(cz) : lower(cz);
            if (__mmask8(in >> (8 * h)) == 0xff)
                inside8(r, x + 8 * h, hx, hy, hz);
            else
                general(r, x + 8 * h, 0xff, hx, hy, hz);
        }
        return;
    }
    const __m512i ix = _mm512_cvttps_epi32(cx), iy = _mm512_cvttps_epi32(cy), iz = _mm512_cvttps_epi32(cz);
    const __m512 fx = frac16(cx, ix), fy = frac16(cy, iy), fz = frac16(cz, iz);
    const __m512i key = row16(r, iz, iy), at = _mm512_add_epi32(key, ix);
    if (r.ahead) {
        fetch(r, _mm_cvtsi128_si32(_mm512_castsi512_si128(at)));
        fetch(r, _mm_cvtsi128_si32(_mm512_extracti32x4_epi32(at, 2)));
    }
    __m512 s[8];
    for (__m512 &v : s)
        v = _mm512_setzero_ps();
    runs16(r, key, at, runs < 0, s);
    for (int h = 0; h < 2; ++h) {
        const __m512d f[3] = {wide(fx, h), wide(fy, h), wide(fz, h)};
        linear_sum<__m512d> sum;
        interior_terms(f, [&](auto t, auto c, auto... w) { sum.add(t, wide(s[c], h), w...); });
        _mm256_storeu_ps(r.out + x + 8 * h, _mm512_cvtpd_ps(sum.sum));
    }
}

// How a row's samples are fetched: by runs16 from the left (1) or from the
// right (-1, x falls along the row) where the row stays on a source row for
// some thirty voxels or more and moves less than three samples per voxel;
// else (0) by the portable rows compiled here, whose 8-byte copies beat
// gathers where a gather costs by the element; the thresholds come from
// "Design measurements" in docs/performance.md.
inline int fetch_mode(const part &p)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    const double dx = double(m[0]) * o[0] / s[0], dy = double(m[4]) * o[0] / s[1], dz = double(m[8]) * o[0] / s[2];
    const double turn = 16 * (std::fabs(dy) + std::fabs(dz));
    if (!(turn <= 0.2 && turn + std::fabs(dx) <= 3))
        return 0;
    return dx < 0 ? -1 : 1;
}

void row512(const row_job &r, int runs)
{
    int x = 0;
    for (; x + 16 <= r.n; x += 16)
        block16(r, x, runs);
    for (; x + 8 <= r.n; x += 8)
        block8(r, x, 0xff);
    if (x < r.n)
        block8(r, x, static_cast<__mmask8>((1u << (r.n - x)) - 1));
}

// The runs and masked lanes read the whole volume's indices: a box of it
// (a tile of a larger-than-memory source) takes the portable rows, which
// keep every read inside it.
void linear_part(const part &p)
{
    const int runs = frame_of(p.in).boxed ? 0 : fetch_mode(p);
    if (runs)
        each_row(p, [runs](const row_job &r) { row512(r, runs); });
    else
        each_row(p, plain_row);
}

} // namespace
