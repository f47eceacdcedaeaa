// The anti-aliasing Gaussian of axis_filter.h in one read of the source.
#pragma once

#include "engine/axis_filter.h"
#include "engine/block.h"

// filter_volumes of the block b's volumes (extents b.d[0], at[2].n,
// at[1].n, at[0].n), read as floats, into `out`, dense: the same bits,
// with b left as it is. Each job is a slab of out's slices, each source
// slice it reads read once, filtered along X and Y in cache, and the Z
// pass run over a ring of those. m must not read the fill (the anti-aliasing
// Gaussian's callers mirror the constant modes). On up to `threads`
// threads (the bits never depend on them), go() between slices; false when
// its buffers cannot be had or go() stopped it (out then part-written).
bool smooth_volumes(const block &b, float *out, const axis_place at[3], const taps *const h[3], mode m,
                    int threads, const go_fn &go = always);
