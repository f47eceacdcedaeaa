#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/warp_boxes.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "engine/boxes.h"
#include "edge/checks.h"
#include "edge/driver.h"
#include "vocab/fpmode.h"
#include "kernels/points.h"
#include "vocab/modes.h"
#include "vocab/rules.h"
#include "vocab/texts.h"
#include "edge/warp.h"
#include "edge/request.h"
#include "engine/workers.h"

namespace {

// Edges of one axis: int64, C-contiguous, from 0 up to `extent`, never down.
const std::int64_t *edges_of(PyObject *obj, const char *name, std::int64_t extent, npy_intp &n)
{
    auto *a = reinterpret_cast<PyArrayObject *>(obj);
    bool ok = PyArray_Check(obj) && PyArray_TYPE(a) == NPY_INT64 && PyArray_ISNBO(PyArray_DESCR(a)->byteorder) &&
              PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a) && PyArray_NDIM(a) == 1 &&
              (n = PyArray_SIZE(a)) >= 2;
    const auto *e = ok ? static_cast<const std::int64_t *>(PyArray_DATA(a)) : nullptr;
    ok = ok && e[0] == 0 && e[n - 1] == extent;
    for (npy_intp k = 1; ok && k < n; ++k)
        ok = e[k] >= e[k - 1];
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "warp_boxes: %s must be int64 edges from 0 to %lld", name,
                     static_cast<long long>(extent));
        return nullptr;
    }
    return e;
}

// Under a mode, and for cubic: the least and greatest coordinates along
// each axis of the points that map (NaN and, under "constant", outside
// points read nothing), which boxes.cpp's points_reach grows.
struct extent_of {
    float lo[3], hi[3];
    bool any = false;
    void add(const float c[3], const std::int64_t E[3], bool constant)
    {
        if (!point_maps(c, E, constant))
            return;
        for (int k = 0; k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], c[k]) : c[k];
            hi[k] = any ? std::max(hi[k], c[k]) : c[k];
        }
        any = true;
    }
    void add(const extent_of &o)
    {
        for (int k = 0; o.any && k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], o.lo[k]) : o.lo[k];
            hi[k] = any ? std::max(hi[k], o.hi[k]) : o.hi[k];
        }
        any = any || o.any;
    }
};

constexpr std::int64_t none = std::numeric_limits<std::int64_t>::max();

// What some points read: the planes [lo, hi] along X, Y, Z (lo none where
// they read none), or under a mode and for cubic their extent.
struct found {
    std::int64_t lo[3] = {none, none, none}, hi[3] = {-1, -1, -1};
    extent_of ext;
    void add(const found &o)
    {
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], o.lo[k]), hi[k] = std::max(hi[k], o.hi[k]);
        ext.add(o.ext);
    }
};

// The rule, its mode, and the source's extents along X, Y, Z.
struct reading_rule {
    int rule, m;
    bool moded, grown;
    std::int64_t E[3];
};

// The blocks of the output grid, numbered along N, Z, Y, X (X fastest):
// edges e[a], n[a] of them, along each.
struct grid_blocks {
    const std::int64_t *e[4];
    npy_intp n[4];
};

// Block b's first voxel along N, Z, Y, X and its extents.
void block_of(const grid_blocks &g, std::int64_t b, std::int64_t at[4], std::int64_t len[4])
{
    for (int a = 3; a >= 0; --a) {
        const std::int64_t k = b % (g.n[a] - 1);
        b /= g.n[a] - 1;
        at[a] = g.e[a][k], len[a] = g.e[a][k + 1] - g.e[a][k];
    }
}

// A block's jobs: its rows (volume, then Z, then Y) `per` at a time, each
// job about `chunk` points.
std::int64_t jobs_of(const std::int64_t len[4], std::int64_t chunk, std::int64_t &per)
{
    const std::int64_t rows = len[3] ? len[0] * len[1] * len[2] : 0;
    per = std::max<std::int64_t>(1, chunk / std::max<std::int64_t>(len[3], 1));
    return (rows + per - 1) / per;
}

