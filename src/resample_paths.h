// The kernel's instruction-set paths and the pieces they share. Every path
// gives the same bits; resample_trilinear runs the best one the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

#include "part.h"

using part_fn = void (*)(const part &p);
// The whole call of resample_trilinear: every volume of a dense image.
using kernel_fn = void (*)(const float *image, const std::int64_t *dims, const float *spacing,
                           const float *matrix, float *out);

enum { path_scalar, path_avx2, path_avx512, path_count };

// The path's kernel, or nullptr when this build lacks it.
part_fn path_part(int path);
kernel_fn path_kernel(int path);
// Whether this CPU (and its operating system) can run the path.
bool path_usable(int path);
const char *path_name(int path);
// The path resample_trilinear runs, chosen once on first use.
int best_path();
// That path's part function.
part_fn best_part();
// A row count for a caller that splits a window among threads: ranges
// that start at multiples of it keep the kernel's tiles of whole slices
// whole (see tile_slices). Any range gives the same bits; in a range that
// cuts a tile, the cut slices are walked row by row, in plain order, slower.
int rows_per_chunk(const part &p);

void resample_scalar(const part &p);
void resample_avx2(const part &p);
void resample_avx512(const part &p);

// Everything below has internal linkage on purpose: the per-target files are
// compiled with wider instruction sets, and a shared inline symbol could let
// the linker hand their code to a CPU without them.
#include "geometry.h"

namespace {

// One output row: the part's source as the classes see it (frame), where
// the row lies and the three maps with the row's fixed products.
struct row_job : frame {
    float *out;              // voxel x0 + i of the row at out[i]; null when the part has none
    std::int64_t at;         // the row's first element in the window's output
    int x0, n;               // the row's first voxel in the whole grid, its length
    float ox;                // output spacing along X
    std::ptrdiff_t ahead;    // fetch_ahead_of
    int every;               // fetch_every
    axis_map mx, my, mz;
};

// Output slices walked together, row by row across them: 32 where a row
// crosses source slices more often than source rows (a turn about Y), else
// 1. Such a row's samples lie on a few rows of many slices, and the row one
// output slice on reads nearly the same lines; slice by slice, those lines
// have left L1 and L2 when the next output slice comes back to them. Much
// deeper tiles put more lines of one source row in a set than L2 has ways.
// Rows that cross source rows too (the oblique map) gain nothing tiled, and
// rows that stay within a source slice reuse their lines from the row
// before ("Design measurements" in docs/performance.md).
inline int tile_slices(const part &p)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    const double rows = std::fabs(double(m[4]) * o[0] / s[1] * p.win.nx);
    const double slices = std::fabs(double(m[8]) * o[0] / s[2] * p.win.nx);
    return slices >= 2 && slices >= rows ? 32 : 1;
}

// Roughly how far, in samples, to prefetch ahead of a voxel's samples: to
// those of the voxel one output row on where slices are walked in tiles (see
// tile_slices), else one output slice on; 0 for none. A row that walks
// across source rows or slices, or a slice whose rows do, reaches each
// fresh line diagonally, in an order no hardware prefetcher follows, and at
// 256^3 those first touches, not the arithmetic, set the pace; the rows of
// a shift read the source in order and go without. The step is rounded per
// source axis, so the fetched 2 x 2 sample rows are the future voxel's,
// give or take one; summed unrounded, the step's fraction of a slice lands
// rows away. In tiles the row on comes a tile's rows later;
// the slice on comes a slice's rows later, when its lines have left L2 but
// wait in L3.
inline std::ptrdiff_t fetch_ahead_of(const part &p, int row, int slice)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    if (s[0] == 0 || s[1] == 0 || s[2] == 0)
        return 0;
    const int X = p.win.nx, Y = p.win.ny;
    const double across = std::fabs(double(m[4]) * o[0] / s[1] * X) + std::fabs(double(m[8]) * o[0] / s[2] * X) +
                          std::fabs(double(m[9]) * o[1] / s[2] * Y);
    if (!(across >= 1))
        return 0;
    const int k = tile_slices(p) > 1 ? 1 : 2;  // column of the output axis stepped
    const double dx = std::round(double(m[k]) * o[k] / s[0]);
    const double dy = std::round(double(m[4 + k]) * o[k] / s[1]);
    const double dz = std::round(double(m[8 + k]) * o[k] / s[2]);
    const double d = dx + dy * row + dz * slice;
    return d > -1e15 && d < 1e15 ? std::ptrdiff_t(d) : 0;
}

