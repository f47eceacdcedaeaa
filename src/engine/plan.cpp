#include "engine/plan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "engine/boxes.h"
#include "kernels/label.h"
#include "kernels/dispatch.h"
#include "vocab/rules.h"
#include "vocab/sizes.h"
#include "engine/spline.h"

namespace {

// Samples of a box copied for a window that cannot read its box where it
// lies; smaller windows read smaller boxes, down to a voxel's 2 x 2 x 2.
constexpr std::int64_t copy_limit = std::int64_t(1) << 24;

// The furthest sample of a box from its first, as `s` lays it out.
std::int64_t reach_of(const source &s, const std::int64_t b[6])
{
    const std::int64_t nz = b[1] - b[0], ny = b[3] - b[2], nx = b[5] - b[4];
    return (nz > 1 ? (nz - 1) * s.slice : 0) + (ny > 1 ? (ny - 1) * s.row : 0) + nx - 1;
}


// The box a window reads, with source_boxes' arithmetic, within the box the
// call holds; false for none.
bool box_of(const plan &p, const float *map, const std::int64_t w[6], std::int64_t b[6])
{
    const std::int64_t E[3] = {p.Z, p.Y, p.X};
    const std::int64_t g[6] = {p.wz + w[0], p.wz + w[1], p.wy + w[2], p.wy + w[3], p.wx + w[4], p.wx + w[5]};
    if (!window_box(E, p.spacing, p.out_spacing, map, g, b))
        return false;
    const std::int64_t lo[3] = {p.bz, p.by, p.bx}, n[3] = {p.bnz, p.bny, p.bnx};
    for (int k = 0; k < 3; ++k) {
        b[2 * k] = std::max(b[2 * k], lo[k]);
        b[2 * k + 1] = std::min(b[2 * k + 1], lo[k] + n[k]);
        if (b[2 * k] >= b[2 * k + 1])
            return false;
    }
    return true;
}

// Half h (0 or 1) of window w along axis k (0 Z, 1 Y, 2 X).
void half(const std::int64_t w[6], int k, int h, std::int64_t u[6])
{
    std::copy(w, w + 6, u);
    const std::int64_t mid = w[2 * k] + (w[2 * k + 1] - w[2 * k]) / 2;
    u[2 * k + 1 - h] = mid;
}

// Window w, or its pieces, until each can be a part: rows below 2^31, and
// a box read where it lies within 32-bit reach or copied (copy_limit). A
// piece of one voxel reads at most 2 x 2 x 2 samples, so the halving ends.
// It halves along Z while the rows are too many, else along the axis whose
// worse half reaches least.
void cut(const plan &p, const float *map, std::int64_t v0, std::int64_t v1, const std::int64_t w[6],
         wins_t &out)
{
    win x{v0, v1, {w[0], w[1], w[2], w[3], w[4], w[5]}, {}, false, false};
    x.none = !box_of(p, map, w, x.b);
    const std::int64_t rows = (w[1] - w[0]) * (w[3] - w[2]);
    if (rows < extent_limit && (x.none || reach_of(p.src, x.b) < extent_limit || samples(x.b) <= copy_limit)) {
        x.copy = !x.none && reach_of(p.src, x.b) >= extent_limit;
        out.push_back(x);
        return;
    }
    int axis = -1;
    std::int64_t best = 0;
    for (int k = 0; k < 3; ++k) {
        if (w[2 * k + 1] - w[2 * k] < 2 || (rows >= extent_limit && k != 0))
            continue;
        std::int64_t worst = 0, u[6], b[6];
        for (int h = 0; h < 2; ++h) {
            half(w, k, h, u);
            if (box_of(p, map, u, b))
                worst = std::max(worst, reach_of(p.src, b));
        }
        if (axis < 0 || worst < best)
            axis = k, best = worst;
    }
    for (int h = 0; h < 2; ++h) {
        std::int64_t u[6];
        half(w, axis, h, u);
        cut(p, map, v0, v1, u, out);
    }
}

} // namespace

