// The kernel's instruction-set paths and the pieces they share. Every path
// gives the same bits; resample_trilinear runs the best one the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

// One volume's share of a call: some rows of a window of the output grid,
// each voxel placed by the whole grid's index, mapped into the source and
// classed by the whole source volume's extents, so that a voxel's bits never
// depend on the window, the rows or the box of source samples held.
struct part {
    // Source samples: those of the box of extents bnx, bny, bnz from
    // (bx, by, bz) in the whole volume of extents X, Y, Z. Sample (z, y, x)
    // of the volume is src[(z - bz) * slice + (y - by) * row + (x - bx)]:
    // strides in samples, never negative, unused on a box axis of extent 1,
    // the furthest sample below 2^31. A box that is not the whole volume
    // must hold every sample the window's voxels read; a voxel that would
    // read outside it is left as one that maps nowhere.
    const float *src;
    std::int64_t slice, row;
    int X, Y, Z;
    int bx, by, bz, bnx, bny, bnz;
    // The window: extents wnx, wny, wnz from (wx, wy, wz) in the output
    // grid; voxel (z, y, x) of the grid at out[(z - wz) * oslice +
    // (y - wy) * orow + (x - wx)]. This part computes the window's rows
    // q = (z - wz) * wny + (y - wy) with first <= q < last.
    float *out;
    std::int64_t oslice, orow;
    int wx, wy, wz, wnx, wny, wnz;
    int first, last;
    // With `fill`, every voxel of those rows that maps nowhere is set to
    // `value`; without, it keeps what it held.
    bool fill;
    float value;
    // Source spacing (it divides), output spacing (it places the voxels),
    // both along X, Y, Z; the 3x4 output-to-source map, row by row.
    const float *spacing, *out_spacing, *matrix;
};

// A whole dense volume of extents X, Y, Z resampled onto its own grid: the
// module's call, one volume at a time, voxels that map nowhere not written.
part whole_volume(const float *src, float *out, int X, int Y, int Z, const float *spacing,
                  const float *matrix);

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
namespace {

// One source axis of the map: c = (((m * p + a) + b) + t) / s, where p is
// the output x position and a, b the row's fixed products. inv is 1 / s
// where that is exact, else 0.
struct axis_map {
    float m, a, b, t, s, inv;
};

// 1 / s when s is a power of two whose reciprocal is a float too; then
// u * inv and u / s are the same real number, rounded once the same way,
// for every u (NaN, infinities and subnormal results included). 0 for any
// other s: those keep the division, which is the slowest step per voxel.
inline float exact_inverse(float s)
{
    std::uint32_t b;
    std::memcpy(&b, &s, 4);
    const std::uint32_t e = (b >> 23) & 0xff;
    // Normal powers of two: zero fraction. Exponents 2^-126 .. 2^127 have
    // reciprocals 2^126 .. 2^-127, all floats (the last one subnormal).
    if ((b & 0x7fffff) != 0 || e == 0 || e == 0xff)
        return 0.0f;
    return 1.0f / s;
}

// One output row: its source, its destination and the three maps.
struct row_job {
    const float *src;
    float *out;              // voxel x0 + i of the row at out[i]; null when the part has none
    std::int64_t at;         // the row's first element in the window's output
    int x0, n;               // the row's first voxel in the whole grid, its length
    float ox;                // output spacing along X
    int X, Y, Z;             // the whole source volume
    int bx, by, bz;          // the box's origin (part::bx...)
    int bnx, bny, bnz;       // and extents
    bool boxed;              // the box is not the whole volume
    float lox, loy, loz;     // box_low: first box index of each axis, as floats
    float fx0, fy0, fz0;     // least interior fraction of each axis (see each_row)
    float hix, hiy, hiz;     // box_top: where interior voxels' i0 ends
    int row, slice;          // source strides in samples
    std::int64_t span;       // samples from the first to one past the furthest
    float topx, topy, topz;  // interior_top of X, Y, Z
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
    const float *m = p.matrix, *s = p.spacing, *o = p.out_spacing;
    const double rows = std::fabs(double(m[4]) * o[0] / s[1] * p.wnx);
    const double slices = std::fabs(double(m[8]) * o[0] / s[2] * p.wnx);
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
    const float *m = p.matrix, *s = p.spacing, *o = p.out_spacing;
    if (s[0] == 0 || s[1] == 0 || s[2] == 0)
        return 0;
    const int X = p.wnx, Y = p.wny;
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
    const float *m = p.matrix, *s = p.spacing, *o = p.out_spacing;
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
    const std::uintptr_t q = reinterpret_cast<std::uintptr_t>(r.src) + 4 * std::uintptr_t(i + r.ahead);
    const std::uintptr_t row = 4 * std::uintptr_t(r.row), plane = 4 * std::uintptr_t(r.slice);
    __builtin_prefetch(reinterpret_cast<const void *>(q), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + row), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + plane), 0, 2);
    __builtin_prefetch(reinterpret_cast<const void *>(q + plane + row), 0, 2);
#else
    (void)r, (void)i;
#endif
}

// Largest float below e - 1: for a float c > -1, c <= interior_top(e) says
// that c truncates into [0, e - 2], the interior, without truncating it.
// An axis of extent 1 has no interior.
inline float interior_top(int e)
{
    if (e < 2)
        return -std::numeric_limits<float>::infinity();
    float f = float(e - 1);  // rounds once e - 1 passes 2^24
    if (double(f) >= double(e - 1)) {
        std::uint32_t bits;  // f > 0: one step down is one less in the bits
        std::memcpy(&bits, &f, 4);
        bits -= 1;
        std::memcpy(&f, &bits, 4);
    }
    return f;
}

