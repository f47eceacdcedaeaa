// The kernel's instruction-set paths and the pieces they share. Every path
// gives the same bits; resample_trilinear runs the best one the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>

// One volume's share of a call: the output rows q = z * Y + y with
// first <= q < last. Source sample (z, y, x) is src[z * slice + y * row + x]:
// strides in samples, never negative, unused on an axis of extent 1, the
// furthest sample below 2^31. The output is the volume's own dense Z * Y * X
// floats. With `clear`, every voxel of those rows that maps nowhere is set
// to 0; without, it keeps its value.
struct part {
    const float *src;
    std::int64_t slice, row;
    float *out;
    int X, Y, Z;
    int first, last;
    bool clear;
};

using part_fn = void (*)(const part &p, const float *spacing, const float *matrix);
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
// A row count for a caller that splits one volume among threads: ranges
// that start at multiples of it keep the kernel's tiles of whole slices
// whole (see tile_slices). Any range gives the same bits; in a range that
// cuts a tile, the cut slices are walked row by row, in plain order, slower.
int rows_per_chunk(const part &p, const float *spacing, const float *matrix);

void resample_scalar(const part &p, const float *spacing, const float *matrix);
void resample_avx2(const part &p, const float *spacing, const float *matrix);
void resample_avx512(const part &p, const float *spacing, const float *matrix);

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

// One output row: its volume, its destination and the three maps.
struct row_job {
    const float *src;
    float *out;
    int X, Y, Z;
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
// have left L1 and L2 when the next output slice comes back to them. On the
// 256^3 turn about Y (avx512, edges walked out, prefetching as below) 32
// and 64 measured 4.1 ns per voxel, 16 4.5; at 64 a tile's lines on one
// source row outgrow the 64 ways L2 gives lines a slice of 256 KiB apart.
// Rows that cross source rows too (the oblique map) measured no faster
// tiled in the kernel alone and slower in the whole call, and rows that
// stay within a source slice reuse their lines from the row before.
inline int tile_slices(const float *m, const float *s, int X)
{
    const double rows = std::fabs(double(m[4]) * s[0] / s[1] * X);
    const double slices = std::fabs(double(m[8]) * s[0] / s[2] * X);
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
// rows away (the oblique map: 5.3 ns per voxel without prefetching, 4.6
// unrounded, 3.8 rounded). In tiles the row on comes a tile's rows later;
// the slice on comes a slice's rows later, when its lines have left L2 but
// wait in L3.
inline std::ptrdiff_t fetch_ahead_of(const float *m, const float *s, int X, int Y, int row, int slice)
{
    if (s[0] == 0 || s[1] == 0 || s[2] == 0)
        return 0;
    const double across = std::fabs(double(m[4]) * s[0] / s[1] * X) + std::fabs(double(m[8]) * s[0] / s[2] * X) +
                          std::fabs(double(m[9]) * s[1] / s[2] * Y);
    if (!(across >= 1))
        return 0;
    const int k = tile_slices(m, s, X) > 1 ? 1 : 2;  // column of the output axis stepped
    const double dx = std::round(double(m[k]) * s[k] / s[0]);
    const double dy = std::round(double(m[4 + k]) * s[k] / s[1]);
    const double dz = std::round(double(m[8 + k]) * s[k] / s[2]);
    const double d = dx + dy * row + dz * slice;
    return d > -1e15 && d < 1e15 ? std::ptrdiff_t(d) : 0;
}

// Voxels per prefetch along a row: 8, or 4 where the row crosses more than
// three source rows and slices in eight voxels (the oblique map: 3.8 ns per
// voxel against 4.5 every eighth). Denser measured slower (the oblique map
// every second voxel 3.9, the turn about Z every fourth 3.5 against 3.4).
inline int fetch_every(const float *m, const float *s)
{
    const double crossed = std::fabs(double(m[4]) * s[0] / s[1]) + std::fabs(double(m[8]) * s[0] / s[2]);
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

// Walks the part's rows, forming each row's fixed products (the same
// single-precision products as per voxel, so nothing changes), and hands
// every row to do_row: rows of partly covered slices in order, whole slices
// in tiles of tile_slices (see rows_per_chunk).
template <class F>
inline void each_row(const part &p, const float *spacing, const float *m, F &&do_row)
{
    const int Z = p.Z, Y = p.Y, X = p.X;
    if (Z <= 0 || Y <= 0 || X <= 0 || p.first >= p.last)
        return;
    const float s0 = spacing[0], s1 = spacing[1], s2 = spacing[2];
    row_job r;
    r.src = p.src;
    r.X = X, r.Y = Y, r.Z = Z;
    // A stride of an axis of extent 1 never steps: any value will do there.
    r.row = Y > 1 ? int(p.row) : 0, r.slice = Z > 1 ? int(p.slice) : 0;
    r.span = std::int64_t(Z - 1) * r.slice + std::int64_t(Y - 1) * r.row + X;
    r.topx = interior_top(X), r.topy = interior_top(Y), r.topz = interior_top(Z);
    r.ahead = fetch_ahead_of(m, spacing, X, Y, r.row, r.slice);
    r.every = fetch_every(m, spacing);
    r.mx = {m[0], 0, 0, m[3], s0, exact_inverse(s0)};
    r.my = {m[4], 0, 0, m[7], s1, exact_inverse(s1)};
    r.mz = {m[8], 0, 0, m[11], s2, exact_inverse(s2)};
    auto one = [&](int z, int y) {
        const float pz = float(z) * s2, py = float(y) * s1;
        r.mx.b = m[2] * pz, r.my.b = m[6] * pz, r.mz.b = m[10] * pz;
        r.mx.a = m[1] * py, r.my.a = m[5] * py, r.mz.a = m[9] * py;
        r.out = p.out + (std::ptrdiff_t(z) * Y + y) * X;
        if (p.clear)
            std::memset(r.out, 0, std::size_t(X) * 4);
        do_row(r);
    };
    const int tile = tile_slices(m, spacing, X);
    const int zf = int((std::int64_t(p.first) + Y - 1) / Y), zl = p.last / Y;  // whole slices
    if (zf >= zl || tile <= 1) {
        for (int q = p.first; q < p.last; ++q)
            one(q / Y, q % Y);
        return;
    }
    for (int q = p.first; q < zf * Y; ++q)
        one(q / Y, q % Y);
    for (int z0 = zf, z1; z0 < zl; z0 = z1) {
        z1 = zl - z0 < tile ? zl : z0 + tile;
        for (int y = 0; y < Y; ++y)
            for (int z = z0; z < z1; ++z)
                one(z, y);
    }
    for (int q = zl * Y; q < p.last; ++q)
        one(q / Y, q % Y);
}

} // namespace
