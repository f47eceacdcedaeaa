// The nearest and label kernels: every path this build has, on this CPU,
// gives the scalar path's bytes, for every element width and sign.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "label.h"
#include "resample_paths.h"

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

// Rows first..last of the window through one path; every other byte 0xa5.
std::vector<unsigned char> run(label_fn f, const case_t &c, const std::vector<unsigned char> &src, int type,
                               int mode, int first, int last)
{
    const int size = elem_size(type);
    std::vector<unsigned char> out(std::size_t(c.wnx) * c.wny * c.wnz * size, 0xa5);
    part p{nullptr, std::int64_t(c.Y) * c.X, c.X, c.X, c.Y, c.Z, 0, 0, 0, c.X, c.Y, c.Z,
           nullptr, std::int64_t(c.wny) * c.wnx, c.wnx, 0, 0, 0, c.wnx, c.wny, c.wnz, first, last,
           false, 0.0f, c.spacing, c.out_spacing, c.matrix};
    typed t{src.data(), out.data(), type, mode, {7, 0, 0, 0, 0, 0, 0, 0}};
    f(p, t);
    return out;
}

TEST(labels, every_path_gives_the_scalar_bytes)
{
    std::mt19937 g(11);
    int compared = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const case_t c = random_case(g);
        const int type = int(g() % elem_count), mode = g() % 2 ? mode_nearest : mode_label;
        if (mode == mode_label && (type == e_f32 || type == e_f64))
            continue;
        const int size = elem_size(type), labels = 2 + int(g() % 6);
        std::vector<unsigned char> src(std::size_t(c.X) * c.Y * c.Z * size);
        for (std::size_t i = 0; i < src.size(); i += size)  // short runs of a few values, every byte set
            for (int b = 0; b < size; ++b)
                src[i + b] = static_cast<unsigned char>(((i / size / 3) * 37 + g() % labels) * (b + 1) * 41);
        const int rows = c.wny * c.wnz, first = int(g() % rows), last = first + 1 + int(g() % (rows - first));
        const auto want = run(label_scalar, c, src, type, mode, first, last);
        for (int path = 1; path < path_count; ++path) {
            if (!path_usable(path) || !label_path(path))
                continue;
            EXPECT_EQ(run(label_path(path), c, src, type, mode, first, last), want)
                << path_name(path) << " trial " << trial;
            ++compared;
        }
    }
    if (!compared)
        GTEST_SKIP() << "no wider path on this build or CPU";
}

} // namespace
