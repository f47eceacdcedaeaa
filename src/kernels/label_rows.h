// The nearest and label row kernels, plain C++ whose loops the compiler
// vectorises, compiled for each target by kernels/target.cpp with internal
// linkage (see resample_rows.h). The arithmetic is the same on every target.
#pragma once

#include <algorithm>
#include <cstring>

#include "kernels/label.h"

// resample_rows.h's whole-voxel functions are the linear kernel's; only its
// coordinates (coords) and interior split (locate) are used here.
#include "kernels/resample_rows.h"

namespace {

template <class T> inline bool uniform(const T *L, int n)
{
    bool same = true;
    for (int t = 1; t < n; ++t)
        same &= L[t] == L[0];
    return same;
}

// The label rule's vote over a voxel's terms: labels L, weights the
// products of each term's factors, and corners k, in term order. Within a
// cell a larger corner is a sample at a larger index along Z, then Y, then X.
template <class T> struct votes {
    T L[8];
    double w[8];
    int k[8];
    template <int t, int c, class... W> void add(ic<t>, ic<c>, const T *S, const frame &g, W... f)
    {
        L[t] = S[corner(g, ic<c>())], w[t] = (... * f), k[t] = c;
    }
};

// The candidate with the highest score; of exact ties, the one owning the
// heaviest term, then the one whose such term has the larger corner: no
// label value decides, so relabelling commutes with the rule. Each label is
// scored once, from its first term on, its weights summed in term order:
// at most n * n steps whatever the number of labels.
template <class T> inline T pick(const votes<T> &v, int n)
{
    const T *L = v.L;
    const double *w = v.w;
    T best = L[0];
    double top = 0, heavy = 0;
    int at = 0;
    for (int t = 0; t < n; ++t) {
        bool seen = false;
        for (int u = 0; u < t; ++u)
            seen |= L[u] == L[t];
        if (seen)
            continue;
        double s = w[t], h = w[t];
        int k = v.k[t];
        for (int u = t + 1; u < n; ++u)
            if (L[u] == L[t]) {
                s += w[u];
                if (w[u] > h || (w[u] == h && v.k[u] > k))
                    h = w[u], k = v.k[u];
            }
        if (t == 0 || s > top || (s == top && (h > heavy || (h == heavy && k > at))))
            best = L[t], top = s, heavy = h, at = k;
    }
    return best;
}

// A block's interior voxels that see several labels, side by side in
// lanes: their labels widened to 64 bits (only compared, and widening
// keeps them distinct) beside the weights' 64-bit lanes, their fractions,
// and the label each gets.
struct ballot {
    std::uint64_t L[8][block];
    float f[3][block];
    std::uint64_t best[block];
};

// pick() over the ballot's first m voxels, each lane a voxel, every lane
// the same operations, so that the compiler vectorises them. A label's
// score is each term's weight where the term shares its label, else +0,
// summed in term order: adding +0 to a sum of weights (never negative)
// leaves its bits, so the scores are pick()'s. The winner is the term with
// the highest (score, weight, corner), compared in that order: the term
// pick()'s tie rule lands on, whose corners are distinct. The loops over
// terms are unrolled whole, so that GCC vectorises the loop over voxels.
inline void tally(ballot &b, int m)
{
    for (int j = 0; j < m; ++j) {
        const double f[3] = {b.f[0][j], b.f[1][j], b.f[2][j]};
        double w[8], s[8];
        std::uint64_t L[8];
        interior_terms(f, [&](auto t, auto k, auto... g) { w[t] = (... * g), L[t] = b.L[k][j]; });
#pragma GCC unroll 8
        for (int t = 0; t < 8; ++t) {
            s[t] = 0.0;
#pragma GCC unroll 8
            for (int u = 0; u < 8; ++u)
                s[t] += L[u] == L[t] ? w[u] : 0.0;
        }
        double top = s[0], heavy = w[0];
        std::uint64_t best = L[0];
#pragma GCC unroll 8
        for (int t = 1; t < 8; ++t) {
            const bool take = (s[t] > top) | ((s[t] == top) & (w[t] >= heavy));
            top = take ? s[t] : top, heavy = take ? w[t] : heavy, best = take ? L[t] : best;
        }
        b.best[j] = best;
    }
}

// fetch() of resample_rows.h for samples of T: label rows walk the source
// as linear rows do, and as theirs, their first touches of fresh lines set
// the pace unless fetched ahead.
template <class T> inline void fetch_labels(const row_job &r, const T *S, std::ptrdiff_t i)
{
#if defined(__GNUC__)
    const std::uintptr_t q = reinterpret_cast<std::uintptr_t>(S) + sizeof(T) * std::uintptr_t(i + r.ahead);
    const std::uintptr_t row = sizeof(T) * std::uintptr_t(r.row), plane = sizeof(T) * std::uintptr_t(r.slice);
    for (const std::uintptr_t d : {std::uintptr_t(0), row, plane, plane + row})
        __builtin_prefetch(reinterpret_cast<const void *>(q + d), 0, 2);
#else
    (void)r, (void)S, (void)i;
#endif
}

// voxel() of resample_rows.h with labels for samples: the same cells and
// terms.
template <class T>
inline void label_voxel(const row_job &r, const T *S, T *o, float cx, float cy, float cz)
{
    cell c;
    if (!cell_of(r, cx, cy, cz, c))
        return;
    votes<T> v;
    each_term(c, [&](auto t, auto k, auto... w) { v.add(t, k, S + c.at, r, w...); });
    const int n = c.face < 0 ? 8 : 4;
    *o = uniform(v.L, n) ? v.L[0] : pick(v, n);
}

// The label rule's row: plain_row's split into interior voxels, read as
// 2 x 2 x 2 labels, and the rest through label_voxel. Most interior voxels
// of a label map see one label and need no weights.
template <class T> void label_row(const row_job &r, const T *S, T *out, T cv)
{
    columns c;
    ballot v;
    T L[4][2 * block];
    int mix[block], one[block];
    std::fill(out, out + r.n, cv);
    const bool interior = has_interior(r);
    c.ex = above(r.in->X), c.ey = above(r.in->Y), c.ez = above(r.in->Z);
    const std::ptrdiff_t row = r.row, slice = r.slice;
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        T *o = out + x0;
        coords(r, x0, n, c.cx, c.cy, c.cz);
        if (!interior) {
            for (int i = 0; i < n; ++i)
                if (near(c, i))
                    label_voxel(r, S, o + i, c.cx[i], c.cy[i], c.cz[i]);
            continue;
        }
        const int count = locate(r, n, c.cx, c.cy, c.cz, c.fx, c.fy, c.fz, c.at, c.in);
        if (!count && (beyond(c.cx, n, c.ex) || beyond(c.cy, n, c.ey) || beyond(c.cz, n, c.ez)))
            continue;
        for (int i = 0; r.ahead && i < n; i += r.every)
            fetch_labels(r, S, c.at[i]);
        // Every voxel's 2 x 2 sample rows, as linear's gather (split keeps
        // them in the box); interior voxels that see one label take it,
        // found branch-free; those that see several are scored after.
        for (int i = 0; i < n; ++i)
            for (int q = 0; q < 4; ++q)
                std::memcpy(&L[q][2 * i], S + c.at[i] + (q & 1 ? row : 0) + (q & 2 ? slice : 0), 2 * sizeof(T));
        for (int i = 0; i < n; ++i) {
            const T l = L[0][2 * i];
            one[i] = (L[0][2 * i + 1] == l) & (L[1][2 * i] == l) & (L[1][2 * i + 1] == l) & (L[2][2 * i] == l) &
                     (L[2][2 * i + 1] == l) & (L[3][2 * i] == l) & (L[3][2 * i + 1] == l);
        }
        int mixed = 0;
        for (int i = 0; i < n; ++i) {
            if (!c.in[i]) {
                if (near(c, i))
                    label_voxel(r, S, o + i, c.cx[i], c.cy[i], c.cz[i]);
                continue;
            }
            o[i] = L[0][2 * i];
            mix[mixed] = i;
            mixed += !one[i];
        }
        for (int j = 0; j < mixed; ++j) {
            const int i = mix[j];
            for (int k = 0; k < 8; ++k)
                v.L[k][j] = static_cast<std::uint64_t>(L[k >> 1][2 * i + (k & 1)]);
            v.f[0][j] = c.fx[i], v.f[1][j] = c.fy[i], v.f[2][j] = c.fz[i];
        }
        tally(v, mixed);
        for (int j = 0; j < mixed; ++j)
            o[mix[j]] = static_cast<T>(v.best[j]);
    }
}

