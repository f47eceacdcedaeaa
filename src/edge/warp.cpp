// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/warp.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "edge/call.h"
#include "edge/checks.h"
#include "edge/driver.h"
#include "vocab/fpmode.h"
#include "kernels/label.h"
#include "engine/plan.h"
#include "edge/pyref.h"
#include "vocab/rules.h"
#include "engine/spline.h"
#include "vocab/texts.h"

namespace {

// ---- The checks ------------------------------------------------------------

std::string shape_text(PyArrayObject *a)
{
    std::string s = "(";
    for (int k = 0; k < PyArray_NDIM(a); ++k)
        s += (k ? ", " : "") + std::to_string(PyArray_DIMS(a)[k]);
    return s + (PyArray_NDIM(a) == 1 ? ",)" : ")");
}

// A field as the package hands it over (see warp.h); TypeError for anything
// else, ValueError for a displacement whose shape does not fit the image.
bool read_field(PyObject *item, Py_ssize_t k, const image_shape &im, step &st)
{
    PyObject *d = PyTuple_GET_ITEM(item, 0), *inv = PyTuple_GET_ITEM(item, 1);
    auto *da = reinterpret_cast<PyArrayObject *>(d), *ia = reinterpret_cast<PyArrayObject *>(inv);
    if (!PyArray_Check(d) || PyArray_TYPE(da) != NPY_FLOAT || !PyArray_ISNBO(PyArray_DESCR(da)->byteorder) ||
        !PyArray_Check(inv) || PyArray_TYPE(ia) != NPY_FLOAT || !PyArray_ISNBO(PyArray_DESCR(ia)->byteorder) ||
        !PyArray_IS_C_CONTIGUOUS(ia) || !PyArray_ISALIGNED(ia) || PyArray_SIZE(ia) != 12) {
        PyErr_Format(PyExc_TypeError, text::warp_step, k, Py_TYPE(item)->tp_name);
        return false;
    }
    const int nd = PyArray_NDIM(da);
    const npy_intp *dims = PyArray_DIMS(da), *s = PyArray_STRIDES(da);
    warp_field &f = st.f;
    f.per_volume = nd == 5;
    bool ok = (nd == 4 || (nd == 5 && im.nd == 4 && dims[0] == im.dims[0])) && dims[nd - 1] == 3;
    for (int a = nd - 4; ok && a < nd - 1; ++a)
        ok = dims[a] < extent_limit;
    if (!ok) {
        const std::string image =
            im.nd == 4 ? "a 4-D image of " + std::to_string(im.dims[0]) + " volumes" : "a 3-D image";
        PyErr_Format(PyExc_ValueError, text::warp_field_shape, k, shape_text(da).c_str(), image.c_str());
        return false;
    }
    st.field = true;
    const char *lo;
    span_of(da, lo, f.end);
    f.data = PyArray_BYTES(da);
    f.s[0] = f.per_volume ? s[0] : 0;
    for (int a = 1; a < 5; ++a)
        f.s[a] = s[nd - 5 + a];
    f.Z = dims[nd - 4], f.Y = dims[nd - 3], f.X = dims[nd - 2];
    std::memcpy(f.inv, PyArray_DATA(ia), sizeof f.inv);
    return true;
}

// The steps in order: affine maps read by transform's checks of a matrix,
// fields by read_field. False with the exception set.
bool read_steps(PyObject *image, PyObject *spacing, PyObject *steps, const call &c, std::vector<step> &out)
{
    if (!PyList_Check(steps)) {
        PyErr_Format(PyExc_TypeError, text::warp_steps, Py_TYPE(steps)->tp_name);
        return false;
    }
    try {
        out.resize(std::size_t(PyList_GET_SIZE(steps)));
    } catch (const std::bad_alloc &) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps); ++k) {
        PyObject *item = PyList_GET_ITEM(steps, k);
        step &st = out[std::size_t(k)];
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
            if (!read_field(item, k, c.im, st))
                return false;
            continue;
        }
        if (!PyArray_Check(item)) {
            PyErr_Format(PyExc_TypeError, text::warp_step, k, Py_TYPE(item)->tp_name);
            return false;
        }
        call m;  // the matrix as transform reads it, one map or one per volume
        m.rq = c.rq;
        if (!check_call(image, spacing, item, Py_None, false, m))
            return false;
        st.maps = std::move(m.maps);
        st.per_volume = m.per_volume;
    }
    return true;
}

