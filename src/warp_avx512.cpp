// The warp's per-point functions (warp_rows.h) compiled for AVX-512 (F, VL, BW, DQ).
#include "warp_kernel.h"

#include "warp_rows.h"

void field_avx512(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n)
{
    field_points(f, v, x, y, z, n);
}

void warp_linear_avx512(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                        const float *cx, const float *cy, const float *cz, int n, float fill, float *out)
{
    linear_reads(data, slice, row, X, Y, Z, cx, cy, cz, n, fill, out);
}
