// AVX2 path: coordinates in single precision, the interpolation in double,
// the same operations in the same order as the scalar path. No FMA:
// products and sums round apart. Eight voxels per step while all are
// interior, else four, with face bands and the row's tail handled by masks.
#include <immintrin.h>

#include "resample_paths.h"

namespace {

// Pairs (S[i], S[i + 1]) of four lanes' indices as 64-bit lanes; lanes
// outside the mask are not read.
inline __m256i pairs(const float *S, __m128i k, __m128i idx)
{
    return _mm256_mask_i32gather_epi64(_mm256_setzero_si256(), reinterpret_cast<const long long *>(S), idx,
                                       _mm256_cvtepi32_epi64(k), 4);
}

inline __m256d single(const float *S, __m128i k, __m128i idx)
{
    return _mm256_cvtps_pd(_mm_mask_i32gather_ps(_mm_setzero_ps(), S, idx, _mm_castsi128_ps(k), 4));
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

inline __m256d term(__m256d s, __m256d a, __m256d b) { return _mm256_mul_pd(_mm256_mul_pd(s, a), b); }
inline __m256d term(__m256d s, __m256d a, __m256d b, __m256d c) { return _mm256_mul_pd(term(s, a, b), c); }

// One axis of four lanes: the continuous index, its truncation (meaningful
// where the float is in the int32 range) and the classes as lane masks.
struct lanes {
    __m128 c;
    __m128i i0;
    __m128i in, face, lo;  // inside; low or high face; low face
};

inline __m128 coord4(const axis_map &a, __m128 px)
{
    const __m128 t = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(a.m), px), _mm_set1_ps(a.a));
    const __m128 u = _mm_add_ps(_mm_add_ps(t, _mm_set1_ps(a.b)), _mm_set1_ps(a.t));
    return a.inv != 0 ? _mm_mul_ps(u, _mm_set1_ps(a.inv)) : _mm_div_ps(u, _mm_set1_ps(a.s));
}

// The scalar classes: the range test on the float decides first whether
// the truncation means anything.
inline lanes classify4(__m128 c, int e)
{
    lanes l;
    l.c = c;
    const __m128i ok = _mm_castps_si128(_mm_and_ps(_mm_cmp_ps(c, _mm_set1_ps(-2147483648.0f), _CMP_GT_OQ),
                                                   _mm_cmp_ps(c, _mm_set1_ps(2147483648.0f), _CMP_LT_OQ)));
    l.i0 = _mm_cvttps_epi32(c);
    const __m128i last = _mm_set1_epi32(e - 1), m1 = _mm_set1_epi32(-1);
    l.in = _mm_and_si128(ok, _mm_and_si128(_mm_cmpgt_epi32(l.i0, m1), _mm_cmpgt_epi32(last, l.i0)));
    l.lo = _mm_and_si128(ok, _mm_cmpeq_epi32(l.i0, m1));
    l.face = _mm_or_si128(l.lo, _mm_and_si128(ok, _mm_cmpeq_epi32(l.i0, last)));
    return l;
}

// Weight of index i1, widened: (c - float(i0)) in single precision first.
inline __m256d frac(const lanes &l) { return _mm256_cvtps_pd(_mm_sub_ps(l.c, _mm_cvtepi32_ps(l.i0))); }

// The border plane of a face lane: 0 on the low face, e - 1 on the high.
inline __m128i border(const lanes &l, int e) { return _mm_andnot_si128(l.lo, _mm_set1_epi32(e - 1)); }

inline __m128i and3(__m128i a, __m128i b, __m128i c) { return _mm_and_si128(a, _mm_and_si128(b, c)); }

inline __m256d take(__m256d v, __m128i k, __m256d sum)
{
    return _mm256_blendv_pd(v, sum, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(k)));
}

