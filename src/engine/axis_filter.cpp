#include "engine/axis_filter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "kernels/axis_lines.h"
#include "engine/block.h"
#include "kernels/cubic.h"
#include "kernels/table.h"
#include "engine/workers.h"

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

// The box's sample that the whole's index g reads under mode m (its nearest
// where the whole's lies outside the box), or fill_index for the fill.
std::int64_t local(const axis_place &a, std::int64_t g, mode m)
{
    const std::int64_t e = extend(m, g, a.whole);
    return e == fill_index ? e : std::min(std::max(e - a.origin, std::int64_t(0)), a.n - 1);
}

} // namespace

std::vector<std::int64_t> edges(const axis_place &a, std::int64_t K, mode m)
{
    std::vector<std::int64_t> r(std::size_t(2 * K));
    for (std::int64_t j = 0; j < K; ++j) {
        r[std::size_t(j)] = local(a, a.origin - K + j, m);
        r[std::size_t(K + j)] = local(a, a.origin + a.n + j, m);
    }
    return r;
}

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

// One pass of the filter along axis a over dense volumes of extents X, Y,
// Z, in units of work (rows for X; for Y and Z, up to filter_width lines
// side by side), and unit u with buffer e.
struct pass {
    lines_fn lines;
    float *v;
    std::int64_t X, Y, Z, chunks;
    int a;
    const double *h;
    std::int64_t K;
    const std::int64_t *r;
    float fill;
};

void unit(const pass &p, std::int64_t u, double *e)
{
    const lines_fn lines = p.lines;
    const std::int64_t X = p.X, Y = p.Y, Z = p.Z, width = filter_width;
    if (p.a == 0) {
        lines(p.v + u * X, 1, 1, X, p.h, p.K, p.r, p.fill, e);
        return;
    }
    const std::int64_t c = u % p.chunks, W = std::min(width, X - c * width);
    if (p.a == 1)
        lines(p.v + (u / p.chunks) * Y * X + c * width, X, W, Y, p.h, p.K, p.r, p.fill, e);
    else
        lines(p.v + (u / (p.chunks * Y)) * Z * Y * X + (u / p.chunks % Y) * X + c * width, Y * X, W, Z, p.h, p.K,
              p.r, p.fill, e);
}

bool run(float *v, std::int64_t volumes, const axis_place at[3], const taps *const h[3], mode m, float fill,
         int threads, const go_fn &go)
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
    const std::int64_t chunks = (X + filter_width - 1) / filter_width;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> stop{false};
    for (int a = 0; a < 3 && !stop.load(); ++a) {
        if (h[a]->empty())
            continue;
        const std::int64_t K = std::int64_t(h[a]->size() / 2);
        const std::vector<std::int64_t> r = edges(at[a], K, m);
        const std::int64_t units = a == 0 ? volumes * Z * Y : a == 1 ? volumes * Z * chunks : volumes * Y * chunks;
        const pass p{best_table().lines, v, X, Y, Z, chunks, a, h[a]->data(), K, r.data(), fill};
        // Units taken some 2^14 samples at a time: the calling thread looks
        // for interrupts between them.
        const std::int64_t line = at[a].n * (a ? filter_width : 1);
        const std::int64_t per = std::max<std::int64_t>(1, (std::int64_t(1) << 14) / line);
        std::atomic<std::int64_t> next{0};
        parallel(int(jobs), jobs, [&](std::int64_t t) {
            double *e = ext[std::size_t(t)].get();
            const bool mine = std::this_thread::get_id() == caller;
            for (std::int64_t u; !stop.load(std::memory_order_relaxed) &&
                                 (u = next.fetch_add(per, std::memory_order_relaxed)) < units;) {
                for (const std::int64_t end = std::min(units, u + per); u < end; ++u)
                    unit(p, u, e);
                if (mine && !go())
                    stop.store(true, std::memory_order_relaxed);
            }
        });
    }
    return !stop.load();
}

} // namespace

