// The package's warp: each output point carried through a chain of affine
// maps and displacement fields, then read by a rule, in one pass.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "engine/warp.h"

// image, spacing, output_shape, output_spacing, cval, out, workers,
// interpolation, mode and tile as transform_into (driver.h) takes them, each
// point read as transform reads a voxel at its source index (a tile: from its
// box, placed in the whole source, a point whose samples the box lacks
// mapping nowhere; cubic filters the box with the whole's edges, as
// transform's tiles do). steps: a list, each item an affine map as
// transform_into's matrix takes it (an ndarray), or a field as the package
// hands it over: a tuple (displacement, inverse), displacement a float32
// ndarray in the machine's byte order of shape (Z, Y, X, 3) or, for a 4-D
// image of N volumes, (N, Z, Y, X, 3), any strides; inverse a C-contiguous
// float32 array of 12 values, the map from physical points to the field's
// continuous index, row by row. Anything else, as steps or as an item, is
// refused with TypeError after every conversion. All borrowed. Returns
// `out` or a new array, a new reference; NULL with an exception set and
// nothing written.
PyObject *warp_into(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                    PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                    PyObject *tile, PyObject *out, PyObject *workers);

// A checked warp's chain of steps, for the Dask layer's boxes (warp_boxes.h).
using chain_ptr = std::unique_ptr<warp_chain>;

// warp_into's checks of these arguments (no out, workers or tile), without
// the module's limits on whole sizes: the chain, or null with the exception
// set. It reads the steps' fields where they lie: they must outlive it.
chain_ptr warp_chain_of(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                        PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode);
