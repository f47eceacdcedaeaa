// Boundary modes, with scipy.ndimage's names: how an axis is read beyond
// its edges. One enum and one table of names for every layer.
#pragma once

#include <cstdint>
#include <string>

// "nearest" is nearest_edge here: the rules (rules.h) have a nearest of their own.
enum mode { constant, grid_constant, nearest_edge, mirror, reflect, grid_wrap, mode_count };

constexpr const char *mode_names[mode_count] = {"constant", "grid-constant", "nearest",
                                                "mirror",   "reflect",       "grid-wrap"};

// The names for a message: "constant", "grid-constant", ...
inline std::string mode_list()
{
    std::string s;
    for (int m = 0; m < mode_count; ++m)
        s += std::string(m ? ", \"" : "\"") + mode_names[m] + "\"";
    return s;
}

// What an extension gives for the fill (grid-constant beyond the edges).
constexpr std::int64_t fill_index = -1;

// The index in [0, n) that sample i of an axis of extent n (1 to 2^62)
// reads under mode m, or fill_index. Any int64 i: remainders, never a sum
// that could overflow. "constant" reads as "mirror" here: its fill applies only where
// a sample lies beyond the edges, a question for the rule that samples.
inline std::int64_t extend(mode m, std::int64_t i, std::int64_t n)
{
    if (i >= 0 && i < n)
        return i;
    // The remainder of i by p, in [0, p): i % p keeps the sign of i.
    auto wrap = [i](std::int64_t p) {
        const std::int64_t r = i % p;
        return r < 0 ? r + p : r;
    };
    switch (m) {
    case grid_constant:
        return fill_index;
    case nearest_edge:
        return i < 0 ? 0 : n - 1;
    case reflect: {  // about the half-sample edges, period 2n
        const std::int64_t r = wrap(2 * n);
        return r < n ? r : 2 * n - 1 - r;
    }
    case grid_wrap:
        return wrap(n);
    default: {  // mirror, constant: about the edge samples, period 2n - 2
        if (n == 1)
            return 0;
        const std::int64_t r = wrap(2 * n - 2);
        return r < n ? r : 2 * n - 2 - r;
    }
    }
}
