// The warp's per-point functions on the plain path (warp_rows.h).
#include "warp_kernel.h"

#include "warp_rows.h"

void field_scalar(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n)
{
    field_points(f, v, x, y, z, n);
}

void warp_linear_scalar(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                        const float *cx, const float *cy, const float *cz, int n, float fill, float *out)
{
    linear_reads(data, slice, row, X, Y, Z, cx, cy, cz, n, fill, out);
}
