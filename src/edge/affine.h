// reslice's map between two voxel grids, formed natively so that its bits
// never depend on the caller's floating-point mode or on a BLAS build.
#pragma once

#include <Python.h>

// affine, target: C-contiguous (4, 4) float64 ndarrays with finite values
// and the last row [0, 0, 0, 1] (the package checks). Returns a new (4, 4)
// float64 array inv(affine) @ target, or NULL with ValueError set when
// affine cannot be inverted. Borrowed arguments.
PyObject *voxel_map(PyObject *affine, PyObject *target);
