// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/filters.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "engine/axis_filter.h"
#include "edge/checks.h"
#include "edge/convert.h"
#include "edge/driver.h"
#include "vocab/fpmode.h"
#include "edge/pyref.h"
#include "vocab/sizes.h"
#include "engine/smoothing.h"
#include "vocab/texts.h"
#include "edge/request.h"
#include "engine/workers.h"

namespace {

// Our TypeError in place of a conversion's; anything else a caller's
// __index__, __float__ or __iter__ raised passes through unchanged.
bool retype(const char *format, const char *fn, PyObject *obj)
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, format, fn, Py_TYPE(obj)->tp_name);
    return false;
}

bool read_mode(const char *fn, PyObject *obj, mode &m)
{
    int k = 0;
    while (k < mode_count && !(PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, mode_names[k]) == 0))
        ++k;
    m = mode(k);
    if (k < mode_count)
        return true;
    PyErr_Format(PyExc_ValueError, text::filter_mode, fn, mode_list().c_str(), obj);
    return false;
}

// A sequence's items, read from a tuple of it (an item's conversion may
// change a list it sits in, never the tuple), each by `read`: the first
// `most` into v, their count into n (most + 1 for more).
template <class T, class R>
bool read_items(PyObject *obj, const char *format, const char *fn, T *v, int most, int &n, R read)
{
    ref seq(PySequence_Tuple(obj));
    if (!seq)
        return retype(format, fn, obj);
    const Py_ssize_t size = PyTuple_GET_SIZE(seq.get());
    n = int(std::min<Py_ssize_t>(size, most + 1));
    for (int k = 0; k < n && k < most; ++k) {
        PyObject *item = PyTuple_GET_ITEM(seq.get(), k);
        if (!read(item, v[k]))
            return retype(format, fn, item);
    }
    return true;
}

bool read_index(PyObject *item, std::int64_t &x)
{
    ref i(PyNumber_Index(item));
    if (!i)
        return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    x = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : std::int64_t(v);  // the checks refuse both
    return true;
}

bool read_real(PyObject *item, double &x)
{
    x = PyFloat_AsDouble(item);
    return !(x == -1.0 && PyErr_Occurred());
}

// What both entries convert, in this order: workers, then the entry's own
// (cval or factors), then place; the mode is checked after them all.
struct entry {
    const char *fn;
    int cap;
    mode m;
    bool placed;
    std::int64_t place[6];
};

bool read_place(entry &c, PyObject *place)
{
    c.placed = place != Py_None;
    int n = 0;
    if (c.placed && !read_items(place, text::filter_place_type, c.fn, c.place, 6, n, read_index))
        return false;
    if (c.placed && n != 6) {
        PyErr_Format(PyExc_ValueError, text::filter_place, c.fn);
        return false;
    }
    return true;
}

