// Where a voxel reads, for every rule and every target: its position in the
// source, its class on each axis, and the box test; terms.h the samples and
// weight factors of its terms in their fixed order, lanes.h the AVX-512
// target's lanes of them. The rules only combine the terms (resample_rows.h,
// label_rows.h, kernels/linear_avx512.h); reach.cpp bounds the reads of
// whole blocks with the same positions and classes.
//
// Internal linkage throughout, as in resample_rows.h: each target's
// compilation (kernels/target.cpp) has its own copy.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vocab/part.h"

namespace {

// ---- Positions ---------------------------------------------------------------

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

// The output position of grid index i along an axis of spacing o.
inline float position(int i, float o) { return float(i) * o; }

// The fixed products of source axis a (0 X, 1 Y, 2 Z) of the map g along
// the output row at positions py, pz, single precision.
inline void at_row(axis_map &m, const grid_map &g, int a, float py, float pz)
{
    m.a = g.matrix[4 * a + 1] * py, m.b = g.matrix[4 * a + 2] * pz;
}

// Source axis a of the map g along that row.
inline axis_map axis_of(const grid_map &g, int a, float py, float pz)
{
    const float *r = g.matrix + 4 * a, s = g.spacing[a];
    axis_map m = {r[0], 0, 0, r[3], s, exact_inverse(s)};
    at_row(m, g, a, py, pz);
    return m;
}

// Single precision, one rounding per operation; the division comes last.
// V is float or a vector of floats (one voxel per lane).
template <class V> inline V numerator(const axis_map &a, V px) { return ((a.m * px + a.a) + a.b) + a.t; }

template <class V> inline V coordinate(const axis_map &a, V px)
{
    const V u = numerator(a, px);
    return a.inv != 0 ? u * a.inv : u / a.s;
}

// coordinate()'s division over n numerators: a loop of its own, so the
// choice stays out of the vectorised loops.
inline void divide(float *c, int n, const axis_map &a)
{
    if (a.inv != 0) {
        const float v = a.inv;
        for (int i = 0; i < n; ++i)
            c[i] *= v;
    } else {
        const float v = a.s;
        for (int i = 0; i < n; ++i)
            c[i] /= v;
    }
}

// ---- Classes -----------------------------------------------------------------

enum { outside, low, inside, high };

// Class of one axis from the truncated continuous index i0 on an axis of
// extent e.
inline int class_of(std::int64_t i0, std::int64_t e)
{
    const std::int64_t i1 = i0 + 1;
    if (i1 < 0 || i1 > e)
        return outside;
    if (i0 == -1)
        return low;
    if (i1 == e)
        return high;
    return inside;
}

// Class of one axis from the continuous index c on an axis of extent e;
// i0 receives c truncated toward zero. The float test comes first: a NaN
// or a value beyond the int32 range has no defined truncation.
inline int classify(float c, int e, int &i0)
{
    if (!(c > -2147483648.0f && c < 2147483648.0f))
        return outside;
    i0 = static_cast<int>(c);
    return class_of(i0, e);
}

// The planes a voxel of class k (not outside) reads along the axis: from
// first_plane, i0 inside and the border on a face, to last_plane, i0 + 1
// inside.
inline std::int64_t first_plane(int k, std::int64_t i0, std::int64_t e)
{
    return k == inside ? i0 : k == low ? 0 : e - 1;
}
inline std::int64_t last_plane(int k, std::int64_t i0, std::int64_t e)
{
    return k == inside ? i0 + 1 : first_plane(k, i0, e);
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

// split()'s view of one axis of a part: the clamp [lo, hi] of the
// truncation, within the box and no further than an interior voxel's i0
// goes (top, interior_top); above it f >= 1 tells the voxel apart, or it
// could only read past the box; below it f < least (least_fraction).
struct clamp {
    float lo, hi, least, top;
};

// The clamp of an axis of extent e whose box holds n planes from plane b.
inline clamp clamp_of(int e, int b, int n)
{
    clamp k;
    k.lo = above(b), k.least = least_fraction(b), k.top = interior_top(e);
    // A box axis too short for a sample pair has no interior voxels.
    k.hi = n < 2 ? -std::numeric_limits<float>::infinity() : std::min(k.top, below(b + n - 2));
    return k;
}

// One axis of a voxel. The clamp (NaN to lo) makes the truncation defined
// and keeps i and i + 1 in the box, yet leaves interior coordinates whose
// samples the box holds as they truncate; of those, exactly the interior
// ones give least <= f < 1. Returns whether the axis is interior.
inline int split(float c, const clamp &k, int &i, float &f)
{
    i = int(std::min(std::max(k.lo, c), k.hi));
    f = c - float(i);
    return (f >= k.least) & (f < 1.0f);
}

// Beyond (-2, above(e)) on any axis a voxel reads nothing.
inline bool in_band(float c, float e) { return c > -2.0f && c < e; }

// Whether all n coordinates c lie at or below -2 or all at or above e,
// as both ends do where c is monotone.
inline bool beyond(const float *c, int n, float e)
{
    return (c[0] <= -2.0f && c[n - 1] <= -2.0f) || (c[0] >= e && c[n - 1] >= e);
}

// ---- The source and its box --------------------------------------------------

// A part's source as its voxels' classes see it, fixed for the part.
struct frame {
    const source_box *in;
    bool empty;           // no samples at all
    bool boxed;           // the box is not the whole volume
    clamp ax, ay, az;     // split()'s clamps of X, Y, Z
    int row, slice;       // strides in samples; 0 on a box axis of extent 1
    std::int64_t span;    // samples from the first to one past the furthest
};

inline frame frame_of(const source_box &in)
{
    frame g;
    g.in = &in;
    g.empty = in.X <= 0 || in.Y <= 0 || in.Z <= 0;
    g.boxed = in.bx != 0 || in.by != 0 || in.bz != 0 || in.bnx != in.X || in.bny != in.Y || in.bnz != in.Z;
    g.ax = clamp_of(in.X, in.bx, in.bnx), g.ay = clamp_of(in.Y, in.by, in.bny), g.az = clamp_of(in.Z, in.bz, in.bnz);
    // A stride of a box axis of extent 1 never steps: any value will do there.
    g.row = in.bny > 1 ? int(in.row) : 0, g.slice = in.bnz > 1 ? int(in.slice) : 0;
    g.span = g.empty ? 0 : std::int64_t(in.bnz - 1) * g.slice + std::int64_t(in.bny - 1) * g.row + in.bnx;
    return g;
}

// Whether the part's boxes leave room for interior voxels: an extent of 1
// has none, nor has a box axis too short for a sample pair.
inline bool has_interior(const frame &g)
{
    return g.in->X > 1 && g.in->Y > 1 && g.in->Z > 1 && g.ax.lo <= g.ax.hi && g.ay.lo <= g.ay.hi &&
           g.az.lo <= g.az.hi;
}

// The box index of sample (z, y, x).
inline std::int64_t index_of(const frame &g, int z, int y, int x)
{
    const source_box &b = *g.in;
    return std::int64_t(z - b.bz) * g.slice + std::int64_t(y - b.by) * g.row + (x - b.bx);
}

// Whether the samples a voxel of these classes reads lie in the box: i0 and
// i0 + 1 on an inside axis, the border plane on a face.
inline bool in_box(const source_box &in, int kx, int x0, int ky, int y0, int kz, int z0)
{
    auto reach = [](int k, int i0, int e, int b, int n) {
        return first_plane(k, i0, e) >= b && last_plane(k, i0, e) < std::int64_t(b) + n;
    };
    return reach(kx, x0, in.X, in.bx, in.bnx) && reach(ky, y0, in.Y, in.by, in.bny) &&
           reach(kz, z0, in.Z, in.bz, in.bnz);
}

// The nearest rule's sample along an axis whose box holds planes [lo, hi):
// c + 0.5 is exact in double (c is a float below 2^31 in magnitude wherever
// it matters), and on [lo, hi) its truncation is its floor, halves upward.
// The plane is clamped into the box (NaN to its low end); `held` says
// whether it lay there. Branch-free, for the compiler to vectorise.
inline int nearest_plane(float c, double lo, double hi, int &held)
{
    const double d = double(c) + 0.5;
    held = (d >= lo) & (d < hi);
    return int(std::min(std::max(lo, d), hi - 1));
}

} // namespace
