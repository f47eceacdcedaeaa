#include "moded.h"

#include <cstdint>
#include <cstring>

#include "geometry.h"
#include "label_rows.h"
#include "resample_paths.h"

namespace {

// Planes i0 and i0 + 1 of one axis as the mode extends them against the
// whole's extent e: their offsets in the box of n planes from b0 (index
// less b0, times stride), which of them is the fill, and which the box
// lacks.
struct planes {
    std::int64_t at[2];
    bool fill[2], lost[2];
};

inline planes planes_of(mode m, std::int64_t i0, std::int64_t e, std::int64_t b0, std::int64_t n,
                        std::int64_t step)
{
    planes p;
    for (int k = 0; k < 2; ++k) {
        const std::int64_t j = extend(m, i0 + k, e);
        p.fill[k] = j == fill_index;
        p.lost[k] = !p.fill[k] && (j < b0 || j - b0 >= n);
        p.at[k] = p.fill[k] || p.lost[k] ? 0 : (j - b0) * step;
    }
    return p;
}

// A voxel under a mode: its axes and their extended planes.
struct moded_cell {
    moded_axis a[3];
    planes p[3];
};

// False where the voxel maps nowhere, or reads a plane its box lacks (its
// terms leave plane i0 + 1 out where f is 0).
inline bool moded_cell_of(const source_box &b, mode m, float cx, float cy, float cz, moded_cell &c)
{
    const bool k = m == constant;
    if (!moded_axis_of(cx, b.X, k, c.a[0]) || !moded_axis_of(cy, b.Y, k, c.a[1]) ||
        !moded_axis_of(cz, b.Z, k, c.a[2]))
        return false;
    c.p[0] = planes_of(m, c.a[0].i0, b.X, b.bx, b.bnx, 1);
    c.p[1] = planes_of(m, c.a[1].i0, b.Y, b.by, b.bny, b.row);
    c.p[2] = planes_of(m, c.a[2].i0, b.Z, b.bz, b.bnz, b.slice);
    bool lost = false;
    for (int a = 0; a < 3; ++a)
        lost = lost || c.p[a].lost[0] || (c.a[a].f != 0.0 && c.p[a].lost[1]);
    return !lost;
}

// Corner k's sample offset, or false where any of its planes is the fill.
inline bool corner_at(const moded_cell &c, int k, std::int64_t &at)
{
    const int x = k & 1, y = (k >> 1) & 1, z = k >> 2;
    at = c.p[2].at[z] + c.p[1].at[y] + c.p[0].at[x];
    return !(c.p[0].fill[x] | c.p[1].fill[y] | c.p[2].fill[z]);
}

// Hands voxel(o, cx, cy, cz) every voxel of the part's rows: o its offset
// in the window, c its position (geometry.h's, as every rule forms it).
template <class V> void each_voxel(const part &p, V &&voxel)
{
    const out_window &w = p.win;
    const float *os = p.map.out_spacing;
    for (int q = w.first; q < w.last; ++q) {
        const int k = q / w.ny, j = q % w.ny;
        const float py = position(w.y + j, os[1]), pz = position(w.z + k, os[2]);
        const axis_map mx = axis_of(p.map, 0, py, pz), my = axis_of(p.map, 1, py, pz),
                       mz = axis_of(p.map, 2, py, pz);
        const std::int64_t at = k * w.slice + j * w.row;
        for (int i = 0; i < w.nx; ++i) {
            const float px = position(w.x + i, os[0]);
            voxel(at + i, coordinate(mx, px), coordinate(my, px), coordinate(mz, px));
        }
    }
}

// The linear rule: each term's sample (the fill as a float32 where the mode
// gives none) times its factors in order, the terms summed in order, the
// first as it is, as linear_sum does.
void linear_voxel(const part &p, mode m, std::int64_t o, float cx, float cy, float cz)
{
    const float *S = p.in.src, fill = p.fill.value;
    moded_cell c;
    if (!moded_cell_of(p.in, m, cx, cy, cz, c)) {
        if (p.fill.on)
            p.win.out[o] = fill;
        return;
    }
    double sum = 0.0;
    bool first = true;
    moded_terms(c.a, [&](int k, double wx, double wy, double wz) {
        std::int64_t at;
        const double s = corner_at(c, k, at) ? double(S[at]) : double(fill);
        const double v = s * wx * wy * wz;
        sum = first ? v : sum + v;
        first = false;
    });
    p.win.out[o] = static_cast<float>(sum);
}

// The label rule: label_rows.h's vote (pick) over the moded terms, the fill
// a label like any other.
template <class T> void label_voxels(const part &p, mode m, const T *S, T *O, T cv)
{
    each_voxel(p, [&](std::int64_t o, float cx, float cy, float cz) {
        moded_cell c;
        if (!moded_cell_of(p.in, m, cx, cy, cz, c)) {
            O[o] = cv;
            return;
        }
        votes<T> v;
        int n = 0;
        moded_terms(c.a, [&](int k, double wx, double wy, double wz) {
            std::int64_t at;
            v.L[n] = corner_at(c, k, at) ? S[at] : cv;
            v.w[n] = wx * wy * wz, v.k[n] = k;
            ++n;
        });
        O[o] = pick(v, n);
    });
}

// The nearest rule: the rounded index on each axis, extended.
template <class T> void nearest_voxels(const part &p, mode m, const T *S, T *O, T cv)
{
    const source_box &b = p.in;
    const bool k = m == constant;
    each_voxel(p, [&](std::int64_t o, float cx, float cy, float cz) {
        moded_axis a[3];
        if (!moded_axis_of(cx, b.X, k, a[0]) || !moded_axis_of(cy, b.Y, k, a[1]) || !moded_axis_of(cz, b.Z, k, a[2])) {
            O[o] = cv;
            return;
        }
        const std::int64_t x = extend(m, moded_nearest(cx), b.X), y = extend(m, moded_nearest(cy), b.Y),
                           z = extend(m, moded_nearest(cz), b.Z);
        if (x == fill_index || y == fill_index || z == fill_index) {
            O[o] = cv;
            return;
        }
        // The box's planes; a sample it lacks is read as a voxel that maps nowhere.
        const std::int64_t i = x - b.bx, j = y - b.by, l = z - b.bz;
        const bool held = i >= 0 && i < b.bnx && j >= 0 && j < b.bny && l >= 0 && l < b.bnz;
        O[o] = held ? S[l * b.slice + j * b.row + i] : cv;
    });
}

template <class T> void typed_voxels(const part &p, mode m, const typed &t)
{
    const T *S = static_cast<const T *>(t.src);
    T *O = static_cast<T *>(t.out);
    T cv;
    std::memcpy(&cv, t.fill, sizeof(T));
    if (t.mode == nearest)
        nearest_voxels(p, m, S, O, cv);
    else
        label_voxels(p, m, S, O, cv);
}

} // namespace

