#include "transform.h"

#include <numpy/arrayobject.h>  // this unit's own C-API table, filled on every call

#include <cstring>
#include <type_traits>

#include "convert.h"
#include "resample.h"

static_assert(std::is_same_v<npy_intp, std::int64_t>, "the kernel takes dims as npy_intp");

namespace {

// The output buffer's byte count must fit a signed 32-bit integer.
constexpr std::int64_t max_elements = (std::int64_t(1) << 29) - 1;

// Arguments arrive from Python untested; anything but an ndarray is refused
// before it is read as one.
bool is_array(PyArrayObject *a, const char *name)
{
    if (PyArray_Check(reinterpret_cast<PyObject *>(a)))
        return true;
    PyErr_Format(PyExc_TypeError, "transform: %s must be a numpy.ndarray, not %.200s", name,
                 Py_TYPE(reinterpret_cast<PyObject *>(a))->tp_name);
    return false;
}

// The kernel reads `need` values along the first axis whatever the length.
bool long_enough(PyArrayObject *a, const char *name, npy_intp need)
{
    if (PyArray_NDIM(a) == 0) {
        PyErr_Format(PyExc_ValueError,
                     "transform: %s needs at least %zd values along its first axis, got a 0-d array",
                     name, need);
        return false;
    }
    // Values along axis 0 exist only if every other axis has some: a
    // (3, 0) array has none to read.
    if (PyArray_DIMS(a)[0] >= need && PyArray_SIZE(a) == 0) {
        PyErr_Format(PyExc_ValueError,
                     "transform: %s needs at least %zd values along its first axis, got an empty array",
                     name, need);
        return false;
    }
    if (PyArray_DIMS(a)[0] < need) {
        PyErr_Format(PyExc_ValueError,
                     "transform: %s needs at least %zd values along its first axis, got %zd", name,
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

float *read_vector(PyArrayObject *a, const char *name, npy_intp need)
{
    if (!is_array(a, name) || !long_enough(a, name, need))
        return nullptr;
    return array2float(a);
}

} // namespace

PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix)
{
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        return nullptr;
    }
    if (!is_array(image, "image"))
        return nullptr;
    const int nd = PyArray_NDIM(image);
    if (nd != 3 && nd != 4) {
        PyErr_Format(PyExc_ValueError, "transform: image must have 3 or 4 dimensions, got %d", nd);
        return nullptr;
    }
    // N, Z, Y, X. Whole extents: an empty image keeps its own shape even
    // where an extent is out of the readers' range.
    npy_intp dims[4] = {1, 1, 1, 1};
    std::memcpy(dims + 4 - nd, PyArray_DIMS(image), nd * sizeof(npy_intp));
    const std::int64_t count = block_count(dims, image3d_limit);
    if (count == 0 && !float32_shape_fits(dims)) {  // the reader's refusal of huge extents
        PyErr_SetString(PyExc_MemoryError, nd == 4 ? "Failed to allocate memory in array2float4d"
                                                   : "Failed to allocate memory in array2float3d");
        return nullptr;
    }

    // A 3-D image the reader would take but the output buffer cannot hold is
    // refused before a buffer of up to 8 GiB is read only to be dropped.
    if (nd == 3 && count > max_elements && accepted(PyArray_TYPE(image), false)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
        return nullptr;
    }
    // From here on the readers' limits hold: count is below 2^29.
    fbuf img(nd == 4 ? array2float4d(image) : array2float3d(image));
    if (!img)
        return nullptr;
    // calloc: fresh pages come zeroed without a pass over them.
    fbuf out(alloc_floats(count, true));  // an empty image may get NULL: not a failure
    if (!out && count > 0) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
        return nullptr;
    }

    fbuf sp(read_vector(spacing, "spacing", 3));
    if (!sp)
        return nullptr;
    fbuf mx(read_vector(matrix, "matrix", 12));
    if (!mx)
        return nullptr;

    resample_trilinear(img.get(), dims, sp.get(), mx.get(), out.get());

    PyObject *res = PyArray_New(&PyArray_Type, nd, dims + 4 - nd, NPY_FLOAT, nullptr, nullptr, 0, 0,
                                nullptr);
    if (!res)
        return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(res);
    // The array is new and float32: the writer cannot refuse it.
    if (nd == 4)
        float2array4d(out.get(), arr);
    else
        float2array3d(out.get(), arr);
    return PyArray_Return(arr);
}
