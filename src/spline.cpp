#include "spline.h"

#include <Python.h>

#include <new>

#include "cubic.h"
#include "rules.h"
#include "texts.h"

void places_of(const call &c, axis_place at[3])
{
    for (int a = 0; a < 3; ++a) {
        const std::int64_t n = c.im.dims[3 - a];
        at[a] = c.rq.tiled ? axis_place{n, c.rq.tile[5 - a], c.rq.tile[2 - a]} : axis_place{n, 0, n};
    }
}

bool spline_of(const call &c, reading &r, spline &s)
{
    if (c.rq.mode != cubic || !r.dense)
        return true;
    s.pad = pad_of(mode(c.rq.bound));
    try {
        s.h = spline_taps();
    } catch (const std::bad_alloc &) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    if (!s.pad)
        return true;
    axis_place at[3];
    places_of(c, at);
    std::int64_t g[3];
    for (int a = 0; a < 3; ++a)
        g[a] = coef_span_of(s.pad, at[a].origin, at[a].n, at[a].whole).n;
    s.grown.reset(alloc_floats(c.im.dims[0] * g[2] * g[1] * g[0], false));
    if (!s.grown) {
        PyErr_SetString(PyExc_MemoryError, reader_nomem(c.im.nd));
        return false;
    }
    r.src = {s.grown.get(), g[2] * g[1] * g[0], g[1] * g[0], g[0]};
    return true;
}

bool coefficients(const call &c, reading &r, spline &s, float fill, int threads)
{
    if (c.rq.mode != cubic || !r.dense)
        return true;
    const mode m = mode(c.rq.bound);
    const taps *const hs[3] = {&s.h, &s.h, &s.h};
    axis_place at[3];
    places_of(c, at);
    if (!s.pad)
        return filter_volumes(r.dense.get(), c.im.dims[0], at, hs, m, fill, threads);
    axis_place grown[3];
    std::int64_t before[3], after[3];
    for (int a = 0; a < 3; ++a) {
        const coef_span h = coef_span_of(s.pad, at[a].origin, at[a].n, at[a].whole);
        grown[a] = {h.n, h.lo, at[a].whole};
        before[a] = at[a].origin - h.lo, after[a] = h.n - at[a].n - before[a];
    }
    if (!grow_volumes(r.dense.get(), s.grown.get(), c.im.dims[0], at, before, after, m, fill, threads))
        return false;
    r.dense.reset();
    return filter_volumes(s.grown.get(), c.im.dims[0], grown, hs, m, fill, threads);
}

