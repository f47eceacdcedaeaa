// The build's targets and the CPU's choice among them. Every target gives
// the same bits; resample_trilinear runs the widest one the CPU has.
#pragma once

#include <cstdint>

#include "vocab/part.h"
#include "vx_targets.h"

using part_fn = void (*)(const part &p);
// The whole call of resample_trilinear: every volume of a dense image.
using kernel_fn = void (*)(const float *image, const std::int64_t *dims, const float *spacing,
                           const float *matrix, float *out);

// The build's targets (CMakeLists.txt: vx_targets), narrowest first.
#define VX_TARGET_ENUM(t, cpu) target_##t,
enum { VX_TARGETS(VX_TARGET_ENUM) target_count };
#undef VX_TARGET_ENUM

struct kernel_table;
// The target's kernels (kernels/table.h), or nullptr for no target.
const kernel_table *target_table(int t);
// Whether this CPU (and its operating system) can run target t.
bool target_usable(int t);
const char *target_name(int t);
// The target resample_trilinear runs, chosen once on first use.
int best_target();
// That target's kernels.
const kernel_table &best_table();
// A row count for a caller that splits a window among threads: ranges
// that start at multiples of it keep the kernel's tiles of whole slices
// whole (see tile_slices). Any range gives the same bits; in a range that
// cuts a tile, the cut slices are walked row by row, in plain order, slower.
int rows_per_chunk(const part &p);
