// Where a voxel reads, for every rule and every path: its position in the
// source, its class on each axis, the samples and weight factors of its
// terms in their fixed order, and the box test. The rules only combine the
// terms (resample_rows.h, label_rows.h, kernels/linear_avx512.h); boxes.cpp
// bounds the reads of whole blocks with the same positions and classes.
//
// Internal linkage throughout, as in resample_rows.h: each target's
// compilation (kernels/target.cpp) has its own copy. The vector forms at the end are the AVX-512
// path's lanes of the scalar functions beside them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vocab/part.h"

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__)
#include <immintrin.h>
#endif

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

// ---- Terms -------------------------------------------------------------------

template <int N> using ic = std::integral_constant<int, N>;

// The terms of an interior voxel, from its fractions f along X, Y, Z: each
// is use(t, k, factors...), the t-th term, reading corner k of the 2 x 2 x 2
// cell (bit 0 x1, bit 1 y1, bit 2 z1), with weight factors w1 = f and
// w0 = 1 - f in the order X, Y, Z. D is double or a vector of doubles.
template <class D, class F> inline void interior_terms(const D (&f)[3], F &&use)
{
    const D g0 = 1.0 - f[0], g1 = 1.0 - f[1], g2 = 1.0 - f[2];
    use(ic<0>(), ic<0>(), g0, g1, g2);
    use(ic<1>(), ic<1>(), f[0], g1, g2);
    use(ic<2>(), ic<2>(), g0, f[1], g2);
    use(ic<3>(), ic<3>(), f[0], f[1], g2);
    use(ic<4>(), ic<4>(), g0, g1, f[2]);
    use(ic<5>(), ic<5>(), f[0], g1, f[2]);
    use(ic<6>(), ic<6>(), g0, f[1], f[2]);
    use(ic<7>(), ic<7>(), f[0], f[1], f[2]);
}

// The four terms of a voxel on the face of axis A: corner k's bit of A is
// clear and stands for the border plane; no factor of A. On the Y and Z
// faces x1 leads, unlike the interior.
template <int A, class D, class F> inline void face_terms(const D (&f)[3], F &&use)
{
    if constexpr (A == 0) {
        const D g1 = 1.0 - f[1], g2 = 1.0 - f[2];
        use(ic<0>(), ic<0>(), g1, g2);
        use(ic<1>(), ic<2>(), f[1], g2);
        use(ic<2>(), ic<4>(), g1, f[2]);
        use(ic<3>(), ic<6>(), f[1], f[2]);
    } else {
        constexpr int v = 3 - A, V = 1 << v;  // the other axis
        const D g0 = 1.0 - f[0], gv = 1.0 - f[v];
        use(ic<0>(), ic<1>(), f[0], gv);
        use(ic<1>(), ic<0>(), g0, gv);
        use(ic<2>(), ic<V>(), g0, f[v]);
        use(ic<3>(), ic<V | 1>(), f[0], f[v]);
    }
}

// A voxel that reads samples: the face it lies on (-1 for none), the box
// index of its corner 0, its fractions.
struct cell {
    int face;
    std::int64_t at;
    double f[3];
};

// The offset of corner k from corner 0.
template <int K> inline std::int64_t corner(const frame &g, ic<K>)
{
    return (K & 1) + (K & 2 ? std::int64_t(g.row) : 0) + (K & 4 ? std::int64_t(g.slice) : 0);
}

// The cell of the voxel at (cx, cy, cz), or false when it maps nowhere:
// outside on an axis, on two faces or more, or reading past the box.
inline bool cell_of(const frame &g, float cx, float cy, float cz, cell &c)
{
    const source_box &b = *g.in;
    int x0 = 0, y0 = 0, z0 = 0;
    const int kx = classify(cx, b.X, x0), ky = classify(cy, b.Y, y0), kz = classify(cz, b.Z, z0);
    const int faces = (kx != inside) + (ky != inside) + (kz != inside);
    if (kx == outside || ky == outside || kz == outside || faces > 1)
        return false;
    if (g.boxed && !in_box(b, kx, x0, ky, y0, kz, z0))
        return false;
    c.face = kx != inside ? 0 : ky != inside ? 1 : kz != inside ? 2 : -1;
    c.at = index_of(g, int(first_plane(kz, z0, b.Z)), int(first_plane(ky, y0, b.Y)), int(first_plane(kx, x0, b.X)));
    c.f[0] = cx - float(x0), c.f[1] = cy - float(y0), c.f[2] = cz - float(z0);
    return true;
}

// The cell's terms, use(t, k, factors...) as in interior_terms.
template <class F> inline void each_term(const cell &c, F &&use)
{
    switch (c.face) {
    case 0: face_terms<0>(c.f, use); break;
    case 1: face_terms<1>(c.f, use); break;
    case 2: face_terms<2>(c.f, use); break;
    default: interior_terms(c.f, use); break;
    }
}

// ---- Under a boundary mode ---------------------------------------------------

// One axis of a voxel under a mode (modes.h): the low index i0 = floor(c)
// and the fraction f = c - i0, exact in double. The planes i0 and i0 + 1
// are read through the mode's extension, so no class or face band applies.
struct moded_axis {
    std::int64_t i0;
    double f;
};

