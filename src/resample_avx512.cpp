// AVX-512 path (F, VL, BW, DQ): eight voxels per step, coordinates in single
// precision, interpolation in double, the same operations in the same order
// as the scalar path.
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

struct lanes {
    __m256 c;       // continuous index
    __m256i i0;     // its truncation (lanes in range only)
    __mmask8 in;    // inside
    __mmask8 out;   // outside
};

inline __m256 coord8(const axis_map &a, __m256 px)
{
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(a.m), px), _mm256_set1_ps(a.a));
    const __m256 u = _mm256_add_ps(_mm256_add_ps(t, _mm256_set1_ps(a.b)), _mm256_set1_ps(a.t));
    return _mm256_div_ps(u, _mm256_set1_ps(a.s));
}

// The scalar classes, as masks: the range test on the float decides first
// whether the truncation means anything.
inline lanes classify8(__m256 c, int e)
{
    lanes l;
    l.c = c;
    const __mmask8 ok = _mm256_cmp_ps_mask(c, _mm256_set1_ps(-2147483648.0f), _CMP_GT_OQ) &
                        _mm256_cmp_ps_mask(c, _mm256_set1_ps(2147483648.0f), _CMP_LT_OQ);
    l.i0 = _mm256_cvttps_epi32(c);
    const __m256i last = _mm256_set1_epi32(e - 1);
    const __m256i m1 = _mm256_set1_epi32(-1);
    l.in = ok & _mm256_cmpgt_epi32_mask(l.i0, m1) & _mm256_cmpgt_epi32_mask(last, l.i0);
    l.out = ~ok | _mm256_cmpgt_epi32_mask(m1, l.i0) | _mm256_cmpgt_epi32_mask(l.i0, last);
    return l;
}

inline __m512d frac(const lanes &l) { return _mm512_cvtps_pd(_mm256_sub_ps(l.c, _mm256_cvtepi32_ps(l.i0))); }

void row512(const row_job &r)
{
    const int X = r.X, Y = r.Y, Z = r.Z;
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i vX = _mm256_set1_epi32(X), vY = _mm256_set1_epi32(Y);
    const __m256i vplane = _mm256_set1_epi32(X * Y);
    const __m512d one = _mm512_set1_pd(1.0);
    int x = 0;
    for (; x + 8 <= X; x += 8) {
        const __m256 px = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x), iota)),
                                        _mm256_set1_ps(r.mx.s));
        const lanes lx = classify8(coord8(r.mx, px), X);
        const lanes ly = classify8(coord8(r.my, px), Y);
        const lanes lz = classify8(coord8(r.mz, px), Z);
        const __mmask8 in = lx.in & ly.in & lz.in;
        const __mmask8 out = lx.out | ly.out | lz.out;
        const unsigned face = ~unsigned(in | out) & 0xffu;
        if (face) {
            // Face bands are thin: their voxels take the scalar formulas.
            alignas(32) float cx[8], cy[8], cz[8];
            _mm256_store_ps(cx, lx.c);
            _mm256_store_ps(cy, ly.c);
            _mm256_store_ps(cz, lz.c);
            for (int i = 0; i < 8; ++i)
                if (face >> i & 1)
                    voxel(r, x + i, cx[i], cy[i], cz[i]);
        }
        if (!in)
            continue;
        const __m512d fx = frac(lx), gx = _mm512_sub_pd(one, fx);
        const __m512d fy = frac(ly), gy = _mm512_sub_pd(one, fy);
        const __m512d fz = frac(lz), gz = _mm512_sub_pd(one, fz);
        const __m256i i00 = _mm256_add_epi32(
            _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(lz.i0, vY), ly.i0), vX), lx.i0);
        const __m256i i01 = _mm256_add_epi32(i00, vX);
        const __m512i p00 = pairs(r.src, in, i00);
        const __m512i p01 = pairs(r.src, in, i01);
        const __m512i p10 = pairs(r.src, in, _mm256_add_epi32(i00, vplane));
        const __m512i p11 = pairs(r.src, in, _mm256_add_epi32(i01, vplane));
        auto term = [](__m512d s, __m512d a, __m512d b, __m512d c) {
            return _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(s, a), b), c);
        };
        __m512d sum = term(first(p00), gx, gy, gz);
        sum = _mm512_add_pd(sum, term(second(p00), fx, gy, gz));
        sum = _mm512_add_pd(sum, term(first(p01), gx, fy, gz));
        sum = _mm512_add_pd(sum, term(second(p01), fx, fy, gz));
        sum = _mm512_add_pd(sum, term(first(p10), gx, gy, fz));
        sum = _mm512_add_pd(sum, term(second(p10), fx, gy, fz));
        sum = _mm512_add_pd(sum, term(first(p11), gx, fy, fz));
        sum = _mm512_add_pd(sum, term(second(p11), fx, fy, fz));
        _mm256_mask_storeu_ps(r.out + x, in, _mm512_cvtpd_ps(sum));
    }
    row_tail(r, x, X);
}

} // namespace

void resample_avx512(const float *image, const std::int64_t *dims, const float *spacing,
                     const float *matrix, float *out)
{
    each_row(image, dims, spacing, matrix, out, row512);
}
