// A warp's field steps and reads on every target this build has, on this
// CPU, against a frozen point-by-point loop: same bits, NaN as NaN.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "targets_test.h"
#include "vocab/rules.h"
#include "kernels/warp_kernel.h"
// Last: the per-point code the reads are checked against.
#include "kernels/cubic_rows.h"
#include "kernels/modes_point.h"

namespace {

// The field step point by point, in double where it can be: a point within
// half a sample of the outer samples takes the outer plane's values.
void field_reference(const warp_field &st, std::int64_t v, float *px, float *py, float *pz, int n)
{
    const char *base = st.data + (st.per_volume ? v * st.s[0] : 0);
    const float *a = st.inv;
    const auto axis = [](float c, std::int64_t e, std::int64_t &i0, double &f) {
        if (!(c >= -0.5f && double(c) < double(e) - 0.5))
            return false;
        const double k = std::min(std::max(double(c), 0.0), double(e - 1));
        i0 = std::min(std::int64_t(k), std::max<std::int64_t>(e - 2, 0));
        f = k - double(i0);
        return true;
    };
    std::int64_t off[8];
    for (int k = 0; k < 8; ++k)
        off[k] = (k & 1 && st.X > 1 ? st.s[3] : 0) + (k & 2 && st.Y > 1 ? st.s[2] : 0) +
                 (k & 4 && st.Z > 1 ? st.s[1] : 0);
    for (int i = 0; i < n; ++i) {
        const float x = px[i], y = py[i], z = pz[i];
        const float cx = ((a[0] * x + a[1] * y) + a[2] * z) + a[3];
        const float cy = ((a[4] * x + a[5] * y) + a[6] * z) + a[7];
        const float cz = ((a[8] * x + a[9] * y) + a[10] * z) + a[11];
        std::int64_t x0, y0, z0;
        double f[3];
        if (!axis(cx, st.X, x0, f[0]) || !axis(cy, st.Y, y0, f[1]) || !axis(cz, st.Z, z0, f[2]))
            continue;
        const char *q = base + z0 * st.s[1] + y0 * st.s[2] + x0 * st.s[3];
        const double gx = 1.0 - f[0], gy = 1.0 - f[1], gz = 1.0 - f[2];
        const double w[8] = {(gx * gy) * gz,   (f[0] * gy) * gz,   (gx * f[1]) * gz,   (f[0] * f[1]) * gz,
                             (gx * gy) * f[2], (f[0] * gy) * f[2], (gx * f[1]) * f[2], (f[0] * f[1]) * f[2]};
        double u[3];
        for (int k = 0; k < 8; ++k)
            for (int j = 0; j < 3; ++j) {
                float d;
                std::memcpy(&d, q + off[k] + j * st.s[4], 4);
                const double t = double(d) * w[k];
                u[j] = k == 0 ? t : u[j] + t;
            }
        px[i] = x + float(u[0]), py[i] = y + float(u[1]), pz[i] = z + float(u[2]);
    }
}

using warp_targets = target_test;

// Fields of 1 to 6 samples an axis (a single plane steps nowhere), their
// components packed or apart, at odd byte offsets, two volumes; points
// inside, on the last planes, in the half-sample margin and at its bounds,
// outside, NaN and infinite; values with NaN, infinities and -0.0.
TEST_P(warp_targets, field_steps_match_the_points)
{
    std::mt19937 rng(20261208u);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int c = 0; c < 48; ++c) {
        warp_field f;
        f.X = 1 + rng() % 6, f.Y = 1 + rng() % 6, f.Z = 1 + rng() % 6;
        f.per_volume = c % 2;
        const std::int64_t comp = c % 3 == 0 ? 8 : 4, shift = c % 5 == 0 ? 1 : 0;  // apart; unaligned
        f.s[4] = comp, f.s[3] = 3 * comp + 4 * (c % 4 == 1), f.s[2] = f.s[3] * f.X, f.s[1] = f.s[2] * f.Y;
        f.s[0] = f.s[1] * f.Z;
        // The samples' bytes exactly, so that a read past them is caught.
        const std::int64_t span = (f.per_volume ? f.s[0] : 0) + (f.Z - 1) * f.s[1] + (f.Y - 1) * f.s[2] +
                                  (f.X - 1) * f.s[3] + 2 * comp + 4;
        std::vector<char> bytes(std::size_t(span + shift));
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
            const unsigned r = rng() % 32;
            const float d = r == 0 ? NAN : r == 1 ? INFINITY : r == 2 ? -0.0f : 3.0f * u(rng);
            std::memcpy(&bytes[i], &d, 4);
        }
        f.data = bytes.data() + shift;
        f.end = c % 6 == 5 ? nullptr : f.data + span;
        const bool on_grid = c % 3 == 1;  // points straight onto the field's planes
        for (int k = 0; k < 12; ++k)
            f.inv[k] = on_grid ? float(k % 5 == 0) : k % 5 == 0 ? 1.0f + 0.2f * u(rng) : 0.3f * u(rng);
        if (!on_grid)
            f.inv[3] = 2.0f * u(rng), f.inv[7] = 2.0f * u(rng), f.inv[11] = 2.0f * u(rng);
        const int n = c % 7 == 0 ? 1 + int(rng() % 40) : warp_block;
        std::vector<float> x(std::size_t(n) * 3);
        for (int i = 0; i < n; ++i) {
            const unsigned r = rng() % 40;
            const std::int64_t e[3] = {f.X, f.Y, f.Z};
            for (int a = 0; a < 3; ++a) {
                // The margin's bounds and the floats next below them.
                const float bound[4] = {-0.5f, std::nextafter(-0.5f, -1.0f), float(e[a]) - 0.5f,
                                        std::nextafter(float(e[a]) - 0.5f, 0.0f)};
                x[std::size_t(a * n + i)] = r == 0   ? NAN
                                            : r == 1 ? -INFINITY
                                            : r < 12 ? float(std::int64_t(rng() % 3) + e[a] - 2)
                                            : r < 16 ? bound[rng() % 4]
                                            : r < 20 ? (rng() % 2 ? float(e[a] - 1) : 0.0f) + 0.5f * u(rng)
                                                     : 7.0f * u(rng);
            }
        }
        for (std::int64_t v = 0; v < 2; ++v) {
            std::vector<float> want = x, got = x;
            field_reference(f, v, want.data(), want.data() + n, want.data() + 2 * n, n);
            target_table(GetParam())->field(f, v, got.data(), got.data() + n, got.data() + 2 * n, n);
            for (std::size_t i = 0; i < got.size(); ++i)
                ASSERT_TRUE(same(got[i], want[i])) << "case " << c << " point " << i % n << ": " << got[i]
                                                   << " != " << want[i];
        }
    }
}

