// The package's transform: the module's bits and checks, onto any output
// grid, reading in place where it can, on up to `workers` threads with the
// interpreter lock released.
#pragma once

#include <Python.h>

#include <chrono>

// image: 3-D (Z, Y, X) or 4-D (N, Z, Y, X) ndarray; spacing, output_spacing:
// along X, Y, Z; matrix: one output-to-source map (12 values, (3, 4) or
// (4, 4)) or one per volume of a 4-D image. output_shape: None or 3 (or 4)
// integers; output_spacing: None for spacing. cval: the value of voxels
// that map nowhere. interpolation: a name of rules.h; mode: None, or a
// name of modes.h (for "cubic" None is "constant"; for the others the face
// bands, modes_part.h's rows under a name); antialias: True to smooth
// the source first (axis_filter.h's Gaussian), for "linear" and "cubic". tile: None, or 9 integers for
// a window of a larger call: the whole source's Z, Y, X, where the image
// (a box of it) starts in it, and where the output (a window of the whole
// grid) starts in that grid, each Z, Y, X. The filters of "cubic" and
// antialias then run on the box with the whole's edges, and a mode extends
// against the whole, so the box must hold what they reach (boxes.h).
// All borrowed. Writes into `out`
// (None for a new array) and returns it, a new reference; NULL with an
// exception set on any failure, with nothing written.
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                         PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                         PyObject *antialias, PyObject *tile, PyObject *out, PyObject *workers);

// The checks of transform_into for the same arguments (workers, out and tile
// None), in its order and with its messages, but for one call's limits on
// the image's and the output grid's voxel counts: a Dask graph's blocks
// each make a call of their own. `image` may be any array of the image's
// shape and type (strides 0 will do); nothing of it is read. Returns the
// call as its blocks make it, read once: (fill, grid, spacing,
// output_spacing, maps): fill a 0-d array of the result's type holding cval
// as the kernel writes it; grid the output's extents, a tuple of ints as
// long as the image's shape; spacing and output_spacing (None when not
// given) 3 float32 values; maps float32, (12,) or (N, 12) for one per volume.
PyObject *transform_check(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                          PyObject *output_spacing, PyObject *cval, PyObject *interpolation,
                          PyObject *mode, PyObject *antialias);

// Signals reach Python only through the main thread with the lock held:
// every 50 ms of its own jobs the calling thread takes the lock back to let
// them run (state: the released thread's, null where the lock is held).
// False, with the handler's exception (KeyboardInterrupt) set, when one raised.
bool no_interrupt(PyThreadState *&state, std::chrono::steady_clock::time_point &next);

struct call;
// The work of a call transform_into has checked (antialias off, no tile)
// into `out`, the output grid's extents none of them 0: the row kernels'.
// False with the exception set.
bool transform_work(const call &c, char *out);
