// What the tests of the kernel's targets share: a fixture over every target this
// build has and this CPU runs, the bit comparison, and the rows of a part
// run by a reference and by the target under test.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vocab/part.h"
#include "kernels/table.h"
#include "kernels/dispatch.h"

namespace {

// Same bits, NaN as NaN.
inline bool same(float a, float b)
{
    std::uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return (std::isnan(a) && std::isnan(b)) || x == y;
}

inline int mismatches(const std::vector<float> &want, const std::vector<float> &got)
{
    int n = 0;
    for (std::size_t i = 0; i < want.size(); ++i)
        n += !same(want[i], got[i]);
    return n;
}

// The tests of one target of the build: one the CPU cannot run is skipped.
class target_test : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (!target_usable(GetParam()))
            GTEST_SKIP() << "this CPU lacks " << target_name(GetParam());
    }
};

inline std::string target_label(const ::testing::TestParamInfo<int> &i) { return target_name(i.param); }

// Every target of the build's list (CMakeLists.txt: vx_targets).
inline auto every_target() { return ::testing::Range(0, int(target_count)); }

constexpr float blank = 1e30f, fill_value = -7.5f;

// Case c's rows of an nx * ny * nz window over p's source (cut at both
// ends, the fill on for even c), through `want` and then `got` (each given
// p): the voxels whose bits differ. Adds to `interior` the voxels `want`
// wrote other than the fill.
template <class F, class G> int rows_differ(part &p, int c, int nx, int ny, int nz, F want, G got, int &interior)
{
    p.fill.on = c % 2 == 0, p.fill.value = fill_value;
    std::vector<float> a(std::size_t(nx) * ny * nz, blank), b(a);
    p.win = whole_window(a.data(), nx, ny, nz);
    p.win.first = c % 3, p.win.last = ny * nz - c % 5;
    want(p);
    p.win.out = b.data();
    got(p);
    for (float v : a)
        interior += v != blank && v != fill_value;
    return mismatches(a, b);
}

} // namespace
