// interpolation="cubic": the cubic B-spline through the prefilter's
// coefficients (axis_filter.h), one float32 result per voxel.
#pragma once

#include <cstdint>

#include "vocab/modes.h"
#include "vocab/part.h"
#include "vocab/taps.h"

// Under "nearest" and "grid-constant" the coefficients beyond the edges are
// the prefilter's own sums there, over the samples the mode extends: those
// modes filter the source grown by this many samples on every side (past
// them every sum reads the same samples as the last). The other modes'
// coefficients extend by the mode, as their samples do.
constexpr int cubic_pad = spline_reach + 1;
inline int pad_of(mode m) { return m == nearest_edge || m == grid_constant ? cubic_pad : 0; }

// The coefficients held along one axis for a box of n samples from `origin`
// in a whole of extent `whole`: the box's, grown by `pad` beyond each edge of
// the whole it reaches. Their first index in the whole, and their count.
struct coef_span {
    std::int64_t lo, n;
};
inline coef_span coef_span_of(int pad, std::int64_t origin, std::int64_t n, std::int64_t whole)
{
    const std::int64_t before = origin == 0 ? pad : 0, after = origin + n == whole ? pad : 0;
    return {origin - before, n + before + after};
}

// The part's rows from the coefficients at p.in.src of the box of the
// source p.in places (in.row and in.slice the coefficients' strides), grown
// by `pad` (pad_of(m)) beyond the edges of the whole it reaches
// (coef_span_of): each voxel the spline's value at its source position, or
// p.fill.value where it maps nowhere. The box must hold every coefficient
// the window reads (a voxel that would read past it is left as one that
// maps nowhere). Runs the best target of the CPU (kernels/dispatch.h); every
// target gives the scalar one's bits.
void cubic_part(const part &p, mode m, int pad);

// One target's cubic rows and the filters' lines of axis_filter.cpp
// (axis_lines.h), in kernels/table.h: the same bits on every target.
using cubic_fn = void (*)(const part &p, mode m, int pad);
using lines_fn = void (*)(float *p, std::int64_t step, std::int64_t W, std::int64_t n, const double *h,
                          std::int64_t K, const std::int64_t *r, float fill, double *ext);