// Voxels per prefetch along a row: 8, or 4 where the row crosses more than
// three source rows and slices in eight voxels; denser prefetching only
// adds instructions ("Design measurements" in docs/performance.md).
inline int fetch_every(const part &p)
{
    const float *m = p.map.matrix, *s = p.map.spacing, *o = p.map.out_spacing;
    const double crossed = std::fabs(double(m[4]) * o[0] / s[1]) + std::fabs(double(m[8]) * o[0] / s[2]);
    return crossed * 8 > 3 ? 4 : 8;
}

// Prefetches, into L2, the 2 x 2 sample rows r.ahead samples on from the
// sample index i (see fetch_ahead_of), on GCC and Clang; elsewhere nothing.
// The addresses are formed as integers: they may lie outside the image,
// where a prefetch does nothing. Callers loop over it in their own bodies:
// GCC 12 took a function holding only such a loop for one without effects
// and dropped its calls.
inline void fetch(const row_job &r, std::ptrdiff_t i)
{
#if defined(__GNUC__)
    const std::uintptr_t q = reinterpret_cast<std::uintptr_t>(r.in->src) + 4 * std::uintptr_t(i + r.ahead);
    const std::uintptr_t row = 4 * std::uintptr_t(r.row), plane = 4 * std::uintptr_t(r.slice);
    __builtin_prefetch(reinterpret_cast<const void *>(q), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + row), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + plane), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + plane + row), 0, 2);
#else
    (void)r, (void)i;
#endif
}

// What a part's rows share.
inline row_job job_of(const part &p)
{
    row_job r;
    static_cast<frame &>(r) = frame_of(p.in);
    r.x0 = p.win.x, r.n = p.win.nx, r.ox = p.map.out_spacing[0];
    r.ahead = r.empty ? 0 : fetch_ahead_of(p, r.row, r.slice);
    r.every = fetch_every(p);
    r.mx = axis_of(p.map, 0, 0, 0), r.my = axis_of(p.map, 1, 0, 0), r.mz = axis_of(p.map, 2, 0, 0);
    return r;
}

// Sets r to row q of the part's window: the maps' fixed products (the same
// single-precision products as per voxel, so nothing changes), where it is
// written, and the fill.
inline void start_row(const part &p, row_job &r, int q)
{
    const int ny = p.win.ny, z = p.win.z + q / ny, y = p.win.y + q % ny;
    const float py = position(y, p.map.out_spacing[1]), pz = position(z, p.map.out_spacing[2]);
    at_row(r.mx, p.map, 0, py, pz), at_row(r.my, p.map, 1, py, pz), at_row(r.mz, p.map, 2, py, pz);
    r.at = (q / ny) * p.win.slice + (q % ny) * p.win.row;
    // A part of another element type (label.h) writes through its own
    // pointer and fills its own rows.
    r.out = p.win.out ? p.win.out + r.at : nullptr;
    if (p.fill.on && r.out)
        std::fill(r.out, r.out + r.n, p.fill.value);
}

// Hands one(q) every row q of the part: rows of partly covered slices in
// order, whole slices in tiles of tile_slices (see rows_per_chunk).
template <class F> inline void walk_rows(const part &p, F &&one)
{
    const int ny = p.win.ny, first = p.win.first, last = p.win.last;
    const int tile = tile_slices(p);
    const int zf = int((std::int64_t(first) + ny - 1) / ny), zl = last / ny;  // whole slices
    if (zf >= zl || tile <= 1) {
        for (int q = first; q < last; ++q)
            one(q);
        return;
    }
    for (int q = first; q < zf * ny; ++q)
        one(q);
    for (int z0 = zf, z1; z0 < zl; z0 = z1) {
        z1 = zl - z0 < tile ? zl : z0 + tile;
        for (int y = 0; y < ny; ++y)
            for (int z = z0; z < z1; ++z)
                one(z * ny + y);
    }
    for (int q = zl * ny; q < last; ++q)
        one(q);
}

// Hands every row of the part to do_row, in walk_rows' order. Rows of an
// empty source only take the fill.
template <class F> inline void each_row(const part &p, F &&do_row)
{
    const out_window &w = p.win;
    if (w.nx <= 0 || w.ny <= 0 || w.nz <= 0 || w.first >= w.last)
        return;
    row_job r = job_of(p);
    walk_rows(p, [&](int q) {
        start_row(p, r, q);
        if (!r.empty)
            do_row(r);
    });
}

} // namespace
