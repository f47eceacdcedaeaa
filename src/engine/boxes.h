// The source boxes of a chunked output grid, for vexiloimgc.dask: the
// samples each block's voxels read, from the kernel's own coordinates
// (kernels/reach.h). Needs no interpreter.
#pragma once

#include <cstdint>

#include "kernels/reach.h"

// source_boxes (edge/boxes_entry.h) for its checked arguments: extents Z,
// Y, X; spacing, output_spacing; `count` maps (12 floats each; one for
// every volume); the chunks' edges along N, Z, Y, X (n[a] each) and the
// reach. Fills `box` (blocks along N, Z, Y, X, 6) with each block's box, or
// -1 throughout, in the kernel's floating-point mode whatever the caller's.
void block_boxes(const std::int64_t extents[3], const float *spacing, const float *output_spacing,
                 const float *maps, std::int64_t count, const std::int64_t *const edges[4], const std::int64_t n[4],
                 const reach_rule &rule, std::int64_t *box);

// The same box for one output window [z0, z1) x [y0, y1) x [x0, x1) of a
// volume under one map (12 floats), the whole source's extents Z, Y, X:
// (z0, z1, y0, y1, x0, x1) into `box`, or false when the window's voxels all
// map nowhere. To be called in the kernel's floating-point mode (fp_scope).
bool window_box(const std::int64_t extents[3], const float *spacing, const float *output_spacing,
                const float *map, const std::int64_t window[6], std::int64_t box[6]);

// The box of the whole source (extents Z, Y, X) that an output grid of
// extents Z, Y, X reads through `count` maps (12 floats each) under `rule`
// (rules.h), mode m (modes.h; `moded` false for mode None) and antialias
// (`smooth`), grown as source_boxes grows a block's: (z0, z1, y0, y1, x0,
// x1) into `box`, or false when no voxel reads a sample. To be called in
// the kernel's floating-point mode.
bool output_box(const std::int64_t extents[3], const std::int64_t out[3], const float *spacing,
                const float *output_spacing, const float *maps, std::int64_t count, int rule, bool moded, int m,
                bool smooth, std::int64_t box[6]);

// A warp's block along one axis of extent E (> 0), under rule (rules.h)
// and mode m (modes.h; `moded` false for mode None, cubic's "constant"):
// the planes [first, last) that points whose coordinates along it lie in
// [lo, hi] read, grown and extended as source_boxes grows a block's box
// under the same rule and mode. Only for cubic, or with `moded`; lo and hi
// not NaN. False where they read none.
bool points_reach(int rule, bool moded, int m, float lo, float hi, std::int64_t E, std::int64_t &first,
                  std::int64_t &last);