// Four voxels from x on, `live` the lanes that exist. Each lane takes the
// interior formula or its one face formula, or is not written.
inline void block(const row_job &r, int x, __m128i live)
{
    const int X = r.X, Y = r.Y, Z = r.Z;
    const __m128 px = _mm_mul_ps(_mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3))),
                                 _mm_set1_ps(r.mx.s));
    const lanes lx = classify4(coord4(r.mx, px), X);
    const lanes ly = classify4(coord4(r.my, px), Y);
    const lanes lz = classify4(coord4(r.mz, px), Z);
    const __m128i in = _mm_and_si128(live, and3(lx.in, ly.in, lz.in));
    const __m128i fx_ = _mm_and_si128(live, and3(lx.face, ly.in, lz.in));
    const __m128i fy_ = _mm_and_si128(live, and3(lx.in, ly.face, lz.in));
    const __m128i fz_ = _mm_and_si128(live, and3(lx.in, ly.in, lz.face));
    const __m128i all = _mm_or_si128(_mm_or_si128(in, fx_), _mm_or_si128(fy_, fz_));
    if (_mm_testz_si128(all, all))
        return;
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d fx = frac(lx), gx = _mm256_sub_pd(one, fx);
    const __m256d fy = frac(ly), gy = _mm256_sub_pd(one, fy);
    const __m256d fz = frac(lz), gz = _mm256_sub_pd(one, fz);
    const __m128i vX = _mm_set1_epi32(X), vY = _mm_set1_epi32(Y), vplane = _mm_set1_epi32(X * Y);
    const float *S = r.src;
    auto index = [&](__m128i z, __m128i y, __m128i x) {
        return _mm_add_epi32(_mm_mullo_epi32(_mm_add_epi32(_mm_mullo_epi32(z, vY), y), vX), x);
    };
    auto any = [](__m128i k) { return !_mm_testz_si128(k, k); };
    __m256d v = _mm256_setzero_pd();
    if (any(in)) {
        const __m128i i00 = index(lz.i0, ly.i0, lx.i0), i01 = _mm_add_epi32(i00, vX);
        const __m256i p00 = pairs(S, in, i00);
        const __m256i p01 = pairs(S, in, i01);
        const __m256i p10 = pairs(S, in, _mm_add_epi32(i00, vplane));
        const __m256i p11 = pairs(S, in, _mm_add_epi32(i01, vplane));
        __m256d sum = term(first(p00), gx, gy, gz);
        sum = _mm256_add_pd(sum, term(second(p00), fx, gy, gz));
        sum = _mm256_add_pd(sum, term(first(p01), gx, fy, gz));
        sum = _mm256_add_pd(sum, term(second(p01), fx, fy, gz));
        sum = _mm256_add_pd(sum, term(first(p10), gx, gy, fz));
        sum = _mm256_add_pd(sum, term(second(p10), fx, gy, fz));
        sum = _mm256_add_pd(sum, term(first(p11), gx, fy, fz));
        sum = _mm256_add_pd(sum, term(second(p11), fx, fy, fz));
        v = take(v, in, sum);
    }
    if (any(fx_)) {  // border plane along X, no X weights
        const __m128i i = index(lz.i0, ly.i0, border(lx, X)), j = _mm_add_epi32(i, vplane);
        __m256d sum = term(single(S, fx_, i), gy, gz);
        sum = _mm256_add_pd(sum, term(single(S, fx_, _mm_add_epi32(i, vX)), fy, gz));
        sum = _mm256_add_pd(sum, term(single(S, fx_, j), gy, fz));
        sum = _mm256_add_pd(sum, term(single(S, fx_, _mm_add_epi32(j, vX)), fy, fz));
        v = take(v, fx_, sum);
    }
    if (any(fy_)) {  // x1 leads here, unlike the interior
        const __m128i i = index(lz.i0, border(ly, Y), lx.i0);
        const __m256i p0 = pairs(S, fy_, i), p1 = pairs(S, fy_, _mm_add_epi32(i, vplane));
        __m256d sum = term(second(p0), fx, gz);
        sum = _mm256_add_pd(sum, term(first(p0), gx, gz));
        sum = _mm256_add_pd(sum, term(first(p1), gx, fz));
        sum = _mm256_add_pd(sum, term(second(p1), fx, fz));
        v = take(v, fy_, sum);
    }
    if (any(fz_)) {
        const __m128i i = index(border(lz, Z), ly.i0, lx.i0);
        const __m256i p0 = pairs(S, fz_, i), p1 = pairs(S, fz_, _mm_add_epi32(i, vX));
        __m256d sum = term(second(p0), fx, gy);
        sum = _mm256_add_pd(sum, term(first(p0), gx, gy));
        sum = _mm256_add_pd(sum, term(first(p1), gx, fy));
        sum = _mm256_add_pd(sum, term(second(p1), fx, fy));
        v = take(v, fz_, sum);
    }
    _mm_maskstore_ps(r.out + x, all, _mm256_cvtpd_ps(v));
}

inline __m256 coord8(const axis_map &a, __m256 px)
{
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(a.m), px), _mm256_set1_ps(a.a));
    const __m256 u = _mm256_add_ps(_mm256_add_ps(t, _mm256_set1_ps(a.b)), _mm256_set1_ps(a.t));
    return a.inv != 0 ? _mm256_mul_ps(u, _mm256_set1_ps(a.inv)) : _mm256_div_ps(u, _mm256_set1_ps(a.s));
}

// Interior lanes of one axis, by two float comparisons (see interior_top);
// NaN fails both.
inline __m256 inner8(__m256 c, float top)
{
    return _mm256_and_ps(_mm256_cmp_ps(c, _mm256_set1_ps(-1.0f), _CMP_GT_OQ),
                         _mm256_cmp_ps(c, _mm256_set1_ps(top), _CMP_LE_OQ));
}

