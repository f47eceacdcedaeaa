// The AVX-512 target's lanes of the scalar functions of geometry.h and
// terms.h: classes, cells and indices 8 or 16 voxels at a time. Internal
// linkage, as there.
#pragma once

#include "kernels/terms.h"

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__)
#include <immintrin.h>
#endif

namespace {

// ---- Vector forms (the AVX-512 target) ---------------------------------------

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__)

// The interior test of a whole volume's axis for sixteen lanes, by two float
// comparisons (see interior_top); NaN fails both.
inline __mmask16 inner16(__m512 c, float top)
{
    return _mm512_cmp_ps_mask(c, _mm512_set1_ps(-1.0f), _CMP_GT_OQ) &
           _mm512_cmp_ps_mask(c, _mm512_set1_ps(top), _CMP_LE_OQ);
}

// One axis of eight lanes as classify() sees it: the continuous index, its
// truncation (meaningful where the float is in the int32 range) and the
// classes as masks.
struct lanes {
    __m256 c;
    __m256i i0;
    __mmask8 in, face, lo;  // inside; low or high face; low face
};

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

// cell_of()'s cells of eight lanes, `live` those that exist: the interior
// lanes and those on the face of each axis; any other lane maps nowhere.
struct cells8 {
    __mmask8 in, face[3];
};

inline cells8 cells_of8(const lanes &x, const lanes &y, const lanes &z, __mmask8 live)
{
    cells8 c;
    c.in = live & x.in & y.in & z.in;
    c.face[0] = live & x.face & y.in & z.in;
    c.face[1] = live & x.in & y.face & z.in;
    c.face[2] = live & x.in & y.in & z.face;
    return c;
}

// The fraction c - float(i0), single precision.
inline __m256 frac8(__m256 c, __m256i i0) { return _mm256_sub_ps(c, _mm256_cvtepi32_ps(i0)); }
inline __m512 frac16(__m512 c, __m512i i0) { return _mm512_sub_ps(c, _mm512_cvtepi32_ps(i0)); }

// first_plane() of the face lanes: 0 on the low face, e - 1 on the high.
inline __m256i border8(const lanes &l, int e) { return _mm256_maskz_mov_epi32(~l.lo, _mm256_set1_epi32(e - 1)); }

// index_of() of a whole volume's samples; fits in 32 bits, as a volume's
// count does. Two independent products, not nested ones: the gathers wait
// on this.
inline __m256i index8(const frame &g, __m256i z, __m256i y, __m256i x)
{
    const __m256i zp = _mm256_mullo_epi32(z, _mm256_set1_epi32(g.slice));
    return _mm256_add_epi32(_mm256_add_epi32(zp, _mm256_mullo_epi32(y, _mm256_set1_epi32(g.row))), x);
}

// The same for sixteen lanes, by way of the index of their row (z, y).
inline __m512i row16(const frame &g, __m512i z, __m512i y)
{
    const __m512i zp = _mm512_mullo_epi32(z, _mm512_set1_epi32(g.slice));
    return _mm512_add_epi32(zp, _mm512_mullo_epi32(y, _mm512_set1_epi32(g.row)));
}

#endif

} // namespace
