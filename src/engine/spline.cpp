#include "engine/spline.h"

#include <new>

#include "kernels/cubic.h"
#include "vocab/rules.h"

void places_of(const call &c, axis_place at[3])
{
    for (int a = 0; a < 3; ++a) {
        const std::int64_t n = c.im.dims[3 - a];
        at[a] = c.rq.tiled ? axis_place{n, c.rq.tile[5 - a], c.rq.tile[2 - a]} : axis_place{n, 0, n};
    }
}

namespace {

// The coefficients' extents along X, Y, Z: the image's, grown by `pad`
// beyond the whole's edges it reaches.
void grown_extents(const call &c, int pad, std::int64_t g[3])
{
    axis_place at[3];
    places_of(c, at);
    for (int a = 0; a < 3; ++a)
        g[a] = coef_span_of(pad, at[a].origin, at[a].n, at[a].whole).n;
}

} // namespace

std::int64_t spline_count(const call &c)
{
    std::int64_t g[3];
    grown_extents(c, c.rq.rule == cubic ? pad_of(mode(c.rq.mode)) : 0, g);
    // Past 2^60 no allocation succeeds: the count stops there, within 64 bits.
    constexpr std::int64_t most = std::int64_t(1) << 60;
    std::int64_t n = c.im.dims[0];
    for (int a = 0; a < 3; ++a)
        n = g[a] && n > most / g[a] ? most : n * g[a];
    return n;
}

bool spline_of(const call &c, reading &r, spline &s)
{
    if (c.rq.rule != cubic || !r.dense)
        return true;
    s.pad = pad_of(mode(c.rq.mode));
    try {
        s.h = spline_taps();
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::int64_t g[3];
    grown_extents(c, s.pad, g);
    r.src = {r.dense.get(), g[2] * g[1] * g[0], g[1] * g[0], g[0]};
    return true;
}

bool coefficients(const call &c, reading &r, spline &s, float fill, int threads, const go_fn &go)
{
    if (c.rq.rule != cubic || !r.dense)
        return true;
    const mode m = mode(c.rq.mode);
    const taps *const hs[3] = {&s.h, &s.h, &s.h};
    axis_place at[3];
    places_of(c, at);
    if (!s.pad)
        return filter_volumes(r.dense.get(), c.im.dims[0], at, hs, m, fill, threads, go);
    axis_place grown[3];
    std::int64_t before[3], after[3];
    for (int a = 0; a < 3; ++a) {
        const coef_span h = coef_span_of(s.pad, at[a].origin, at[a].n, at[a].whole);
        grown[a] = {h.n, h.lo, at[a].whole};
        before[a] = at[a].origin - h.lo, after[a] = h.n - at[a].n - before[a];
    }
    return grow_volumes(r.dense.get(), c.im.dims[0], at, before, after, m, fill, threads, go) &&
           filter_volumes(r.dense.get(), c.im.dims[0], grown, hs, m, fill, threads, go);
}
