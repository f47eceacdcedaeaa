// The package's arguments that can run a caller's code (__index__,
// __float__, __iter__), each converted once, first, into plain numbers.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include "engine/call.h"

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
