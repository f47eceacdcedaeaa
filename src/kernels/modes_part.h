// The linear, nearest and label rules under a boundary mode (modes.h): one
// scalar kernel, per voxel with 64-bit offsets as the cubic rows, so every
// target runs it and gives its bits. The linear rule's rows
// go by modes_rows.h on the CPU's target, which hands this code only the
// voxels its lanes do not take.
#pragma once

#include "kernels/label.h"
#include "vocab/modes.h"
#include "vocab/part.h"

// The part's rows under mode m: with t null, the linear rule from p.in.src
// into p.win.out (float32, the fill p.fill.value where a voxel maps
// nowhere); else t's rule on its elements (the fill t->fill). Each index
// is extended against the whole source's extents, then read in the box (a
// tile's, or the whole), at any reach: offsets are 64-bit.
void moded_part(const part &p, mode m, const typed *t);

// One voxel of the linear rule by the general code above: o its offset in
// the window, c its continuous source position.
using moded_voxel = void (*)(const part &p, mode m, std::int64_t o, float cx, float cy, float cz);
// The linear rule's rows on one target (modes_rows.h): voxels
// whose samples need no extension in blocks, every other one by `voxel`.
// Every target gives the bits of moded_voxel alone.
using moded_rows_fn = void (*)(const part &p, mode m, moded_voxel voxel);
// moded_part's linear rule on the given target (kernels/dispatch.h), or voxel
// by voxel for target_count: what the tests compare.
void moded_linear_on(int target, const part &p, mode m);
