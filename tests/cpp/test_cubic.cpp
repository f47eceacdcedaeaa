// The cubic rows and the filters' lines of every target this build has, on
// this CPU, against the scalar target: same bits (NaN as NaN), the same
// voxels left unwritten.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels/cubic.h"
#include "kernels/table.h"
#include "targets_test.h"
#include "kernels/resample.h"

namespace {

// A turn about an oblique axis, scaled, through the source's middle: its
// rows cross every class of voxel.
void turned(std::mt19937 &rng, float m[12], float reach)
{
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int a = 0; a < 3; ++a) {
        for (int j = 0; j < 3; ++j)
            m[4 * a + j] = (a == j ? 1.0f : 0.0f) + 0.4f * u(rng);
        m[4 * a + 3] = reach * u(rng);
    }
}

using cubic_targets = target_test;

// Every mode (its pad), fill on and off, maps inside, across the edges,
// far outside and NaN; coefficients with NaN, infinities and subnormals.
TEST_P(cubic_targets, rows_match_the_scalar_target)
{
    std::mt19937 rng(20261208u);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    const int X = 23, Y = 19, Z = 17, nx = 37, ny = 11, nz = 9;
    const float spacing[3] = {1.0f, 0.8f, 1.25f}, out_spacing[3] = {0.45f, 0.6f, 0.55f};
    int interior = 0;
    for (int c = 0; c < 48; ++c) {
        const mode m = mode(c % mode_count);
        const int pad = pad_of(m);
        const std::int64_t GX = X + 2 * pad, GY = Y + 2 * pad, GZ = Z + 2 * pad;
        std::vector<float> coef(std::size_t(GX * GY * GZ));
        for (float &v : coef)
            v = u(rng);
        coef[5] = NAN, coef[coef.size() / 2] = INFINITY, coef[coef.size() / 3] = 1e-40f;
        float matrix[12];
        turned(rng, matrix, c % 4 == 3 ? 1e4f : 3.0f);
        if (c % 8 == 5)
            matrix[4 + c % 3] = NAN;
        part p;
        p.in = whole_box(coef.data(), X, Y, Z);
        p.in.row = GX, p.in.slice = GY * GX;
        p.map.spacing = spacing, p.map.out_spacing = out_spacing, p.map.matrix = matrix;
        const auto rows = target_table(GetParam())->cubic;
        const int bad = rows_differ(
            p, c, nx, ny, nz, [&](const part &q) { target_table(target_scalar)->cubic(q, m, pad); },
            [&](const part &q) { rows(q, m, pad); }, interior);
        EXPECT_EQ(bad, 0) << "case " << c << " mode " << mode_names[m];
    }
    EXPECT_GT(interior, 20000);
}

// Taps of the prefilter's reach and a short filter's, over lines side by
// side (every width up to a full block) and along a line, fill and edges
// read.
TEST_P(cubic_targets, filter_lines_match_the_scalar_target)
{
    std::mt19937 rng(7u);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<double> hs[2] = {std::vector<double>(2 * spline_reach + 1), std::vector<double>(7)};
    for (auto &h : hs)
        for (double &t : h)
            t = u(rng) / 3.0;
    for (const auto &h : hs) {
        const std::int64_t K = std::int64_t(h.size() / 2);
        for (std::int64_t W : {1, 3, 31, 32}) {
            for (std::int64_t n : {1, 5, 33, 70}) {
                const std::int64_t step = W == 1 ? 1 : 40;
                std::vector<float> want(std::size_t(n * step + W));
                for (float &v : want)
                    v = u(rng);
                want[3 % want.size()] = NAN, want[want.size() / 2] = -INFINITY;
                std::vector<float> got(want);
                std::vector<std::int64_t> r(std::size_t(2 * K));
                for (std::int64_t j = 0; j < 2 * K; ++j)
                    r[std::size_t(j)] = j % 3 == 0 ? fill_index : (j * 7) % n;
                std::vector<double> ext(std::size_t((n + 2 * K) * W));
                target_table(target_scalar)->lines(want.data(), step, W, n, h.data(), K, r.data(), 0.25f, ext.data());
                target_table(GetParam())->lines(got.data(), step, W, n, h.data(), K, r.data(), 0.25f, ext.data());
                EXPECT_EQ(mismatches(want, got), 0) << "W " << W << " n " << n << " K " << K;
            }
        }
    }
}

// The Gaussian's Z sums over slices apart, a reach of none up to the
// prefilter's, every length about a block; NaN, infinities and subnormals.
TEST_P(cubic_targets, slice_sums_match_the_scalar_target)
{
    std::mt19937 rng(11u);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (std::int64_t K : {std::int64_t(0), std::int64_t(2), std::int64_t(spline_reach)}) {
        std::vector<double> h(std::size_t(2 * K + 1));
        for (double &t : h)
            t = u(rng) / 3.0;
        for (std::int64_t n : {1, 31, 32, 70}) {
            std::vector<float> in(std::size_t((2 * K + 1) * n));
            for (float &v : in)
                v = u(rng);
            in[in.size() / 3] = NAN, in[in.size() / 2] = INFINITY, in[in.size() - 1] = 1e-40f;
            std::vector<const float *> p;
            for (std::int64_t k = 2 * K; k >= 0; --k)  // the slices in no order of their own
                p.push_back(in.data() + k * n);
            std::vector<float> want(static_cast<std::size_t>(n)), got(static_cast<std::size_t>(n));
            target_table(target_scalar)->slices(p.data(), h.data(), K, want.data(), n);
            target_table(GetParam())->slices(p.data(), h.data(), K, got.data(), n);
            EXPECT_EQ(mismatches(want, got), 0) << "n " << n << " K " << K;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(kernel, cubic_targets, every_target(), target_label);

} // namespace
