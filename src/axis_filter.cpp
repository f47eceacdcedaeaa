#include "axis_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "axis_lines.h"
#include "convert.h"
#include "cubic.h"
#include "resample_paths.h"
#include "workers.h"

namespace {

// Normalised in place: each tap over their sum, summed left to right.
void normalise(taps &h)
{
    double sum = h[0];
    for (std::size_t m = 1; m < h.size(); ++m)
        sum += h[m];
    for (double &t : h)
        t /= sum;
}

// The box samples read at the offsets -K..-1 and n..n + K - 1 from the
// box's first sample (fill_index for the fill): the rest lie in the box.
std::vector<std::int64_t> edges(const axis_place &a, std::int64_t K, mode m)
{
    auto local = [&](std::int64_t g) {
        const std::int64_t e = extend(m, g, a.whole);
        return e == fill_index ? e : std::min(std::max(e - a.origin, std::int64_t(0)), a.n - 1);
    };
    std::vector<std::int64_t> r(std::size_t(2 * K));
    for (std::int64_t j = 0; j < K; ++j) {
        r[std::size_t(j)] = local(a.origin - K + j);
        r[std::size_t(K + j)] = local(a.origin + a.n + j);
    }
    return r;
}

} // namespace

taps spline_taps()
{
    const double s3 = std::sqrt(3.0), z = s3 - 2.0;
    // z^k by repeated products, each rounded once: a model repeats them exactly.
    double p[spline_reach + 1] = {1.0};
    for (int k = 1; k <= spline_reach; ++k)
        p[k] = p[k - 1] * z;
    taps h(2 * spline_reach + 1);
    for (int m = 0; m <= 2 * spline_reach; ++m)
        h[std::size_t(m)] = s3 * p[std::abs(m - spline_reach)];
    normalise(h);
    return h;
}

double fixed_exp(double x)
{
    if (x < -746.0)  // below half the least subnormal
        return 0.0;
    // x = n ln2 + r, |r| <= ln2 / 2 (ln2 in two parts: n * hi is exact for |n| < 2^21)
    const double n = std::floor(x * 1.4426950408889634 + 0.5);
    const double r = (x - n * 0x1.62e42feep-1) - n * 0x1.a39ef35793c76p-33;
    // Taylor to r^13, Horner; k! is exact in double to 18!.
    double fact[14] = {1.0};
    for (int k = 1; k <= 13; ++k)
        fact[k] = fact[k - 1] * k;
    double e = 1.0 / fact[13];
    for (int k = 12; k >= 0; --k)
        e = e * r + 1.0 / fact[k];
    return std::ldexp(e, int(n));
}

taps gaussian_taps(double d)
{
    if (!(d > 1.0))
        return {};
    const double sigma = (d - 1.0) / 2.0, q = 2.0 * sigma * sigma;
    const std::int64_t K = std::int64_t(std::ceil(4.0 * sigma));
    taps h(std::size_t(2 * K + 1));
    for (std::int64_t m = 0; m <= 2 * K; ++m) {
        const double k = double(m - K);
        h[std::size_t(m)] = fixed_exp(-(k * k) / q);
    }
    normalise(h);
    return h;
}

void smoothing_factors(const float *m, const float *s, const float *o, double d[3])
{
    for (int a = 0; a < 3; ++a) {
        d[a] = 0.0;
        for (int j = 0; j < 3; ++j) {
            const double t = std::fabs(double(m[4 * a + j])) * double(o[j]) / std::fabs(double(s[a]));
            if (!std::isnan(d[a]) && !(t <= d[a]))  // a NaN stays
                d[a] = t;
        }
    }
}