// The reads' source: X * Y * Z samples, one in `nan_every` NaN (none for 0).
constexpr int X = 19, Y = 7, Z = 5;
std::vector<float> source_of(std::mt19937 &rng, std::uniform_real_distribution<float> &u, unsigned nan_every)
{
    std::vector<float> src(std::size_t(X) * Y * Z);
    for (float &s : src)
        s = nan_every && rng() % nan_every == 0 ? NAN : 9.0f * u(rng);
    return src;
}

// The linear reads against the scalar target's, points inside, on the faces
// and beyond.
TEST_P(warp_targets, linear_reads_match_the_scalar_target)
{
    std::mt19937 rng(7u);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const std::vector<float> src = source_of(rng, u, 20);
    std::vector<float> cx(warp_block), cy(warp_block), cz(warp_block), want(warp_block), got(warp_block);
    for (int c = 0; c < 16; ++c) {
        for (int i = 0; i < warp_block; ++i) {
            const unsigned r = rng() % 8;
            cx[std::size_t(i)] = r == 0 ? float(X - 1) : (X + 2) * 0.5f * (1.0f + u(rng)) - 1.0f;
            cy[std::size_t(i)] = r == 1 ? 0.0f : (Y + 2) * 0.5f * (1.0f + u(rng)) - 1.0f;
            cz[std::size_t(i)] = (Z + 2) * 0.5f * (1.0f + u(rng)) - 1.0f;
        }
        target_table(target_scalar)->points(src.data(), X * Y, X, X, Y, Z, cx.data(), cy.data(), cz.data(), warp_block, -5.0f,
                           want.data());
        target_table(GetParam())->points(src.data(), X * Y, X, X, Y, Z, cx.data(), cy.data(), cz.data(), warp_block,
                                     -5.0f, got.data());
        for (int i = 0; i < warp_block; ++i)
            ASSERT_TRUE(same(got[std::size_t(i)], want[std::size_t(i)])) << "case " << c << " point " << i;
    }
}

// A warp's reads under each mode, linear and cubic (the modes whose
// coefficients are the samples' own extents), against the per-point code:
// each target takes the points in its blocks and lanes, the bits stay.
TEST_P(warp_targets, reads_under_modes_match_point_by_point)
{
    std::mt19937 rng(11u);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> src = source_of(rng, u, 0);
    warp_job w{};
    w.src = src.data(), w.volume = X * Y * Z, w.slice = X * Y, w.row = X;
    w.X = w.bnx = X, w.Y = w.bny = Y, w.Z = w.bnz = Z;
    w.reached = true, w.size = 4, w.value = -5.0f;
    const source_box b = {src.data(), X * Y, X, X, Y, Z, 0, 0, 0, X, Y, Z};
    part q{};
    q.in = b, q.fill = {true, w.value};
    std::vector<float> cx(warp_block), cy(warp_block), cz(warp_block), want(warp_block), got(warp_block);
    for (int c = 0; c < 2 * mode_count; ++c) {
        w.mode = mode(c % mode_count), w.rule = c < mode_count ? linear : cubic, w.moded = w.rule == linear;
        if (w.rule == cubic && pad_of(w.mode))
            continue;
        for (int i = 0; i < warp_block; ++i) {  // runs of interior points, then any
            const float k = i < warp_block / 2 ? 0.4f : 1.5f;
            cx[std::size_t(i)] = (X - 1) * 0.5f * (1.0f + k * u(rng));
            cy[std::size_t(i)] = (Y - 1) * 0.5f * (1.0f + k * u(rng));
            cz[std::size_t(i)] = (Z - 1) * 0.5f * (1.0f + k * u(rng));
        }
        const coef_span h[3] = {{0, X}, {0, Y}, {0, Z}};
        for (int i = 0; i < warp_block; ++i) {
            float &o = want[std::size_t(i)];
            if (w.rule == cubic)
                cubic_voxel(q, w.mode, 0, h, cx[std::size_t(i)], cy[std::size_t(i)], cz[std::size_t(i)], &o);
            else if (!moded_linear(b, w.mode, w.value, cx[std::size_t(i)], cy[std::size_t(i)], cz[std::size_t(i)], o))
                o = w.value;
        }
        target_table(GetParam())->reads(w, 0, cx.data(), cy.data(), cz.data(), warp_block,
                                      reinterpret_cast<char *>(got.data()));
        for (int i = 0; i < warp_block; ++i)
            ASSERT_TRUE(same(got[std::size_t(i)], want[std::size_t(i)])) << "case " << c << " point " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(targets, warp_targets, every_target(), target_label);

} // namespace
