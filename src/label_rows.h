// The nearest and label row kernels, plain C++ whose loops the compiler
// vectorises: label.cpp compiles them for any CPU, label_avx2.cpp and
// label_avx512.cpp for wider instruction sets, each with internal linkage
// (see resample_paths.h). The arithmetic is the same on every path.
#pragma once

#include <algorithm>
#include <cstring>

#include "label.h"

// resample_rows.h's whole-voxel functions are the linear kernel's; only its
// classes, clamps and coordinate arithmetic (coords) are used here.
#include "resample_rows.h"

namespace {

// The candidate with the highest score, ties to the smallest label. Each
// label is scored once, from its first term on, its weights summed in term
// order: at most n * n steps whatever the number of labels.
template <class T> inline T pick(const T *L, const double *w, int n)
{
    T best = L[0];
    double top = 0;
    for (int t = 0; t < n; ++t) {
        bool seen = false;
        for (int u = 0; u < t; ++u)
            seen |= L[u] == L[t];
        if (seen)
            continue;
        double s = w[t];
        for (int u = t + 1; u < n; ++u)
            if (L[u] == L[t])
                s += w[u];
        if (t == 0 || s > top || (s == top && L[t] < best))
            best = L[t], top = s;
    }
    return best;
}

template <class T> inline bool uniform(const T *L, int n)
{
    bool same = true;
    for (int t = 1; t < n; ++t)
        same &= L[t] == L[0];
    return same;
}

// voxel() of resample_rows.h with labels for samples: the same classes,
// faces and box, the same terms in the same order.
template <class T>
inline void label_voxel(const row_job &r, const T *S, T *o, float cx, float cy, float cz)
{
    int x0 = 0, y0 = 0, z0 = 0;
    const int kx = classify(cx, r.X, x0);
    const int ky = classify(cy, r.Y, y0);
    const int kz = classify(cz, r.Z, z0);
    const int faces = (kx != inside) + (ky != inside) + (kz != inside);
    if (kx == outside || ky == outside || kz == outside || faces > 1)
        return;
    if (r.boxed && !in_box(r, kx, x0, ky, y0, kz, z0))
        return;
    const int x1 = x0 + 1, y1 = y0 + 1, z1 = z0 + 1;
    const double fx = cx - float(x0), gx = 1.0 - fx;
    const double fy = cy - float(y0), gy = 1.0 - fy;
    const double fz = cz - float(z0), gz = 1.0 - fz;
    auto at = [&](int k, int j, int i) {
        return S[std::int64_t(k - r.bz) * r.slice + std::int64_t(j - r.by) * r.row + (i - r.bx)];
    };
    T L[8];
    double w[8];
    int n = 4;
    if (faces == 0) {
        n = 8;
        L[0] = at(z0, y0, x0), w[0] = gx * gy * gz;
        L[1] = at(z0, y0, x1), w[1] = fx * gy * gz;
        L[2] = at(z0, y1, x0), w[2] = gx * fy * gz;
        L[3] = at(z0, y1, x1), w[3] = fx * fy * gz;
        L[4] = at(z1, y0, x0), w[4] = gx * gy * fz;
        L[5] = at(z1, y0, x1), w[5] = fx * gy * fz;
        L[6] = at(z1, y1, x0), w[6] = gx * fy * fz;
        L[7] = at(z1, y1, x1), w[7] = fx * fy * fz;
    } else if (kx != inside) {
        const int b = kx == low ? 0 : r.X - 1;
        L[0] = at(z0, y0, b), w[0] = gy * gz;
        L[1] = at(z0, y1, b), w[1] = fy * gz;
        L[2] = at(z1, y0, b), w[2] = gy * fz;
        L[3] = at(z1, y1, b), w[3] = fy * fz;
    } else if (ky != inside) {
        const int b = ky == low ? 0 : r.Y - 1;
        L[0] = at(z0, b, x1), w[0] = fx * gz;
        L[1] = at(z0, b, x0), w[1] = gx * gz;
        L[2] = at(z1, b, x0), w[2] = gx * fz;
        L[3] = at(z1, b, x1), w[3] = fx * fz;
    } else {
        const int b = kz == low ? 0 : r.Z - 1;
        L[0] = at(b, y0, x1), w[0] = fx * gy;
        L[1] = at(b, y0, x0), w[1] = gx * gy;
        L[2] = at(b, y1, x0), w[2] = gx * fy;
        L[3] = at(b, y1, x1), w[3] = fx * fy;
    }
    *o = uniform(L, n) ? L[0] : pick(L, w, n);
}

// The label rule's row: plain_row's split into interior voxels, read as
// 2 x 2 x 2 labels, and the rest through label_voxel. Most interior voxels
// of a label map see one label and need no weights.
template <class T> void label_row(const row_job &r, const T *S, T *out, T cv)
{
    float cx[block], cy[block], cz[block], fx[block], fy[block], fz[block];
    int at[block], in[block], mix[block];
    std::fill(out, out + r.n, cv);
    const int X = r.X, Y = r.Y, Z = r.Z;
    const bool interior = X > 1 && Y > 1 && Z > 1 && r.lox <= r.hix && r.loy <= r.hiy && r.loz <= r.hiz;
    const float ex = above(X), ey = above(Y), ez = above(Z);
    const std::ptrdiff_t row = r.row, slice = r.slice;
    auto near = [&](int i) {
        return cx[i] > -2.0f && cx[i] < ex && cy[i] > -2.0f && cy[i] < ey && cz[i] > -2.0f && cz[i] < ez;
    };
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        T *o = out + x0;
        coords(r, x0, n, cx, cy, cz);
        if (!interior) {
            for (int i = 0; i < n; ++i)
                if (near(i))
                    label_voxel(r, S, o + i, cx[i], cy[i], cz[i]);
            continue;
        }
        const int count = locate(r, n, cx, cy, cz, fx, fy, fz, at, in);
        if (!count && (beyond(cx, n, ex) || beyond(cy, n, ey) || beyond(cz, n, ez)))
            continue;
        // Interior voxels that see one label take it, branch-free; those
        // that see several are scored after.
        int mixed = 0;
        for (int i = 0; i < n; ++i) {
            if (!in[i]) {
                if (near(i))
                    label_voxel(r, S, o + i, cx[i], cy[i], cz[i]);
                continue;
            }
            const T *p = S + at[i];
            const T l = p[0];
            const bool one = (p[1] == l) & (p[row] == l) & (p[row + 1] == l) & (p[slice] == l) &
                             (p[slice + 1] == l) & (p[slice + row] == l) & (p[slice + row + 1] == l);
            o[i] = l;
            mix[mixed] = i;
            mixed += !one;
        }
        for (int k = 0; k < mixed; ++k) {
            const int i = mix[k];
            const T *p = S + at[i];
            const T L[8] = {p[0], p[1], p[row], p[row + 1], p[slice], p[slice + 1], p[slice + row],
                            p[slice + row + 1]};
            const double wx = fx[i], vx = 1.0 - wx;
            const double wy = fy[i], vy = 1.0 - wy;
            const double wz = fz[i], vz = 1.0 - wz;
            const double w[8] = {vx * vy * vz, wx * vy * vz, vx * wy * vz, wx * wy * vz,
                                 vx * vy * wz, wx * vy * wz, vx * wy * wz, wx * wy * wz};
            o[i] = pick(L, w, 8);
        }
    }
}