// Four interior voxels from the index of (x0, y0, z0) and the fractions.
inline void inside4(const row_job &r, int x, __m128i i00, __m128 fx4, __m128 fy4, __m128 fz4)
{
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d fx = _mm256_cvtps_pd(fx4), gx = _mm256_sub_pd(one, fx);
    const __m256d fy = _mm256_cvtps_pd(fy4), gy = _mm256_sub_pd(one, fy);
    const __m256d fz = _mm256_cvtps_pd(fz4), gz = _mm256_sub_pd(one, fz);
    const float *S = r.src;
    const __m128i i01 = _mm_add_epi32(i00, _mm_set1_epi32(r.X));
    const __m128i i10 = _mm_add_epi32(i00, _mm_set1_epi32(r.X * r.Y));
    const __m128i i11 = _mm_add_epi32(i01, _mm_set1_epi32(r.X * r.Y));
    const __m128i all = _mm_set1_epi32(-1);
    const __m256i p00 = pairs(S, all, i00), p01 = pairs(S, all, i01);
    const __m256i p10 = pairs(S, all, i10), p11 = pairs(S, all, i11);
    __m256d sum = term(first(p00), gx, gy, gz);
    sum = _mm256_add_pd(sum, term(second(p00), fx, gy, gz));
    sum = _mm256_add_pd(sum, term(first(p01), gx, fy, gz));
    sum = _mm256_add_pd(sum, term(second(p01), fx, fy, gz));
    sum = _mm256_add_pd(sum, term(first(p10), gx, gy, fz));
    sum = _mm256_add_pd(sum, term(second(p10), fx, gy, fz));
    sum = _mm256_add_pd(sum, term(first(p11), gx, fy, fz));
    sum = _mm256_add_pd(sum, term(second(p11), fx, fy, fz));
    _mm_storeu_ps(r.out + x, _mm256_cvtpd_ps(sum));
}

// Eight voxels from x on: when all are interior on every axis, as in most
// blocks of a volume, coordinates, truncations and fractions are formed
// eight at a time and the classes skipped; otherwise four by four.
inline void block8(const row_job &r, int x)
{
    const __m256 px = _mm256_mul_ps(
        _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))),
        _mm256_set1_ps(r.mx.s));
    const __m256 cx = coord8(r.mx, px), cy = coord8(r.my, px), cz = coord8(r.mz, px);
    const __m256 in = _mm256_and_ps(inner8(cx, r.topx), _mm256_and_ps(inner8(cy, r.topy), inner8(cz, r.topz)));
    if (_mm256_movemask_ps(in) != 0xff) {
        block(r, x, _mm_set1_epi32(-1));
        block(r, x + 4, _mm_set1_epi32(-1));
        return;
    }
    const __m256i ix = _mm256_cvttps_epi32(cx), iy = _mm256_cvttps_epi32(cy), iz = _mm256_cvttps_epi32(cz);
    const __m256 fx = _mm256_sub_ps(cx, _mm256_cvtepi32_ps(ix));
    const __m256 fy = _mm256_sub_ps(cy, _mm256_cvtepi32_ps(iy));
    const __m256 fz = _mm256_sub_ps(cz, _mm256_cvtepi32_ps(iz));
    const __m256i zy = _mm256_add_epi32(_mm256_mullo_epi32(iz, _mm256_set1_epi32(r.Y)), iy);
    const __m256i i00 = _mm256_add_epi32(_mm256_mullo_epi32(zy, _mm256_set1_epi32(r.X)), ix);
    inside4(r, x, _mm256_castsi256_si128(i00), _mm256_castps256_ps128(fx), _mm256_castps256_ps128(fy),
            _mm256_castps256_ps128(fz));
    inside4(r, x + 4, _mm256_extracti128_si256(i00, 1), _mm256_extractf128_ps(fx, 1), _mm256_extractf128_ps(fy, 1),
            _mm256_extractf128_ps(fz, 1));
}

void row256(const row_job &r)
{
    int x = 0;
    for (; x + 8 <= r.X; x += 8)
        block8(r, x);
    for (; x + 4 <= r.X; x += 4)
        block(r, x, _mm_set1_epi32(-1));
    if (x < r.X)
        block(r, x, _mm_cmpgt_epi32(_mm_set1_epi32(r.X - x), _mm_setr_epi32(0, 1, 2, 3)));
}

} // namespace

void resample_avx2(const float *image, const std::int64_t *dims, const float *spacing,
                   const float *matrix, float *out)
{
    each_row(image, dims, spacing, matrix, out, row256);
}
