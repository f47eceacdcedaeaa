#include "edge/transform.h"

#include <numpy/arrayobject.h>  // this unit's own C-API table

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "edge/checks.h"
#include "edge/convert.h"
#include "vocab/fpmode.h"
#include "kernels/resample.h"
#include "vocab/texts.h"

static_assert(std::is_same_v<npy_intp, std::int64_t>, "the kernel takes dims as npy_intp");

namespace {

// The module fills its own C-API table on every call.
bool own_numpy_ready()
{
    if (_import_array() >= 0)
        return true;
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, text::numpy_missing);
    return false;
}

} // namespace

PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix)
{
    if (!own_numpy_ready() || !numpy_ready())
        return nullptr;
    const fp_scope mode;  // the readers' rounding too
    image_shape im;
    if (!check_image(reinterpret_cast<PyObject *>(image), im, true, image_types))
        return nullptr;
    const int nd = im.nd;
    npy_intp *dims = im.dims;
    // From here on the readers' limits hold: count is below 2^29.
    fbuf img(nd == 4 ? array2float4d(image) : array2float3d(image));
    if (!img)
        return nullptr;
    // calloc: fresh pages come zeroed without a pass over them.
    fbuf out(alloc_floats(im.count, true));  // an empty image may get NULL: not a failure
    if (!out && im.count > 0) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return nullptr;
    }

    fbuf sp(read_vector(reinterpret_cast<PyObject *>(spacing), "spacing", 3));
    if (!sp)
        return nullptr;
    fbuf mx(read_vector(reinterpret_cast<PyObject *>(matrix), "matrix", 12));
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

