// An array's elements as plain memory, and the strided copies between such
// a block and a dense float buffer (width fastest), free of the interpreter.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

// Float buffers come from malloc and go back with free; this holds one so
// every exit path releases it.
struct free_delete {
    void operator()(void *p) const noexcept { std::free(p); }
};
using fbuf = std::unique_ptr<float[], free_delete>;

// Element type numbers, NumPy's own (the edge asserts they agree).
enum dtype {
    dt_bool = 0, dt_byte = 1, dt_ubyte = 2, dt_short = 3, dt_ushort = 4, dt_int = 5, dt_uint = 6,
    dt_long = 7, dt_ulong = 8, dt_longlong = 9, dt_ulonglong = 10, dt_float = 11, dt_double = 12,
    dt_half = 23,
};

// An array's elements as the strided copies see them: its first axes
// right-aligned into four (missing ones of extent 1), byte strides, type.
struct block {
    const char *data;
    std::int64_t d[4], s[4];
    int type;      // a dtype
    bool swapped;  // not in the machine's byte order
};

// A float buffer of `count` floats from malloc (calloc when `zeroed`), large
// ones advised to use huge pages where the system offers them; NULL when
// the allocation fails.
float *alloc_floats(std::int64_t count, bool zeroed);

// The element types a reader takes: the module's image readers (and the
// writers) five, its 1-D reader also dt_longlong, the package's readers
// every bool, integer and float type up to double.
enum { image_types, vector_types, package_types };
bool accepted(int type, int types);

// Elements in a block of extents d[0..3], or -1 when some extent is 2^31 or
// more or the count reaches `limit`. A zero extent gives 0 whatever the rest.
std::int64_t block_count(const std::int64_t d[4], std::int64_t limit);

// The strided copies under the readers and writers: a d[0] x d[1] x d[2] x
// d[3] block of elements of type `type` at byte strides s[0..3] from
// `data`, `swapped` when not in the machine's byte order. Both return 0,
// or 1 when the block has elements and the type is refused (then nothing
// is stored).
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
