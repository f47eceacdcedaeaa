/* The package's binding: objects in, one object out. The package's
   transform (python/vexiloimgc/__init__.py) names the arguments; the checks
   and the work are in src/edge/driver.cpp. vexiloimgc.dask checks a call once
   and asks for its blocks' source boxes (src/edge/boxes_entry.cpp); reslice asks for
   its voxel map (src/edge/affine.cpp). The separable filters (src/edge/filters.cpp)
   alone, the cubic prefilter and the anti-aliasing Gaussian that transform
   runs inside its call, are private entries for the tests. */
%module(package="vexiloimgc") _native

%begin %{
#define VX_MODULE "vexiloimgc._native"
%}
%include "runtime.i"

%{
#include "edge/affine.h"
#include "edge/boxes_entry.h"
#include "edge/driver.h"
#include "edge/filters.h"
#include "vocab/sizes.h"
#include "edge/warp.h"
#include "edge/warp_boxes.h"
%}

/* The sizes the Dask layer plans its blocks by: most voxels one call writes
   (and most elements of a 4-D source), most elements of a 3-D source. */
%constant long long call_limit = max_elements;
%constant long long box_limit = image3d_limit - 1;

/* The package's calls and the Dask layer's checks and boxes take their
   arguments by name, in one order: the source (image, spacing), the map
   (matrix, steps or maps), the output grid, the fill, the rule and mode,
   where the output goes (tile, out, or the blocks' edges), workers. Only
   what a caller may leave off has a default, None or False. Each entry is
   a vectorcall that matches the names by identity: SWIG's keyword wrappers
   build a dict and make every name a new string on every call, some 15 %
   of an 8^3 call's time. */
%{
#include <cstdint>

namespace {

// One entry's parameters in the one order: the first `required` must be
// given, the rest default to None, or to False where `falses` has their bit.
struct params {
    const char *entry;
    int count, required;
    std::uint32_t falses;
    const char *names[13];
    PyObject *keys[13];  // the names, interned at start-up
};

params transform_params = {"transform", 12, 7, 1u << 8,
    {"image", "spacing", "matrix", "output_shape", "output_spacing", "cval", "interpolation", "mode", "antialias",
     "tile", "out", "workers"}, {}};
params warp_params = {"warp", 11, 7, 0,
    {"image", "spacing", "steps", "output_shape", "output_spacing", "cval", "interpolation", "mode", "tile", "out",
     "workers"}, {}};
params check_params = {"transform_check", 9, 7, 1u << 8,
    {"image", "spacing", "matrix", "output_shape", "output_spacing", "cval", "interpolation", "mode", "antialias"},
    {}};
params warp_boxes_params = {"warp_boxes", 13, 7, 0,
    {"image", "spacing", "steps", "output_shape", "output_spacing", "cval", "interpolation", "mode", "edges_n",
     "edges_z", "edges_y", "edges_x", "workers"}, {}};
params source_boxes_params = {"source_boxes", 9, 9, 0,
    {"extents", "spacing", "maps", "output_spacing", "reach", "edges_n", "edges_z", "edges_y", "edges_x"}, {}};

// The arguments, by position and then by name, into arg[0, p.count), with
// Python's own messages for a function's arguments. False with TypeError set.
bool read_args(const params &p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **arg)
{
    if (nargs > p.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", p.entry, p.count, nargs);
        return false;
    }
    for (int i = 0; i < p.count; ++i)
        arg[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t named = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < named; ++k) {
        PyObject *const key = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < p.count && key != p.keys[i])
            ++i;
        // A name built at run time is an equal string, not the same one.
        for (int j = 0; i == p.count && j < p.count; ++j)
            if (PyUnicode_Compare(key, p.keys[j]) == 0)
                i = j;
        if (i == p.count) {
            PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, p.entry);
            return false;
        }
        if (arg[i]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", p.entry,
                         p.names[i], i + 1);
            return false;
        }
        arg[i] = args[nargs + k];
    }
    for (int i = 0; i < p.count; ++i) {
        if (!arg[i] && i < p.required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.entry, p.names[i], i + 1);
            return false;
        }
        if (!arg[i])
            arg[i] = (p.falses >> i) & 1 ? Py_False : Py_None;
    }
    return true;
}

PyObject *transform_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[12];
    if (!read_args(transform_params, args, nargs, kwnames, a))
        return nullptr;
    return transform_into(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]);
}

PyObject *warp_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[11];
    if (!read_args(warp_params, args, nargs, kwnames, a))
        return nullptr;
    return warp_into(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10]);
}

PyObject *check_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[9];
    if (!read_args(check_params, args, nargs, kwnames, a))
        return nullptr;
    return transform_check(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
}

PyObject *warp_boxes_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[13];
    if (!read_args(warp_boxes_params, args, nargs, kwnames, a))
        return nullptr;
    return warp_boxes(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12]);
}

PyObject *source_boxes_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[9];
    if (!read_args(source_boxes_params, args, nargs, kwnames, a))
        return nullptr;
    return source_boxes(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
}

// Python's type of a METH_FASTCALL | METH_KEYWORDS function, public only from 3.13.
using fast_entry = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

template <fast_entry f>
PyMethodDef entry(const char *name)
{
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)), METH_FASTCALL | METH_KEYWORDS,
            nullptr};
}

PyMethodDef entries[] = {entry<transform_entry>("transform"), entry<warp_entry>("warp"),
                         entry<check_entry>("transform_check"), entry<warp_boxes_entry>("warp_boxes"),
                         entry<source_boxes_entry>("source_boxes"), {nullptr, nullptr, 0, nullptr}};

bool add_entries(PyObject *module)
{
    for (params *p : {&transform_params, &warp_params, &check_params, &warp_boxes_params, &source_boxes_params})
        for (int i = 0; i < p->count; ++i)
            if (!(p->keys[i] = PyUnicode_InternFromString(p->names[i])))
                return false;
    return PyModule_AddFunctions(module, entries) == 0;
}

} // namespace
%}

%init %{
    if (!add_entries(m))
        return NULL;
%}

PyObject *voxel_map(PyObject *affine, PyObject *target);
PyObject *spline_coefficients(PyObject *image, PyObject *mode, PyObject *cval, PyObject *workers,
                              PyObject *place);
PyObject *gaussian_smooth(PyObject *image, PyObject *factors, PyObject *mode, PyObject *workers,
                          PyObject *place);