// transform's checks with the identity for its matrix (the steps are read
// apart), then the steps; eye keeps that matrix for result_of's inputs.
bool check_warp(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_spacing, bool graph, call &c,
                ref &eye, std::vector<step> &chain)
{
    static const float identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    npy_intp twelve = 12;
    eye.reset(PyArray_SimpleNewFromData(1, &twelve, NPY_FLOAT, const_cast<float *>(identity)));
    return eye && check_call(image, spacing, eye.get(), output_spacing, graph, c) &&
           read_steps(image, spacing, steps, c, chain);
}

// Fields are read while the result is written: `out` must hold none of them.
bool out_apart(PyObject *out, PyObject *steps)
{
    if (out == Py_None)
        return true;
    const char *olo, *ohi;
    span_of(reinterpret_cast<PyArrayObject *>(out), olo, ohi);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps); ++k) {
        PyObject *item = PyList_GET_ITEM(steps, k);
        PyObject *a = PyTuple_Check(item) ? PyTuple_GET_ITEM(item, 0) : item;
        const char *lo, *hi;
        span_of(reinterpret_cast<PyArrayObject *>(a), lo, hi);
        if (olo != ohi && lo != hi && lo < ohi && olo < hi) {
            PyErr_Format(PyExc_ValueError, text::warp_shares, k);
            return false;
        }
    }
    return true;
}

bool run(const call &c, const std::vector<step> &steps, char *out)
{
    const int size = floats_out(c.rq.rule) ? 4 : elem_size(c.e);
    reading r;
    spline s;
    if (!read_source(c, size, r, s))
        return false;
    const warp_job w = job_of(c, r, s, out, size);
    const warp_work k = work_of(c, r, w);
    PyThreadState *state = k.release ? PyEval_SaveThread() : nullptr;
    if (!warp_source(c, w, r, s, k.threads)) {
        if (state)
            PyEval_RestoreThread(state);
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    const bool whole = warp_rows(steps, w, k, [&] { return no_interrupt(state, next); });
    if (state)
        PyEval_RestoreThread(state);
    return whole;
}

} // namespace

PyObject *warp_into(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                    PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                    PyObject *tile, PyObject *out, PyObject *workers)
{
    if (!numpy_ready())
        return nullptr;
    // Every conversion that can run a caller's code first, then the checks.
    call c;
    if (!read_request(workers, interpolation, mode, Py_False, cval, output_shape, tile, c.rq))
        return nullptr;
    const fp_scope fp;
    ref eye;
    std::vector<step> chain;
    if (!check_warp(image, spacing, steps, output_spacing, false, c, eye, chain))
        return nullptr;
    PyObject *const inputs[4] = {image, spacing, eye.get(), output_spacing};
    ref result(result_of(c, out, inputs));
    if (!result || !out_apart(out, steps))
        return nullptr;
    const bool none = c.od[0] == 0 || c.od[1] == 0 || c.od[2] == 0 || c.od[3] == 0;
    if (none)
        return result.release();
    // No Python object is owned across the release (see transform_into).
    PyObject *const res = result.release();
    char *const data = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(res)));
    // No field, at most one map: transform's call itself, its row kernels.
    const bool affine = chain.empty() || (chain.size() == 1 && !chain[0].field);
    if (affine && !chain.empty())
        c.maps = std::move(chain[0].maps), c.per_volume = chain[0].per_volume;
    if (affine ? !transform_work(c, data) : !run(c, chain, data)) {
        Py_DECREF(res);
        return nullptr;
    }
    return res;
}

chain_ptr warp_chain_of(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                        PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode)
{
    if (!numpy_ready())
        return nullptr;
    chain_ptr w(new (std::nothrow) warp_chain);
    if (!w) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return nullptr;
    }
    call &c = w->c;
    if (!read_request(Py_None, interpolation, mode, Py_False, cval, output_shape, Py_None, c.rq))
        return nullptr;
    const fp_scope fp;
    ref eye;
    if (!check_warp(image, spacing, steps, output_spacing, true, c, eye, w->steps))
        return nullptr;
    return w;
}