// The nearest rule's row. Per axis, c + 0.5 is exact in double (c is a
// float below 2^31 in magnitude wherever it matters), and on [b, b + n) its
// truncation is its floor: the sample index, halves upward, within the box.
// Branch-free, so the compiler vectorises it: every voxel's index is clamped
// into the box (NaN to its low end) and read, and `in` picks the sample or
// the fill.
template <class T> void nearest_row(const row_job &r, const T *S, T *out, T cv)
{
    if (r.bnx < 1 || r.bny < 1 || r.bnz < 1) {  // nothing to read: every voxel maps nowhere
        std::fill(out, out + r.n, cv);
        return;
    }
    float cx[block], cy[block], cz[block];
    int at[block], in[block];
    const double lx = r.bx, ly = r.by, lz = r.bz;
    const double hx = lx + r.bnx, hy = ly + r.bny, hz = lz + r.bnz;
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        coords(r, x0, n, cx, cy, cz);
        for (int i = 0; i < n; ++i) {
            const double dx = double(cx[i]) + 0.5, dy = double(cy[i]) + 0.5, dz = double(cz[i]) + 0.5;
            in[i] = (dx >= lx) & (dx < hx) & (dy >= ly) & (dy < hy) & (dz >= lz) & (dz < hz);
            const int x = int(std::min(std::max(lx, dx), hx - 1)) - r.bx;
            const int y = int(std::min(std::max(ly, dy), hy - 1)) - r.by;
            const int z = int(std::min(std::max(lz, dz), hz - 1)) - r.bz;
            at[i] = (z * r.slice + y * r.row) + x;
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
    if (t.mode == nearest)
        each_row(p, [&](const row_job &r) { nearest_row(r, S, O + r.at, cv); });
    else
        each_row(p, [&](const row_job &r) { label_row(r, S, O + r.at, cv); });
}

// The part through the kernels of this compilation.
inline void label_kernels(const part &p, const typed &t)
{
    if (t.mode == nearest) {  // elements moved whole: only their size counts
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