// What the points of job j of block b read.
void job_reads(const warp_chain &chain, const reading_rule &r, const grid_blocks &g, std::int64_t b,
               std::int64_t j, std::int64_t chunk, found &f)
{
    std::int64_t at[4], len[4], per;
    block_of(g, b, at, len);
    jobs_of(len, chunk, per);
    const std::int64_t rows = len[0] * len[1] * len[2];
    float cx[256], cy[256], cz[256];
    for (std::int64_t q = j * per; q < std::min(rows, (j + 1) * per); ++q) {
        const std::int64_t v = at[0] + q / (len[1] * len[2]), z = at[1] + q / len[2] % len[1],
                           y = at[2] + q % len[2];
        for (std::int64_t x0 = at[3]; x0 < at[3] + len[3]; x0 += 256) {
            const int n = int(std::min<std::int64_t>(256, at[3] + len[3] - x0));
            chain_points(chain, v, z, y, x0, n, cx, cy, cz);
            for (int i = 0; i < n; ++i) {
                float c[3] = {cx[i], cy[i], cz[i]};
                if (r.grown) {
                    f.ext.add(c, r.E, r.m == constant);
                    continue;
                }
                std::int64_t a[3], e[3];
                if (!footprint(r.rule, c, r.E, a, e))
                    continue;
                for (int k = 0; k < 3; ++k)
                    f.lo[k] = std::min(f.lo[k], a[k]), f.hi[k] = std::max(f.hi[k], e[k]);
            }
        }
    }
}

// Block b's box at o from what its points read; false where they read none.
bool box_of(const reading_rule &r, found &f, std::int64_t *o)
{
    bool reads = f.ext.any;
    for (int k = 0; r.grown && reads && k < 3; ++k)
        if ((reads = points_reach(r.rule, r.moded, r.m, f.ext.lo[k], f.ext.hi[k], r.E[k], f.lo[k], f.hi[k])))
            --f.hi[k];  // [first, last) to the last plane
    if (r.grown ? !reads : f.hi[0] < 0)
        return false;
    o[0] = f.lo[2], o[1] = f.hi[2] + 1, o[2] = f.lo[1], o[3] = f.hi[1] + 1, o[4] = f.lo[0], o[5] = f.hi[0] + 1;
    return true;
}

// The output grid's blocks from the edges along N, Z, Y, X, the source's
// extents Z, Y, X into sd and the output's points; false with the
// exception set.
bool blocks_of(const warp_chain &chain, PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x,
               grid_blocks &g, std::int64_t sd[3], std::int64_t &points)
{
    std::int64_t od[4];
    chain_grid(chain, od, sd);
    const std::int64_t *en = edges_of(edges_n, "edges_n", od[0], g.n[0]);
    const std::int64_t *ez = en ? edges_of(edges_z, "edges_z", od[1], g.n[1]) : nullptr;
    const std::int64_t *ey = ez ? edges_of(edges_y, "edges_y", od[2], g.n[2]) : nullptr;
    const std::int64_t *ex = ey ? edges_of(edges_x, "edges_x", od[3], g.n[3]) : nullptr;
    if (!ex)
        return false;
    g.e[0] = en, g.e[1] = ez, g.e[2] = ey, g.e[3] = ex;
    // Every extent is below 2^31: the points' count, checked as it grows,
    // bounds every block's rows and jobs.
    points = 1;
    for (std::int64_t d : od) {
        if (d && points > (std::int64_t(1) << 62) / d) {
            PyErr_SetString(PyExc_MemoryError, text::warp_boxes_size);
            return false;
        }
        points *= d;
    }
    return true;
}

