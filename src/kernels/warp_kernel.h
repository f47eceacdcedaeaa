// A warp's per-point work, compiled per target (kernels/target.cpp): a
// displacement field's step over a block of points, and the rules at a
// block of points. Every target gives the scalar target's bits.
#pragma once

#include <cstdint>

#include "vocab/modes.h"

// Points carried together through a warp's steps: their arrays fit in L1.
constexpr int warp_block = 256;

// A displacement field as raw memory: its samples' components at byte
// strides s (volume, z, y, x, component) from `data`, component 0 of sample
// (0, 0, 0) of volume 0; the map from physical points to its continuous
// index, row by row. No stride need keep its floats aligned. `end`: one
// past the last byte of its samples (null: unknown), which lets a copy run
// past a sample's last component where memory is there.
struct warp_field {
    const char *data = nullptr;
    const char *end = nullptr;
    std::int64_t s[5] = {};
    std::int64_t X = 0, Y = 0, Z = 0;
    bool per_volume = false;
    float inv[12] = {};
};

// A checked warp's reads, as raw memory and plain numbers.
struct warp_job {
    const float *src;        // linear; cubic: its coefficients
    const char *typed;       // nearest and label
    std::int64_t volume, slice, row;  // strides of either, in elements
    int X, Y, Z;             // the whole source; none of them 0 unless `empty`
    int bx, by, bz;          // the box held: its first sample within the whole
    int bnx, bny, bnz;       // and its extents (a tile's box, else the whole)
    std::int64_t origin;     // the box's first sample within the whole, in elements
    std::int64_t wx, wy, wz; // a tile: its window's first voxel within the whole grid
    bool tiled;
    bool empty;
    bool reached;            // linear: a volume's furthest sample within 32-bit offsets
    char *out;
    int size;                // bytes per output element
    std::int64_t OX, OY, OZ;
    const float *o, *s;      // output and source spacing
    int rule, e;             // rules.h, label.h's elem
    bool moded;              // linear, nearest, label: modes_point.h's reads under `mode`
    ::mode mode;
    int pad;                 // cubic: the coefficients grown beyond each edge (cubic.h)
    float value;
    unsigned char fill[8];
};

// Points (x[i], y[i], z[i]), i < n <= warp_block, of volume v moved by the
// field: p + u(p) where p lies on its grid, as they were elsewhere.
using warp_field_fn = void (*)(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n);

// The linear rule with mode None at n <= warp_block continuous source
// indices, of a float32 volume whose furthest sample lies within 32-bit
// offsets (strides in elements, extents at least 1): out[i], or `fill` where
// a point maps nowhere.
using warp_linear_fn = void (*)(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                                const float *cx, const float *cy, const float *cz, int n, float fill, float *out);

// The job's rule at n <= warp_block continuous source indices of volume v,
// into n output elements at o.
using warp_reads_fn = void (*)(const warp_job &w, std::int64_t v, const float *x, const float *y, const float *z,
                               int n, char *o);
