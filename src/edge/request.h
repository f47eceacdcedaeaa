// The package's arguments that can run a caller's code (__index__,
// __float__, __iter__), each converted once, first, into plain numbers.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <string>

// Everything of a call that Python code could still change, as plain
// numbers: after this, no Python code runs until the work is done.
struct request {
    int cap;          // thread cap (thread_cap)
    int rule;         // interpolation: a rule (rules.h)
    int mode;         // how samples extend beyond the edges (modes.h); cubic's None is constant
    bool moded;       // a mode was given: linear, nearest and label then take their moded rows
    bool smooth;      // antialias: the Gaussian over the source first
    double cval;
    // nearest and label: a cval with __index__ as the exact integer it is
    // (sign and magnitude; `huge` past 64 bits), else the double above.
    bool cint = false, cneg = false, huge = false;
    unsigned long long cmag = 0;
    std::string inexact;  // a cval no double holds, as its repr shows it
    int shape_n = 0;  // 0: the image's grid; else 3 or 4 extents
    npy_intp shape[4];
    bool tiled = false;
    npy_intp tile[9];
};

// The `workers` argument as a thread cap: every_cpu for None, n for n > 0,
// the CPU count + 1 + n for n < 0. 0 with an exception set for anything
// else: our TypeError for what has no __index__ (or whose __index__ raises
// TypeError), ValueError for 0 or too low, and whatever else __index__
// raises, unchanged.
int thread_cap(PyObject *workers);

// Converts workers, interpolation, mode, cval, output_shape, tile (None for
// none) and antialias into rq, in that order; false with the exception set
// on failure (ours for a conversion's TypeError, any other unchanged).
bool read_request(PyObject *workers, PyObject *interpolation, PyObject *mode, PyObject *antialias,
                  PyObject *cval, PyObject *output_shape, PyObject *tile, request &rq);
