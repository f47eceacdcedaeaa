#include "edge/convert.h"

#include <algorithm>

#include "vocab/texts.h"

// The engine's type numbers are NumPy's, so a block carries an array's own.
static_assert(int(dt_bool) == NPY_BOOL && int(dt_byte) == NPY_BYTE && int(dt_ubyte) == NPY_UBYTE &&
              int(dt_short) == NPY_SHORT && int(dt_ushort) == NPY_USHORT && int(dt_int) == NPY_INT &&
              int(dt_uint) == NPY_UINT && int(dt_long) == NPY_LONG && int(dt_ulong) == NPY_ULONG &&
              int(dt_longlong) == NPY_LONGLONG && int(dt_ulonglong) == NPY_ULONGLONG && int(dt_float) == NPY_FLOAT &&
              int(dt_double) == NPY_DOUBLE && int(dt_half) == NPY_HALF);

namespace {

bool swapped(PyArrayObject *a) { return !PyArray_ISNBO(PyArray_DESCR(a)->byteorder); }

// One reader's limit, element types and messages.
struct reader {
    std::int64_t limit;
    int types;
    const char *nomem, *badtype;
};
const reader readers[3] = {
    {vector_limit, vector_types, text::nomem_read[0], text::bad_type_read[0]},
    {image3d_limit, image_types, text::nomem_read[1], text::bad_type_read[1]},
    {image4d_limit, image_types, text::nomem_read[2], text::bad_type_read[2]},
};
const reader &reader_for(int naxes) { return readers[naxes == 1 ? 0 : naxes == 3 ? 1 : 2]; }

std::int64_t check_block(const block &b, const reader &r)
{
    const std::int64_t count = block_count(b.d, r.limit);
    if (count < 0) {
        PyErr_SetString(PyExc_MemoryError, r.nomem);
        return -1;
    }
    if (count > 0 && !accepted(b.type, r.types)) {
        PyErr_SetString(PyExc_ValueError, r.badtype);
        return -1;
    }
    return count;
}

float *read_checked(const block &b, const reader &r)
{
    const std::int64_t count = check_block(b, r);
    if (count < 0)
        return nullptr;
    // One byte at least, so an empty array still gives a valid buffer.
    fbuf buf(alloc_floats(std::max<std::int64_t>(count, 1), false));
    if (!buf) {
        PyErr_SetString(PyExc_MemoryError, r.nomem);
        return nullptr;
    }
    read_block(b.data, b.d, b.s, b.type, b.swapped, r.types, buf.get());
    return buf.release();
}

float *read_array(PyArrayObject *a, int naxes) { return read_checked(block_of(a, naxes), reader_for(naxes)); }

int write_array(const float *buf, PyArrayObject *a, int naxes)
{
    const block b = block_of(a, naxes);
    return write_block(buf, const_cast<char *>(b.data), b.d, b.s, b.type, b.swapped);
}

} // namespace

block block_of(PyArrayObject *a, int naxes)
{
    block b{PyArray_BYTES(a), {1, 1, 1, 1}, {0, 0, 0, 0}, PyArray_TYPE(a), swapped(a)};
    for (int k = 0; k < naxes; ++k) {
        b.d[4 - naxes + k] = PyArray_DIMS(a)[k];
        b.s[4 - naxes + k] = PyArray_STRIDES(a)[k];
    }
    return b;
}

std::int64_t check_read(PyArrayObject *a, int naxes) { return check_block(block_of(a, naxes), reader_for(naxes)); }

float *read_vector_block(const block &b) { return read_checked(b, readers[0]); }

const char *reader_nomem(int naxes) { return reader_for(naxes).nomem; }

float *array2float(PyArrayObject *a) { return read_array(a, 1); }
float *array2float3d(PyArrayObject *a) { return read_array(a, 3); }
float *array2float4d(PyArrayObject *a) { return read_array(a, 4); }

int float2array3d(const float *buf, PyArrayObject *a) { return write_array(buf, a, 3); }
int float2array4d(const float *buf, PyArrayObject *a) { return write_array(buf, a, 4); }
