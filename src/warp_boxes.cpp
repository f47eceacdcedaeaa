#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "warp_boxes.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "boxes.h"
#include "checks.h"
#include "fpmode.h"
#include "geometry.h"
#include "modes.h"
#include "rules.h"
#include "warp.h"

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

// The planes [lo, hi] one point reads along each axis (X, Y, Z), as
// warp_points.h's rules read them; false where it reads none.
bool footprint(int rule, float c[3], const std::int64_t E[3], std::int64_t lo[3], std::int64_t hi[3])
{
    if (rule == nearest) {
        for (int a = 0; a < 3; ++a) {
            int held;
            lo[a] = hi[a] = nearest_plane(c[a], 0.0, double(E[a]), held);
            if (!held)
                return false;
        }
        return true;
    }
    int k[3], i0[3] = {};
    for (int a = 0; a < 3; ++a)
        if ((k[a] = classify(c[a], int(E[a]), i0[a])) == outside)
            return false;
    if ((k[0] != inside) + (k[1] != inside) + (k[2] != inside) > 1)
        return false;
    for (int a = 0; a < 3; ++a)
        lo[a] = first_plane(k[a], i0[a], E[a]), hi[a] = last_plane(k[a], i0[a], E[a]);
    return true;
}

// Under a mode, and for cubic: the least and greatest coordinates along
// each axis of the points that map (NaN and, under "constant", outside
// points read nothing), which boxes.cpp's points_reach grows.
struct extent_of {
    float lo[3], hi[3];
    bool any = false;
    void add(const float c[3], const std::int64_t E[3], bool constant)
    {
        moded_axis a;
        for (int k = 0; k < 3; ++k)
            if (!moded_axis_of(c[k], E[k], constant, a))
                return;
        for (int k = 0; k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], c[k]) : c[k];
            hi[k] = any ? std::max(hi[k], c[k]) : c[k];
        }
        any = true;
    }
};

} // namespace

PyObject *warp_boxes(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                     PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                     PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x)
{
    chain_ptr chain = warp_chain_of(image, spacing, steps, output_shape, output_spacing, cval, interpolation, mode);
    if (!chain)
        return nullptr;
    if (edges_n == Py_None)
        Py_RETURN_NONE;
    std::int64_t od[4], sd[3];
    chain_grid(*chain, od, sd);
    npy_intp nn, nz, ny, nx;
    const std::int64_t *en = edges_of(edges_n, "edges_n", od[0], nn);
    const std::int64_t *ez = en ? edges_of(edges_z, "edges_z", od[1], nz) : nullptr;
    const std::int64_t *ey = ez ? edges_of(edges_y, "edges_y", od[2], ny) : nullptr;
    const std::int64_t *ex = ey ? edges_of(edges_x, "edges_x", od[3], nx) : nullptr;
    if (!ex)
        return nullptr;
    npy_intp dims[5] = {nn - 1, nz - 1, ny - 1, nx - 1, 6};
    PyObject *result = PyArray_SimpleNew(5, dims, NPY_INT64);
    if (!result)
        return nullptr;
    auto *box = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)));
    const std::int64_t total = std::int64_t(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(result)));
    std::fill(box, box + total, std::int64_t(-1));
    if (sd[0] == 0 || sd[1] == 0 || sd[2] == 0)
        return result;  // an empty source: nothing is read

    const int rule = chain_rule(*chain);
    bool moded;
    const int m = chain_mode(*chain, moded);
    const bool grown = rule == cubic || moded;
    const std::int64_t E[3] = {sd[2], sd[1], sd[0]};
    constexpr std::int64_t none = std::numeric_limits<std::int64_t>::max();
    const fp_scope fp;
    float cx[256], cy[256], cz[256];
    for (npy_intp bn = 0; bn + 1 < nn; ++bn)
        for (npy_intp bz = 0; bz + 1 < nz; ++bz)
            for (npy_intp by = 0; by + 1 < ny; ++by)
                for (npy_intp bx = 0; bx + 1 < nx; ++bx) {
                    std::int64_t lo[3] = {none, none, none}, hi[3] = {-1, -1, -1};
                    extent_of ext;
                    for (std::int64_t v = en[bn]; v < en[bn + 1]; ++v)
                        for (std::int64_t z = ez[bz]; z < ez[bz + 1]; ++z)
                            for (std::int64_t y = ey[by]; y < ey[by + 1]; ++y)
                                for (std::int64_t x0 = ex[bx]; x0 < ex[bx + 1]; x0 += 256) {
                                    const int n = int(std::min<std::int64_t>(256, ex[bx + 1] - x0));
                                    chain_points(*chain, v, z, y, x0, n, cx, cy, cz);
                                    for (int i = 0; i < n; ++i) {
                                        float c[3] = {cx[i], cy[i], cz[i]};
                                        if (grown) {
                                            ext.add(c, E, m == constant);
                                            continue;
                                        }
                                        std::int64_t a[3], b[3];
                                        if (!footprint(rule, c, E, a, b))
                                            continue;
                                        for (int k = 0; k < 3; ++k)
                                            lo[k] = std::min(lo[k], a[k]), hi[k] = std::max(hi[k], b[k]);
                                    }
                                }
                    bool reads = ext.any;
                    for (int k = 0; grown && reads && k < 3; ++k)
                        if ((reads = points_reach(rule, moded, m, ext.lo[k], ext.hi[k], E[k], lo[k], hi[k])))
                            --hi[k];  // [first, last) to the last plane
                    if (grown ? !reads : hi[0] < 0)
                        continue;
                    std::int64_t *b = box + (((bn * (nz - 1) + bz) * (ny - 1) + by) * (nx - 1) + bx) * 6;
                    b[0] = lo[2], b[1] = hi[2] + 1, b[2] = lo[1], b[3] = hi[1] + 1, b[4] = lo[0], b[5] = hi[0] + 1;
                }
    return result;
}
