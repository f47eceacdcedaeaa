#include "engine/warp.h"

#include <algorithm>
#include <cstring>

#include "kernels/label.h"
#include "kernels/points.h"
#include "kernels/table.h"
#include "engine/workers.h"
#include "vocab/rules.h"
#include "vocab/sizes.h"

namespace {

struct pts {
    float x[warp_block], y[warp_block], z[warp_block];
};

void affine_step(const float *m, pts &p, int n)
{
    for (int i = 0; i < n; ++i) {
        const float x = p.x[i], y = p.y[i], z = p.z[i];
        p.x[i] = ((m[0] * x + m[1] * y) + m[2] * z) + m[3];
        p.y[i] = ((m[4] * x + m[5] * y) + m[6] * z) + m[7];
        p.z[i] = ((m[8] * x + m[9] * y) + m[10] * z) + m[11];
    }
}

// The continuous source indices of output voxels (z, y, x0 + i), i < n, of
// volume v, the whole grid's indices: the output point through the steps,
// divided by the source's spacing.
void row_points(const std::vector<step> &steps, const float *o, const float *s, std::int64_t v, std::int64_t z,
                std::int64_t y, std::int64_t x0, int n, pts &p)
{
    row_positions(o, z, y, x0, n, p.x, p.y, p.z);
    const warp_field_fn field = best_table().field;
    for (const step &st : steps) {
        if (st.field)
            field(st.f, v, p.x, p.y, p.z, n);
        else
            affine_step(st.maps.get() + (st.per_volume ? 12 * v : 0), p, n);
    }
    for (int i = 0; i < n; ++i)
        p.x[i] = p.x[i] / s[0], p.y[i] = p.y[i] / s[1], p.z[i] = p.z[i] / s[2];
}

// Output row q of the call (volume, then Z, then Y).
void warp_row(const std::vector<step> &steps, const warp_job &w, std::int64_t q)
{
    const std::int64_t v = q / (w.OZ * w.OY), r = q % (w.OZ * w.OY);
    char *o = w.out + q * w.OX * w.size;
    const warp_reads_fn reads = best_table().reads;
    pts p;
    for (std::int64_t x0 = 0; x0 < w.OX; x0 += warp_block) {
        const int n = int(std::min<std::int64_t>(warp_block, w.OX - x0));
        row_points(steps, w.o, w.s, v, w.wz + r / w.OY, w.wy + r % w.OY, w.wx + x0, n, p);
        reads(w, v, p.x, p.y, p.z, n, o + x0 * w.size);
    }
}

} // namespace

warp_job job_of(const call &c, const reading &r, const spline &s, char *out, int size)
{
    warp_job w{};
    w.src = r.src.data, w.typed = r.typed_src;
    w.volume = r.src.volume, w.slice = r.src.slice, w.row = r.src.row;
    w.X = w.bnx = int(c.im.dims[3]), w.Y = w.bny = int(c.im.dims[2]), w.Z = w.bnz = int(c.im.dims[1]);
    w.empty = c.im.count == 0;
    if ((w.tiled = c.rq.tiled)) {
        const std::intptr_t *t = c.rq.tile;
        w.Z = int(t[0]), w.Y = int(t[1]), w.X = int(t[2]);
        w.bz = int(t[3]), w.by = int(t[4]), w.bx = int(t[5]);
        w.origin = w.empty ? 0 : t[3] * r.src.slice + t[4] * r.src.row + t[5];
        w.wz = t[6], w.wy = t[7], w.wx = t[8];
    }
    w.reached = !w.empty && (w.bnz - 1) * r.src.slice + (w.bny - 1) * r.src.row + (w.bnx - 1) < extent_limit;
    w.out = out, w.size = size;
    w.OZ = c.od[1], w.OY = c.od[2], w.OX = c.od[3];
    w.s = c.sp.get(), w.o = c.osp ? c.osp.get() : c.sp.get();
    w.rule = c.rq.rule, w.e = c.e;
    w.moded = c.rq.moded && c.rq.rule != cubic, w.mode = mode(c.rq.mode), w.pad = s.pad;
    w.value = static_cast<float>(c.rq.cval);
    std::memcpy(w.fill, c.fill, sizeof w.fill);
    return w;
}

warp_work work_of(const call &c, const reading &r, const warp_job &w)
{
    warp_work k;
    k.rows = c.od[0] * w.OZ * w.OY;
    const std::int64_t voxels = k.rows * w.OX;
    const std::int64_t work_size = std::max<std::int64_t>(voxels, r.dense || r.copy ? c.im.count : 0);
    k.threads = thread_count(c.rq.cap, work_size);
    k.release = work_size >= 4096;
    // Jobs of whole rows, enough for the threads to even out, each worth
    // taking and short enough for an interrupt to be seen soon.
    const std::int64_t width = std::max<std::int64_t>(w.OX, 1), least = (std::int64_t(1) << 14) / width + 1;
    k.per = k.threads == 1 && !k.release ? k.rows
                                         : std::clamp(k.rows / (std::int64_t(k.threads) * 8), least,
                                                      std::max(least, warp_job_points / width));
    return k;
}

bool warp_source(const call &c, const warp_job &w, reading &r, spline &s, int threads)
{
    if (r.dense)
        convert(c.image, r.dense.get(), threads);
    if (r.copy)
        copy_typed(c.image, w.size, r.copy.get(), threads);
    // The coefficients as transform forms them, before any point reads them.
    return coefficients(c, r, s, w.value, threads);
}

bool warp_rows(const std::vector<step> &steps, const warp_job &w, const warp_work &k, const go_fn &go)
{
    return parallel(
        k.threads, (k.rows + k.per - 1) / k.per,
        [&](std::int64_t i) {
            for (std::int64_t q = i * k.per; q < std::min(k.rows, (i + 1) * k.per); ++q)
                warp_row(steps, w, q);
        },
        go);
}

int chain_rule(const warp_chain &c) { return c.c.rq.rule; }

int chain_mode(const warp_chain &c, bool &given)
{
    given = c.c.rq.moded && c.c.rq.rule != cubic;
    return c.c.rq.mode;
}

void chain_grid(const warp_chain &c, std::int64_t out[4], std::int64_t src[3])
{
    for (int k = 0; k < 4; ++k)
        out[k] = c.c.od[k];
    for (int k = 0; k < 3; ++k)
        src[k] = c.c.im.dims[1 + k];
}

void chain_points(const warp_chain &c, std::int64_t v, std::int64_t z, std::int64_t y, std::int64_t x0, int n,
                  float *cx, float *cy, float *cz)
{
    pts p;
    const float *s = c.c.sp.get();
    row_points(c.steps, c.c.osp ? c.c.osp.get() : s, s, v, z, y, x0, n, p);
    std::memcpy(cx, p.x, sizeof(float) * std::size_t(n));
    std::memcpy(cy, p.y, sizeof(float) * std::size_t(n));
    std::memcpy(cz, p.z, sizeof(float) * std::size_t(n));
}
