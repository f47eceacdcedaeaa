// The source boxes of a chunked warp's blocks, from each block's points
// carried through the steps as the warp carries them, on raw memory; the
// edge (edge/warp_boxes.h) reads the arguments and holds the result.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/warp.h"
#include "kernels/points.h"
#include "vocab/go.h"

// Under a mode, and for cubic: the least and greatest coordinates along
// each axis of the points that map (NaN and, under "constant", outside
// points read nothing), which boxes.cpp's points_reach grows.
struct extent_of {
    float lo[3], hi[3];
    bool any = false;
    void add(const float c[3], const std::int64_t E[3], bool constant)
    {
        if (!point_maps(c, E, constant))
            return;
        for (int k = 0; k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], c[k]) : c[k];
            hi[k] = any ? std::max(hi[k], c[k]) : c[k];
        }
        any = true;
    }
    void add(const extent_of &o)
    {
        for (int k = 0; o.any && k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], o.lo[k]) : o.lo[k];
            hi[k] = any ? std::max(hi[k], o.hi[k]) : o.hi[k];
        }
        any = any || o.any;
    }
};

constexpr std::int64_t no_plane = std::numeric_limits<std::int64_t>::max();

// What some points read: the planes [lo, hi] along X, Y, Z (lo no_plane where
// they read none), or under a mode and for cubic their extent.
struct found {
    std::int64_t lo[3] = {no_plane, no_plane, no_plane}, hi[3] = {-1, -1, -1};
    extent_of ext;
    void add(const found &o)
    {
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], o.lo[k]), hi[k] = std::max(hi[k], o.hi[k]);
        ext.add(o.ext);
    }
};

// The rule, its mode, and the source's extents along X, Y, Z.
struct reading_rule {
    int rule, m;
    bool moded, grown;
    std::int64_t E[3];
};

// The blocks of the output grid, numbered along N, Z, Y, X (X fastest):
// edges e[a], n[a] of them, along each.
struct grid_blocks {
    const std::int64_t *e[4];
    std::intptr_t n[4];
};

// A chunked warp's jobs: the rule read, the blocks, each block's jobs of
// about `chunk` points [first[b], first[b + 1]), job i's findings at got[i].
struct box_jobs {
    reading_rule r;
    grid_blocks g;
    std::int64_t chunk;
    std::vector<std::int64_t> first;
    std::vector<found> got;
};

// The jobs of `blocks` blocks of g over a source of extents sd (Z, Y, X),
// `points` points in all, on `threads`; false when they cannot be held.
bool box_jobs_of(const warp_chain &chain, const grid_blocks &g, const std::int64_t sd[3], std::int64_t blocks,
                 std::int64_t points, int threads, box_jobs &j);

// Every job on up to `threads` threads, go() between them, then each
// block's box (six values, Z, Y, X, half-open) into `box`, left as it is
// for a block that reads none; false, `box` untouched, when go() stopped
// them. Needs no interpreter.
bool run_box_jobs(const warp_chain &chain, box_jobs &j, int threads, const go_fn &go, std::int64_t *box);
