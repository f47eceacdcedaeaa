// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/call.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/axis_filter.h"
#include "edge/fill.h"
#include "kernels/label.h"
#include "edge/pyref.h"
#include "vocab/rules.h"
#include "vocab/texts.h"

namespace {

std::string shape_text(const npy_intp *d, int nd)
{
    std::string s = "(";
    for (int k = 0; k < nd; ++k)
        s += (k ? ", " : "") + std::to_string(d[k]);
    return s + (nd == 1 ? ",)" : ")");
}

std::string shape_text(PyArrayObject *a) { return shape_text(PyArray_DIMS(a), PyArray_NDIM(a)); }

// ---- The checks ------------------------------------------------------------

// The image as the package reads it: any number of elements (each volume
// is read in windows where it must be), extents below 2^31 (an empty
// image's too with `graph`: a Dask graph's blocks read boxes of it), any
// bool, integer or float type up to double.
bool check_source(PyArrayObject *image, const image_shape &im, bool graph)
{
    const block b = block_of(image, im.nd);
    if ((graph || im.count != 0) && std::max({b.d[0], b.d[1], b.d[2], b.d[3]}) >= extent_limit) {
        PyErr_SetString(PyExc_MemoryError, reader_nomem(im.nd));
        return false;
    }
    if (im.count != 0 && !accepted(b.type, package_types)) {
        PyErr_Format(PyExc_ValueError, text::image_type,
                     reinterpret_cast<PyObject *>(PyArray_DESCR(image)));
        return false;
    }
    return true;
}

// The output grid N, Z, Y, X: the image's own, or output_shape's, of any
// number of voxels.
bool output_grid(const request &rq, const image_shape &im, npy_intp od[4])
{
    std::memcpy(od, im.dims, sizeof im.dims);
    if (!rq.shape_n)
        return true;
    const std::string given = shape_text(rq.shape, rq.shape_n);
    if (rq.shape_n == 4 && (im.nd != 4 || rq.shape[0] != im.dims[0])) {
        PyErr_Format(PyExc_ValueError,
                     im.nd == 4 ? text::shape_volumes : text::shape_3d,
                     given.c_str(), im.dims[0]);
        return false;
    }
    std::memcpy(od + 1, rq.shape + rq.shape_n - 3, 3 * sizeof(npy_intp));
    for (int k = 1; k < 4; ++k)
        if (od[k] < 0 || od[k] >= extent_limit) {
            PyErr_Format(PyExc_ValueError, text::shape_range, given.c_str());
            return false;
        }
    return true;
}

// The output spacing: 3 finite, positive values.
float *read_output_spacing(PyObject *obj)
{
    fbuf o(read_first(obj, "output_spacing", 3));
    if (o && !(std::isfinite(o[0]) && std::isfinite(o[1]) && std::isfinite(o[2]) && o[0] > 0 && o[1] > 0 &&
               o[2] > 0)) {
        PyErr_Format(PyExc_ValueError, text::output_spacing, ref(PyFloat_FromDouble(o[0])).get(), ref(PyFloat_FromDouble(o[1])).get(),
                     ref(PyFloat_FromDouble(o[2])).get());
        return nullptr;
    }
    return o.release();
}

// The source box and the output window of a tile: the box within the
// whole source, the window within 32-bit reach.
bool check_tile(const request &rq, const image_shape &im, const npy_intp od[4])
{
    const npy_intp *t = rq.tile;
    bool ok = true;
    for (int k = 0; k < 3; ++k) {
        ok = ok && t[k] >= 0 && t[k] < extent_limit && t[3 + k] >= 0 && t[3 + k] <= t[k] &&
             im.dims[1 + k] <= t[k] - t[3 + k];
        ok = ok && t[6 + k] >= 0 && t[6 + k] < extent_limit - od[1 + k];
    }
    if (!ok)
        PyErr_SetString(PyExc_ValueError, text::tile_box);
    return ok;
}

// The maps of a matrix of two or more dimensions, 12 floats each, read as
// the 1-D reader reads values: one map, or one per volume of a 4-D image.
float *read_maps(PyArrayObject *m, const image_shape &im, bool &per_volume)
{
    const int nd = PyArray_NDIM(m);
    const npy_intp *d = PyArray_DIMS(m), *s = PyArray_STRIDES(m);
    const bool rows4 = d[nd - 1] == 4 && (d[nd - 2] == 3 || d[nd - 2] == 4);
    const bool one = nd == 2 && rows4;
    per_volume = !one && im.nd == 4 && d[0] == im.dims[0] &&
                 ((nd == 2 && (d[1] == 12 || d[1] == 16)) || (nd == 3 && rows4));
    block b = block_of(m, 0);
    if (one) {  // its first three rows
        b.d[2] = 3, b.d[3] = 4, b.s[2] = s[0], b.s[3] = s[1];
    } else if (per_volume && nd == 2) {  // the first 12 values of each row
        b.d[2] = d[0], b.d[3] = 12, b.s[2] = s[0], b.s[3] = s[1];
    } else if (per_volume) {  // the first three rows of each map
        b.d[1] = d[0], b.d[2] = 3, b.d[3] = 4, b.s[1] = s[0], b.s[2] = s[1], b.s[3] = s[2];
    } else {
        const std::string image =
            im.nd == 4 ? "a 4-D image of " + std::to_string(im.dims[0]) + " volumes" : "a 3-D image";
        PyErr_Format(PyExc_ValueError, text::matrix_shape, shape_text(m).c_str(), image.c_str());
        return nullptr;
    }
    return read_vector_block(b);
}

bool apart(PyArrayObject *a, PyArrayObject *b)
{
    const char *alo, *ahi, *blo, *bhi;
    span_of(a, alo, ahi);
    span_of(b, blo, bhi);
    return alo == ahi || blo == bhi || ahi <= blo || bhi <= alo;
}

// `out` must be an array the kernel can write whole, in place, and that no
// input lives in.
bool check_out(PyObject *obj, int nd, const npy_intp od[4], bool own_grid, PyObject *const inputs[4],
               int want)
{
    if (!PyArray_Check(obj)) {  // the package's layer has made a view of any other array it takes
        PyErr_Format(PyExc_TypeError, text::out_kind, Py_TYPE(obj)->tp_name);
        return false;
    }
    auto *out = reinterpret_cast<PyArrayObject *>(obj);
    PyArray_Descr *type = PyArray_DESCR(out);
    if (!PyArray_EquivTypenums(PyArray_TYPE(out), want) || !PyArray_ISNBO(type->byteorder)) {
        ref name(reinterpret_cast<PyObject *>(PyArray_DescrFromType(want)));
        PyErr_Format(PyExc_ValueError, text::out_type,
                     name.get(), reinterpret_cast<PyObject *>(type));
        return false;
    }
    const char *fault = !PyArray_IS_C_CONTIGUOUS(out) ? "C-contiguous"
                        : !PyArray_ISALIGNED(out)     ? "aligned"
                        : !PyArray_ISWRITEABLE(out)   ? "writeable"
                                                      : nullptr;
    if (fault) {
        PyErr_Format(PyExc_ValueError, text::out_layout, fault);
        return false;
    }
    if (PyArray_NDIM(out) != nd || std::memcmp(PyArray_DIMS(out), od + 4 - nd, nd * sizeof(npy_intp)) != 0) {
        PyErr_Format(PyExc_ValueError, text::out_shape,
                     own_grid ? "image's" : "output's", shape_text(od + 4 - nd, nd).c_str(),
                     shape_text(out).c_str());
        return false;
    }
    static const char *const names[4] = {"image", "spacing", "matrix", "output_spacing"};
    for (int k = 0; k < 4; ++k)
        if (inputs[k] != Py_None && !apart(out, reinterpret_cast<PyArrayObject *>(inputs[k]))) {
            PyErr_Format(PyExc_ValueError, text::out_shares, names[k]);
            return false;
        }
    return true;
}

// A new float32 array of n values (shape (n,), or (n / 12, 12) for `maps`).
PyObject *floats(const float *v, npy_intp n, bool maps)
{
    const npy_intp d[2] = {maps ? n / 12 : n, 12};
    PyObject *a = PyArray_SimpleNew(maps ? 2 : 1, d, NPY_FLOAT);
    if (a)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a)), v, std::size_t(n) * 4);
    return a;
}

} // namespace

