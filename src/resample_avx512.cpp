// AVX-512 path (F, VL, BW, DQ): coordinates in single precision, the
// interpolation in double, the same operations in the same order as the
// scalar path. Rows that stay on a source row go sixteen voxels per step
// while all are interior, else eight, with face bands and the row's tail
// handled by masks; every other map runs the portable rows compiled for
// AVX-512 (see fetch_mode).
#include <immintrin.h>

// GCC 12's own AVX-512 headers trip this warning (their "undefined" sources).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cmath>

#include "resample_paths.h"
#include "resample_rows.h"

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

inline __m512d term(__m512d s, __m512d a, __m512d b) { return _mm512_mul_pd(_mm512_mul_pd(s, a), b); }
inline __m512d term(__m512d s, __m512d a, __m512d b, __m512d c) { return _mm512_mul_pd(term(s, a, b), c); }

inline __m256 coord8(const axis_map &a, __m256 px)
{
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(a.m), px), _mm256_set1_ps(a.a));
    const __m256 u = _mm256_add_ps(_mm256_add_ps(t, _mm256_set1_ps(a.b)), _mm256_set1_ps(a.t));
    return a.inv != 0 ? _mm256_mul_ps(u, _mm256_set1_ps(a.inv)) : _mm256_div_ps(u, _mm256_set1_ps(a.s));
}

inline __m512 coord16(const axis_map &a, __m512 px)
{
    const __m512 t = _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(a.m), px), _mm512_set1_ps(a.a));
    const __m512 u = _mm512_add_ps(_mm512_add_ps(t, _mm512_set1_ps(a.b)), _mm512_set1_ps(a.t));
    return a.inv != 0 ? _mm512_mul_ps(u, _mm512_set1_ps(a.inv)) : _mm512_div_ps(u, _mm512_set1_ps(a.s));
}

// Interior lanes of one axis, by two float comparisons (see interior_top);
// NaN fails both.
inline __mmask16 inner16(__m512 c, float top)
{
    return _mm512_cmp_ps_mask(c, _mm512_set1_ps(-1.0f), _CMP_GT_OQ) &
           _mm512_cmp_ps_mask(c, _mm512_set1_ps(top), _CMP_LE_OQ);
}

// Index of the sample (x, y, z); fits in 32 bits, as a volume's count does.
// Two independent products, not nested ones: the gathers wait on this.
inline __m256i at8(const row_job &r, __m256i z, __m256i y, __m256i x)
{
    const __m256i zp = _mm256_mullo_epi32(z, _mm256_set1_epi32(r.slice));
    return _mm256_add_epi32(_mm256_add_epi32(zp, _mm256_mullo_epi32(y, _mm256_set1_epi32(r.row))), x);
}

// Weights of index i1 and i0: f = c - float(i0) in single precision, then
// widened, and 1 - f in double.
struct weights {
    __m512d fx, gx, fy, gy, fz, gz;
};

inline void weigh(__m256 fx, __m256 fy, __m256 fz, weights &w)
{
    const __m512d one = _mm512_set1_pd(1.0);
    w.fx = _mm512_cvtps_pd(fx), w.gx = _mm512_sub_pd(one, w.fx);
    w.fy = _mm512_cvtps_pd(fy), w.gy = _mm512_sub_pd(one, w.fy);
    w.fz = _mm512_cvtps_pd(fz), w.gz = _mm512_sub_pd(one, w.fz);
}

// The interior formula for the interior lanes k, i00 the index of
// (x0, y0, z0), from 64-bit sample pairs: half the elements of single-float
// gathers, whose cost goes by the element on some AVX-512 cores (see
// "Design measurements" in docs/performance.md).
inline __m512d interior(const row_job &r, __mmask8 k, __m256i i00, const weights &w)
{
    const float *S = r.src;
    const __m256i i01 = _mm256_add_epi32(i00, _mm256_set1_epi32(r.row));
    const __m256i i10 = _mm256_add_epi32(i00, _mm256_set1_epi32(r.slice));
    const __m256i i11 = _mm256_add_epi32(i01, _mm256_set1_epi32(r.slice));
    const __m512i p00 = pairs(S, k, i00), p01 = pairs(S, k, i01), p10 = pairs(S, k, i10), p11 = pairs(S, k, i11);
    __m512d sum = term(first(p00), w.gx, w.gy, w.gz);
    sum = _mm512_add_pd(sum, term(second(p00), w.fx, w.gy, w.gz));
    sum = _mm512_add_pd(sum, term(first(p01), w.gx, w.fy, w.gz));
    sum = _mm512_add_pd(sum, term(second(p01), w.fx, w.fy, w.gz));
    sum = _mm512_add_pd(sum, term(first(p10), w.gx, w.gy, w.fz));
    sum = _mm512_add_pd(sum, term(second(p10), w.fx, w.gy, w.fz));
    sum = _mm512_add_pd(sum, term(first(p11), w.gx, w.fy, w.fz));
    sum = _mm512_add_pd(sum, term(second(p11), w.fx, w.fy, w.fz));
    return sum;
}

