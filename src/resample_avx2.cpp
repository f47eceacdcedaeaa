// AVX2 path: eight voxels per step, coordinates in single precision, the
// interpolation in two halves of four doubles, the same operations in the
// same order as the scalar path. No FMA: products and sums round apart.
#include <immintrin.h>

#include "resample_paths.h"

namespace {

struct lanes {
    __m256 c;     // continuous index
    __m256i i0;   // its truncation (lanes in range only)
    __m256i in;   // inside: all ones
    __m256i out;  // outside: all ones
};

inline __m256 coord8(const axis_map &a, __m256 px)
{
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(a.m), px), _mm256_set1_ps(a.a));
    const __m256 u = _mm256_add_ps(_mm256_add_ps(t, _mm256_set1_ps(a.b)), _mm256_set1_ps(a.t));
    return _mm256_div_ps(u, _mm256_set1_ps(a.s));
}

// The scalar classes, as lane masks: the range test on the float decides
// first whether the truncation means anything.
inline lanes classify8(__m256 c, int e)
{
    lanes l;
    l.c = c;
    const __m256i ok = _mm256_castps_si256(
        _mm256_and_ps(_mm256_cmp_ps(c, _mm256_set1_ps(-2147483648.0f), _CMP_GT_OQ),
                      _mm256_cmp_ps(c, _mm256_set1_ps(2147483648.0f), _CMP_LT_OQ)));
    l.i0 = _mm256_cvttps_epi32(c);
    const __m256i last = _mm256_set1_epi32(e - 1);
    const __m256i m1 = _mm256_set1_epi32(-1);
    l.in = _mm256_and_si256(ok, _mm256_and_si256(_mm256_cmpgt_epi32(l.i0, m1),
                                                 _mm256_cmpgt_epi32(last, l.i0)));
    l.out = _mm256_or_si256(_mm256_andnot_si256(ok, m1),
                            _mm256_or_si256(_mm256_cmpgt_epi32(m1, l.i0), _mm256_cmpgt_epi32(l.i0, last)));
    return l;
}

// Pairs (S[i], S[i + 1]) of four lanes' indices as 64-bit lanes; lanes
// outside the mask are not read.
inline __m256i pairs(const float *S, __m128i idx, __m256i mask64)
{
    return _mm256_mask_i32gather_epi64(_mm256_setzero_si256(), reinterpret_cast<const long long *>(S),
                                       idx, mask64, 4);
}

// First and second float of each pair, widened.
inline __m256d first(__m256i p)
{
    const __m256i sel = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    return _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(_mm256_castsi256_ps(p), sel)));
}
inline __m256d second(__m256i p)
{
    const __m256i sel = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
    return _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(_mm256_castsi256_ps(p), sel)));
}

inline __m256d term(__m256d s, __m256d a, __m256d b, __m256d c)
{
    return _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(s, a), b), c);
}

// The interior formula on four lanes; f* and g* are the lanes' weights.
inline __m128 interior4(const float *S, __m128i i00, __m128i X, __m128i plane, __m256i mask64,
                        __m256d fx, __m256d fy, __m256d fz)
{
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d gx = _mm256_sub_pd(one, fx), gy = _mm256_sub_pd(one, fy), gz = _mm256_sub_pd(one, fz);
    const __m128i i01 = _mm_add_epi32(i00, X);
    const __m256i p00 = pairs(S, i00, mask64);
    const __m256i p01 = pairs(S, i01, mask64);
    const __m256i p10 = pairs(S, _mm_add_epi32(i00, plane), mask64);
    const __m256i p11 = pairs(S, _mm_add_epi32(i01, plane), mask64);
    __m256d sum = term(first(p00), gx, gy, gz);
    sum = _mm256_add_pd(sum, term(second(p00), fx, gy, gz));
    sum = _mm256_add_pd(sum, term(first(p01), gx, fy, gz));
    sum = _mm256_add_pd(sum, term(second(p01), fx, fy, gz));
    sum = _mm256_add_pd(sum, term(first(p10), gx, gy, fz));
    sum = _mm256_add_pd(sum, term(second(p10), fx, gy, fz));
    sum = _mm256_add_pd(sum, term(first(p11), gx, fy, fz));
    sum = _mm256_add_pd(sum, term(second(p11), fx, fy, fz));
    return _mm256_cvtpd_ps(sum);
}

void row256(const row_job &r)
{
    const int X = r.X, Y = r.Y, Z = r.Z;
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i vX = _mm256_set1_epi32(X), vY = _mm256_set1_epi32(Y);
    const __m128i hX = _mm_set1_epi32(X), hplane = _mm_set1_epi32(X * Y);
    int x = 0;
    for (; x + 8 <= X; x += 8) {
        const __m256 px = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x), iota)),
                                        _mm256_set1_ps(r.mx.s));
        const lanes lx = classify8(coord8(r.mx, px), X);
        const lanes ly = classify8(coord8(r.my, px), Y);
        const lanes lz = classify8(coord8(r.mz, px), Z);
        const __m256i in = _mm256_and_si256(lx.in, _mm256_and_si256(ly.in, lz.in));
        const __m256i out = _mm256_or_si256(lx.out, _mm256_or_si256(ly.out, lz.out));
        const int kin = _mm256_movemask_ps(_mm256_castsi256_ps(in));
        const int kout = _mm256_movemask_ps(_mm256_castsi256_ps(out));
        const unsigned face = ~unsigned(kin | kout) & 0xffu;
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
        if (!kin)
            continue;
        const __m256 fx = _mm256_sub_ps(lx.c, _mm256_cvtepi32_ps(lx.i0));
        const __m256 fy = _mm256_sub_ps(ly.c, _mm256_cvtepi32_ps(ly.i0));
        const __m256 fz = _mm256_sub_ps(lz.c, _mm256_cvtepi32_ps(lz.i0));
        const __m256i i00 = _mm256_add_epi32(
            _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(lz.i0, vY), ly.i0), vX), lx.i0);
        const __m128 lo = interior4(r.src, _mm256_castsi256_si128(i00), hX, hplane,
                                    _mm256_cvtepi32_epi64(_mm256_castsi256_si128(in)),
                                    _mm256_cvtps_pd(_mm256_castps256_ps128(fx)),
                                    _mm256_cvtps_pd(_mm256_castps256_ps128(fy)),
                                    _mm256_cvtps_pd(_mm256_castps256_ps128(fz)));
        const __m128 hi = interior4(r.src, _mm256_extracti128_si256(i00, 1), hX, hplane,
                                    _mm256_cvtepi32_epi64(_mm256_extracti128_si256(in, 1)),
                                    _mm256_cvtps_pd(_mm256_extractf128_ps(fx, 1)),
                                    _mm256_cvtps_pd(_mm256_extractf128_ps(fy, 1)),
                                    _mm256_cvtps_pd(_mm256_extractf128_ps(fz, 1)));
        _mm256_maskstore_ps(r.out + x, in, _mm256_set_m128(hi, lo));
    }
    row_tail(r, x, X);
}

} // namespace

void resample_avx2(const float *image, const std::int64_t *dims, const float *spacing,
                   const float *matrix, float *out)
{
    each_row(image, dims, spacing, matrix, out, row256);
}
