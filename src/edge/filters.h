// The separable filters (axis_filter.h) alone, in vexiloimgc._native: the
// cubic rule's prefilter and antialias's Gaussian, which a call runs on its
// own copy of the source (spline.cpp, driver.cpp); these private entries let
// the tests check each filter's bits by itself.
#pragma once

#include <Python.h>

// image: a float32 ndarray (Z, Y, X) or (N, Z, Y, X), any strides or byte
// order; mode: a name of modes.h; workers: as transform's; place: None for
// a whole volume, else (z0, y0, x0, Z, Y, X), where the image's first sample
// lies in a whole volume of extents Z, Y, X that holds it (the extension at
// the whole's edges is then the whole's). Each returns a new C-contiguous
// float32 array of the image's shape, or NULL with an exception set.
// workers, then cval or factors, then place are converted (any code of the
// caller's runs there) before anything is checked.

// The cubic B-spline coefficients: the prefilter along X, Y, Z. "constant"
// extends as "mirror"; "grid-constant"'s fill is cval as float32.
PyObject *spline_coefficients(PyObject *image, PyObject *mode, PyObject *cval, PyObject *workers,
                              PyObject *place);

// The anti-aliasing Gaussian of each axis's down-sampling factor (X, Y, Z;
// an axis of factor 1 or less is left as it is). The constant modes extend
// as "mirror".
PyObject *gaussian_smooth(PyObject *image, PyObject *factors, PyObject *mode, PyObject *workers,
                          PyObject *place);
