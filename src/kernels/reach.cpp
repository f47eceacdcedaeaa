#include "kernels/reach.h"

#include <algorithm>
#include <cmath>

#include "kernels/geometry.h"
#include "vocab/taps.h"

namespace {

// The source planes [first, last) one axis of a window reads, from the
// coordinates c at its eight corners; false for none. c and its truncation
// are monotone, so the window reads no plane beyond those its extremes
// read, clamped to the axis's classes: the low band at -1, the high band
// at E - 1.
bool reach(const float c[8], std::int64_t E, std::int64_t &first, std::int64_t &last)
{
    float lo = c[0], hi = c[0];
    for (int i = 0; i < 8; ++i) {
        if (std::isnan(c[i])) {  // infinities met (inf - inf, 0 * inf): the whole axis
            first = 0, last = E;
            return E > 0;
        }
        lo = std::min(lo, c[i]), hi = std::max(hi, c[i]);
    }
    // Clamped first: a float beyond the int64 range has no defined truncation.
    auto trunc = [](float v) { return std::int64_t(std::min(std::max(double(v), -0x1p40), 0x1p40)); };
    const std::int64_t i = std::max<std::int64_t>(trunc(lo), -1), j = std::min<std::int64_t>(trunc(hi), E - 1);
    if (E <= 0 || i > j)
        return false;
    first = first_plane(class_of(i, E), i, E);
    last = last_plane(class_of(j, E), j, E) + 1;
    return last > first;
}

// Where a window's corner coordinates c put one axis of extent E under mode
// m: nowhere (no plane, or every voxel maps nowhere), the whole axis (a NaN
// corner: an infinity met), [first, last) then [0, E), or the span from lo
// to hi, the least and greatest coordinates clamped to +-2^40 and, under
// "constant", to [0, E - 1].
enum class axis_span { none, whole, part };

axis_span axis_extremes(const float c[8], std::int64_t E, mode m, double &lo, double &hi, std::int64_t &first,
                        std::int64_t &last)
{
    if (E <= 0)
        return axis_span::none;
    lo = c[0], hi = c[0];
    for (int i = 0; i < 8; ++i) {
        if (std::isnan(c[i])) {
            first = 0, last = E;
            return axis_span::whole;
        }
        lo = std::min(lo, double(c[i])), hi = std::max(hi, double(c[i]));
    }
    lo = std::min(std::max(lo, -0x1p40), 0x1p40), hi = std::min(std::max(hi, -0x1p40), 0x1p40);
    if (m == constant) {  // beyond [0, E - 1] a voxel maps nowhere
        if (hi < 0.0 || lo > double(E - 1))
            return axis_span::none;
        lo = std::max(lo, 0.0), hi = std::min(hi, double(E - 1));
    }
    return axis_span::part;
}

// The linear, nearest and label rules under mode m: the planes [first,
// last) one axis of a window reads, grown by K; false for none. The
// footprint at the extreme coordinates (floor(c) to ceil(c), plane i0 + 1
// being left out where c is whole; floor(c + 0.5) for nearest) extended by
// the mode: "nearest" reads the edge sample, "grid-constant" nothing past
// the edges, "mirror" and "reflect" past one edge by less than the axis
// the planes folded back; past both, or further, and where "grid-wrap"
// reads past an edge or its Gaussian would, the whole axis.
bool moded_reach(const float c[8], std::int64_t E, mode m, bool near, std::int64_t K, std::int64_t &first,
                 std::int64_t &last)
{
    double lo, hi;
    if (const axis_span s = axis_extremes(c, E, m, lo, hi, first, last); s != axis_span::part)
        return s == axis_span::whole;
    std::int64_t i = std::int64_t(near ? std::floor(lo + 0.5) : std::floor(lo)),
                 j = std::int64_t(near ? std::floor(hi + 0.5) : std::ceil(hi));
    if (m == grid_constant) {
        if (j < 0 || i > E - 1)  // the fill alone
            return false;
        i = std::max<std::int64_t>(i, 0), j = std::min(j, E - 1);
    } else if (m == nearest_edge) {
        i = std::min(std::max<std::int64_t>(i, 0), E - 1), j = std::min(std::max<std::int64_t>(j, 0), E - 1);
    } else if ((m == mirror || m == reflect) && (i >= 0 || j <= E - 1) && i >= -(E - 1) - (m == reflect) &&
               j <= 2 * (E - 1) + (m == reflect)) {
        // Past one edge by less than the axis: the planes folded back, the
        // extension monotone on either side of the edge.
        std::int64_t a = E, b = -1;
        auto cover = [&](std::int64_t u, std::int64_t v) {
            const std::int64_t x = extend(m, u, E), y = extend(m, v, E);
            a = std::min({a, x, y}), b = std::max({b, x, y});
        };
        if (i < 0)
            cover(i, std::min<std::int64_t>(j, -1));
        if (j > E - 1)
            cover(std::max(i, E), j);
        if (i <= E - 1 && j >= 0)
            cover(std::max<std::int64_t>(i, 0), std::min(j, E - 1));
        i = a, j = b;
    } else if (i < 0 || j > E - 1 || (m == grid_wrap && (i - K < 0 || j + K > E - 1))) {
        first = 0, last = E;
        return true;
    }
    first = std::max<std::int64_t>(i - K, 0), last = std::min(j + K, E - 1) + 1;
    return true;
}

// cubic: the source planes [first, last) whose coefficients one axis of a
// window reads, grown by K, the filters' reach; false for none. Where the
// mode reads the far side of the axis or a mirrored part past a few planes,
// the whole axis: the box stays simple and sound, and only blocks near an
// edge grow.
bool cubic_reach(const float c[8], std::int64_t E, mode m, std::int64_t K, std::int64_t &first,
                 std::int64_t &last)
{
    double lo, hi;
    if (const axis_span s = axis_extremes(c, E, m, lo, hi, first, last); s != axis_span::part)
        return s == axis_span::whole;
    std::int64_t i = std::int64_t(std::floor(lo)) - 1, j = std::int64_t(std::floor(hi)) + 2;
    const bool whole = m == grid_wrap ? i < 0 || j > E - 1 || i - K < 0 || j + K > E - 1
                                      : (m == mirror || m == reflect || m == constant) && (i < -2 || j > E + 1);
    if (whole) {
        first = 0, last = E;
        return true;
    }
    if (m == nearest_edge || m == grid_constant) {
        // Grown coefficients: the prefilter's samples past an edge are the
        // edge's (or the fill), and the Gaussian smoothed the edge's from
        // those within its own reach of it.
        const std::int64_t G = K - spline_reach;
        first = std::max(std::min(std::max(i - spline_reach, std::int64_t(0)), E - 1) - G, std::int64_t(0));
        last = std::min(std::min(std::max(j + spline_reach, std::int64_t(0)), E - 1) + G, E - 1) + 1;
        return true;
    }
    if (m != grid_wrap) {
        // Mirrored within two planes of the edge they pass.
        const std::int64_t a = i, b = j;
        i = std::max<std::int64_t>(a, 0), j = std::min(b, E - 1);
        if (b > E - 1)
            i = std::min(i, E - 1 - (b - (E - 1)));
        if (a < 0)
            j = std::max(j, -a);
    }
    first = std::min(std::max(i - K, std::int64_t(0)), E - 1);
    last = std::min(std::max(j + K, std::int64_t(0)), E - 1) + 1;
    return true;
}

} // namespace

