/* The package's binding: objects in, one object out. The package's
   transform (python/vexiloimgc/__init__.py) names the arguments; the checks
   and the work are in src/edge/driver.cpp. vexiloimgc.dask checks a call once
   and asks for its blocks' source boxes (src/edge/boxes_entry.cpp); reslice asks for
   its voxel map (src/edge/affine.cpp). The separable filters (src/edge/filters.cpp)
   alone, the cubic prefilter and the anti-aliasing Gaussian that transform
   runs inside its call, are private entries for the tests. */
%module(package="vexiloimgc") _native

%begin %{
#define VX_MODULE "vexiloimgc._native"
%}
%include "runtime.i"

%{
#include "edge/affine.h"
#include "edge/boxes_entry.h"
#include "edge/driver.h"
#include "edge/filters.h"
#include "vocab/sizes.h"
#include "edge/warp.h"
#include "edge/warp_boxes.h"
%}

/* The sizes the Dask layer plans its blocks by: most voxels one call writes
   (and most elements of a 4-D source), most elements of a 3-D source. */
%constant long long call_limit = max_elements;
%constant long long box_limit = image3d_limit - 1;

/* mode and antialias may be left off (None, False): one wrapper that counts its arguments. */
%rename(transform) transform_into;
%feature("compactdefaultargs") transform_into;
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                         PyObject *workers, PyObject *output_shape, PyObject *output_spacing,
                         PyObject *cval, PyObject *interpolation, PyObject *tile, PyObject *mode = Py_None,
                         PyObject *antialias = Py_False);

PyObject *voxel_map(PyObject *affine, PyObject *target);
/* The package's warp (python/vexiloimgc/__init__.py); src/edge/warp.cpp. */
%rename(warp) warp_into;
%feature("compactdefaultargs") warp_into;
PyObject *warp_into(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *out, PyObject *workers,
                    PyObject *output_shape, PyObject *output_spacing, PyObject *cval, PyObject *interpolation,
                    PyObject *mode, PyObject *tile = Py_None);
/* vexiloimgc.dask.warp's blocks' source boxes; src/edge/warp_boxes.cpp. */
%feature("compactdefaultargs") warp_boxes;
PyObject *warp_boxes(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                     PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                     PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x,
                     PyObject *workers = Py_None);
%feature("compactdefaultargs") transform_check;
PyObject *transform_check(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                          PyObject *output_spacing, PyObject *cval, PyObject *interpolation,
                          PyObject *mode = Py_None, PyObject *antialias = Py_False);
%feature("compactdefaultargs") source_boxes;
PyObject *source_boxes(PyObject *extents, PyObject *spacing, PyObject *output_spacing, PyObject *maps,
                       PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x,
                       PyObject *reach = Py_None);
PyObject *spline_coefficients(PyObject *image, PyObject *mode, PyObject *cval, PyObject *workers,
                              PyObject *place);
PyObject *gaussian_smooth(PyObject *image, PyObject *factors, PyObject *mode, PyObject *workers,
                          PyObject *place);
