// How the package reads a call's source: where it lies, or through one
// dense copy made on the call's threads.
#pragma once

#include <cstdint>

#include "engine/block.h"
#include "vocab/go.h"

// The source as the kernel reads it: sample (n, z, y, x) at
// data[n * volume + z * slice + y * row + x].
struct source {
    const float *data;
    std::int64_t volume, slice, row;
};

// A native float32 image with dense, aligned rows and non-negative slice
// and row strides, read where it lies: true with src set, when (with
// `bounded`) its furthest sample within a volume is one the kernel's 32-bit
// offsets reach; without, the driver reads it in windows whose boxes are.
bool in_place(const block &b, bool bounded, source &src);
// The same for nearest and label, elements of `size` bytes of any type but
// bool (its bytes are made 0 or 1): src's strides in elements, its data null.
bool typed_in_place(const block &b, int size, bool bounded, source &src);
// The image into the dense buffer `dst`, on up to `threads` threads: as
// elements (copy_typed) or converted to float (convert). False when go()
// stopped it (dst then part-written).
bool copy_typed(const block &b, int size, unsigned char *dst, int threads, const go_fn &go = always);
bool convert(const block &b, float *dst, int threads, const go_fn &go = always);
