/* What both bindings share: mends of SWIG's generated runtime, the
   pass-through typemaps, and the start-up's NumPy import. An interface
   defines VX_MODULE, its full module name, in a %begin block first. */

/* Since Python 3.12, creating a type whose name has no module part warns,
   and SWIG's runtime types have none: where warnings are errors their
   creation fails and the registry's teardown at exit dereferences the
   missing type. Qualify their names with the module's. */
%begin %{
#define PY_SSIZE_T_CLEAN  /* as the generated code sets it before its own include */
#include <Python.h>
#include <stdio.h>
#include <string.h>
static PyObject *vx_type_from_spec(PyType_Spec *type)
{
    char name[128];
    PyType_Spec named = *type;
    if (!strchr(type->name, '.') && snprintf(name, sizeof name, VX_MODULE ".%s", type->name) < (int)sizeof name)
        named.name = name;  /* copied by the interpreter */
    return PyType_FromSpec(&named);
}
#define PyType_FromSpec(type) vx_type_from_spec(type)
%}

%{
#include "edge/transform.h"
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
%typemap(in) PyObject * {
    $1 = $input;
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
