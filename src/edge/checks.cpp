// The NumPy C-API table of this library's units (checks, driver), named
// before any NumPy header; the module's driver keeps one of its own.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#include "edge/checks.h"

#include <numpy/arrayobject.h>

#include <cstring>

#include "edge/convert.h"
#include "vocab/texts.h"

namespace {

// The kernel reads `need` values along the first axis whatever the length.
bool long_enough(PyArrayObject *a, const char *name, npy_intp need)
{
    if (PyArray_NDIM(a) == 0) {
        PyErr_Format(PyExc_ValueError,
                     text::short_0d,
                     name, need);
        return false;
    }
    // Values along axis 0 exist only if every other axis has some: a
    // (3, 0) array has none to read.
    if (PyArray_DIMS(a)[0] >= need && PyArray_SIZE(a) == 0) {
        PyErr_Format(PyExc_ValueError,
                     text::short_empty,
                     name, need);
        return false;
    }
    if (PyArray_DIMS(a)[0] < need) {
        PyErr_Format(PyExc_ValueError,
                     text::short_n, name,
                     need, PyArray_DIMS(a)[0]);
        return false;
    }
    return true;
}

// NumPy holds an array only while its nonzero extents times the item size
// fit an npy_intp, even when another extent is 0.
bool float32_shape_fits(const npy_intp d[4])
{
    npy_intp bytes = 4;
    for (int k = 0; k < 4; ++k) {
        if (d[k] == 0)
            continue;
        if (bytes > NPY_MAX_INTP / d[k])
            return false;
        bytes *= d[k];
    }
    return true;
}

} // namespace

bool numpy_ready()
{
    if (PyArray_API || _import_array() >= 0)
        return true;
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, text::numpy_missing);
    return false;
}

// Arguments arrive from Python untested; anything but an ndarray is refused
// before it is read as one.
bool is_array(PyObject *a, const char *name)
{
    if (PyArray_Check(a))
        return true;
    PyErr_Format(PyExc_TypeError, text::not_array, name,
                 Py_TYPE(a)->tp_name);
    return false;
}

float *read_vector(PyObject *a, const char *name, npy_intp need)
{
    if (!is_array(a, name))
        return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    if (!long_enough(arr, name, need))
        return nullptr;
    return array2float(arr);
}

float *read_first(PyObject *a, const char *name, npy_intp need)
{
    if (!is_array(a, name))
        return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    if (!long_enough(arr, name, need) || check_read(arr, 1) < 0)
        return nullptr;
    block b = block_of(arr, 1);
    b.d[3] = need;
    return read_vector_block(b);
}

bool check_image(PyObject *obj, image_shape &im, bool own_grid, int types)
{
    if (!is_array(obj, "image"))
        return false;
    auto *image = reinterpret_cast<PyArrayObject *>(obj);
    im.nd = PyArray_NDIM(image);
    if (im.nd != 3 && im.nd != 4) {
        PyErr_Format(PyExc_ValueError, text::dimensions, im.nd);
        return false;
    }
    // Whole extents: an empty image keeps its own shape even where an
    // extent is out of the readers' range.
    for (int k = 0; k < 4; ++k)
        im.dims[k] = 1;
    std::memcpy(im.dims + 4 - im.nd, PyArray_DIMS(image), im.nd * sizeof(npy_intp));
    im.count = block_count(im.dims, image3d_limit);
    if (im.count == 0 && !float32_shape_fits(im.dims)) {  // the reader's refusal of huge extents
        PyErr_SetString(PyExc_MemoryError, reader_nomem(im.nd));
        return false;
    }
    // A 3-D image the reader would take but the output buffer cannot hold is
    // refused before a buffer of up to 8 GiB is read only to be dropped.
    if (own_grid && im.nd == 3 && im.count > max_elements && accepted(PyArray_TYPE(image), types)) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    return true;
}
