#include "cubic.h"

#include "axis_lines.h"
#include "cubic_rows.h"
#include "resample_paths.h"

void cubic_scalar(const part &p, mode m, int pad)
{
    if (p.in.X > 0 && p.in.Y > 0 && p.in.Z > 0)
        cubic_rows(p, m, pad);
}

void cubic_part(const part &p, mode m, int pad)
{
    static const cubic_fn f = cubic_path(best_path());
    f(p, m, pad);
}

void lines_scalar(float *p, std::int64_t step, std::int64_t W, std::int64_t n, const double *h, std::int64_t K,
                  const std::int64_t *r, float fill, double *ext)
{
    filter_lines(p, step, W, n, h, K, r, fill, ext);
}