// Smallest float at or above v (v >= 0): for a float c, c < v exactly when
// c < above(v), a float comparison the compiler can vectorise.
inline float above(int v)
{
    float h = float(v);
    if (double(h) < double(v)) {
        std::uint32_t b;  // h > 0: one step up is one more in the bits
        std::memcpy(&b, &h, 4);
        b += 1;
        std::memcpy(&h, &b, 4);
    }
    return h;
}

// Largest float at or below v (v >= 0).
inline float below(int v)
{
    float h = float(v);
    if (double(h) > double(v)) {
        std::uint32_t b;
        std::memcpy(&b, &h, 4);
        b -= 1;
        std::memcpy(&h, &b, 4);
    }
    return h;
}

// The least f of split() that an interior voxel gives on an axis whose box
// starts at plane b. Below the box's first plane the clamp leaves f < 0: at
// the whole source's plane 0 that is c in (-1, 0), interior (it truncates to
// 0); past a first plane b > 0, c in (b - 1, b) truncates to b - 1, which
// the box lacks, and c below it reads lower still.
inline float least_fraction(int b) { return b == 0 ? std::nextafter(-1.0f, 0.0f) : 0.0f; }

// Walks the part's rows, forming each row's fixed products (the same
// single-precision products as per voxel, so nothing changes), and hands
// every row to do_row: rows of partly covered slices in order, whole slices
// in tiles of tile_slices (see rows_per_chunk). Rows of an empty source
// only take the fill.
template <class F> inline void each_row(const part &p, F &&do_row)
{
    const int wny = p.wny, nx = p.wnx;
    if (nx <= 0 || wny <= 0 || p.wnz <= 0 || p.first >= p.last)
        return;
    const float *m = p.matrix;
    const float s0 = p.spacing[0], s1 = p.spacing[1], s2 = p.spacing[2];
    const float o0 = p.out_spacing[0], o1 = p.out_spacing[1], o2 = p.out_spacing[2];
    const bool empty = p.X <= 0 || p.Y <= 0 || p.Z <= 0;
    row_job r;
    r.src = p.src;
    r.x0 = p.wx, r.n = nx, r.ox = o0;
    r.X = p.X, r.Y = p.Y, r.Z = p.Z;
    r.bx = p.bx, r.by = p.by, r.bz = p.bz, r.bnx = p.bnx, r.bny = p.bny, r.bnz = p.bnz;
    r.boxed = p.bx != 0 || p.by != 0 || p.bz != 0 || p.bnx != p.X || p.bny != p.Y || p.bnz != p.Z;
    // The clamp of split(): within the box, and no further than an interior
    // voxel's i0 goes (interior_top). Above it f >= 1 tells the voxel apart,
    // or it could only read past the box; below it f < 0, see least_fraction.
    r.lox = above(p.bx), r.loy = above(p.by), r.loz = above(p.bz);
    r.fx0 = least_fraction(p.bx), r.fy0 = least_fraction(p.by), r.fz0 = least_fraction(p.bz);
    r.topx = interior_top(p.X), r.topy = interior_top(p.Y), r.topz = interior_top(p.Z);
    // A box axis too short for a sample pair has no interior voxels.
    const float none = -std::numeric_limits<float>::infinity();
    r.hix = p.bnx < 2 ? none : std::min(r.topx, below(p.bx + p.bnx - 2));
    r.hiy = p.bny < 2 ? none : std::min(r.topy, below(p.by + p.bny - 2));
    r.hiz = p.bnz < 2 ? none : std::min(r.topz, below(p.bz + p.bnz - 2));
    // A stride of a box axis of extent 1 never steps: any value will do there.
    r.row = p.bny > 1 ? int(p.row) : 0, r.slice = p.bnz > 1 ? int(p.slice) : 0;
    r.span = empty ? 0 : std::int64_t(p.bnz - 1) * r.slice + std::int64_t(p.bny - 1) * r.row + p.bnx;
    r.ahead = empty ? 0 : fetch_ahead_of(p, r.row, r.slice);
    r.every = fetch_every(p);
    r.mx = {m[0], 0, 0, m[3], s0, exact_inverse(s0)};
    r.my = {m[4], 0, 0, m[7], s1, exact_inverse(s1)};
    r.mz = {m[8], 0, 0, m[11], s2, exact_inverse(s2)};
    auto one = [&](int q) {
        const int z = p.wz + q / wny, y = p.wy + q % wny;
        const float pz = float(z) * o2, py = float(y) * o1;
        r.mx.b = m[2] * pz, r.my.b = m[6] * pz, r.mz.b = m[10] * pz;
        r.mx.a = m[1] * py, r.my.a = m[5] * py, r.mz.a = m[9] * py;
        r.at = (q / wny) * p.oslice + (q % wny) * p.orow;
        // A part of another element type (label.h) writes through its own
        // pointer and fills its own rows.
        r.out = p.out ? p.out + r.at : nullptr;
        if (p.fill && p.out)
            std::fill(r.out, r.out + nx, p.value);
        if (!empty)
            do_row(r);
    };
    const int tile = tile_slices(p);
    const int zf = int((std::int64_t(p.first) + wny - 1) / wny), zl = p.last / wny;  // whole slices
    if (zf >= zl || tile <= 1) {
        for (int q = p.first; q < p.last; ++q)
            one(q);
        return;
    }
    for (int q = p.first; q < zf * wny; ++q)
        one(q);
    for (int z0 = zf, z1; z0 < zl; z0 = z1) {
        z1 = zl - z0 < tile ? zl : z0 + tile;
        for (int y = 0; y < wny; ++y)
            for (int z = z0; z < z1; ++z)
                one(z * wny + y);
    }
    for (int q = zl * wny; q < p.last; ++q)
        one(q);
}

} // namespace
