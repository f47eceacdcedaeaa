// Trilinear resampling of an image on its own grid through an affine map.
#pragma once

#include <cstdint>

// image, out: N*Z*Y*X floats, width fastest; out all zero on entry and never
// read. dims: N, Z, Y, X (only their low 32 bits count). spacing: X, Y, Z.
// matrix: 3x4 row by row, output physical point -> source physical point.
// Voxels that map nowhere are not written.
void resample_trilinear(const float *image, const std::int64_t *dims, const float *spacing,
                        const float *matrix, float *out);
