// Array conversion: readers copy a NumPy array, through its strides, into a
// dense float buffer (width fastest); writers copy such a buffer back.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <cstdint>

#include "engine/block.h"
#include "vocab/sizes.h"

// Python-facing readers: a new buffer, or NULL with MemoryError / ValueError set.
float *array2float(PyArrayObject *a);
float *array2float3d(PyArrayObject *a);
float *array2float4d(PyArrayObject *a);

// An array's first `naxes` axes as a block (engine/block.h).
block block_of(PyArrayObject *a, int naxes);

// The checks of the reader for `naxes` (1, 3 or 4) axes, without reading:
// the element count (0 for none), or -1 with that reader's MemoryError or
// ValueError set.
std::int64_t check_read(PyArrayObject *a, int naxes);
// A new buffer of b's elements read as the 1-D reader reads them (its
// element types, its messages), or NULL with an exception set.
float *read_vector_block(const block &b);

// Python-facing writers: 0 done, 1 element type refused (nothing written,
// no exception set).
int float2array3d(const float *buf, PyArrayObject *a);
int float2array4d(const float *buf, PyArrayObject *a);

// The MemoryError text of the reader for `naxes` (1, 3 or 4) axes.
const char *reader_nomem(int naxes);

