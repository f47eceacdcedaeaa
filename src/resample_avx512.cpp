// AVX-512 path (F, VL, BW, DQ): eight voxels per step, coordinates in single
// precision, interpolation in double, the same operations in the same order
// as the scalar path. Face bands and the row's tail run here too, by masks.
#include <immintrin.h>

// GCC 12's own AVX-512 headers trip this warning (their "undefined" sources).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "resample_paths.h"

namespace {

// Pairs (S[i], S[i + 1]) of the eight lanes' indices, as 64-bit lanes;
// lanes outside `k` are not read.
inline __m512i pairs(const float *S, __mmask8 k, __m256i idx)
{
    return _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), k, idx, S, 4);
}

inline __m512d first(__m512i p) { return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(p))); }
inline __m512d second(__m512i p)
{
    return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(_mm512_srli_epi64(p, 32))));
}

inline __m512d single(const float *S, __mmask8 k, __m256i idx)
{
    return _mm512_cvtps_pd(_mm256_mmask_i32gather_ps(_mm256_setzero_ps(), k, idx, S, 4));
}

inline __m512d term(__m512d s, __m512d a, __m512d b) { return _mm512_mul_pd(_mm512_mul_pd(s, a), b); }
inline __m512d term(__m512d s, __m512d a, __m512d b, __m512d c) { return _mm512_mul_pd(term(s, a, b), c); }

// One axis of eight lanes: the continuous index, its truncation (meaningful
// where the float is in the int32 range) and the classes as masks.
struct lanes {
    __m256 c;
    __m256i i0;
    __mmask8 in, face, lo;  // inside; low or high face; low face
};

inline __m256 coord8(const axis_map &a, __m256 px)
{
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(a.m), px), _mm256_set1_ps(a.a));
    const __m256 u = _mm256_add_ps(_mm256_add_ps(t, _mm256_set1_ps(a.b)), _mm256_set1_ps(a.t));
    return _mm256_div_ps(u, _mm256_set1_ps(a.s));
}

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

// Weight of index i1, widened: (c - float(i0)) in single precision first.
inline __m512d frac(const lanes &l) { return _mm512_cvtps_pd(_mm256_sub_ps(l.c, _mm256_cvtepi32_ps(l.i0))); }

// The border plane of a face lane: 0 on the low face, e - 1 on the high.
inline __m256i border(const lanes &l, int e) { return _mm256_maskz_mov_epi32(~l.lo, _mm256_set1_epi32(e - 1)); }