// The axis at continuous index c on an axis of extent e, or false where the
// voxel maps nowhere: under "constant" outside [0, e - 1], under the others
// beyond 2^62 in magnitude, where floor has no int64; NaN under every mode.
// The cubic rule's footprint (cubic_axis_of), so the rules agree.
inline bool moded_axis_of(float c, std::int64_t e, bool constant, moded_axis &a)
{
    const double d = c;
    if (constant ? !(d >= 0.0 && d <= double(e - 1)) : !(d > -0x1p62 && d < 0x1p62))
        return false;
    const double f = std::floor(d);
    a.i0 = std::int64_t(f), a.f = d - f;
    return true;
}

// The nearest rule's index under a mode: floor(c + 0.5), as nearest_plane
// rounds (c + 0.5 is exact in double), for a c moded_axis_of accepts.
inline std::int64_t moded_nearest(float c) { return std::int64_t(std::floor(double(c) + 0.5)); }

// The terms of a voxel under a mode: use(k, w0, w1, w2) for each corner k of
// the cell (bit 0 x1, bit 1 y1, bit 2 z1) in increasing order, with the
// factors of interior_terms (1 - f for plane i0, f for i0 + 1), in the order
// X, Y, Z; a corner at i0 + 1 on an axis whose f is 0 is left out. A
// position on a sample then reads that sample alone, so its bits (-0.0
// included) come back whatever its neighbours hold.
template <class F> inline void moded_terms(const moded_axis (&a)[3], F &&use)
{
    const double w[3][2] = {{1.0 - a[0].f, a[0].f}, {1.0 - a[1].f, a[1].f}, {1.0 - a[2].f, a[2].f}};
    const int skip = (a[0].f == 0.0 ? 1 : 0) | (a[1].f == 0.0 ? 2 : 0) | (a[2].f == 0.0 ? 4 : 0);
    for (int k = 0; k < 8; ++k)
        if (!(k & skip))
            use(k, w[0][k & 1], w[1][(k >> 1) & 1], w[2][k >> 2]);
}

// ---- Vector forms (the AVX-512 path) -----------------------------------------

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__)

// The interior test of a whole volume's axis for sixteen lanes, by two float
// comparisons (see interior_top); NaN fails both.
inline __mmask16 inner16(__m512 c, float top)
{
    return _mm512_cmp_ps_mask(c, _mm512_set1_ps(-1.0f), _CMP_GT_OQ) &
           _mm512_cmp_ps_mask(c, _mm512_set1_ps(top), _CMP_LE_OQ);
}

// One axis of eight lanes as classify() sees it: the continuous index, its
// truncation (meaningful where the float is in the int32 range) and the
// classes as masks.
struct lanes {
    __m256 c;
    __m256i i0;
    __mmask8 in, face, lo;  // inside; low or high face; low face
};

inline lanes classify8(__m256 c, int e)
{
    lanes l;
    l.c = c;
    const __mmask8 ok = _mm256_cmp_ps_mask(c, _mm256_set1_ps(-2147483648.0f), _CMP_GT_OQ) &
                        _mm256_cmp_ps_mask(c, _mm256_set1_ps(2147483648.0f), _CMP_LT_OQ);
    l.i0 = _mm256_cvttps_epi32(c);
    const __m256i last = _mm256_set1_epi32(e - 1);
    const __m256i m1 = _mm256_set1_epi32(-1);
    l.in = _mm256_mask_cmpgt_epi32_mask(ok, l.i0, m1) & _mm256_cmpgt_epi32_mask(last, l.i0);
    l.lo = _mm256_mask_cmpeq_epi32_mask(ok, l.i0, m1);
    l.face = l.lo | _mm256_mask_cmpeq_epi32_mask(ok, l.i0, last);
    return l;
}

// cell_of()'s cells of eight lanes, `live` those that exist: the interior
// lanes and those on the face of each axis; any other lane maps nowhere.
struct cells8 {
    __mmask8 in, face[3];
};

inline cells8 cells_of8(const lanes &x, const lanes &y, const lanes &z, __mmask8 live)
{
    cells8 c;
    c.in = live & x.in & y.in & z.in;
    c.face[0] = live & x.face & y.in & z.in;
    c.face[1] = live & x.in & y.face & z.in;
    c.face[2] = live & x.in & y.in & z.face;
    return c;
}

// The fraction c - float(i0), single precision.
inline __m256 frac8(__m256 c, __m256i i0) { return _mm256_sub_ps(c, _mm256_cvtepi32_ps(i0)); }
inline __m512 frac16(__m512 c, __m512i i0) { return _mm512_sub_ps(c, _mm512_cvtepi32_ps(i0)); }

// first_plane() of the face lanes: 0 on the low face, e - 1 on the high.
inline __m256i border8(const lanes &l, int e) { return _mm256_maskz_mov_epi32(~l.lo, _mm256_set1_epi32(e - 1)); }

// index_of() of a whole volume's samples; fits in 32 bits, as a volume's
// count does. Two independent products, not nested ones: the gathers wait
// on this.
inline __m256i index8(const frame &g, __m256i z, __m256i y, __m256i x)
{
    const __m256i zp = _mm256_mullo_epi32(z, _mm256_set1_epi32(g.slice));
    return _mm256_add_epi32(_mm256_add_epi32(zp, _mm256_mullo_epi32(y, _mm256_set1_epi32(g.row))), x);
}

// The same for sixteen lanes, by way of the index of their row (z, y).
inline __m512i row16(const frame &g, __m512i z, __m512i y)
{
    const __m512i zp = _mm512_mullo_epi32(z, _mm512_set1_epi32(g.slice));
    return _mm512_add_epi32(zp, _mm512_mullo_epi32(y, _mm512_set1_epi32(g.row)));
}

#endif

} // namespace
