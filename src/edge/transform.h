// The module's one function; the package's is in driver.h.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

// image: 3-D (Z, Y, X) or 4-D (N, Z, Y, X) array; spacing: X, Y, Z;
// matrix: 12 values, a 3x4 output-to-source map row by row. All borrowed.
// Returns a new float32 array of the image's shape, or NULL with an
// exception set.
PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix);