// Eight voxels from x on, `live` the lanes that exist. Each lane takes the
// interior formula or its one face formula, or is not written.
inline void block(const row_job &r, int x, __mmask8 live)
{
    const int X = r.X, Y = r.Y, Z = r.Z;
    const __m256 px = _mm256_mul_ps(
        _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))),
        _mm256_set1_ps(r.mx.s));
    const lanes lx = classify8(coord8(r.mx, px), X);
    const lanes ly = classify8(coord8(r.my, px), Y);
    const lanes lz = classify8(coord8(r.mz, px), Z);
    const __mmask8 in = live & lx.in & ly.in & lz.in;
    const __mmask8 fx_ = live & lx.face & ly.in & lz.in;
    const __mmask8 fy_ = live & lx.in & ly.face & lz.in;
    const __mmask8 fz_ = live & lx.in & ly.in & lz.face;
    const __mmask8 all = in | fx_ | fy_ | fz_;
    if (!all)
        return;
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d fx = frac(lx), gx = _mm512_sub_pd(one, fx);
    const __m512d fy = frac(ly), gy = _mm512_sub_pd(one, fy);
    const __m512d fz = frac(lz), gz = _mm512_sub_pd(one, fz);
    const __m256i vX = _mm256_set1_epi32(X), vY = _mm256_set1_epi32(Y);
    const __m256i vplane = _mm256_set1_epi32(X * Y);
    const float *S = r.src;
    auto index = [&](__m256i z, __m256i y, __m256i x) {
        return _mm256_add_epi32(_mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(z, vY), y), vX), x);
    };
    __m512d v = _mm512_setzero_pd();
    if (in) {
        const __m256i i00 = index(lz.i0, ly.i0, lx.i0), i01 = _mm256_add_epi32(i00, vX);
        const __m512i p00 = pairs(S, in, i00);
        const __m512i p01 = pairs(S, in, i01);
        const __m512i p10 = pairs(S, in, _mm256_add_epi32(i00, vplane));
        const __m512i p11 = pairs(S, in, _mm256_add_epi32(i01, vplane));
        __m512d sum = term(first(p00), gx, gy, gz);
        sum = _mm512_add_pd(sum, term(second(p00), fx, gy, gz));
        sum = _mm512_add_pd(sum, term(first(p01), gx, fy, gz));
        sum = _mm512_add_pd(sum, term(second(p01), fx, fy, gz));
        sum = _mm512_add_pd(sum, term(first(p10), gx, gy, fz));
        sum = _mm512_add_pd(sum, term(second(p10), fx, gy, fz));
        sum = _mm512_add_pd(sum, term(first(p11), gx, fy, fz));
        sum = _mm512_add_pd(sum, term(second(p11), fx, fy, fz));
        v = _mm512_mask_mov_pd(v, in, sum);
    }
    if (fx_) {  // border plane along X, no X weights
        const __m256i i = index(lz.i0, ly.i0, border(lx, X)), j = _mm256_add_epi32(i, vplane);
        __m512d sum = term(single(S, fx_, i), gy, gz);
        sum = _mm512_add_pd(sum, term(single(S, fx_, _mm256_add_epi32(i, vX)), fy, gz));
        sum = _mm512_add_pd(sum, term(single(S, fx_, j), gy, fz));
        sum = _mm512_add_pd(sum, term(single(S, fx_, _mm256_add_epi32(j, vX)), fy, fz));
        v = _mm512_mask_mov_pd(v, fx_, sum);
    }
    if (fy_) {  // x1 leads here, unlike the interior
        const __m256i i = index(lz.i0, border(ly, Y), lx.i0);
        const __m512i p0 = pairs(S, fy_, i), p1 = pairs(S, fy_, _mm256_add_epi32(i, vplane));
        __m512d sum = term(second(p0), fx, gz);
        sum = _mm512_add_pd(sum, term(first(p0), gx, gz));
        sum = _mm512_add_pd(sum, term(first(p1), gx, fz));
        sum = _mm512_add_pd(sum, term(second(p1), fx, fz));
        v = _mm512_mask_mov_pd(v, fy_, sum);
    }
    if (fz_) {
        const __m256i i = index(border(lz, Z), ly.i0, lx.i0);
        const __m512i p0 = pairs(S, fz_, i), p1 = pairs(S, fz_, _mm256_add_epi32(i, vX));
        __m512d sum = term(second(p0), fx, gy);
        sum = _mm512_add_pd(sum, term(first(p0), gx, gy));
        sum = _mm512_add_pd(sum, term(first(p1), gx, fy));
        sum = _mm512_add_pd(sum, term(second(p1), fx, fy));
        v = _mm512_mask_mov_pd(v, fz_, sum);
    }
    _mm256_mask_storeu_ps(r.out + x, all, _mm512_cvtpd_ps(v));
}

void row512(const row_job &r)
{
    int x = 0;
    for (; x + 8 <= r.X; x += 8)
        block(r, x, 0xff);
    if (x < r.X)
        block(r, x, static_cast<__mmask8>((1u << (r.X - x)) - 1));
}

} // namespace

void resample_avx512(const float *image, const std::int64_t *dims, const float *spacing,
                     const float *matrix, float *out)
{
    each_row(image, dims, spacing, matrix, out, row512);
}