// The image's checks and the place's, then the image filtered by taps h
// (X, Y, Z; empty: not along that axis) into a new array, the lock
// released meanwhile; the anti-aliasing Gaussian's (`gaussian`) in one read.
PyObject *filtered(PyObject *image, const entry &c, const taps *const h[3], float fill, bool gaussian = false)
{
    if (!PyArray_Check(image)) {
        PyErr_Format(PyExc_TypeError, text::filter_image, c.fn, Py_TYPE(image)->tp_name);
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(image);
    if (PyArray_TYPE(a) != NPY_FLOAT) {
        PyErr_Format(PyExc_TypeError, text::filter_dtype, c.fn, reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
        return nullptr;
    }
    const int nd = PyArray_NDIM(a);
    const npy_intp *dims = PyArray_DIMS(a);
    bool ok = nd == 3 || nd == 4;
    for (int k = 0; ok && k < nd; ++k)
        ok = dims[k] < extent_limit;
    if (!ok) {
        PyErr_Format(PyExc_ValueError, text::filter_dims, c.fn, nd);
        return nullptr;
    }
    // X, Y, Z
    axis_place at[3];
    for (int k = 0; k < 3; ++k) {
        const std::int64_t n = dims[nd - 1 - k];
        at[k] = c.placed ? axis_place{n, c.place[2 - k], c.place[5 - k]} : axis_place{n, 0, n};
        if (at[k].origin < 0 || at[k].whole < n || at[k].whole >= extent_limit || at[k].origin > at[k].whole - n) {
            PyErr_Format(PyExc_ValueError, text::filter_place, c.fn);
            return nullptr;
        }
    }
    ref result(PyArray_SimpleNew(nd, const_cast<npy_intp *>(dims), NPY_FLOAT));
    if (!result)
        return nullptr;
    const std::int64_t volumes = nd == 4 ? dims[0] : 1, count = volumes * at[0].n * at[1].n * at[2].n;
    std::int64_t reach = 0;
    for (int k = 0; k < 3; ++k)
        reach += std::int64_t(h[k]->size());
    // A tap is a multiply and an add; the linear kernel's voxel some eight of them.
    const int threads = thread_count(c.cap, count / 8 * reach);
    float *v = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result.get())));
    const block b = block_of(a, nd);
    PyThreadState *state = PyEval_SaveThread();
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    const go_fn go = [&] { return no_interrupt(state, next); };
    if (gaussian) {
        ok = smooth_volumes(b, v, at, h, c.m, threads, go);
    } else {
        read_block(b.data, b.d, b.s, b.type, b.swapped, package_types, v);
        ok = filter_volumes(v, volumes, at, h, c.m, fill, threads, go);
    }
    PyEval_RestoreThread(state);
    if (!ok && PyErr_Occurred())  // an interrupt
        return nullptr;
    if (!ok) {
        PyErr_Format(PyExc_MemoryError, text::filter_nomem, c.fn);
        return nullptr;
    }
    return result.release();
}

} // namespace

PyObject *spline_coefficients(PyObject *image, PyObject *mode, PyObject *cval, PyObject *workers, PyObject *place)
{
    if (!numpy_ready())
        return nullptr;
    entry c{"spline_coefficients", 0, constant, false, {}};
    double fill = 0;
    c.cap = thread_cap(workers);
    if (c.cap == 0)
        return nullptr;
    if (!read_real(cval, fill)) {
        retype(text::filter_cval, c.fn, cval);
        return nullptr;
    }
    if (!read_place(c, place) || !read_mode(c.fn, mode, c.m))
        return nullptr;
    const fp_scope fp;
    const taps h = spline_taps();
    const taps *const each[3] = {&h, &h, &h};
    return filtered(image, c, each, float(fill));
}

PyObject *gaussian_smooth(PyObject *image, PyObject *factors, PyObject *mode, PyObject *workers, PyObject *place)
{
    if (!numpy_ready())
        return nullptr;
    entry c{"gaussian_smooth", 0, constant, false, {}};
    double d[3];
    int n = 0;
    c.cap = thread_cap(workers);
    if (c.cap == 0 || !read_items(factors, text::filter_factors_type, c.fn, d, 3, n, read_real) ||
        !read_place(c, place) || !read_mode(c.fn, mode, c.m))
        return nullptr;
    bool ok = n == 3;
    for (int k = 0; ok && k < 3; ++k)
        ok = d[k] > 0 && d[k] <= factor_limit;  // NaN fails
    if (!ok) {
        PyErr_Format(PyExc_ValueError, text::filter_factors, c.fn, int(factor_limit));
        return nullptr;
    }
    // Beyond the edges a fill would darken them: the constant modes mirror.
    if (c.m == constant || c.m == grid_constant)
        c.m = mirror;
    const fp_scope fp;
    const taps h[3] = {gaussian_taps(d[0]), gaussian_taps(d[1]), gaussian_taps(d[2])};
    const taps *const each[3] = {&h[0], &h[1], &h[2]};
    return filtered(image, c, each, 0.0f, true);
}
