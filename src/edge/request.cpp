// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/request.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "vocab/modes.h"
#include "edge/pyref.h"
#include "vocab/rules.h"
#include "vocab/texts.h"
#include "engine/workers.h"

namespace {

// Our TypeError in place of one from a conversion; anything else a
// caller's __index__, __float__ or __iter__ raised passes through unchanged.
bool retype(const char *format, PyObject *obj)
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, format, Py_TYPE(obj)->tp_name);
    return false;
}

// The first `most` integers of a sequence into v, their count into n. Values
// beyond the int64 range saturate (the checks refuse them). The items are
// read from a tuple of the sequence: an item's __index__ may change a list
// it sits in, never the tuple.
bool read_ints(PyObject *obj, const char *format, npy_intp *v, int most, int &n)
{
    ref seq(PySequence_Tuple(obj));
    if (!seq)
        return retype(format, obj);
    n = int(std::min<Py_ssize_t>(PyTuple_GET_SIZE(seq.get()), INT_MAX));
    for (int k = 0; k < n && k < most; ++k) {
        PyObject *item = PyTuple_GET_ITEM(seq.get(), k);
        ref index(PyNumber_Index(item));
        if (!index)
            return retype(format, item);
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        v[k] = overflow > 0 ? NPY_MAX_INTP : overflow < 0 ? NPY_MIN_INTP : npy_intp(x);
    }
    return true;
}

// An integer cval, exactly: sign and magnitude, `huge` past 64 bits.
void exact_int(PyObject *index, request &rq)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    rq.cint = true;
    rq.cneg = overflow < 0 || (overflow == 0 && v < 0);
    rq.cmag = v < 0 ? 0 - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    if (overflow > 0) {
        rq.cmag = PyLong_AsUnsignedLongLong(index);
        rq.huge = rq.cmag == static_cast<unsigned long long>(-1) && PyErr_Occurred();
    }
    rq.huge = rq.huge || overflow < 0;
    PyErr_Clear();
}

// A real cval that is not a float (a Fraction, a Decimal, NumPy's wider
// floats) may hold a value no double holds: an integral one is read as the
// integer it is; any other must equal its double, else no element type
// holds it exactly (`inexact`, with its repr for the message).
bool exact_real(PyObject *cval, request &rq)
{
    if (std::isnan(rq.cval))
        return true;
    ref d(PyFloat_FromDouble(rq.cval));
    const int same = d ? PyObject_RichCompareBool(cval, d.get(), Py_EQ) : -1;
    if (same != 0)
        return same > 0;
    ref whole(PyNumber_Long(cval));  // truncates toward zero
    const int integral = whole ? PyObject_RichCompareBool(cval, whole.get(), Py_EQ) : 0;
    if (!whole && !PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    if (integral < 0)
        return false;
    if (integral) {
        exact_int(whole.get(), rq);
        return true;
    }
    ref shown(PyObject_Repr(cval));
    const char *text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (!text)
        return false;
    rq.inexact = text;
    return true;
}

// The boundary mode: a name of modes.h, or None: "constant" for "cubic",
// today's face bands for the other rules.
bool read_mode(PyObject *obj, request &rq)
{
    rq.mode = constant, rq.moded = false;
    if (obj == Py_None)
        return true;
    int k = 0;
    while (k < mode_count && !(PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, mode_names[k]) == 0))
        ++k;
    if (k == mode_count) {
        PyErr_Format(PyExc_ValueError, text::mode_name, mode_list().c_str(), obj);
        return false;
    }
    rq.mode = k, rq.moded = true;
    return true;
}

// antialias: True or False, Python's or NumPy's; nothing else, so no
// caller's __bool__ runs. The rules that pick a sample take no smoothing.
bool read_antialias(PyObject *obj, PyObject *interpolation, request &rq)
{
    if (!PyBool_Check(obj) && !PyArray_IsScalar(obj, Bool)) {
        PyErr_Format(PyExc_TypeError, text::antialias_type, Py_TYPE(obj)->tp_name);
        return false;
    }
    rq.smooth = PyObject_IsTrue(obj) == 1;  // Python's or NumPy's own
    if (rq.smooth && (rq.rule == nearest || rq.rule == label)) {
        PyErr_Format(PyExc_ValueError, text::antialias_rule, interpolation);
        return false;
    }
    return true;
}

} // namespace

int thread_cap(PyObject *workers)
{
    if (workers == Py_None)
        return every_cpu;
    PyObject *index = PyNumber_Index(workers);
    if (!index) {
        // Only "not an integer" becomes ours; an interrupt, MemoryError or
        // RecursionError from a user's __index__ passes through unchanged.
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return 0;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, text::workers_type,
                     Py_TYPE(workers)->tp_name);
        return 0;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow > 0 || (!overflow && n > INT_MAX))
        return INT_MAX;
    if (n == 0 && !overflow) {
        PyErr_SetString(PyExc_ValueError, text::workers_zero);
        return 0;
    }
    if (n > 0)
        return int(n);
    const int cpus = cpu_count();
    if (overflow < 0 || n < -cpus) {
        PyErr_Format(PyExc_ValueError, text::workers_range, workers, cpus, -cpus);
        return 0;
    }
    return int(cpus + 1 + n);
}

bool read_request(PyObject *workers, PyObject *interpolation, PyObject *mode, PyObject *antialias,
                  PyObject *cval, PyObject *output_shape, PyObject *tile, request &rq)
{
    rq.cap = thread_cap(workers);
    if (rq.cap == 0)
        return false;
    rq.rule = -1;
    for (int k = 0; k < rule_count && PyUnicode_Check(interpolation); ++k)
        if (PyUnicode_CompareWithASCIIString(interpolation, rule_names[k]) == 0)
            rq.rule = k;
    if (rq.rule < 0) {
        PyErr_Format(PyExc_ValueError, text::interpolation, interpolation);
        return false;
    }
    if (!read_mode(mode, rq))
        return false;
    const bool typed = rq.rule == nearest || rq.rule == label;  // else a float32 result
    if (typed && PyIndex_Check(cval)) {
        ref index(PyNumber_Index(cval));
        if (index) {
            exact_int(index.get(), rq);
        } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();  // an __index__ that refuses (NumPy's bool): read as a number below
        } else {
            return false;
        }
    }
    rq.cval = rq.cint ? 0.0 : PyFloat_AsDouble(cval);
    if (rq.cval == -1.0 && PyErr_Occurred())
        return retype(text::cval_type, cval);
    if (typed && !rq.cint && !PyFloat_Check(cval) && !exact_real(cval, rq))
        return false;
    if (output_shape != Py_None) {
        if (!read_ints(output_shape, text::shape_type, rq.shape, 4, rq.shape_n))
            return false;
        if (rq.shape_n < 3 || rq.shape_n > 4) {
            PyErr_Format(PyExc_ValueError, text::shape_count, rq.shape_n);
            return false;
        }
    }
    if (tile != Py_None) {
        int n = 0;
        if (!read_ints(tile, text::tile_type, rq.tile, 9, n))
            return false;
        if (n != 9) {
            PyErr_SetString(PyExc_ValueError, text::tile_count);
            return false;
        }
        rq.tiled = true;
    }
    return read_antialias(antialias, interpolation, rq);  // runs no caller's code: after those that do
}
