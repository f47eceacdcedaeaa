/* The binding: one function, three objects in, one object out. No logic
   here; src/transform.cpp checks the arguments and does the work. */
%module _vexiloimgc

/* Since Python 3.12, creating a type whose name has no module part warns,
   and SWIG's runtime types have none: where warnings are errors their
   creation fails and the registry's teardown at exit dereferences the
   missing type. Qualify their names with this module's. */
%begin %{
#include <Python.h>
#include <stdio.h>
#include <string.h>
static PyObject *vx_type_from_spec(PyType_Spec *spec)
{
    char name[128];
    PyType_Spec named = *spec;
    if (!strchr(spec->name, '.') && snprintf(name, sizeof name, "_vexiloimgc.%s", spec->name) < (int)sizeof name)
        named.name = name;  /* copied by the interpreter */
    return PyType_FromSpec(&named);
}
#define PyType_FromSpec(spec) vx_type_from_spec(spec)
%}

%{
#include "transform.h"
/* import_array and this unit's own C-API table. Only NumPy 2.5 headers
   bring them in through ndarraytypes.h; earlier 2.x headers do not. */
#include <numpy/arrayobject.h>
%}

/* Module creation can fail (out of memory) and the generated initialisation
   does not look; keep it from dereferencing a missing module. */
%header %{
#define PyModule_GetDict(m) ((m) ? PyModule_GetDict(m) : NULL)
%}

/* Hand each argument object through as it is: no conversion, no check. */
%typemap(in) PyArrayObject * {
    $1 = (PyArrayObject *)$input;
}
/* The driver's result is already a new reference, or NULL with an error set. */
%typemap(out) PyObject * {
    $result = $1;
}

%init %{
    if (!m)
        return NULL;
    import_array();
%}

PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix);