void moded_linear_on(int path, const part &p, mode m)
{
    if (p.in.X <= 0 || p.in.Y <= 0 || p.in.Z <= 0)
        return;
    if (path == path_count)
        each_voxel(p, [&](std::int64_t o, float cx, float cy, float cz) { linear_voxel(p, m, o, cx, cy, cz); });
    else
        moded_rows_path(path)(p, m, linear_voxel);
}

void moded_part(const part &p, mode m, const typed *t)
{
    // Callers fill the voxels of an empty source; extend needs an extent.
    if (p.in.X <= 0 || p.in.Y <= 0 || p.in.Z <= 0)
        return;
    if (!t) {
        static const moded_rows_fn f = moded_rows_path(best_path());
        f(p, m, linear_voxel);
        return;
    }
    if (t->mode == nearest) {  // elements moved whole: only their size counts
        switch (elem_size(t->type)) {
        case 1: typed_voxels<std::uint8_t>(p, m, *t); break;
        case 2: typed_voxels<std::uint16_t>(p, m, *t); break;
        case 4: typed_voxels<std::uint32_t>(p, m, *t); break;
        case 8: typed_voxels<std::uint64_t>(p, m, *t); break;
        default: break;
        }
        return;
    }
    switch (t->type) {
    case e_u8: typed_voxels<std::uint8_t>(p, m, *t); break;
    case e_i8: typed_voxels<std::int8_t>(p, m, *t); break;
    case e_u16: typed_voxels<std::uint16_t>(p, m, *t); break;
    case e_i16: typed_voxels<std::int16_t>(p, m, *t); break;
    case e_u32: typed_voxels<std::uint32_t>(p, m, *t); break;
    case e_i32: typed_voxels<std::int32_t>(p, m, *t); break;
    case e_u64: typed_voxels<std::uint64_t>(p, m, *t); break;
    case e_i64: typed_voxels<std::int64_t>(p, m, *t); break;
    default: break;  // floats carry no labels
    }
}