// The nearest rule's row: every voxel's sample (nearest_plane) is read, and
// `in` picks it or the fill.
template <class T> void nearest_row(const row_job &r, const T *S, T *out, T cv)
{
    const source_box &b = *r.in;
    if (b.bnx < 1 || b.bny < 1 || b.bnz < 1) {  // nothing to read: every voxel maps nowhere
        std::fill(out, out + r.n, cv);
        return;
    }
    float cx[block], cy[block], cz[block];
    int at[block], in[block];
    const int bx = b.bx, by = b.by, bz = b.bz, row = r.row, slice = r.slice;
    const double lx = bx, ly = by, lz = bz;
    const double hx = lx + b.bnx, hy = ly + b.bny, hz = lz + b.bnz;
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        coords(r, x0, n, cx, cy, cz);
        for (int i = 0; i < n; ++i) {
            int kx, ky, kz;
            const int x = nearest_plane(cx[i], lx, hx, kx) - bx;
            const int y = nearest_plane(cy[i], ly, hy, ky) - by;
            const int z = nearest_plane(cz[i], lz, hz, kz) - bz;
            in[i] = kx & ky & kz;
            at[i] = (z * slice + y * row) + x;
        }
        T *o = out + x0;
        for (int i = 0; i < n; ++i) {
            const T v = S[at[i]];
            o[i] = in[i] ? v : cv;
        }
    }
}

