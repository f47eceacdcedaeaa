// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "boxes.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "checks.h"
#include "fpmode.h"
#include "texts.h"
#include "resample_rows.h"

namespace {

// The elements of an array of NumPy type `type` (NPY_FLOAT or NPY_INT64)
// and their count, or NULL with an exception set.
template <class T> const T *elements(PyObject *obj, const char *name, int type, npy_intp &n)
{
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, text::boxes_type, name,
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(obj);
    if (!PyArray_EquivTypenums(PyArray_TYPE(a), type) || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
        PyErr_Format(PyExc_ValueError, text::boxes_layout, name, type == NPY_FLOAT ? "float32" : "int64");
        return nullptr;
    }
    n = PyArray_SIZE(a);
    return static_cast<const T *>(PyArray_DATA(a));
}

constexpr std::int64_t far = extent_limit;

// Chunk edges: two or more, from 0 up, each at or above the one before.
bool edges_ok(const std::int64_t *e, npy_intp n, const char *name)
{
    bool ok = n >= 2 && e[0] >= 0 && e[n - 1] < far;
    for (npy_intp k = 1; ok && k < n; ++k)
        ok = e[k] >= e[k - 1];
    if (!ok)
        PyErr_Format(PyExc_ValueError, text::boxes_edges, name);
    return ok;
}

// The output positions of each window's first and last voxel along one
// axis, as the kernel places them: float(i) * o.
std::vector<float> corners(const std::int64_t *e, npy_intp n, float o)
{
    std::vector<float> p(2 * std::size_t(n - 1));
    for (npy_intp j = 0; j + 1 < n; ++j) {
        p[2 * j] = float(e[j]) * o;
        p[2 * j + 1] = float(std::max(e[j], e[j + 1] - 1)) * o;
    }
    return p;
}

// The source planes [first, last) one axis of a window reads, from the
// coordinates c at its eight corners; false for none. classify's rule:
// i0 = trunc(c); inside reads i0 and i0 + 1, the low band (i0 = -1) plane 0,
// the high band (i0 = E - 1) plane E - 1, anything further nothing. c and
// trunc are monotone, so the window reaches no plane beyond the extremes'.
bool reach(const float c[8], std::int64_t E, std::int64_t &first, std::int64_t &last)
{
    float lo = c[0], hi = c[0];
    for (int i = 0; i < 8; ++i) {
        if (std::isnan(c[i])) {  // infinities met (inf - inf, 0 * inf): the whole axis
            first = 0, last = E;
            return E > 0;
        }
        lo = std::min(lo, c[i]), hi = std::max(hi, c[i]);
    }
    // Clamped first: a float beyond the int64 range has no defined truncation.
    auto trunc = [](float v) { return std::int64_t(std::min(std::max(double(v), -0x1p40), 0x1p40)); };
    const std::int64_t i = trunc(lo), j = trunc(hi);
    first = std::max<std::int64_t>(i, 0);
    last = std::min<std::int64_t>(j + 1, E - 1) + 1;
    return j >= -1 && i <= E - 1 && last > first;
}

// Whether a volume maps nowhere: an axis whose every coordinate is NaN or
// infinite.
bool nowhere(const float *sp, const float *map)
{
    bool dead = false;
    for (int a = 0; a < 3; ++a)
        dead = dead || sp[a] == 0 || std::isnan(sp[a]) || std::isnan(map[4 * a]) || std::isnan(map[4 * a + 1]) ||
               std::isnan(map[4 * a + 2]) || std::isnan(map[4 * a + 3]);
    return dead;
}

// The box (z0, z1, y0, y1, x0, x1) a window reads, from the output
// positions of its first and last voxel along X, Y and Z (px, py, pz);
// false when it reads nothing.
bool corner_box(const std::int64_t E[3], const float *sp, const float *map, const float *px, const float *py,
                const float *pz, std::int64_t box[6])
{
    std::int64_t got[3][2];
    float c[8];
    for (int a = 0; a < 3; ++a) {
        const float *r = map + 4 * a;
        axis_map am = {r[0], 0, 0, r[3], sp[a], exact_inverse(sp[a])};
        for (int k = 0; k < 8; ++k) {  // corner k: bit 0 x, 1 y, 2 z
            am.a = r[1] * py[k >> 1 & 1];
            am.b = r[2] * pz[k >> 2];
            c[k] = numerator(am, px[k & 1]);
        }
        divide(c, 8, am);
        if (!reach(c, E[a], got[a][0], got[a][1]))
            return false;
    }
    for (int a = 0; a < 3; ++a)  // the box is Z, Y, X
        box[2 * (2 - a)] = got[a][0], box[2 * (2 - a) + 1] = got[a][1];
    return true;
}

} // namespace

