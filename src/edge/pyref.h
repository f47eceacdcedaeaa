// An owned reference to a Python object, released on every exit path. Held
// only while the interpreter lock is: never across a release.
#pragma once

#include <Python.h>

#include <memory>

struct decref {
    void operator()(PyObject *o) const noexcept { Py_DECREF(o); }
};
using ref = std::unique_ptr<PyObject, decref>;
