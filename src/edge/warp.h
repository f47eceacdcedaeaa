// The package's warp: each output point carried through a chain of affine
// maps and displacement fields, then read by a rule, in one pass.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

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

// Points a job of a warp's work holds at most: the calling thread looks for
// an interrupt between its jobs, so a job's time bounds how late it is seen.
constexpr std::int64_t warp_job_points = std::int64_t(1) << 16;

// A checked warp's chain of steps, for the Dask layer's boxes (warp_boxes.h).
struct warp_chain;
struct chain_free {
    void operator()(warp_chain *c) const;
};
using chain_ptr = std::unique_ptr<warp_chain, chain_free>;

// warp_into's checks of these arguments (no out, workers or tile), without
// the module's limits on whole sizes: the chain, or null with the exception
// set. It reads the steps' fields where they lie: they must outlive it.
chain_ptr warp_chain_of(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                        PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode);

// The checked call's rule (rules.h), output grid N, Z, Y, X and source Z, Y, X.
int chain_rule(const warp_chain &c);
// Its mode (modes.h; "constant" for None) and whether the linear, nearest
// or label rule reads under it (a mode given).
int chain_mode(const warp_chain &c, bool &given);
void chain_grid(const warp_chain &c, std::int64_t out[4], std::int64_t src[3]);

// The continuous source indices the warp reads for output voxels (z, y,
// x0 + i), i < n <= 256, of volume v: the kernel's arithmetic, to be run in
// its floating-point mode (fp_scope).
void chain_points(const warp_chain &c, std::int64_t v, std::int64_t z, std::int64_t y, std::int64_t x0, int n,
                  float *cx, float *cy, float *cz);
