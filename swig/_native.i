/* The package's binding: ten objects in, one object out. The package's
   transform (python/vexiloimgc/__init__.py) names the arguments; the checks
   and the work are in src/driver.cpp. */
%module(package="vexiloimgc") _native

%begin %{
#define VX_MODULE "vexiloimgc._native"
%}
%include "runtime.i"

%{
#include "driver.h"
%}

%rename(transform) transform_into;
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                         PyObject *workers, PyObject *output_shape, PyObject *output_spacing,
                         PyObject *cval, PyObject *interpolation, PyObject *tile);
