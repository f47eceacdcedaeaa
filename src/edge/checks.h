// The argument checks both front doors make, in the module's order and with
// its messages; the readers' own limits and texts stay in convert.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <cstdint>

#include "engine/call.h"
#include "vocab/sizes.h"

// Fills the NumPy C-API table of the checks and the package's driver, once;
// false with ImportError set (the cause printed first) when NumPy is unusable.
bool numpy_ready();

// Whether `a` is an ndarray; else TypeError "transform: <name> must be a
// numpy.ndarray, not <type>".
bool is_array(PyObject *a, const char *name);

// A new buffer of the first `need` or more values along axis 0 of `a`, read
// as the 1-D reader reads them, or NULL with an exception set.
float *read_vector(PyObject *a, const char *name, npy_intp need);
// The same checks and errors, but only those first `need` values are read:
// the package's vectors may be long views of little memory, and reading
// them whole would hold the interpreter lock for nothing.
float *read_first(PyObject *a, const char *name, npy_intp need);


// The image's checks before its reader's: an array of 3 or 4 dimensions
// whose float32 twin NumPy can hold; with `own_grid` (the output has the
// image's shape), a 3-D image of an element type in `types` (convert.h)
// whose output buffer could not exist is refused before it is read.
bool check_image(PyObject *obj, image_shape &im, bool own_grid, int types);
