// Every message both front doors raise, in one place: callers match on
// them, so each is written once and changed only here. printf-style
// specifiers are filled by PyErr_Format.
#pragma once

namespace text {

// The module's own, shared by the package where it makes the same check.
constexpr char numpy_missing[] = "numpy._core.multiarray failed to import";
constexpr char nomem[] = "Failed to allocate memory in image transform";
constexpr char not_array[] = "transform: %s must be a numpy.ndarray, not %.200s";
constexpr char dimensions[] = "transform: image must have 3 or 4 dimensions, got %d";
constexpr char short_0d[] = "transform: %s needs at least %zd values along its first axis, got a 0-d array";
constexpr char short_empty[] = "transform: %s needs at least %zd values along its first axis, got an empty array";
constexpr char short_n[] = "transform: %s needs at least %zd values along its first axis, got %zd";
// The readers': 1-D, 3-D and 4-D.
constexpr char nomem_read[3][48] = {"Failed to allocate memory in array2float",
                                    "Failed to allocate memory in array2float3d",
                                    "Failed to allocate memory in array2float4d"};
constexpr char bad_type_read[3][32] = {"Failed to convert to FLOAT", "Failed to convert to FLOAT 3D",
                                       "Failed to convert to FLOAT 4D"};

// The package's arguments, in the order they are converted.
constexpr char workers_type[] = "transform: workers must be an integer or None, not %.200s";
constexpr char workers_zero[] = "transform: workers must not be 0";
constexpr char workers_range[] = "transform: workers=%S is out of range: negative values count back from the "
                                 "%d CPUs this process may run on, so the lowest is %d";
constexpr char interpolation[] =
    "transform: interpolation must be \"linear\", \"nearest\", \"label\" or \"cubic\", not %.200R";
constexpr char mode_name[] = "transform: mode must be None or one of %s, not %.200R";
constexpr char antialias_type[] = "transform: antialias must be True or False, not %.200s";
constexpr char antialias_rule[] = "transform: antialias=True smooths for interpolation=\"linear\" or \"cubic\"; "
                                  "%R picks samples and takes antialias=False";
constexpr char cval_type[] = "transform: cval must be a real number, not %.200s";
constexpr char shape_type[] = "transform: output_shape must be a sequence of integers, not %.200s";
constexpr char shape_count[] = "transform: output_shape must hold 3 extents (Z, Y, X), or 4 for a 4-D image, not %d";
constexpr char tile_type[] = "transform: tile must be a sequence of integers, not %.200s";
constexpr char tile_count[] = "transform: tile must hold 9 integers";

// The package's checks.
constexpr char image_type[] = "transform: an image of %R is not read; images may be bool, integers of 8 to 64 "
                              "bits, float16, float32 or float64";
constexpr char shape_volumes[] = "transform: output_shape %s must start with the image's %zd volumes";
constexpr char shape_3d[] = "transform: output_shape %s has 4 extents for a 3-D image";
constexpr char shape_range[] = "transform: output_shape %s must hold extents from 0 to 2^31 - 1";
constexpr char output_spacing[] = "transform: output_spacing must be finite and positive, got (%S, %S, %S)";
constexpr char tile_box[] = "transform: the tile's box must lie within its source and its window within 2^31 "
                            "voxels of the origin";
constexpr char matrix_shape[] = "transform: a matrix of shape %s does not fit %s; a matrix is 12 or more values "
                                "along one axis, a (3, 4) or (4, 4) array, or for a 4-D image of N volumes an "
                                "(N, 12), (N, 16), (N, 3, 4) or (N, 4, 4) array";
constexpr char out_kind[] = "transform: out must be a numpy.ndarray or a writeable array with the buffer protocol or "
                           "DLPack, not %.200s";
constexpr char out_type[] = "transform: out must be %S in the machine's byte order, not %R";
constexpr char out_layout[] = "transform: out must be %s";
constexpr char out_shape[] = "transform: out must have the %s shape %s, not %s";
constexpr char out_shares[] = "transform: out must not share memory with %s";
constexpr char label_type[] = "transform: interpolation=\"label\" takes bool or integer images, not %R";
constexpr char nearest_type[] = "transform: interpolation=\"nearest\" takes bool, integer, float32 or float64 "
                                "images, not %R";
constexpr char cval_inexact[] = "transform: cval %s does not fit %S exactly";
constexpr char cval_huge[] = "transform: cval, an integer beyond 64 bits, does not fit %S exactly";
constexpr char cval_int[] = "transform: cval %s%llu does not fit %S exactly";
constexpr char cval_real[] = "transform: cval %R does not fit %S exactly";

// The package's helpers: reslice's map and the Dask layer's boxes.
constexpr char affines[] = "voxel_map: affines must be C-contiguous (4, 4) float64 arrays";
constexpr char singular[] = "reslice: affine cannot be inverted";
constexpr char boxes_reach[] = "source_boxes: reach must be None or (a rule name, None or a mode name, True or False)";
constexpr char boxes_type[] = "source_boxes: %s must be a numpy.ndarray, not %.200s";
constexpr char boxes_layout[] = "source_boxes: %s must be a C-contiguous, aligned %s array in the machine's byte order";
constexpr char boxes_edges[] = "source_boxes: %s must hold 2 or more edges, rising from 0, below 2^31";
constexpr char boxes_sizes[] = "source_boxes: extents must be 3 from 0 to 2^31 - 1, spacing and output_spacing 3 "
                               "values, maps 12 values or 12 per volume";
constexpr char boxes_nomem[] = "source_boxes: too many blocks";

// The separable filters' entries (spline_coefficients, gaussian_smooth);
// %s is the entry's name, filter_mode's second %s the modes' names.
constexpr char filter_image[] = "%s: image must be a numpy.ndarray, not %.200s";
constexpr char filter_dtype[] = "%s: image must be float32, not %R";
constexpr char filter_dims[] = "%s: image must have 3 or 4 dimensions, each of extent below 2^31 (%d given)";
constexpr char filter_mode[] = "%s: mode must be one of %s; got %.200R";
constexpr char filter_cval[] = "%s: cval must be a real number, not %.200s";
constexpr char filter_factors_type[] = "%s: factors must be a sequence of real numbers, not %.200s";
constexpr char filter_factors[] = "%s: factors must be 3 numbers (X, Y, Z), each finite, above 0 and at most %d";
constexpr char filter_place_type[] = "%s: place must be None or a sequence of integers, not %.200s";
constexpr char filter_place[] = "%s: place must be None or 6 integers (z0, y0, x0, Z, Y, X): where the image's "
                                "first sample lies in a whole volume of extents Z, Y, X below 2^31 that holds it";
constexpr char filter_nomem[] = "%s: out of memory";

// The package's warp.
constexpr char warp_steps[] = "warp: steps must be a sequence of affine maps and Fields, not %.200s";
constexpr char warp_step[] = "warp: steps[%zd] must be an affine map or a vexiloimgc.Field, not %.200s";
constexpr char warp_field_shape[] = "warp: steps[%zd] is a Field of shape %s, which does not fit %s; a displacement "
                                    "is (Z, Y, X, 3), or for a 4-D image of N volumes (N, Z, Y, X, 3), each extent "
                                    "below 2^31";
constexpr char warp_shares[] = "warp: out must not share memory with steps[%zd]";
constexpr char warp_boxes_size[] = "warp_boxes: the output grid holds 2^62 points or more";

} // namespace text
