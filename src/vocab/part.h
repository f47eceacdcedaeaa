// One volume's share of a call: some rows of a window of the output grid,
// each voxel placed by the whole grid's index, mapped into the source and
// classed by the whole source volume's extents, so that a voxel's bits never
// depend on the window, the rows or the box of source samples held.
#pragma once

#include <cstdint>

// Source samples: those of the box of extents bnx, bny, bnz from (bx, by,
// bz) in the whole volume of extents X, Y, Z. Sample (z, y, x) of the volume
// is src[(z - bz) * slice + (y - by) * row + (x - bx)]: strides in samples,
// never negative, unused on a box axis of extent 1, the furthest sample
// below 2^31. A box that is not the whole volume must hold every sample the
// window's voxels read; a voxel that would read outside it is left as one
// that maps nowhere.
struct source_box {
    const float *src;
    std::int64_t slice, row;
    int X, Y, Z;
    int bx, by, bz, bnx, bny, bnz;
};

// The window: extents nx, ny, nz from the output grid's voxel (x, y, z);
// voxel (k, j, i) of the grid at out[(k - z) * slice + (j - y) * row +
// (i - x)]. The part computes the window's rows q = (k - z) * ny + (j - y)
// with first <= q < last.
struct out_window {
    float *out;
    std::int64_t slice, row;
    int x, y, z, nx, ny, nz;
    int first, last;
};

// With `on`, every voxel of the part's rows that maps nowhere is set to
// `value`; without, it keeps what it held.
struct out_fill {
    bool on;
    float value;
};

// Source spacing (it divides), output spacing (it places the voxels), both
// along X, Y, Z; the 3x4 output-to-source map, row by row.
struct grid_map {
    const float *spacing, *out_spacing, *matrix;
};

struct part {
    source_box in;
    out_window win;
    out_fill fill;
    grid_map map;
};

// A dense volume of extents X, Y, Z held whole at src.
source_box whole_box(const float *src, int X, int Y, int Z);
// Every row of a dense grid of extents X, Y, Z at out.
out_window whole_window(float *out, int X, int Y, int Z);
// A whole dense volume resampled onto its own grid: the module's call, one
// volume at a time, voxels that map nowhere not written.
part whole_volume(const float *src, float *out, int X, int Y, int Z, const float *spacing, const float *matrix);