bool window_box(const std::int64_t extents[3], const float *spacing, const float *output_spacing,
                const float *map, const std::int64_t window[6], std::int64_t box[6])
{
    if (window[0] >= window[1] || window[2] >= window[3] || window[4] >= window[5] || nowhere(spacing, map))
        return false;
    const std::int64_t E[3] = {extents[2], extents[1], extents[0]};
    float p[3][2];  // X, Y, Z, as corners() places them
    for (int a = 0; a < 3; ++a) {
        const std::int64_t *e = window + 2 * (2 - a);
        p[a][0] = float(e[0]) * output_spacing[a], p[a][1] = float(e[1] - 1) * output_spacing[a];
    }
    return corner_box(E, spacing, map, p[0], p[1], p[2], box);
}

PyObject *source_boxes(PyObject *extents, PyObject *spacing, PyObject *output_spacing, PyObject *maps,
                       PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x)
{
    if (!numpy_ready())
        return nullptr;
    npy_intp ne, ns, no, nm, nn, nz, ny, nx;
    const auto *ext = elements<std::int64_t>(extents, "extents", NPY_INT64, ne);
    if (!ext)
        return nullptr;
    const auto *sp = elements<float>(spacing, "spacing", NPY_FLOAT, ns);
    if (!sp)
        return nullptr;
    const auto *osp = elements<float>(output_spacing, "output_spacing", NPY_FLOAT, no);
    if (!osp)
        return nullptr;
    const auto *m = elements<float>(maps, "maps", NPY_FLOAT, nm);
    if (!m)
        return nullptr;
    const auto *en = elements<std::int64_t>(edges_n, "edges_n", NPY_INT64, nn);
    const auto *ez = en ? elements<std::int64_t>(edges_z, "edges_z", NPY_INT64, nz) : nullptr;
    const auto *ey = ez ? elements<std::int64_t>(edges_y, "edges_y", NPY_INT64, ny) : nullptr;
    const auto *ex = ey ? elements<std::int64_t>(edges_x, "edges_x", NPY_INT64, nx) : nullptr;
    if (!ex || !edges_ok(en, nn, "edges_n") || !edges_ok(ez, nz, "edges_z") || !edges_ok(ey, ny, "edges_y") ||
        !edges_ok(ex, nx, "edges_x"))
        return nullptr;
    const npy_intp count = nm / 12;  // maps
    if (ne != 3 || ns != 3 || no != 3 || nm % 12 || std::min({ext[0], ext[1], ext[2]}) < 0 ||
        std::max({ext[0], ext[1], ext[2]}) >= far || (count != 1 && en[nn - 1] > count)) {
        PyErr_SetString(PyExc_ValueError, text::boxes_sizes);
        return nullptr;
    }
    // Every extent is below 2^31: the blocks' count times 6 fits 64 bits
    // only while it stays below NumPy's limit, checked as it grows.
    npy_intp dims[5] = {nn - 1, nz - 1, ny - 1, nx - 1, 6};
    std::int64_t total = 1;
    for (npy_intp d : dims) {
        if (total > (std::int64_t(1) << 62) / std::max<npy_intp>(d, 1)) {
            PyErr_SetString(PyExc_MemoryError, text::boxes_nomem);
            return nullptr;
        }
        total *= d;
    }
    PyObject *result = PyArray_SimpleNew(5, dims, NPY_INT64);
    if (!result)
        return nullptr;
    auto *box = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)));
    std::fill(box, box + total, std::int64_t(-1));

    // The kernel's arithmetic in its defined mode, whatever the caller's.
    const fp_scope mode;
    const std::vector<float> px = corners(ex, nx, osp[0]), py = corners(ey, ny, osp[1]), pz = corners(ez, nz, osp[2]);
    const std::int64_t E[3] = {ext[2], ext[1], ext[0]};  // X, Y, Z
    for (npy_intp bn = 0; bn + 1 < nn; ++bn)
        for (std::int64_t v = en[bn]; v < en[bn + 1]; ++v) {
            const float *map = m + (count == 1 ? 0 : 12 * v);
            if (nowhere(sp, map))
                continue;
            std::int64_t *at = box + bn * (nz - 1) * (ny - 1) * (nx - 1) * 6;
            for (npy_intp bz = 0; bz + 1 < nz; ++bz)
                for (npy_intp by = 0; by + 1 < ny; ++by)
                    for (npy_intp bx = 0; bx + 1 < nx; ++bx, at += 6) {
                        if (ez[bz] == ez[bz + 1] || ey[by] == ey[by + 1] || ex[bx] == ex[bx + 1])
                            continue;  // no voxels
                        std::int64_t got[6];
                        if (!corner_box(E, sp, map, &px[2 * bx], &py[2 * by], &pz[2 * bz], got))
                            continue;
                        for (int k = 0; k < 6; k += 2) {
                            const bool fresh = at[k] < 0;
                            at[k] = fresh ? got[k] : std::min(at[k], got[k]);
                            at[k + 1] = fresh ? got[k + 1] : std::max(at[k + 1], got[k + 1]);
                        }
                    }
        }
    return result;
}
