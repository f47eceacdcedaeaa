#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/warp_boxes.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "edge/checks.h"
#include "edge/driver.h"
#include "vocab/fpmode.h"
#include "vocab/texts.h"
#include "edge/warp.h"
#include "edge/request.h"
#include "engine/warp_boxes.h"
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

    const int threads = thread_count(cap, points);
    box_jobs j;
    // The steps' fields are read where they lie: held while the lock is released.
    PyObject *held = PyList_AsTuple(steps);
    if (!held || !box_jobs_of(*chain, g, sd, total / 6, points, threads, j)) {
        Py_XDECREF(held);
        Py_DECREF(result);
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return nullptr;
    }

    const fp_scope fp;
    // No Python object is touched while the lock is released (see transform_into).
    PyThreadState *state = points >= 4096 ? PyEval_SaveThread() : nullptr;
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    const bool whole = run_box_jobs(*chain, j, threads, [&] { return no_interrupt(state, next); }, box);
    if (state)
        PyEval_RestoreThread(state);
    Py_DECREF(held);
    if (!whole) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}