// The bytes an array's elements span; empty for an array without any.
void span_of(PyArrayObject *a, const char *&lo, const char *&hi)
{
    lo = hi = PyArray_BYTES(a);
    if (PyArray_SIZE(a) == 0)
        return;
    for (int k = 0; k < PyArray_NDIM(a); ++k) {
        const npy_intp step = (PyArray_DIMS(a)[k] - 1) * PyArray_STRIDES(a)[k];
        (step < 0 ? lo : hi) += step;
    }
    hi += PyArray_ITEMSIZE(a);
}

PyObject *checked(int nd, const npy_intp od[4], int rtype, const unsigned char fill[8], const float *sp,
                  const float *osp, const float *maps, bool per_volume)
{
    ref value(PyArray_SimpleNew(0, nullptr, rtype));
    ref grid(PyTuple_New(nd));
    if (!value || !grid)
        return nullptr;
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(value.get())), fill,
                PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject *>(value.get())));
    for (int k = 0; k < nd; ++k) {
        PyObject *e = PyLong_FromSsize_t(od[4 - nd + k]);
        if (!e)
            return nullptr;
        PyTuple_SET_ITEM(grid.get(), k, e);
    }
    ref s(floats(sp, 3, false)), m(floats(maps, per_volume ? 12 * od[0] : 12, per_volume));
    ref o(osp ? floats(osp, 3, false) : Py_NewRef(Py_None));
    if (!s || !m || !o)
        return nullptr;
    return PyTuple_Pack(5, value.get(), grid.get(), s.get(), o.get(), m.get());
}