bool filter_volumes(float *v, std::int64_t volumes, const axis_place at[3], const taps *const h[3], mode m,
                    float fill, int threads, const go_fn &go)
{
    try {
        return run(v, volumes, at, h, m, fill, threads, go);
    } catch (const std::bad_alloc &) {  // the small tables before the work
        return false;
    }
}

namespace {

// The dense boxes' rows at v's start moved to their places in the grown
// boxes (g samples along each axis, the box's first at `before`), the last
// first: each moves up, never down, so none is overwritten before it moves.
bool spread(float *v, std::int64_t volumes, const std::int64_t n[3], const std::int64_t g[3],
            const std::int64_t before[3], const go_fn &go)
{
    for (std::int64_t k = volumes * n[2] * n[1]; k-- > 0;) {
        const std::int64_t b = k / (n[2] * n[1]), z = k / n[1] % n[2], y = k % n[1];
        float *to = v + ((b * g[2] + z + before[2]) * g[1] + y + before[1]) * g[0] + before[0];
        std::memmove(to, v + k * n[0], std::size_t(n[0]) * sizeof(float));
        if (k % 1024 == 0 && !go())
            return false;
    }
    return true;
}

} // namespace

bool grow_volumes(float *v, std::int64_t volumes, const axis_place at[3], const std::int64_t before[3],
                  const std::int64_t after[3], mode m, float fill, int threads, const go_fn &go)
{
    std::int64_t n[3], g[3];
    for (int a = 0; a < 3; ++a)
        n[a] = at[a].n, g[a] = n[a] + before[a] + after[a];
    if (volumes <= 0 || n[0] <= 0 || n[1] <= 0 || n[2] <= 0)
        return true;
    // The box's sample that grown sample k of axis a reads, or fill_index.
    std::vector<std::int64_t> ex[3];
    try {
        for (int a = 0; a < 3; ++a)
            ex[a].resize(static_cast<std::size_t>(g[a]));
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int a = 0; a < 3; ++a)
        for (std::int64_t k = 0; k < g[a]; ++k)
            ex[a][std::size_t(k)] = local(at[a], at[a].origin - before[a] + k, m);
    if (!spread(v, volumes, n, g, before, go))
        return false;
    const std::int64_t GX = g[0], GS = g[1] * g[0], edge = before[2] + after[2];
    // f(k) for the grown samples k along axis a outside the box.
    auto outside = [&](int a, auto f) {
        for (std::int64_t k = 0; k < before[a]; ++k)
            f(k, ex[a][std::size_t(k)]);
        for (std::int64_t k = before[a] + n[a]; k < g[a]; ++k)
            f(k, ex[a][std::size_t(k)]);
    };
    // Each of the box's slices: its rows' ends, then the rows before and after them.
    return parallel(threads, volumes * n[2], [&](std::int64_t u) {
        float *s = v + ((u / n[2]) * g[2] + u % n[2] + before[2]) * GS;
        for (std::int64_t y = before[1]; y < before[1] + n[1]; ++y) {
            float *row = s + y * GX;
            outside(0, [&](std::int64_t x, std::int64_t e) { row[x] = e == fill_index ? fill : row[before[0] + e]; });
        }
        outside(1, [&](std::int64_t y, std::int64_t e) {
            if (e == fill_index)
                std::fill(s + y * GX, s + (y + 1) * GX, fill);
            else
                std::memcpy(s + y * GX, s + (before[1] + e) * GX, std::size_t(GX) * sizeof(float));
        });
    }, go) && parallel(threads, volumes * edge, [&](std::int64_t u) {
        // The slices before and after the box's.
        const std::int64_t b = u / edge, k = u % edge, z = k < before[2] ? k : n[2] + k;
        const std::int64_t e = ex[2][std::size_t(z)];
        float *s = v + (b * g[2] + z) * GS;
        if (e == fill_index)
            std::fill(s, s + GS, fill);
        else
            std::memcpy(s, v + (b * g[2] + before[2] + e) * GS, std::size_t(GS) * sizeof(float));
    }, go);
}
