// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/boxes_entry.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstdint>

#include "edge/checks.h"
#include "engine/boxes.h"
#include "vocab/modes.h"
#include "vocab/rules.h"
#include "vocab/sizes.h"
#include "vocab/texts.h"

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

// The index of name among names[0, n), or n.
int name_of(PyObject *name, const char *const *names, int n)
{
    int k = 0;
    while (k < n && !(PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[k]) == 0))
        ++k;
    return k;
}

// reach: None, or (rule, mode, antialias): the interpolation's name; a
// mode name, or None ("constant" for "cubic", no extension for the
// others); True or False.
bool read_reach(PyObject *obj, reach_rule &r)
{
    if (obj == Py_None)
        return true;
    const bool ok = PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 3 && PyBool_Check(PyTuple_GET_ITEM(obj, 2));
    const int k = ok ? name_of(PyTuple_GET_ITEM(obj, 0), rule_names, rule_count) : rule_count;
    PyObject *name = ok ? PyTuple_GET_ITEM(obj, 1) : nullptr;
    const int m = ok && name != Py_None ? name_of(name, mode_names, mode_count) : 0;
    if (!ok || k == rule_count || m == mode_count) {
        PyErr_SetString(PyExc_ValueError, text::boxes_reach);
        return false;
    }
    r.cubic = k == cubic, r.moded = k != cubic && name != Py_None, r.near = k == nearest;
    r.m = mode(m), r.smooth = PyTuple_GET_ITEM(obj, 2) == Py_True;
    return true;
}

// A new int64 array of extents dims, or NULL with MemoryError set.
PyObject *new_boxes(npy_intp (&dims)[5])
{
    // Every extent is below 2^31: the blocks' count times 6 fits 64 bits
    // only while it stays below NumPy's limit, checked as it grows.
    std::int64_t total = 1;
    for (npy_intp d : dims) {
        if (total > (std::int64_t(1) << 62) / std::max<npy_intp>(d, 1)) {
            PyErr_SetString(PyExc_MemoryError, text::boxes_nomem);
            return nullptr;
        }
        total *= d;
    }
    return PyArray_SimpleNew(5, dims, NPY_INT64);
}

} // namespace

PyObject *source_boxes(PyObject *extents, PyObject *spacing, PyObject *maps, PyObject *output_spacing,
                       PyObject *reach, PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x)
{
    if (!numpy_ready())
        return nullptr;
    reach_rule rule;
    if (!read_reach(reach, rule))
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
    npy_intp dims[5] = {nn - 1, nz - 1, ny - 1, nx - 1, 6};
    PyObject *result = new_boxes(dims);
    if (!result)
        return nullptr;
    const std::int64_t *edges[4] = {en, ez, ey, ex}, n[4] = {nn, nz, ny, nx};
    block_boxes(ext, sp, osp, m, count, edges, n, rule,
                static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result))));
    return result;
}
