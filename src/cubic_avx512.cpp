// The cubic rows of cubic_rows.h and the filters' lines of axis_lines.h
// compiled for AVX-512 (F, VL, BW, DQ).
// GCC 12's own AVX-512 headers trip these warnings (their "undefined" sources).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "cubic.h"

#include "axis_lines.h"
#include "cubic_rows.h"

void cubic_avx512(const part &p, mode m, int pad)
{
    if (p.in.X > 0 && p.in.Y > 0 && p.in.Z > 0)
        cubic_rows(p, m, pad);
}

void lines_avx512(float *p, std::int64_t step, std::int64_t W, std::int64_t n, const double *h, std::int64_t K,
                  const std::int64_t *r, float fill, double *ext)
{
    filter_lines(p, step, W, n, h, K, r, fill, ext);
}
