// Array conversion: readers copy a NumPy array, through its strides, into a
// dense float buffer (width fastest); writers copy such a buffer back.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "vocab/sizes.h"

// Float buffers come from malloc and go back with free; this holds one so
// every exit path releases it.
struct free_delete {
    void operator()(void *p) const noexcept { std::free(p); }
};
using fbuf = std::unique_ptr<float[], free_delete>;


// Python-facing readers: a new buffer, or NULL with MemoryError / ValueError set.
float *array2float(PyArrayObject *a);
float *array2float3d(PyArrayObject *a);
float *array2float4d(PyArrayObject *a);

// An array's elements as the strided copies see them: its first axes
// right-aligned into four (missing ones of extent 1), byte strides, type.
struct block {
    const char *data;
    std::int64_t d[4], s[4];
    int type;
    bool swapped;  // not in the machine's byte order
};
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

// A float buffer of `count` floats from malloc (calloc when `zeroed`), large
// ones advised to use huge pages where the system offers them; NULL when
// the allocation fails.
float *alloc_floats(std::int64_t count, bool zeroed);

// The element types a reader takes: the module's image readers (and the
// writers) five, its 1-D reader also NPY_LONGLONG, the package's readers
// every bool, integer and float type up to double.
enum { image_types, vector_types, package_types };
bool accepted(int type, int types);

// The MemoryError text of the reader for `naxes` (1, 3 or 4) axes.
const char *reader_nomem(int naxes);

// Elements in a block of extents d[0..3], or -1 when some extent is 2^31 or
// more or the count reaches `limit`. A zero extent gives 0 whatever the rest.
std::int64_t block_count(const std::int64_t d[4], std::int64_t limit);

// The strided copies under the readers and writers, free of the interpreter:
// a d[0] x d[1] x d[2] x d[3] block of elements of NumPy type `type` at byte
// strides s[0..3] from `data`, `swapped` when not in the machine's byte order.
// Both return 0, or 1 when the block has elements and the type is refused
// (then nothing is stored).
int read_block(const char *data, const std::int64_t d[4], const std::int64_t s[4],
               int type, bool swapped, int types, float *out);
int write_block(const float *buf, char *data, const std::int64_t d[4],
                const std::int64_t s[4], int type, bool swapped);

// Writers' float-to-integer step: truncation toward zero; NaN and values out
// of the integer's range give its minimum, as x86's conversion does.
template <class I> inline I trunc_to(float f)
{
    constexpr float lo = -float(std::uint64_t(1) << (8 * sizeof(I) - 1));
    return (f >= lo && f < -lo) ? static_cast<I>(f) : static_cast<I>(lo);
}