part tile_part(const plan &p, std::int64_t v, std::int64_t first, std::int64_t last)
{
    part q;
    q.in.src = p.src.data ? p.src.data + v * p.src.volume : nullptr;
    q.in.slice = p.src.slice, q.in.row = p.src.row;
    q.in.X = p.X, q.in.Y = p.Y, q.in.Z = p.Z;
    q.in.bx = p.bx, q.in.by = p.by, q.in.bz = p.bz, q.in.bnx = p.bnx, q.in.bny = p.bny, q.in.bnz = p.bnz;
    q.win.out = floats_out(p.rule) ? reinterpret_cast<float *>(p.out) + v * p.ovolume : nullptr;
    q.win.slice = p.oslice, q.win.row = p.orow;
    q.win.x = p.wx, q.win.y = p.wy, q.win.z = p.wz, q.win.nx = p.wnx, q.win.ny = p.wny, q.win.nz = p.wnz;
    q.win.first = int(first), q.win.last = int(last);
    q.fill.on = true, q.fill.value = p.value;
    q.map.spacing = p.spacing, q.map.out_spacing = p.out_spacing, q.map.matrix = map_of(p, v);
    return q;
}

std::int64_t rows_per_job(const plan &p, int threads, bool released)
{
    const std::int64_t rows = std::int64_t(p.wnz) * p.wny;
    if (threads == 1 && !released)  // nothing to even out, no interrupts to look for
        return rows;
    // cubic's voxels are slow: its jobs stop at some 2^18 of them, about a
    // hundredth of a second, so that an interrupt is seen soon.
    const std::int64_t most = p.rule == cubic ? (std::int64_t(1) << 18) / std::max(p.wnx, 1) + 1 : rows;
    const std::int64_t want = std::min(most, std::max<std::int64_t>(
        (std::int64_t(1) << 14) / std::max(p.wnx, 1) + 1, p.N * rows / (std::int64_t(threads) * 8)));
    const std::int64_t unit = rows_per_chunk(tile_part(p, 0, 0, std::min<std::int64_t>(rows, 1)));
    if (unit <= most && p.N * ((rows + unit - 1) / unit) >= 4 * threads)
        return unit * std::max<std::int64_t>(1, want / unit);
    return std::min(rows, want);
}

bool reading_of(const call &c, int size, reading &r)
{
    const block &b = c.image;
    const source dense_strides{nullptr, b.d[1] * b.d[2] * b.d[3], b.d[2] * b.d[3], b.d[3]};
    if (c.im.count == 0)
        return true;
    const bool moded = c.rq.moded && c.rq.rule != cubic;
    if (c.rq.rule == cubic || c.smooth) {  // a copy of its own, which the filters overwrite
        r.dense.reset(alloc_floats(spline_count(c), false));  // cubic's grown in place
        r.src = dense_strides;
        r.src.data = r.dense.get();
        // cubic's and the moded rows take 64-bit offsets; linear's windows read boxes of the copy
        r.bounded = c.rq.rule == cubic || moded || dense_strides.volume <= extent_limit;
        return bool(r.dense);
    }
    const bool lin = c.rq.rule == linear;
    auto here = [&](bool bounded) {
        return lin ? in_place(b, bounded, r.src) : typed_in_place(b, size, bounded, r.src);
    };
    // The copy's furthest sample within a volume is its count less one.
    // Moded rows take 64-bit offsets: any reach will do.
    r.bounded = moded || here(true) || dense_strides.volume <= extent_limit;
    if (here(r.bounded && !moded)) {
        r.typed_src = lin ? nullptr : b.data;
        return true;
    }
    const std::int64_t each = lin ? 4 : size;  // NumPy holds the image: its count fits, not always its copy's bytes
    if (c.im.count <= std::numeric_limits<std::intptr_t>::max() / each) {
        if (lin)
            r.dense.reset(alloc_floats(c.im.count, false));
        else
            r.copy.reset(static_cast<unsigned char *>(std::malloc(std::size_t(c.im.count * each))));
    }
    r.src = dense_strides;
    r.src.data = r.dense.get();
    r.typed_src = reinterpret_cast<const char *>(r.copy.get());
    return r.dense || r.copy;
}

plan plan_of(const call &c, const reading &r, char *out, int size)
{
    plan p{};
    p.src = r.src;
    p.typed = r.typed_src;
    p.size = size;
    p.bnz = int(c.im.dims[1]), p.bny = int(c.im.dims[2]), p.bnx = int(c.im.dims[3]);
    const std::intptr_t *t = c.rq.tile;
    if (c.rq.tiled) {
        p.Z = int(t[0]), p.Y = int(t[1]), p.X = int(t[2]);
        p.bz = int(t[3]), p.by = int(t[4]), p.bx = int(t[5]);
        p.wz = int(t[6]), p.wy = int(t[7]), p.wx = int(t[8]);
    } else {
        p.Z = p.bnz, p.Y = p.bny, p.X = p.bnx;
    }
    p.out = out;
    p.N = int(c.od[0]), p.wnz = int(c.od[1]), p.wny = int(c.od[2]), p.wnx = int(c.od[3]);
    p.orow = p.wnx, p.oslice = std::int64_t(p.wny) * p.wnx, p.ovolume = p.oslice * p.wnz;
    p.spacing = c.sp.get(), p.out_spacing = c.osp ? c.osp.get() : c.sp.get(), p.maps = c.maps.get();
    p.per_volume = c.per_volume;
    p.rule = c.rq.rule;
    p.moded = c.rq.moded && c.rq.rule != cubic;
    p.value = static_cast<float>(c.rq.cval);
    return p;
}