// One axis of eight lanes: the continuous index, its truncation (meaningful
// where the float is in the int32 range) and the classes as masks.
struct lanes {
    __m256 c;
    __m256i i0;
    __mmask8 in, face, lo;  // inside; low or high face; low face
};

// The scalar classes: the range test on the float decides first whether
// the truncation means anything.
inline lanes classify8(__m256 c, int e)
{
    lanes l;
    l.c = c;
    const __mmask8 ok = _mm256_cmp_ps_mask(c, _mm256_set1_ps(-2147483648.0f), _CMP_GT_OQ) &
                        _mm256_cmp_ps_mask(c, _mm256_set1_ps(2147483648.0f), _CMP_LT_OQ);
    l.i0 = _mm256_cvttps_epi32(c);
    const __m256i last = _mm256_set1_epi32(e - 1);
    const __m256i m1 = _mm256_set1_epi32(-1);
    l.in = _mm256_mask_cmpgt_epi32_mask(ok, l.i0, m1) & _mm256_cmpgt_epi32_mask(last, l.i0);
    l.lo = _mm256_mask_cmpeq_epi32_mask(ok, l.i0, m1);
    l.face = l.lo | _mm256_mask_cmpeq_epi32_mask(ok, l.i0, last);
    return l;
}

inline __m256 frac(const lanes &l) { return _mm256_sub_ps(l.c, _mm256_cvtepi32_ps(l.i0)); }

// The border plane of a face lane: 0 on the low face, e - 1 on the high.
inline __m256i border(const lanes &l, int e) { return _mm256_maskz_mov_epi32(~l.lo, _mm256_set1_epi32(e - 1)); }

// Eight voxels of any class, `live` the lanes that exist. Each lane takes
// the interior formula or its one face formula, or is not written.
inline void general(const row_job &r, int x, __mmask8 live, __m256 cx, __m256 cy, __m256 cz)
{
    const int X = r.X, Y = r.Y, Z = r.Z;
    const lanes lx = classify8(cx, X), ly = classify8(cy, Y), lz = classify8(cz, Z);
    const __mmask8 in = live & lx.in & ly.in & lz.in;
    const __mmask8 fx_ = live & lx.face & ly.in & lz.in;
    const __mmask8 fy_ = live & lx.in & ly.face & lz.in;
    const __mmask8 fz_ = live & lx.in & ly.in & lz.face;
    const __mmask8 all = in | fx_ | fy_ | fz_;
    if (!all)
        return;
    weights w;
    weigh(frac(lx), frac(ly), frac(lz), w);
    const __m256i vX = _mm256_set1_epi32(r.row), vplane = _mm256_set1_epi32(r.slice);
    const float *S = r.src;
    __m512d v = _mm512_setzero_pd();
    if (in)
        v = _mm512_mask_mov_pd(v, in, interior(r, in, at8(r, lz.i0, ly.i0, lx.i0), w));
    if (fx_) {  // border plane along X, no X weights
        const __m256i i = at8(r, lz.i0, ly.i0, border(lx, X)), j = _mm256_add_epi32(i, vplane);
        __m512d sum = term(single(S, fx_, i), w.gy, w.gz);
        sum = _mm512_add_pd(sum, term(single(S, fx_, _mm256_add_epi32(i, vX)), w.fy, w.gz));
        sum = _mm512_add_pd(sum, term(single(S, fx_, j), w.gy, w.fz));
        sum = _mm512_add_pd(sum, term(single(S, fx_, _mm256_add_epi32(j, vX)), w.fy, w.fz));
        v = _mm512_mask_mov_pd(v, fx_, sum);
    }
    if (fy_) {  // x1 leads here, unlike the interior
        const __m256i i = at8(r, lz.i0, border(ly, Y), lx.i0);
        const __m512i p0 = pairs(S, fy_, i), p1 = pairs(S, fy_, _mm256_add_epi32(i, vplane));
        __m512d sum = term(second(p0), w.fx, w.gz);
        sum = _mm512_add_pd(sum, term(first(p0), w.gx, w.gz));
        sum = _mm512_add_pd(sum, term(first(p1), w.gx, w.fz));
        sum = _mm512_add_pd(sum, term(second(p1), w.fx, w.fz));
        v = _mm512_mask_mov_pd(v, fy_, sum);
    }
    if (fz_) {
        const __m256i i = at8(r, border(lz, Z), ly.i0, lx.i0);
        const __m512i p0 = pairs(S, fz_, i), p1 = pairs(S, fz_, _mm256_add_epi32(i, vX));
        __m512d sum = term(second(p0), w.fx, w.gy);
        sum = _mm512_add_pd(sum, term(first(p0), w.gx, w.gy));
        sum = _mm512_add_pd(sum, term(first(p1), w.gx, w.fy));
        sum = _mm512_add_pd(sum, term(second(p1), w.fx, w.fy));
        v = _mm512_mask_mov_pd(v, fz_, sum);
    }
    _mm256_mask_storeu_ps(r.out + x, all, _mm512_cvtpd_ps(v));
}

