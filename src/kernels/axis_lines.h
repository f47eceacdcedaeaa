// The separable filters' sums over lines (axis_filter.h), compiled for each
// target (kernels/target.cpp). Sums side by side are independent: lanes
// never reorder any one of them. Internal linkage, as in resample_rows.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vocab/modes.h"

namespace {

// Lines filtered side by side in the Y and Z passes (adjacent along X), and
// outputs formed side by side along a line in the X pass.
constexpr std::int64_t filter_width = 32;

// W sums at once over the 2K + 1 taps h, sum w from e[w], e[w + step], ...
// (step W for lines side by side, 1 along a line), rounded into out[w *
// ostep]. W a constant lets the sums stay in registers across the taps.
template <std::int64_t W>
inline void sums(const double *e, std::int64_t step, const double *h, std::int64_t K, float *out,
                 std::int64_t ostep)
{
    double acc[W];
    for (std::int64_t w = 0; w < W; ++w)
        acc[w] = h[0] * e[w];
    for (std::int64_t k = 1; k <= 2 * K; ++k) {
        const double *f = e + k * step;
        const double t = h[k];
        for (std::int64_t w = 0; w < W; ++w)
            acc[w] += t * f[w];
    }
    for (std::int64_t w = 0; w < W; ++w)
        out[w * ostep] = float(acc[w]);
}

// The same for a runtime count b <= filter_width.
inline void sums_n(const double *e, std::int64_t step, const double *h, std::int64_t K, float *out,
                   std::int64_t ostep, std::int64_t b)
{
    double acc[filter_width];
    for (std::int64_t w = 0; w < b; ++w)
        acc[w] = h[0] * e[w];
    for (std::int64_t k = 1; k <= 2 * K; ++k)
        for (std::int64_t w = 0; w < b; ++w)
            acc[w] += h[k] * e[k * step + w];
    for (std::int64_t w = 0; w < b; ++w)
        out[w * ostep] = float(acc[w]);
}

// Filters W <= filter_width adjacent lines of n samples, sample i of line
// w at p[i * step + w], through `ext`, (n + 2K) * W doubles: the lines as
// read, extension included (the outputs overwrite them), widened once
// rather than once per tap. h: the 2K + 1
// taps; r: the box samples read at the offsets -K..-1 and n..n + K - 1
// (fill_index for the fill).
inline void filter_lines(float *p, std::int64_t step, std::int64_t W, std::int64_t n, const double *h,
                         std::int64_t K, const std::int64_t *r, float fill, double *ext)
{
    auto put = [&](std::int64_t j, std::int64_t at) {
        double *e = ext + j * W;
        if (at == fill_index) {
            std::fill(e, e + W, double(fill));
            return;
        }
        const float *q = p + at * step;
        for (std::int64_t w = 0; w < W; ++w)
            e[w] = q[w];
    };
    for (std::int64_t j = 0; j < K; ++j) {
        put(j, r[j]);
        put(K + n + j, r[K + j]);
    }
    if (W == 1 && step == 1)
        for (std::int64_t j = 0; j < n; ++j)
            ext[K + j] = p[j];
    else
        for (std::int64_t j = 0; j < n; ++j)
            put(K + j, j);
    if (W == 1) {
        std::int64_t i0 = 0;
        for (; i0 + filter_width <= n; i0 += filter_width)
            sums<filter_width>(ext + i0, 1, h, K, p + i0 * step, step);
        if (i0 < n)
            sums_n(ext + i0, 1, h, K, p + i0 * step, step, n - i0);
        return;
    }
    for (std::int64_t i = 0; i < n; ++i) {
        if (W == filter_width)
            sums<filter_width>(ext + i * W, W, h, K, p + i * step, 1);
        else
            sums_n(ext + i * W, W, h, K, p + i * step, 1, W);
    }
}

// The Z pass over slices held apart: out[i] = h[0] * p[0][i] + h[1] *
// p[1][i] + ... + h[2K] * p[2K][i] for i < n, each sum in double, left to
// right, rounded to float once; filter_width sums at a time in registers.
// GCC's unroll-and-jam would pair the taps around a scalar loop over the
// sums and keep them out of registers (some twice the time).
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-loop-unroll-and-jam")))
#endif
inline void sum_slices(const float *const *p, const double *h, std::int64_t K, float *out, std::int64_t n)
{
    std::int64_t i = 0;
    for (; i + filter_width <= n; i += filter_width) {
        double acc[filter_width];
        for (std::int64_t w = 0; w < filter_width; ++w)
            acc[w] = h[0] * double(p[0][i + w]);
        for (std::int64_t k = 1; k <= 2 * K; ++k) {
            const float *f = p[k] + i;
            const double t = h[k];
            for (std::int64_t w = 0; w < filter_width; ++w)
                acc[w] += t * double(f[w]);
        }
        for (std::int64_t w = 0; w < filter_width; ++w)
            out[i + w] = float(acc[w]);
    }
    for (; i < n; ++i) {
        double acc = h[0] * double(p[0][i]);
        for (std::int64_t k = 1; k <= 2 * K; ++k)
            acc += h[k] * double(p[k][i]);
        out[i] = float(acc);
    }
}

} // namespace
