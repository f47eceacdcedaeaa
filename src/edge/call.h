// The package's arguments as one checked call: each converted and checked
// once, in the module's order and with its texts, into plain C++ that runs
// no Python code (the argument contract of transform_into and
// transform_check).
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include "edge/checks.h"
#include "edge/convert.h"
#include "edge/request.h"
#include "engine/call.h"
#include "engine/spline.h"

// The checks of the module's transform, in its order, then the output
// grid's and the tile's, without the module's limits on whole sizes;
// `graph` for transform_check. False with the exception set.
bool check_call(PyObject *image_obj, PyObject *spacing, PyObject *matrix, PyObject *output_spacing, bool graph,
                call &c);

// antialias: volume k's down-sampling factors, X, Y, Z, as its Gaussian
// takes them: at most factor_limit, and 1 (not filtered) where not finite,
// where no voxel maps along that axis anyway.
void factors_of(const call &c, std::int64_t k, double d[3]);

// Whether antialias smooths any volume: if not, the source is read as
// without it (in place where it can be).
bool smooths(const call &c);

// The bytes an array's elements span; empty for an array without any.
void span_of(PyArrayObject *a, const char *&lo, const char *&hi);

// `out` checked, or a new array of the output's shape and type.
PyObject *result_of(const call &c, PyObject *out, PyObject *const inputs[4]);

// What a call checked is made of (see transform_check in driver.h).
PyObject *checked(int nd, const npy_intp od[4], int rtype, const unsigned char fill[8], const float *sp,
                  const float *osp, const float *maps, bool per_volume);

// Where the call's source is read and cubic's layout in it (engine/plan.h's
// reading_of, engine/spline.h's spline_of); false with MemoryError set.
bool read_source(const call &c, int size, reading &r, spline &s);
