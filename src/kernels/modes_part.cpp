#include "kernels/modes_part.h"

#include <cstdint>
#include <cstring>

#include "kernels/geometry.h"
#include "kernels/modes_point.h"
#include "kernels/table.h"

namespace {

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

template <class T> void label_voxels(const part &p, mode m, const T *S, T *O, T cv)
{
    each_voxel(p, [&](std::int64_t o, float cx, float cy, float cz) { O[o] = moded_label(p.in, m, S, cv, cx, cy, cz); });
}

template <class T> void nearest_voxels(const part &p, mode m, const T *S, T *O, T cv)
{
    each_voxel(p, [&](std::int64_t o, float cx, float cy, float cz) { O[o] = moded_near(p.in, m, S, cv, cx, cy, cz); });
}

template <class T> void typed_voxels(const part &p, mode m, const typed &t)
{
    const T *S = static_cast<const T *>(t.src);
    T *O = static_cast<T *>(t.out);
    T cv;
    std::memcpy(&cv, t.fill, sizeof(T));
    if (t.rule == nearest)
        nearest_voxels(p, m, S, O, cv);
    else
        label_voxels(p, m, S, O, cv);
}

} // namespace

void moded_linear_on(int target, const part &p, mode m)
{
    if (p.in.X <= 0 || p.in.Y <= 0 || p.in.Z <= 0)
        return;
    if (target == target_count)
        each_voxel(p, [&](std::int64_t o, float cx, float cy, float cz) { linear_voxel(p, m, o, cx, cy, cz); });
    else
        target_table(target)->moded(p, m, linear_voxel);
}

void moded_part(const part &p, mode m, const typed *t)
{
    // Callers fill the voxels of an empty source; extend needs an extent.
    if (p.in.X <= 0 || p.in.Y <= 0 || p.in.Z <= 0)
        return;
    if (!t) {
        best_table().moded(p, m, linear_voxel);
        return;
    }
    if (t->rule == nearest) {  // elements moved whole: only their size counts
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
