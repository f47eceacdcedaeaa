#include "engine/warp_boxes.h"

#include <new>

#include "engine/boxes.h"
#include "engine/workers.h"
#include "vocab/modes.h"
#include "vocab/rules.h"

namespace {

// Block b's first voxel along N, Z, Y, X and its extents.
void block_at(const grid_blocks &g, std::int64_t b, std::int64_t at[4], std::int64_t len[4])
{
    for (int a = 3; a >= 0; --a) {
        const std::int64_t k = b % (g.n[a] - 1);
        b /= g.n[a] - 1;
        at[a] = g.e[a][k], len[a] = g.e[a][k + 1] - g.e[a][k];
    }
}

// A block's jobs: its rows (volume, then Z, then Y) `per` at a time, each
// job about `chunk` points.
std::int64_t jobs_of(const std::int64_t len[4], std::int64_t chunk, std::int64_t &per)
{
    const std::int64_t rows = len[3] ? len[0] * len[1] * len[2] : 0;
    per = std::max<std::int64_t>(1, chunk / std::max<std::int64_t>(len[3], 1));
    return (rows + per - 1) / per;
}

// What the points of job j of block b read.
void job_reads(const warp_chain &chain, const reading_rule &r, const grid_blocks &g, std::int64_t b,
               std::int64_t j, std::int64_t chunk, found &f)
{
    std::int64_t at[4], len[4], per;
    block_at(g, b, at, len);
    jobs_of(len, chunk, per);
    const std::int64_t rows = len[0] * len[1] * len[2];
    float cx[256], cy[256], cz[256];
    for (std::int64_t q = j * per; q < std::min(rows, (j + 1) * per); ++q) {
        const std::int64_t v = at[0] + q / (len[1] * len[2]), z = at[1] + q / len[2] % len[1],
                           y = at[2] + q % len[2];
        for (std::int64_t x0 = at[3]; x0 < at[3] + len[3]; x0 += 256) {
            const int n = int(std::min<std::int64_t>(256, at[3] + len[3] - x0));
            chain_points(chain, v, z, y, x0, n, cx, cy, cz);
            for (int i = 0; i < n; ++i) {
                float c[3] = {cx[i], cy[i], cz[i]};
                if (r.grown) {
                    f.ext.add(c, r.E, r.m == constant);
                    continue;
                }
                std::int64_t a[3], e[3];
                if (!footprint(r.rule, c, r.E, a, e))
                    continue;
                for (int k = 0; k < 3; ++k)
                    f.lo[k] = std::min(f.lo[k], a[k]), f.hi[k] = std::max(f.hi[k], e[k]);
            }
        }
    }
}

// Block b's box at o from what its points read; false where they read none.
bool box_of(const reading_rule &r, found &f, std::int64_t *o)
{
    bool reads = f.ext.any;
    for (int k = 0; r.grown && reads && k < 3; ++k)
        if ((reads = points_reach(r.rule, r.moded, r.m, f.ext.lo[k], f.ext.hi[k], r.E[k], f.lo[k], f.hi[k])))
            --f.hi[k];  // [first, last) to the last plane
    if (r.grown ? !reads : f.hi[0] < 0)
        return false;
    o[0] = f.lo[2], o[1] = f.hi[2] + 1, o[2] = f.lo[1], o[3] = f.hi[1] + 1, o[4] = f.lo[0], o[5] = f.hi[0] + 1;
    return true;
}

// Block b's jobs of about `chunk` points are [first[b], first[b + 1]), job
// i's findings at got[i]; false when they cannot be held.
bool block_jobs(const grid_blocks &g, std::int64_t blocks, std::int64_t chunk, std::vector<std::int64_t> &first,
                std::vector<found> &got)
{
    try {
        first.resize(std::size_t(blocks) + 1);
        for (std::int64_t b = 0; b < blocks; ++b) {
            std::int64_t at[4], len[4], per;
            block_at(g, b, at, len);
            first[std::size_t(b) + 1] = first[std::size_t(b)] + jobs_of(len, chunk, per);
        }
        got.resize(std::size_t(first.back()));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// Each block's jobs met in order, into its box: the same planes for any
// thread count.
void merge_jobs(const reading_rule &r, const std::vector<std::int64_t> &first, const std::vector<found> &got,
                std::int64_t *box)
{
    for (std::size_t b = 0; b + 1 < first.size(); ++b) {
        found f;
        for (std::int64_t i = first[b]; i < first[b + 1]; ++i)
            f.add(got[std::size_t(i)]);
        box_of(r, f, box + 6 * b);
    }
}

} // namespace

bool box_jobs_of(const warp_chain &chain, const grid_blocks &g, const std::int64_t sd[3], std::int64_t blocks,
                 std::int64_t points, int threads, box_jobs &j)
{
    reading_rule &r = j.r;
    r.rule = chain_rule(chain), r.m = chain_mode(chain, r.moded), r.grown = r.rule == cubic || r.moded;
    r.E[0] = sd[2], r.E[1] = sd[1], r.E[2] = sd[0];
    j.g = g;
    // Jobs of about `chunk` points, enough for the threads to even out and
    // short enough for an interrupt to be seen soon.
    j.chunk = std::clamp(points / (std::int64_t(threads) * 8), std::int64_t(1) << 14, warp_job_points);
    return block_jobs(g, blocks, j.chunk, j.first, j.got);
}

bool run_box_jobs(const warp_chain &chain, box_jobs &j, int threads, const go_fn &go, std::int64_t *box)
{
    const bool whole = parallel(
        threads, j.first.back(),
        [&](std::int64_t i) {
            const std::int64_t b = std::upper_bound(j.first.begin(), j.first.end(), i) - j.first.begin() - 1;
            job_reads(chain, j.r, j.g, b, i - j.first[std::size_t(b)], j.chunk, j.got[std::size_t(i)]);
        },
        go);
    if (whole)
        merge_jobs(j.r, j.first, j.got, box);
    return whole;
}