bool check_call(PyObject *image_obj, PyObject *spacing, PyObject *matrix, PyObject *output_spacing, bool graph,
                call &c)
{
    const request &rq = c.rq;
    if (!check_image(image_obj, c.im, false, package_types))
        return false;
    auto *image = reinterpret_cast<PyArrayObject *>(image_obj);
    c.im.count = PyArray_SIZE(image);  // NumPy holds it: the count fits, past the module's limits too
    if (!check_source(image, c.im, graph))
        return false;
    c.image = block_of(image, c.im.nd);
    c.rtype = floats_out(rq.rule) ? NPY_FLOAT : PyArray_TYPE(image);
    if (!floats_out(rq.rule) && ((c.e = elem_of(image, rq.rule)) < 0 || !fill_of(rq, c.e, c.rtype, c.fill)))
        return false;
    if (!output_grid(rq, c.im, c.od) || !(c.sp = fbuf(read_first(spacing, "spacing", 3))))
        return false;
    if (PyArray_Check(matrix) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(matrix)) >= 2)
        c.maps.reset(read_maps(reinterpret_cast<PyArrayObject *>(matrix), c.im, c.per_volume));
    else
        c.maps.reset(read_first(matrix, "matrix", 12));
    if (!c.maps || (output_spacing != Py_None && !(c.osp = fbuf(read_output_spacing(output_spacing)))))
        return false;
    return !rq.tiled || check_tile(rq, c.im, c.od);
}

PyObject *result_of(const call &c, PyObject *out, PyObject *const inputs[4])
{
    const int nd = c.im.nd;
    if (out != Py_None) {
        if (!check_out(out, nd, c.od, c.rq.shape_n == 0, inputs, c.rtype))
            return nullptr;
        return Py_NewRef(out);
    }
    // NumPy refuses nonzero extents whose bytes pass npy_intp with ValueError:
    // no memory holds them either.
    npy_intp bytes = floats_out(c.rq.rule) ? 4 : elem_size(c.e);
    for (int k = 0; k < 4; ++k)
        bytes = c.od[k] == 0 ? bytes : bytes >= 0 && bytes <= NPY_MAX_INTP / c.od[k] ? bytes * c.od[k] : -1;
    PyObject *r = bytes < 0 ? nullptr : PyArray_New(&PyArray_Type, nd, c.od + 4 - nd, c.rtype, nullptr, nullptr, 0, 0, nullptr);
    if (bytes < 0 || (!r && PyErr_ExceptionMatches(PyExc_MemoryError))) {
        PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, text::nomem);
    }
    return r;
}

void factors_of(const call &c, std::int64_t k, double d[3])
{
    smoothing_factors(c.maps.get() + (c.per_volume ? 12 * k : 0), c.sp.get(), c.osp ? c.osp.get() : c.sp.get(), d);
    for (int a = 0; a < 3; ++a)
        d[a] = std::isfinite(d[a]) ? std::min(d[a], factor_limit) : 1.0;
}

bool smooths(const call &c)
{
    const std::int64_t maps = c.per_volume ? c.im.dims[0] : 1;
    for (std::int64_t k = 0; c.rq.smooth && k < maps; ++k) {
        double d[3];
        factors_of(c, k, d);
        if (d[0] > 1.0 || d[1] > 1.0 || d[2] > 1.0)
            return true;
    }
    return false;
}

bool read_source(const call &c, int size, reading &r, spline &s)
{
    if (!reading_of(c, size, r)) {
        PyErr_SetString(PyExc_MemoryError, reader_nomem(c.im.nd));
        return false;
    }
    if (!spline_of(c, r, s)) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    return true;
}