bool windows_of(const plan &p, bool bounded, wins_t &out)
{
    const std::int64_t all[6] = {0, p.wnz, 0, p.wny, 0, p.wnx};
    try {
        if (p.rule == cubic || p.moded) {  // 64-bit offsets: slabs of fewer than 2^31 rows, the whole box each
            const std::int64_t step = std::max<std::int64_t>(1, (extent_limit - 1) / std::max(p.wny, 1));
            for (std::int64_t z = 0; z < p.wnz; z += step)
                out.push_back({0, p.N, {z, std::min<std::int64_t>(p.wnz, z + step), 0, p.wny, 0, p.wnx},
                               {p.bz, p.bz + p.bnz, p.by, p.by + p.bny, p.bx, p.bx + p.bnx}, false, false});
            return true;
        }
        if (bounded && std::int64_t(p.wnz) * p.wny < extent_limit) {
            out.push_back({0, p.N, {0, p.wnz, 0, p.wny, 0, p.wnx},
                           {p.bz, p.bz + p.bnz, p.by, p.by + p.bny, p.bx, p.bx + p.bnx}, false, false});
            return true;
        }
        for (std::int64_t v = 0; v < (p.per_volume ? p.N : 1); ++v)
            cut(p, map_of(p, v), v, p.per_volume ? v + 1 : p.N, all, out);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

plan window_plan(const plan &p, const win &x, const unsigned char *copy)
{
    plan q = p;
    q.N = int(x.v1 - x.v0);
    q.wz = int(p.wz + x.w[0]), q.wy = int(p.wy + x.w[2]), q.wx = int(p.wx + x.w[4]);
    q.wnz = int(x.w[1] - x.w[0]), q.wny = int(x.w[3] - x.w[2]), q.wnx = int(x.w[5] - x.w[4]);
    q.out = p.out + (x.w[0] * p.oslice + x.w[2] * p.orow + x.w[4]) * p.size;
    if (x.none) {  // nothing read: the fill alone
        q.bnz = q.bny = q.bnx = 0;
        return q;
    }
    q.bz = int(x.b[0]), q.by = int(x.b[2]), q.bx = int(x.b[4]);
    q.bnz = int(x.b[1] - x.b[0]), q.bny = int(x.b[3] - x.b[2]), q.bnx = int(x.b[5] - x.b[4]);
    if (copy) {
        q.src = {nullptr, 0, std::int64_t(q.bny) * q.bnx, q.bnx};
        q.src.data = floats_out(p.rule) ? reinterpret_cast<const float *>(copy) : nullptr;
        q.typed = floats_out(p.rule) ? nullptr : reinterpret_cast<const char *>(copy);
        return q;
    }
    const std::int64_t at = (x.b[0] - p.bz) * p.src.slice + (x.b[2] - p.by) * p.src.row + (x.b[4] - p.bx);
    q.src.data = p.src.data ? p.src.data + at : nullptr;
    q.typed = p.typed ? p.typed + at * p.size : nullptr;
    return q;
}

void copy_box(const call &c, const plan &p, const win &x, std::int64_t v, unsigned char *dst, int threads)
{
    // Linear copies from the floats the call reads (smoothed, where antialias
    // smooths them), typed from the image.
    block b = c.image;
    if (floats_out(p.rule) && p.src.data) {
        b.data = reinterpret_cast<const char *>(p.src.data), b.type = dt_float, b.swapped = false;
        b.s[0] = 4 * p.src.volume, b.s[1] = 4 * p.src.slice, b.s[2] = 4 * p.src.row, b.s[3] = 4;
    }
    b.data += v * b.s[0] + (x.b[0] - p.bz) * b.s[1] + (x.b[2] - p.by) * b.s[2] + (x.b[4] - p.bx) * b.s[3];
    b.d[0] = 1, b.d[1] = x.b[1] - x.b[0], b.d[2] = x.b[3] - x.b[2], b.d[3] = x.b[5] - x.b[4];
    if (floats_out(p.rule))
        convert(b, reinterpret_cast<float *>(dst), threads);
    else
        copy_typed(b, p.size, dst, threads);
}
