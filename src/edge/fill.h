// nearest and label: the element kind of the image, and cval as one
// element of it, exactly or not at all.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include "edge/request.h"

// The element kind nearest or label reads and writes: the image's own,
// or -1 with ValueError set.
int elem_of(PyArrayObject *image, int mode);

// cval as one element of kind e (bool: 0 or 1) into fill, or false with
// ValueError set when that element cannot hold it exactly.
bool fill_of(const request &rq, int e, int type, unsigned char fill[8]);