std::vector<float> corners(const std::int64_t *e, std::int64_t n, float o)
{
    std::vector<float> p(2 * std::size_t(n - 1));
    for (std::int64_t j = 0; j + 1 < n; ++j) {
        p[2 * j] = position(int(e[j]), o);
        p[2 * j + 1] = position(int(std::max(e[j], e[j + 1] - 1)), o);
    }
    return p;
}


float out_position(int i, float o) { return position(i, o); }

bool corner_reach(const grid_map &g, const std::int64_t E[3], const float *px, const float *py, const float *pz,
                  std::int64_t got[3][2], const reach_rule &r, const std::int64_t *K)
{
    float c[8];
    for (int a = 0; a < 3; ++a) {
        for (int j = 0; j < 8; ++j)  // corner j: bit 0 x, 1 y, 2 z
            c[j] = coordinate(axis_of(g, a, py[j >> 1 & 1], pz[j >> 2]), px[j & 1]);
        if (r.cubic || r.moded) {
            if (r.cubic ? !cubic_reach(c, E[a], r.m, K[a], got[a][0], got[a][1])
                        : !moded_reach(c, E[a], r.m, r.near, K[a], got[a][0], got[a][1]))
                return false;
            continue;
        }
        if (!reach(c, E[a], got[a][0], got[a][1]))
            return false;
        if (K)  // the Gaussian's reach, clipped to the volume
            got[a][0] = std::max<std::int64_t>(got[a][0] - K[a], 0), got[a][1] = std::min(got[a][1] + K[a], E[a]);
    }
    return true;
}


bool axis_reach(const reach_rule &r, const float c[8], std::int64_t E, std::int64_t K, std::int64_t &first,
                std::int64_t &last)
{
    return r.cubic ? cubic_reach(c, E, r.m, K, first, last) : moded_reach(c, E, r.m, r.near, K, first, last);
}
