#include "engine/boxes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "engine/axis_filter.h"
#include "vocab/fpmode.h"
#include "vocab/rules.h"
#include "vocab/sizes.h"

namespace {

// The reach beyond the samples along an axis of factor d: the Gaussian's K
// (as the call's antialias takes d), plus the prefilter's for cubic.
std::int64_t margin(double d, const reach_rule &r)
{
    d = std::isfinite(d) ? std::min(d, factor_limit) : 1.0;
    return std::int64_t(gaussian_taps(d).size() / 2) + (r.cubic ? spline_reach : 0);
}

// Volume map g's margins along X, Y, Z.
void margins(const grid_map &g, const reach_rule &r, std::int64_t K[3])
{
    double d[3] = {1.0, 1.0, 1.0};
    if (r.smooth)
        smoothing_factors(g.matrix, g.spacing, g.out_spacing, d);
    for (int a = 0; a < 3; ++a)
        K[a] = margin(d[a], r);
}

// The output grid's chunks along X, Y, Z: n[a] edges e[a], and the
// positions of each chunk's first and last voxel (corners).
struct chunks {
    const std::int64_t *e[3];
    std::int64_t n[3];
    std::vector<float> p[3];
};

// Whether a volume maps nowhere: an axis whose every coordinate is NaN or
// infinite.
bool nowhere(const grid_map &g)
{
    const float *sp = g.spacing, *map = g.matrix;
    bool dead = false;
    for (int a = 0; a < 3; ++a)
        dead = dead || sp[a] == 0 || std::isnan(sp[a]) || std::isnan(map[4 * a]) || std::isnan(map[4 * a + 1]) ||
               std::isnan(map[4 * a + 2]) || std::isnan(map[4 * a + 3]);
    return dead;
}

// Widens each block's box at `at` (six values per block, Z, Y, X) to hold
// what the block reads in one volume of map g.
void bound_volume(const grid_map &g, const std::int64_t E[3], const chunks &k, const reach_rule &r,
                  std::int64_t *at)
{
    if (nowhere(g))
        return;
    std::int64_t K[3];
    margins(g, r, K);
    const std::int64_t *ex = k.e[0], *ey = k.e[1], *ez = k.e[2];
    std::int64_t got[3][2];
    for (std::int64_t bz = 0; bz + 1 < k.n[2]; ++bz)
        for (std::int64_t by = 0; by + 1 < k.n[1]; ++by)
            for (std::int64_t bx = 0; bx + 1 < k.n[0]; ++bx, at += 6) {
                if (ez[bz] == ez[bz + 1] || ey[by] == ey[by + 1] || ex[bx] == ex[bx + 1])
                    continue;  // no voxels
                if (!corner_reach(g, E, &k.p[0][2 * bx], &k.p[1][2 * by], &k.p[2][2 * bz], got, r,
                                  r.cubic || r.moded || r.smooth ? K : nullptr))
                    continue;
                for (int a = 0; a < 3; ++a) {  // the box is Z, Y, X
                    std::int64_t *b = at + 2 * (2 - a);
                    const bool fresh = b[0] < 0;
                    b[0] = fresh ? got[a][0] : std::min(b[0], got[a][0]);
                    b[1] = fresh ? got[a][1] : std::max(b[1], got[a][1]);
                }
            }
}

} // namespace

bool window_box(const std::int64_t extents[3], const float *spacing, const float *output_spacing,
                const float *map, const std::int64_t window[6], std::int64_t box[6])
{
    grid_map g;
    g.spacing = spacing, g.out_spacing = output_spacing, g.matrix = map;
    if (window[0] >= window[1] || window[2] >= window[3] || window[4] >= window[5] || nowhere(g))
        return false;
    const std::int64_t E[3] = {extents[2], extents[1], extents[0]};
    float p[3][2];  // X, Y, Z, as corners() places them
    for (int a = 0; a < 3; ++a) {
        const std::int64_t *e = window + 2 * (2 - a);
        p[a][0] = out_position(int(e[0]), output_spacing[a]), p[a][1] = out_position(int(e[1] - 1), output_spacing[a]);
    }
    std::int64_t got[3][2];
    if (!corner_reach(g, E, p[0], p[1], p[2], got))
        return false;
    for (int a = 0; a < 3; ++a)  // the box is Z, Y, X
        box[2 * (2 - a)] = got[a][0], box[2 * (2 - a) + 1] = got[a][1];
    return true;
}

