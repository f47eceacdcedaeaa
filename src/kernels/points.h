// The kernel's geometry (geometry.h, terms.h) that a warp and its boxes
// need at single points, compiled once into the kernel library so that
// geometry.h stays in the kernels.
#pragma once

#include <cstdint>

// The output positions of voxels (z, y, x0 + i), i < n, as the kernel
// places them along output spacings o (X, Y, Z): x, y and z, n each.
void row_positions(const float *o, std::int64_t z, std::int64_t y, std::int64_t x0, int n, float *x, float *py,
                   float *pz);

// The planes [lo, hi] one point reads along each axis (X, Y, Z), as
// warp_points.h's rules read them; false where it reads none.
bool footprint(int rule, float c[3], const std::int64_t E[3], std::int64_t lo[3], std::int64_t hi[3]);

// Whether a point at c (X, Y, Z) maps on axes of extents E under a mode
// (its coordinates not NaN; under "constant", within each axis).
bool point_maps(const float c[3], const std::int64_t E[3], bool constant);
