/* The package's binding: objects in, one object out. The package's
   transform (python/vexiloimgc/__init__.py) names the arguments; the checks
   and the work are in src/driver.cpp. vexiloimgc.dask checks a call once
   and asks for its blocks' source boxes (src/boxes.cpp); reslice asks for
   its voxel map (src/affine.cpp). The separable filters (src/filters.cpp)
   alone, the cubic prefilter and the anti-aliasing Gaussian that transform
   runs inside its call, are private entries for the tests. */
%module(package="vexiloimgc") _native

%begin %{
#define VX_MODULE "vexiloimgc._native"
%}
%include "runtime.i"

%{
#include "affine.h"
#include "boxes.h"
#include "driver.h"
#include "filters.h"
#include "sizes.h"
#include "warp.h"
#include "warp_boxes.h"
%}

/* The sizes the Dask layer plans its blocks by: most voxels one call writes
   (and most elements of a 4-D source), most elements of a 3-D source. */
%constant long long call_limit = max_elements;
%constant long long box_limit = image3d_limit - 1;

/* The package's calls and the Dask layer's checks and boxes take their
   arguments by name, in one order: the source (image, spacing), the map
   (matrix, steps or maps), the output grid, the fill, the rule and mode,
   where the output goes (tile, out, or the blocks' edges), workers. Only
   what a caller may leave off has a default, each "not given". */
%feature("kwargs") transform_into;
%feature("kwargs") warp_into;
%feature("kwargs") transform_check;
%feature("kwargs") warp_boxes;
%feature("kwargs") source_boxes;
%feature("compactdefaultargs");

/* The package's transform (python/vexiloimgc/__init__.py); src/driver.cpp. */
%rename(transform) transform_into;
PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                         PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode = Py_None,
                         PyObject *antialias = Py_False, PyObject *tile = Py_None, PyObject *out = Py_None,
                         PyObject *workers = Py_None);
/* The package's warp (python/vexiloimgc/_warping.py); src/warp.cpp. */
%rename(warp) warp_into;
PyObject *warp_into(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                    PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode = Py_None,
                    PyObject *tile = Py_None, PyObject *out = Py_None, PyObject *workers = Py_None);
PyObject *transform_check(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                          PyObject *output_spacing, PyObject *cval, PyObject *interpolation,
                          PyObject *mode = Py_None, PyObject *antialias = Py_False);
/* vexiloimgc.dask.warp's blocks' source boxes, or with no edges its checks
   alone; src/warp_boxes.cpp. */
PyObject *warp_boxes(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                     PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode = Py_None,
                     PyObject *edges_n = Py_None, PyObject *edges_z = Py_None, PyObject *edges_y = Py_None,
                     PyObject *edges_x = Py_None, PyObject *workers = Py_None);
/* vexiloimgc.dask.transform's; src/boxes.cpp. */
PyObject *source_boxes(PyObject *extents, PyObject *spacing, PyObject *maps, PyObject *output_spacing,
                       PyObject *reach, PyObject *edges_n, PyObject *edges_z, PyObject *edges_y,
                       PyObject *edges_x);
PyObject *voxel_map(PyObject *affine, PyObject *target);
PyObject *spline_coefficients(PyObject *image, PyObject *mode, PyObject *cval, PyObject *workers,
                              PyObject *place);
PyObject *gaussian_smooth(PyObject *image, PyObject *factors, PyObject *mode, PyObject *workers,
                          PyObject *place);
