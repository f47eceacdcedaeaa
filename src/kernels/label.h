// Nearest-sample and label-preserving resampling of integer (and, for
// nearest, float) images: the linear kernel's grid, coordinates and classes,
// in the image's own element type.
#pragma once

#include <cstdint>

#include "vocab/part.h"
#include "vocab/rules.h"

// Element types by size and signedness: nearest moves elements whole, so
// it needs only their size; label compares them, so it needs their sign.
enum elem { e_u8, e_i8, e_u16, e_i16, e_u32, e_i32, e_u64, e_i64, e_f32, e_f64, elem_count };

// The one table of the element kinds: NumPy's kind letter ('u', 'i', 'f')
// and the size in bytes of each.
struct elem_info {
    char kind;
    int size;
};
constexpr elem_info elems[elem_count] = {{'u', 1}, {'i', 1}, {'u', 2}, {'i', 2}, {'u', 4},
                                         {'i', 4}, {'u', 8}, {'i', 8}, {'f', 4}, {'f', 8}};

// The size of elem `type`, 0 for none.
int elem_size(int type);
// The elem of NumPy kind `kind` (bool reads as unsigned) and `size` bytes,
// or -1 for none.
int elem_find(char kind, int size);

// The typed side of a part whose float pointers are null: sample (z, y, x)
// of the box and voxel (z, y, x) of the window at the element offsets the
// part gives, as elements of `type`, aligned to their size.
struct typed {
    const void *src;
    void *out;
    int type, rule;         // an elem and a rule (nearest or label)
    unsigned char fill[8];  // cval as one element of `type`, in its first bytes
};

// The part's rows: every voxel set, to its sample or label, or to the fill,
// on the best target this CPU runs (the linear kernel's choice).
void label_part(const part &p, const typed &t);

// One target's kernel (kernels/table.h), the same bits on each.
using label_fn = void (*)(const part &p, const typed &t);

// A d[0] x d[1] x d[2] x d[3] block of `size`-byte elements at byte strides s
// into dense native order at dst; `boolean` stores any nonzero byte as 1.
void copy_elems(const char *data, const std::int64_t d[4], const std::int64_t s[4], int size, bool swapped,
                bool boolean, unsigned char *dst);
