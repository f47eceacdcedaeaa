// interpolation="cubic": the cubic B-spline through the prefilter's
// coefficients (axis_filter.h), one float32 result per voxel.
#pragma once

#include "modes.h"
#include "part.h"

// The part's rows from the coefficients of the whole source volume at
// p.in.src (the box must be the whole): each voxel the spline's value at
// its source position, or p.fill.value where it maps nowhere. `m` extends
// the coefficients beyond the edges; under "grid-constant" a coefficient
// there is p.fill.value. One scalar kernel serves every path: the same
// bits on every CPU.
void cubic_part(const part &p, mode m);