// Eight voxels from x on, all interior: no classes. Their coordinates are
// in the int32 range, so truncation is defined.
inline void inside8(const row_job &r, int x, __m256 cx, __m256 cy, __m256 cz)
{
    const __m256i ix = _mm256_cvttps_epi32(cx), iy = _mm256_cvttps_epi32(cy), iz = _mm256_cvttps_epi32(cz);
    weights w;
    weigh(_mm256_sub_ps(cx, _mm256_cvtepi32_ps(ix)), _mm256_sub_ps(cy, _mm256_cvtepi32_ps(iy)),
          _mm256_sub_ps(cz, _mm256_cvtepi32_ps(iz)), w);
    _mm256_storeu_ps(r.out + x, _mm512_cvtpd_ps(interior(r, 0xff, at8(r, iz, iy, ix), w)));
}

inline void block8(const row_job &r, int x, __mmask8 live)
{
    const __m256 px = _mm256_mul_ps(
        _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(r.x0 + x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))),
        _mm256_set1_ps(r.ox));
    general(r, x, live, coord8(r.mx, px), coord8(r.my, px), coord8(r.mz, px));
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
            const float *p = r.src + b + off[c];
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
            s[2 * c] = _mm512_mask_i32gather_ps(s[2 * c], rest, i, r.src, 4);
            s[2 * c + 1] = _mm512_mask_i32gather_ps(s[2 * c + 1], rest, i, r.src + 1, 4);
        }
}

inline __m512d wide(__m512 v, int h) { return _mm512_cvtps_pd(h ? upper(v) : lower(v)); }

// Sixteen voxels from x on. In most blocks of a volume of any size all are
// interior: their coordinates, truncations and fractions are formed sixteen
// at a time, their samples by runs16 (`runs` says from which side). Other
// blocks go eight by eight.
inline void block16(const row_job &r, int x, int runs)
{
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512 px = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_add_epi32(_mm512_set1_epi32(r.x0 + x), lane)),
                                    _mm512_set1_ps(r.ox));
    const __m512 cx = coord16(r.mx, px), cy = coord16(r.my, px), cz = coord16(r.mz, px);
    const __mmask16 in = inner16(cx, r.topx) & inner16(cy, r.topy) & inner16(cz, r.topz);
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
    const __m512 fx = _mm512_sub_ps(cx, _mm512_cvtepi32_ps(ix));
    const __m512 fy = _mm512_sub_ps(cy, _mm512_cvtepi32_ps(iy));
    const __m512 fz = _mm512_sub_ps(cz, _mm512_cvtepi32_ps(iz));
    const __m512i zp = _mm512_mullo_epi32(iz, _mm512_set1_epi32(r.slice));
    const __m512i key = _mm512_add_epi32(zp, _mm512_mullo_epi32(iy, _mm512_set1_epi32(r.row)));
    const __m512i at = _mm512_add_epi32(key, ix);
    if (r.ahead) {
        fetch(r, _mm_cvtsi128_si32(_mm512_castsi512_si128(at)));
        fetch(r, _mm_cvtsi128_si32(_mm512_extracti32x4_epi32(at, 2)));
    }
    __m512 s[8];
    for (__m512 &v : s)
        v = _mm512_setzero_ps();
    runs16(r, key, at, runs < 0, s);
    for (int h = 0; h < 2; ++h) {
        weights w;
        weigh(h ? upper(fx) : lower(fx), h ? upper(fy) : lower(fy), h ? upper(fz) : lower(fz), w);
        __m512d sum = term(wide(s[0], h), w.gx, w.gy, w.gz);
        sum = _mm512_add_pd(sum, term(wide(s[1], h), w.fx, w.gy, w.gz));
        sum = _mm512_add_pd(sum, term(wide(s[2], h), w.gx, w.fy, w.gz));
        sum = _mm512_add_pd(sum, term(wide(s[3], h), w.fx, w.fy, w.gz));
        sum = _mm512_add_pd(sum, term(wide(s[4], h), w.gx, w.gy, w.fz));
        sum = _mm512_add_pd(sum, term(wide(s[5], h), w.fx, w.gy, w.fz));
        sum = _mm512_add_pd(sum, term(wide(s[6], h), w.gx, w.fy, w.fz));
        sum = _mm512_add_pd(sum, term(wide(s[7], h), w.fx, w.fy, w.fz));
        _mm256_storeu_ps(r.out + x + 8 * h, _mm512_cvtpd_ps(sum));
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
    const float *m = p.matrix, *s = p.spacing, *o = p.out_spacing;
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

} // namespace

// The runs and masked lanes read the whole volume's indices: a box of it
// (a tile of a larger-than-memory source) takes the portable rows, which
// keep every read inside it.
void resample_avx512(const part &p)
{
    const bool whole = p.bx == 0 && p.by == 0 && p.bz == 0 && p.bnx == p.X && p.bny == p.Y && p.bnz == p.Z;
    const int runs = whole ? fetch_mode(p) : 0;
    if (runs)
        each_row(p, [runs](const row_job &r) { row512(r, runs); });
    else
        each_row(p, plain_row);
}