namespace {

bool run(float *v, std::int64_t volumes, const axis_place at[3], const taps *const h[3], mode m, float fill,
         int threads)
{
    const std::int64_t X = at[0].n, Y = at[1].n, Z = at[2].n;
    if (volumes <= 0 || X <= 0 || Y <= 0 || Z <= 0)
        return true;
    std::int64_t span = 0;
    for (int a = 0; a < 3; ++a)
        if (!h[a]->empty())
            span = std::max(span, at[a].n + std::int64_t(h[a]->size()) - 1);
    if (span == 0)
        return true;
    // A buffer per job, one job per thread: nothing to allocate once the work starts.
    const std::int64_t jobs = std::max(threads, 1);
    std::vector<std::unique_ptr<double[], free_delete>> ext;
    for (std::int64_t t = 0; t < jobs; ++t) {
        ext.emplace_back(static_cast<double *>(std::malloc(std::size_t(span * filter_width) * sizeof(double))));
        if (!ext.back())
            return false;
    }
    static const lines_fn lines = filter_path(best_path());
    const std::int64_t width = filter_width, chunks = (X + width - 1) / width;
    for (int a = 0; a < 3; ++a) {
        if (h[a]->empty())
            continue;
        const std::int64_t K = std::int64_t(h[a]->size() / 2);
        const std::vector<std::int64_t> r = edges(at[a], K, m);
        const double *ha = h[a]->data();
        // Units of work: rows for X; for Y and Z, up to `width` lines side by side.
        const std::int64_t units = a == 0 ? volumes * Z * Y : a == 1 ? volumes * Z * chunks : volumes * Y * chunks;
        parallel(int(jobs), jobs, [&](std::int64_t t) {
            double *e = ext[std::size_t(t)].get();
            for (std::int64_t u = t; u < units; u += jobs) {
                if (a == 0) {
                    lines(v + u * X, 1, 1, X, ha, K, r.data(), fill, e);
                    continue;
                }
                const std::int64_t c = u % chunks, W = std::min(width, X - c * width);
                if (a == 1)
                    lines(v + (u / chunks) * Y * X + c * width, X, W, Y, ha, K, r.data(), fill, e);
                else
                    lines(v + (u / (chunks * Y)) * Z * Y * X + (u / chunks % Y) * X + c * width, Y * X, W, Z, ha,
                          K, r.data(), fill, e);
            }
        });
    }
    return true;
}

} // namespace

bool filter_volumes(float *v, std::int64_t volumes, const axis_place at[3], const taps *const h[3], mode m,
                    float fill, int threads)
{
    try {
        return run(v, volumes, at, h, m, fill, threads);
    } catch (const std::bad_alloc &) {  // the small tables before the work
        return false;
    }
}

bool grow_volumes(const float *src, float *dst, std::int64_t volumes, const axis_place at[3],
                  const std::int64_t before[3], const std::int64_t after[3], mode m, float fill, int threads)
{
    const std::int64_t X = at[0].n, Y = at[1].n, Z = at[2].n;
    const std::int64_t GX = X + before[0] + after[0], GY = Y + before[1] + after[1], GZ = Z + before[2] + after[2];
    // The box's sample that grown sample k of axis a reads, or fill_index.
    auto local = [&](int a, std::int64_t k) {
        const std::int64_t e = extend(m, at[a].origin - before[a] + k, at[a].whole);
        return e == fill_index ? e : std::min(std::max(e - at[a].origin, std::int64_t(0)), at[a].n - 1);
    };
    std::vector<std::int64_t> ex;
    try {
        ex.resize(static_cast<std::size_t>(GX));
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (std::int64_t x = 0; x < GX; ++x)
        ex[std::size_t(x)] = local(0, x);
    parallel(threads, volumes * GZ, [&](std::int64_t u) {
        const std::int64_t v = u / GZ, z = local(2, u % GZ);
        float *o = dst + u * GY * GX;
        for (std::int64_t gy = 0; gy < GY; ++gy, o += GX) {
            const std::int64_t y = local(1, gy);
            if (z == fill_index || y == fill_index) {
                std::fill(o, o + GX, fill);
                continue;
            }
            const float *row = src + ((v * Z + z) * Y + y) * X;
            for (std::int64_t x = 0; x < GX; ++x)
                o[x] = ex[std::size_t(x)] == fill_index ? fill : row[ex[std::size_t(x)]];
        }
    });
    return true;
}
