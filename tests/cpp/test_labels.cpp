// The nearest and label kernels: every target this build has, on this CPU,
// gives the scalar target's bytes, for every element width and sign.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/label.h"
#include "kernels/table.h"
#include "kernels/dispatch.h"
#include "kernels/resample_rows.h"  // classify(), to find the samples a voxel reads
#include "kernels/label_rows.h"     // the vote, per voxel (pick) and in lanes (tally)

namespace {

struct case_t {
    int X, Y, Z, wnx, wny, wnz;
    float spacing[3], out_spacing[3], matrix[12];
};

case_t random_case(std::mt19937 &g)
{
    std::uniform_real_distribution<float> u(-1, 1);
    std::uniform_int_distribution<int> e(1, 40);
    case_t c{e(g), e(g), e(g), e(g), e(g), e(g), {}, {}, {}};
    const float s[] = {0.5f, 1.0f, 0.7f, 1.3f, 2.0f};
    for (int k = 0; k < 3; ++k) {
        c.spacing[k] = s[g() % 5];
        c.out_spacing[k] = g() % 3 ? c.spacing[k] : s[g() % 5];
    }
    const float a = u(g) * 0.6f, b = u(g) * 0.4f;
    const float m[12] = {std::cos(a), -std::sin(a), b * 0.2f, u(g) * 4, std::sin(a), std::cos(a), -b, u(g) * 4,
                         b * 0.3f, b, 1.0f + u(g) * 0.3f, u(g) * 4};
    std::memcpy(c.matrix, m, sizeof m);
    if (g() % 4 == 0)  // halves: a shift by whole and half voxels
        for (int k = 0; k < 12; ++k)
            c.matrix[k] = k % 5 == 0 ? 1.0f : k % 4 == 3 ? 0.5f * float(int(g() % 7) - 3) * c.spacing[k / 4] : 0.0f;
    return c;
}

// A box of the volume: first plane and extent along X, Y, Z.
struct box_t {
    int lo[3], n[3];
};

// Rows first..last of the window through one target, from the box copied
// apart (the whole volume by default); every other byte 0xa5.
std::vector<unsigned char> run(label_fn f, const case_t &c, const std::vector<unsigned char> &src, int type,
                               int mode, int first, int last, box_t b = {{0, 0, 0}, {0, 0, 0}})
{
    if (!b.n[0])
        b = {{0, 0, 0}, {c.X, c.Y, c.Z}};
    const int size = elem_size(type);
    std::vector<unsigned char> sub(std::size_t(b.n[0]) * b.n[1] * b.n[2] * size);
    for (int z = 0; z < b.n[2]; ++z)
        for (int y = 0; y < b.n[1]; ++y)
            std::memcpy(&sub[(std::size_t(z) * b.n[1] + y) * b.n[0] * size],
                        &src[((std::size_t(b.lo[2] + z) * c.Y + b.lo[1] + y) * c.X + b.lo[0]) * size],
                        std::size_t(b.n[0]) * size);
    std::vector<unsigned char> out(std::size_t(c.wnx) * c.wny * c.wnz * size, 0xa5);
    part p;
    p.in = whole_box(nullptr, c.X, c.Y, c.Z);
    p.in.bx = b.lo[0], p.in.by = b.lo[1], p.in.bz = b.lo[2], p.in.bnx = b.n[0], p.in.bny = b.n[1], p.in.bnz = b.n[2];
    p.in.row = b.n[0], p.in.slice = std::int64_t(b.n[1]) * b.n[0];
    p.win = whole_window(nullptr, c.wnx, c.wny, c.wnz);
    p.win.first = first, p.win.last = last;
    p.fill.on = false, p.fill.value = 0.0f;
    p.map.spacing = c.spacing, p.map.out_spacing = c.out_spacing, p.map.matrix = c.matrix;
    typed t{sub.data(), out.data(), type, mode, {7, 0, 0, 0, 0, 0, 0, 0}};
    f(p, t);
    return out;
}

// Whether voxel (x, y, z) of the window reads a sample outside the box:
// nearest the one at c + 1/2 rounded down, label those of the linear rule.
bool reads_outside(const case_t &c, int mode, const box_t &b, int x, int y, int z)
{
    const float *m = c.matrix, *s = c.spacing, *o = c.out_spacing;
    const float p[3] = {float(x) * o[0], float(y) * o[1], float(z) * o[2]};
    const int E[3] = {c.X, c.Y, c.Z};
    int lo[3], hi[3], k[3], faces = 0;
    for (int a = 0; a < 3; ++a) {
        const float *r = m + 4 * a;
        const float v = (((r[0] * p[0] + r[1] * p[1]) + r[2] * p[2]) + r[3]) / s[a];
        if (mode == nearest) {
            const double d = std::floor(double(v) + 0.5);
            if (!(d >= 0 && d < E[a]))
                return false;
            lo[a] = hi[a] = int(d);
            continue;
        }
        int i0 = 0;
        k[a] = classify(v, E[a], i0);
        if (k[a] == outside)
            return false;
        faces += k[a] != inside;
        lo[a] = k[a] == inside ? i0 : k[a] == low ? 0 : E[a] - 1;
        hi[a] = k[a] == inside ? i0 + 1 : lo[a];
    }
    if (faces > 1)
        return false;
    for (int a = 0; a < 3; ++a)
        if (lo[a] < b.lo[a] || hi[a] >= b.lo[a] + b.n[a])
            return true;
    return false;
}

TEST(labels, every_path_gives_the_scalar_bytes)
{
    std::mt19937 g(11);
    int compared = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const case_t c = random_case(g);
        const int type = int(g() % elem_count), mode = g() % 2 ? nearest : label;
        if (mode == label && (type == e_f32 || type == e_f64))
            continue;
        const int size = elem_size(type), labels = 2 + int(g() % 6);
        std::vector<unsigned char> src(std::size_t(c.X) * c.Y * c.Z * size);
        for (std::size_t i = 0; i < src.size(); i += size)  // short runs of a few values, every byte set
            for (int b = 0; b < size; ++b)
                src[i + b] = static_cast<unsigned char>(((i / size / 3) * 37 + g() % labels) * (b + 1) * 41);
        const int rows = c.wny * c.wnz, first = int(g() % rows), last = first + 1 + int(g() % (rows - first));
        const auto want = run(target_table(target_scalar)->labels, c, src, type, mode, first, last);
        for (int t = 1; t < target_count; ++t) {
            if (!target_usable(t) || !target_table(t)->labels)
                continue;
            EXPECT_EQ(run(target_table(t)->labels, c, src, type, mode, first, last), want)
                << target_name(t) << " trial " << trial;
            ++compared;
        }
    }
    if (!compared)
        GTEST_SKIP() << "no wider target on this build or CPU";
}

