// The entry points of one target's kernels (target.cpp): every target's
// table has every entry, and each gives the scalar target's bits.
#pragma once

#include "kernels/cubic.h"
#include "kernels/label.h"
#include "kernels/modes_part.h"
#include "kernels/dispatch.h"
#include "vx_targets.h"
#include "kernels/warp_kernel.h"

// The Gaussian's Z pass over slices held apart (axis_lines.h's sum_slices).
using slices_fn = void (*)(const float *const *p, const double *h, std::int64_t K, float *out, std::int64_t n);

struct kernel_table {
    part_fn part;            // linear rows
    kernel_fn kernel;        // linear, every volume of a dense image whole
    label_fn labels;         // nearest and label rows
    cubic_fn cubic;          // cubic rows
    lines_fn lines;          // the filters' and the prefilter's lines
    moded_rows_fn moded;     // linear rows under a mode
    warp_field_fn field;     // a warp's field steps
    warp_linear_fn points;   // a warp's linear reads, mode None, whole source
    warp_reads_fn reads;     // a warp's reads under every rule and mode
    slices_fn slices;        // the Gaussian's Z sums over filtered slices
};

#define VX_TARGET_TABLE(t, cpu) \
    namespace vx_##t {          \
    extern const kernel_table table; \
    }
VX_TARGETS(VX_TARGET_TABLE)
#undef VX_TARGET_TABLE
