// The two entries of the volume transform: the module's one function, and
// the package's, which reads in place and splits the work over threads.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

// image: 3-D (Z, Y, X) or 4-D (N, Z, Y, X) array; spacing: X, Y, Z;
// matrix: 12 values, a 3x4 output-to-source map row by row. All borrowed.
// Returns a new float32 array of the image's shape, or NULL with an
// exception set.
PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix);

// The same bits and the same checks, without copies where none are needed,
// on up to `workers` threads with the interpreter lock released. matrix may
// also be one (3, 4) or (4, 4) map, or one map per volume of a 4-D image.
// Writes into `out` (None for a new array) and returns it, a new reference.
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                         PyObject *workers);
