// The linear rule's rows under a mode on every target this build has, on this
// CPU, against modes_part.cpp's voxel-by-voxel code: same bits (NaN as NaN), the
// same voxels left unwritten.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels/modes_part.h"
#include "targets_test.h"
#include "kernels/resample.h"

namespace {

using modes_targets = target_test;

// Maps whose fractions are 0 on every axis (a whole shift), on Z alone (a
// turn about Z) and nowhere (oblique), inside, across the edges and far
// out, a few with NaN or infinite positions; samples with NaN, infinities,
// -0.0 and subnormals beside 0-fraction terms, which must stay out.
TEST_P(modes_targets, rows_match_the_voxels)
{
    std::mt19937 rng(20261208u);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const int X = 29, Y = 21, Z = 13, nx = 41, ny = 13, nz = 11;
    std::vector<float> src(std::size_t(X) * Y * Z);
    int interior = 0;
    for (int c = 0; c < 72; ++c) {
        const mode m = mode(c % mode_count);
        for (std::size_t i = 0; i < src.size(); ++i) {
            const unsigned r = rng() % 16;
            src[i] = r == 0 ? -0.0f : r == 1 ? NAN : r == 2 ? -INFINITY : r == 3 ? 1e-41f : 40.0f * u(rng);
        }
        float matrix[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
        const int kind = (c / mode_count) % 3;
        const float reach = c % 4 == 3 ? 60.0f : 4.0f;
        if (kind == 0) {
            for (int a = 0; a < 3; ++a)
                matrix[4 * a + 3] = std::round(reach * u(rng));
        } else {
            const float t = 0.6f * u(rng);
            matrix[0] = std::cos(t), matrix[1] = -std::sin(t), matrix[4] = std::sin(t), matrix[5] = std::cos(t);
            matrix[3] = reach * u(rng), matrix[7] = reach * u(rng), matrix[11] = std::round(reach * u(rng));
            if (kind == 2)
                for (int a = 0; a < 3; ++a)
                    for (int j = 0; j < 3; ++j)
                        matrix[4 * a + j] += 0.3f * u(rng);
        }
        if (c % 11 == 7)
            matrix[4 * (c % 3) + 1] = c % 2 ? NAN : INFINITY;
        const float spacing[3] = {1.0f, 1.0f, 1.0f};
        part p;
        p.in = whole_box(src.data(), X, Y, Z);
        p.map.spacing = spacing, p.map.out_spacing = spacing, p.map.matrix = matrix;
        const int bad = rows_differ(
            p, c, nx, ny, nz, [&](const part &q) { moded_linear_on(target_count, q, m); },
            [&](const part &q) { moded_linear_on(GetParam(), q, m); }, interior);
        EXPECT_EQ(bad, 0) << "case " << c << " mode " << mode_names[m] << " kind " << kind;
    }
    EXPECT_GT(interior, 100000);
}

INSTANTIATE_TEST_SUITE_P(kernel, modes_targets, every_target(), target_label);

} // namespace
