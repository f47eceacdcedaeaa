// A warp's reads at its points under every rule and mode, compiled per
// target by kernels/target.cpp. The arithmetic is the row kernels' own, per
// point (cubic_rows.h, modes_point.h, warp_points.h), so a point gets the
// bits a row gives it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/cubic_rows.h"
#include "kernels/label.h"
#include "kernels/modes_point.h"
#include "kernels/modes_rows.h"
#include "vocab/rules.h"
#include "kernels/warp_kernel.h"
#include "kernels/warp_points.h"
#include "kernels/warp_rows.h"

namespace {

static_assert(warp_block <= block, "a warp's block of points fits a row's columns");

template <class T> volume_at<T> volume_of(const warp_job &w, const T *data, std::int64_t v)
{
    return {data + v * w.volume, w.slice, w.row, w.X, w.Y, w.Z, w.origin, {w.bx, w.by, w.bz},
            {w.bnx, w.bny, w.bnz}};
}

// Volume v's samples as the moded and cubic reads take them: the box held,
// placed in the whole source.
source_box box_of(const warp_job &w, const float *data, std::int64_t v)
{
    source_box b;
    b.src = data ? data + v * w.volume : nullptr;
    b.slice = w.slice, b.row = w.row;
    b.X = w.X, b.Y = w.Y, b.Z = w.Z;
    b.bx = w.bx, b.by = w.by, b.bz = w.bz, b.bnx = w.bnx, b.bny = w.bny, b.bnz = w.bnz;
    return b;
}

template <class T>
void typed_points(const warp_job &w, std::int64_t v, const float *x, const float *y, const float *z, int n, char *o)
{
    T fill, *d = reinterpret_cast<T *>(o);
    std::memcpy(&fill, w.fill, sizeof fill);
    const volume_at<T> g = volume_of(w, reinterpret_cast<const T *>(w.typed), v);
    if (w.moded) {
        const source_box b = box_of(w, nullptr, v);
        if (w.rule == nearest)
            for (int i = 0; i < n; ++i)
                d[i] = moded_near(b, w.mode, g.data, fill, x[i], y[i], z[i]);
        else
            for (int i = 0; i < n; ++i)
                d[i] = moded_label(b, w.mode, g.data, fill, x[i], y[i], z[i]);
        return;
    }
    if (w.rule == nearest)
        for (int i = 0; i < n; ++i)
            d[i] = nearest_at(g, x[i], y[i], z[i], fill);
    else
        for (int i = 0; i < n; ++i)
            d[i] = label_at(g, x[i], y[i], z[i], fill);
}

// The cubic rule at n points into d: the points as a row's blocks of voxels.
void cubic_points(const warp_job &w, std::int64_t v, const float *x, const float *y, const float *z, int n,
                  float *d)
{
    part q{};
    q.in = box_of(w, w.src, v);
    q.fill = {true, w.value};
    const cubic_frame g = cubic_frame_of(q.in, w.pad);
    constexpr int L = cubic_lanes;
    int i = 0;
    for (; i + L <= n; i += L) {
        float c[3][L];
        std::copy(x + i, x + i + L, c[0]), std::copy(y + i, y + i + L, c[1]), std::copy(z + i, z + i + L, c[2]);
        cubic_lanes_at(q, w.mode, w.pad, g, c, d + i);
    }
    for (; i < n; ++i)
        cubic_voxel(q, w.mode, w.pad, g.h, x[i], y[i], z[i], d + i);
}

// The linear rule at n points into d, under a mode (the points as a row's
// block of voxels) or none.
void linear_at_points(const warp_job &w, std::int64_t v, const float *x, const float *y, const float *z, int n,
                      float *d)
{
    if (w.moded) {
        part q{};
        q.in = box_of(w, w.src, v);
        q.win.out = d;
        q.fill = {true, w.value};
        row_job r{};
        static_cast<frame &>(r) = frame_of(q.in);
        moded_frame g;
        moded_frame_of(g, r, q.in, w.mode, false);
        columns c;
        std::copy(x, x + n, c.cx), std::copy(y, y + n, c.cy), std::copy(z, z + n, c.cz);
        moded_block(q, w.mode, linear_voxel, r, g, c, n, 0, d);
        return;
    }
    const volume_at<float> g = volume_of(w, w.src, v);
    // A tile's box is no whole volume: the linear reads' frame is the whole's.
    if (w.reached && !w.tiled) {
        linear_reads(g.data, g.slice, g.row, g.X, g.Y, g.Z, x, y, z, n, w.value, d);
        return;
    }
    for (int i = 0; i < n; ++i)
        d[i] = linear_at(g, x[i], y[i], z[i], w.value);
}

// The nearest or label rule at n points into o, in the image's element type.
void typed_reads(const warp_job &w, std::int64_t v, const float *x, const float *y, const float *z, int n, char *o)
{
    if (w.rule == nearest) {  // elements moved whole: only their size counts
        switch (w.size) {
        case 1: typed_points<std::uint8_t>(w, v, x, y, z, n, o); break;
        case 2: typed_points<std::uint16_t>(w, v, x, y, z, n, o); break;
        case 4: typed_points<std::uint32_t>(w, v, x, y, z, n, o); break;
        default: typed_points<std::uint64_t>(w, v, x, y, z, n, o); break;
        }
        return;
    }
    switch (w.e) {
    case e_u8: typed_points<std::uint8_t>(w, v, x, y, z, n, o); break;
    case e_i8: typed_points<std::int8_t>(w, v, x, y, z, n, o); break;
    case e_u16: typed_points<std::uint16_t>(w, v, x, y, z, n, o); break;
    case e_i16: typed_points<std::int16_t>(w, v, x, y, z, n, o); break;
    case e_u32: typed_points<std::uint32_t>(w, v, x, y, z, n, o); break;
    case e_i32: typed_points<std::int32_t>(w, v, x, y, z, n, o); break;
    case e_u64: typed_points<std::uint64_t>(w, v, x, y, z, n, o); break;
    default: typed_points<std::int64_t>(w, v, x, y, z, n, o); break;
    }
}

// The rule at n source indices, into n output elements at o (warp_reads_fn).
void read_points(const warp_job &w, std::int64_t v, const float *x, const float *y, const float *z, int n, char *o)
{
    if (w.empty) {
        const void *fill = floats_out(w.rule) ? static_cast<const void *>(&w.value) : w.fill;
        for (int i = 0; i < n; ++i)
            std::memcpy(o + i * w.size, fill, w.size);
    } else if (w.rule == cubic) {
        cubic_points(w, v, x, y, z, n, reinterpret_cast<float *>(o));
    } else if (w.rule == linear) {
        linear_at_points(w, v, x, y, z, n, reinterpret_cast<float *>(o));
    } else {
        typed_reads(w, v, x, y, z, n, o);
    }
}

} // namespace
