/* The package's binding: five objects in, one object out. The package's
   transform (python/vexiloimgc/__init__.py) names the arguments; the checks
   and the work are in src/transform.cpp. */
%module(package="vexiloimgc") _native

%begin %{
#define VX_MODULE "vexiloimgc._native"
%}
%include "runtime.i"

%rename(transform) transform_into;
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                         PyObject *workers);
