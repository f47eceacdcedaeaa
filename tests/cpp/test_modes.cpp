// The boundary modes' index extension against a walk that folds an index
// back one reflection or wrap at a time, and at the ends of int64.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "vocab/modes.h"

namespace {

std::int64_t walk(mode m, std::int64_t i, std::int64_t n)
{
    const bool inside = i >= 0 && i < n;
    if (m == grid_constant)
        return inside ? i : fill_index;
    if (m == nearest_edge)
        return i < 0 ? 0 : inside ? i : n - 1;
    if ((m == mirror || m == constant) && n == 1)
        return 0;
    while (i < 0 || i >= n) {
        if (m == grid_wrap)
            i += i < 0 ? n : -n;
        else if (m == reflect)
            i = i < 0 ? -1 - i : 2 * n - 1 - i;
        else
            i = i < 0 ? -i : 2 * n - 2 - i;
    }
    return i;
}

std::int64_t period(mode m, std::int64_t n)
{
    return m == grid_wrap ? n : m == reflect ? 2 * n : n == 1 ? 1 : 2 * n - 2;
}

TEST(Modes, SmallIndicesFoldAsTheWalkDoes)
{
    for (int m = 0; m < mode_count; ++m)
        for (std::int64_t n = 1; n <= 7; ++n)
            for (std::int64_t i = -60; i <= 60; ++i)
                ASSERT_EQ(extend(mode(m), i, n), walk(mode(m), i, n)) << mode_names[m] << " n=" << n << " i=" << i;
}

TEST(Modes, TheEndsOfInt64)
{
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min(), hi = std::numeric_limits<std::int64_t>::max();
    for (int m = 0; m < mode_count; ++m)
        for (std::int64_t n : {std::int64_t(1), std::int64_t(2), std::int64_t(3), std::int64_t(1000003),
                               (std::int64_t(1) << 31) - 1})
            for (std::int64_t i : {lo, lo + 1, hi - 1, hi}) {
                const mode md = mode(m);
                if (md == grid_constant || md == nearest_edge) {
                    ASSERT_EQ(extend(md, i, n), walk(md, i, n));
                    continue;
                }
                // i and its remainder by the period read the same sample.
                ASSERT_EQ(extend(md, i, n), walk(md, i % period(md, n), n)) << mode_names[m] << " n=" << n;
            }
}

} // namespace