// Block b's jobs of about `chunk` points are [first[b], first[b + 1]), job
// i's findings at got[i]; false when they cannot be held.
bool block_jobs(const grid_blocks &g, std::int64_t blocks, std::int64_t chunk, std::vector<std::int64_t> &first,
                std::vector<found> &got)
{
    try {
        first.resize(std::size_t(blocks) + 1);
        for (std::int64_t b = 0; b < blocks; ++b) {
            std::int64_t at[4], len[4], per;
            block_of(g, b, at, len);
            first[std::size_t(b) + 1] = first[std::size_t(b)] + jobs_of(len, chunk, per);
        }
        got.resize(std::size_t(first.back()));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// Each block's jobs met in order, into its box: the same planes for any
// thread count.
void merge_jobs(const reading_rule &r, const std::vector<std::int64_t> &first, const std::vector<found> &got,
                std::int64_t *box)
{
    for (std::size_t b = 0; b + 1 < first.size(); ++b) {
        found f;
        for (std::int64_t i = first[b]; i < first[b + 1]; ++i)
            f.add(got[std::size_t(i)]);
        box_of(r, f, box + 6 * b);
    }
}

} // namespace

PyObject *warp_boxes(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                     PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                     PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x, PyObject *workers)
{
    const int cap = thread_cap(workers);  // first, as warp converts it: __index__ is the caller's code
    if (!cap)
        return nullptr;
    chain_ptr chain = warp_chain_of(image, spacing, steps, output_shape, output_spacing, cval, interpolation, mode);
    if (!chain)
        return nullptr;
    if (edges_n == Py_None)
        Py_RETURN_NONE;
    std::int64_t sd[3], points;
    grid_blocks g;
    if (!blocks_of(*chain, edges_n, edges_z, edges_y, edges_x, g, sd, points))
        return nullptr;
    npy_intp dims[5] = {g.n[0] - 1, g.n[1] - 1, g.n[2] - 1, g.n[3] - 1, 6};
    PyObject *result = PyArray_SimpleNew(5, dims, NPY_INT64);
    if (!result)
        return nullptr;
    auto *box = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)));
    const std::int64_t total = std::int64_t(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(result)));
    std::fill(box, box + total, std::int64_t(-1));
    if (sd[0] == 0 || sd[1] == 0 || sd[2] == 0)
        return result;  // an empty source: nothing is read

    reading_rule r;
    r.rule = chain_rule(*chain), r.m = chain_mode(*chain, r.moded), r.grown = r.rule == cubic || r.moded;
    r.E[0] = sd[2], r.E[1] = sd[1], r.E[2] = sd[0];
    // Jobs of about `chunk` points, enough for the threads to even out and
    // short enough for an interrupt to be seen soon; block b's are
    // [first[b], first[b + 1]), job i's findings at got[i].
    const std::int64_t blocks = total / 6;
    const int threads = thread_count(cap, points);
    const std::int64_t chunk =
        std::clamp(points / (std::int64_t(threads) * 8), std::int64_t(1) << 14, warp_job_points);
    std::vector<std::int64_t> first;
    std::vector<found> got;
    // The steps' fields are read where they lie: held while the lock is released.
    PyObject *held = PyList_AsTuple(steps);
    if (!held || !block_jobs(g, blocks, chunk, first, got)) {
        Py_XDECREF(held);
        Py_DECREF(result);
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return nullptr;
    }

    const fp_scope fp;
    // No Python object is touched while the lock is released (see transform_into).
    PyThreadState *state = points >= 4096 ? PyEval_SaveThread() : nullptr;
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    const bool whole = parallel(
        threads, first.back(),
        [&](std::int64_t i) {
            const std::int64_t b = std::upper_bound(first.begin(), first.end(), i) - first.begin() - 1;
            job_reads(*chain, r, g, b, i - first[std::size_t(b)], chunk, got[std::size_t(i)]);
        },
        [&] { return no_interrupt(state, next); });
    if (whole)
        merge_jobs(r, first, got, box);
    if (state)
        PyEval_RestoreThread(state);
    Py_DECREF(held);
    if (!whole) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}