template <class T> void run(const part &p, const typed &t)
{
    const T *S = static_cast<const T *>(t.src);
    T *O = static_cast<T *>(t.out);
    T cv;
    std::memcpy(&cv, t.fill, sizeof(T));
    if (t.rule == nearest)
        each_row(p, [&](const row_job &r) { nearest_row(r, S, O + r.at, cv); });
    else
        each_row(p, [&](const row_job &r) { label_row(r, S, O + r.at, cv); });
}

// The part through the kernels of this compilation.
inline void label_kernels(const part &p, const typed &t)
{
    if (t.rule == nearest) {  // elements moved whole: only their size counts
        switch (elem_size(t.type)) {
        case 1: run<std::uint8_t>(p, t); break;
        case 2: run<std::uint16_t>(p, t); break;
        case 4: run<std::uint32_t>(p, t); break;
        case 8: run<std::uint64_t>(p, t); break;
        default: break;
        }
        return;
    }
    switch (t.type) {
    case e_u8: run<std::uint8_t>(p, t); break;
    case e_i8: run<std::int8_t>(p, t); break;
    case e_u16: run<std::uint16_t>(p, t); break;
    case e_i16: run<std::int16_t>(p, t); break;
    case e_u32: run<std::uint32_t>(p, t); break;
    case e_i32: run<std::int32_t>(p, t); break;
    case e_u64: run<std::uint64_t>(p, t); break;
    case e_i64: run<std::int64_t>(p, t); break;
    default: break;  // floats carry no labels
    }
}

} // namespace