bool output_box(const std::int64_t extents[3], const std::int64_t out[3], const float *spacing,
                const float *output_spacing, const float *maps, std::int64_t count, int rule, bool moded, int m,
                bool smooth, std::int64_t box[6])
{
    reach_rule r;
    r.cubic = rule == cubic, r.moded = !r.cubic && moded, r.near = rule == nearest, r.m = mode(m);
    r.smooth = smooth;
    const std::int64_t e[3][2] = {{0, out[2]}, {0, out[1]}, {0, out[0]}};  // X, Y, Z
    const std::int64_t E[3] = {extents[2], extents[1], extents[0]};
    chunks k;
    try {
        for (int a = 0; a < 3; ++a)
            k.e[a] = e[a], k.n[a] = 2, k.p[a] = corners(e[a], 2, output_spacing[a]);
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::fill(box, box + 6, std::int64_t(-1));
    for (std::int64_t v = 0; v < count; ++v) {
        grid_map g;
        g.spacing = spacing, g.out_spacing = output_spacing, g.matrix = maps + 12 * v;
        bound_volume(g, E, k, r, box);
    }
    return box[0] >= 0;
}

bool points_reach(int rule, bool moded, int m, float lo, float hi, std::int64_t E, std::int64_t &first,
                  std::int64_t &last)
{
    reach_rule r;
    r.cubic = rule == cubic, r.moded = !r.cubic && moded, r.near = rule == nearest, r.m = mode(m);
    const float c[8] = {lo, hi, lo, hi, lo, hi, lo, hi};
    const std::int64_t K = margin(1.0, r);
    return axis_reach(r, c, E, K, first, last);
}

void block_boxes(const std::int64_t extents[3], const float *spacing, const float *output_spacing,
                 const float *maps, std::int64_t count, const std::int64_t *const edges[4], const std::int64_t n[4],
                 const reach_rule &rule, std::int64_t *box)
{
    const float *sp = spacing, *osp = output_spacing, *m = maps;
    const std::int64_t *ext = extents, *en = edges[0], *ez = edges[1], *ey = edges[2], *ex = edges[3];
    const std::int64_t nn = n[0], nz = n[1], ny = n[2], nx = n[3];
    std::fill(box, box + (nn - 1) * (nz - 1) * (ny - 1) * (nx - 1) * 6, std::int64_t(-1));
    // The kernel's arithmetic in its defined mode, whatever the caller's.
    const fp_scope mode;
    chunks k;
    k.e[0] = ex, k.e[1] = ey, k.e[2] = ez, k.n[0] = nx, k.n[1] = ny, k.n[2] = nz;
    k.p[0] = corners(ex, nx, osp[0]), k.p[1] = corners(ey, ny, osp[1]), k.p[2] = corners(ez, nz, osp[2]);
    const std::int64_t E[3] = {ext[2], ext[1], ext[0]};  // X, Y, Z
    for (std::int64_t bn = 0; bn + 1 < nn; ++bn)
        for (std::int64_t v = en[bn]; v < en[bn + 1]; ++v) {
            grid_map g;
            g.spacing = sp, g.out_spacing = osp, g.matrix = m + (count == 1 ? 0 : 12 * v);
            bound_volume(g, E, k, rule, box + bn * (nz - 1) * (ny - 1) * (nx - 1) * 6);
        }
}
