// The source boxes of a chunked warp, for vexiloimgc.dask.warp.
#pragma once

#include <Python.h>

// image (a stand-in of the whole image's shape and type), spacing, steps,
// output_shape, output_spacing, cval, interpolation and mode as warp_into
// takes them, checked as it checks them. edges_n, edges_z, edges_y,
// edges_x: int64 C-contiguous edges of the output grid's chunks along N, Z,
// Y, X, from 0 to the output's extent (edges_n [0, 1] for a 3-D image);
// edges_n None for the checks alone (returns None). workers: as
// transform_into takes it, the threads that carry the points.
//
// Returns an int64 array (blocks along N, Z, Y, X, 6): each block's box
// (z0, z1, y0, y1, x0, x1), half-open, exactly the samples its voxels of
// its volumes read (each point carried through the steps as the warp
// carries it), or -1 throughout for a block that reads none. Under a mode,
// and for cubic, the box boxes.h's points_reach grows from the points'
// least and greatest coordinates per axis. NULL with an exception set.
PyObject *warp_boxes(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                     PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                     PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x,
                     PyObject *workers);
