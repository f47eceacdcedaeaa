/* The package's binding: its transform (ten objects in, one out), named
   by python/vexiloimgc/__init__.py, with the checks and the work in
   src/driver.cpp; and reslice's voxel map (src/affine.cpp). */
%module(package="vexiloimgc") _native

%begin %{
#define VX_MODULE "vexiloimgc._native"
%}
%include "runtime.i"

%{
#include "affine.h"
#include "driver.h"
%}

%rename(transform) transform_into;
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                         PyObject *workers, PyObject *output_shape, PyObject *output_spacing,
                         PyObject *cval, PyObject *interpolation, PyObject *tile);

PyObject *voxel_map(PyObject *affine, PyObject *target);