// Boxes one plane short of the whole volume at either end of any axis: a
// voxel that would read the missing plane takes the fill, every other one
// the whole volume's bytes, on every target.
TEST(labels, boxes_short_of_a_plane)
{
    std::mt19937 g(12);
    long lost = 0;
    for (int trial = 0; trial < 150; ++trial) {
        const case_t c = random_case(g);
        const int type = int(g() % e_f32), mode = g() % 2 ? nearest : label, side = int(g() % 6);
        const int a = side / 2, size = elem_size(type), rows = c.wny * c.wnz;
        box_t b = {{0, 0, 0}, {c.X, c.Y, c.Z}};
        if (b.n[a] < 2)
            continue;
        b.lo[a] += side % 2, b.n[a] -= 1;
        std::vector<unsigned char> src(std::size_t(c.X) * c.Y * c.Z * size);
        for (auto &v : src)
            v = static_cast<unsigned char>(g() % 3 * 60);
        const auto whole = run(target_table(target_scalar)->labels, c, src, type, mode, 0, rows);
        const auto want = run(target_table(target_scalar)->labels, c, src, type, mode, 0, rows, b);
        for (int q = 0; q < rows; ++q)
            for (int x = 0; x < c.wnx; ++x) {
                const std::size_t k = (std::size_t(q) * c.wnx + x) * size;
                const bool out = reads_outside(c, mode, b, x, q % c.wny, q / c.wny);
                const unsigned char fill[8] = {7};
                ASSERT_EQ(std::memcmp(&want[k], out ? fill : &whole[k], size), 0)
                    << "trial " << trial << " side " << side << " voxel " << k / size;
                lost += out;
            }
        for (int t = 1; t < target_count; ++t)
            if (target_usable(t) && target_table(t)->labels) {
                EXPECT_EQ(run(target_table(t)->labels, c, src, type, mode, 0, rows, b), want)
                    << target_name(t) << " trial " << trial;
            }
    }
    EXPECT_GT(lost, 500);
}

// The vote in lanes takes pick()'s label, ties included: fractions on
// quarters make equal weights and equal scores, and labels drawn from two
// to four values share them out in every pattern.
TEST(labels, lanes_vote_as_pick)
{
    std::mt19937 g(13);
    static ballot b;
    for (int trial = 0; trial < 200; ++trial) {
        const int m = 1 + int(g() % block), labels = 2 + int(g() % 3);
        for (int j = 0; j < m; ++j) {
            for (int k = 0; k < 8; ++k)
                b.L[k][j] = g() % labels;
            for (auto &f : b.f)
                f[j] = g() % 3 ? float(g() % 4) / 4 : float(g() % 1000) / 1000;
        }
        tally(b, m);
        for (int j = 0; j < m; ++j) {
            const double f[3] = {b.f[0][j], b.f[1][j], b.f[2][j]};
            votes<std::uint64_t> v;
            interior_terms(f, [&](auto t, auto k, auto... w) { v.L[t] = b.L[k][j], v.w[t] = (... * w), v.k[t] = k; });
            ASSERT_EQ(b.best[j], pick(v, 8)) << "trial " << trial << " voxel " << j;
        }
    }
}

} // namespace
