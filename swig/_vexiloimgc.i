/* The binding: one function, three objects in, one object out. The checks
   and the work are in src/edge/transform.cpp. */
%module _vexiloimgc

%begin %{
#define VX_MODULE "_vexiloimgc"
%}
%include "runtime.i"

PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix);
