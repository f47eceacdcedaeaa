// A voxel's terms: the samples and weight factors it reads, in their fixed
// order (each_term), and the same under a boundary mode (moded_terms), from
// its positions and classes (geometry.h). Internal linkage, as there.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/geometry.h"

namespace {

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

} // namespace
