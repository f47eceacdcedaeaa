#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/affine.h"

#include <numpy/arrayobject.h>

#include <cmath>
#include <utility>

#include "edge/checks.h"
#include "vocab/fpmode.h"
#include "vocab/texts.h"

namespace {

// inv(a) @ t of two affines: the linear part's inverse by Gauss-Jordan
// elimination with partial pivoting, every step in double in a fixed order;
// then inv(R_a) @ R_t, and inv(R_a) @ (t_t - t_a) for the translation.
bool invert_then_apply(const double *a, const double *t, double *v)
{
    double m[3][6];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 6; ++c)
            m[r][c] = c < 3 ? a[4 * r + c] : double(c - 3 == r);
    for (int c = 0; c < 3; ++c) {
        int p = c;
        for (int r = c + 1; r < 3; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[p][c]))
                p = r;
        if (!(m[p][c] != 0.0))
            return false;
        std::swap(m[c], m[p]);
        const double pivot = m[c][c];
        for (int k = 0; k < 6; ++k)
            m[c][k] /= pivot;
        for (int r = 0; r < 3; ++r) {
            const double f = m[r][c];
            if (r != c)
                for (int k = 0; k < 6; ++k)
                    m[r][k] -= f * m[c][k];
        }
    }
    const double d[3] = {t[3] - a[3], t[7] - a[7], t[11] - a[11]};
    for (int r = 0; r < 3; ++r) {
        const double *inv = m[r] + 3;
        for (int c = 0; c < 3; ++c)
            v[4 * r + c] = (inv[0] * t[c] + inv[1] * t[4 + c]) + inv[2] * t[8 + c];
        v[4 * r + 3] = (inv[0] * d[0] + inv[1] * d[1]) + inv[2] * d[2];
    }
    v[12] = v[13] = v[14] = 0.0;
    v[15] = 1.0;
    for (int k = 0; k < 12; ++k)
        if (!std::isfinite(v[k]))
            return false;
    return true;
}

// The package hands over checked arrays; anything else is refused, not read.
bool plain_affine(PyObject *o)
{
    auto *a = reinterpret_cast<PyArrayObject *>(o);
    return PyArray_Check(o) && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNBO(PyArray_DESCR(a)->byteorder) &&
           PyArray_NDIM(a) == 2 && PyArray_DIMS(a)[0] == 4 && PyArray_DIMS(a)[1] == 4 &&
           PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
}

} // namespace

PyObject *voxel_map(PyObject *affine, PyObject *target)
{
    if (!numpy_ready())
        return nullptr;
    if (!plain_affine(affine) || !plain_affine(target)) {
        PyErr_SetString(PyExc_TypeError, text::affines);
        return nullptr;
    }
    npy_intp dims[2] = {4, 4};
    PyObject *result = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
    if (!result)
        return nullptr;
    bool ok;
    {
        const fp_scope mode;
        ok = invert_then_apply(static_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(affine))),
                               static_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(target))),
                               static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result))));
    }
    if (!ok) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_ValueError, text::singular);
        return nullptr;
    }
    return result;
}
