// source_boxes, the Dask layer's entry to the source boxes (engine/boxes.h).
#pragma once

#include <Python.h>

// extents: int64, the whole source's Z, Y, X. spacing, output_spacing:
// float32, 3 values along X, Y, Z; maps: float32, one map (12 values) or
// one per volume ((N, 12)); all as transform_check returns them. edges_n,
// edges_z, edges_y, edges_x: int64 edges of the output grid's chunks along
// N, Z, Y, X (each at or above the one before, below 2^31; edges_n [0, 1]
// for a 3-D image). All C-contiguous in the machine's byte order. reach:
// None for the samples the linear, nearest and label rules read, or (rule,
// mode, antialias): the interpolation's name and its mode name or None
// (cubic's "constant"); antialias True grows each box by the Gaussian's K
// of each volume's factors. Under a mode, the linear, nearest and label
// rules' boxes hold the samples the extension reads: the edge sample under
// "nearest", none past the edges under "grid-constant", the planes folded
// back where "mirror" or "reflect" read past one edge by less than the
// axis, else the whole axis where they or "grid-wrap" read past one. Cubic's
// boxes hold the coefficients its voxels read grown by the prefilter's K
// (and the Gaussian's), so that a tiled call filtering its box with the
// whole's edges gives the whole's coefficients where they are read; under
// "grid-wrap", and "mirror" or "reflect" reading more than two planes past
// an edge, an axis the grown box would pass an edge of is taken whole.
//
// Returns an int64 array (blocks along N, Z, Y, X, 6): each block's box
// (z0, z1, y0, y1, x0, x1), half-open, holding every sample its voxels of
// its volumes read, or -1 throughout for a block whose voxels all map
// nowhere (or that has none). NULL with an exception set on bad arguments.
PyObject *source_boxes(PyObject *extents, PyObject *spacing, PyObject *maps, PyObject *output_spacing,
                       PyObject *reach, PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x);

