// A warp's per-point work on the instruction-set paths: a displacement
// field's step over a block of points, and the linear rule at a block of
// points. Every path gives the scalar path's bits.
#pragma once

#include <cstdint>

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

// Points (x[i], y[i], z[i]), i < n <= warp_block, of volume v moved by the
// field: p + u(p) where p lies on its grid, as they were elsewhere.
using warp_field_fn = void (*)(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n);
void field_scalar(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n);
void field_avx2(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n);
void field_avx512(const warp_field &f, std::int64_t v, float *x, float *y, float *z, int n);

// The linear rule with mode None at n <= warp_block continuous source
// indices, of a float32 volume whose furthest sample lies within 32-bit
// offsets (strides in elements, extents at least 1): out[i], or `fill` where
// a point maps nowhere.
using warp_linear_fn = void (*)(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                                const float *cx, const float *cy, const float *cz, int n, float fill, float *out);
void warp_linear_scalar(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                        const float *cx, const float *cy, const float *cz, int n, float fill, float *out);
void warp_linear_avx2(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                      const float *cx, const float *cy, const float *cz, int n, float fill, float *out);
void warp_linear_avx512(const float *data, std::int64_t slice, std::int64_t row, int X, int Y, int Z,
                        const float *cx, const float *cy, const float *cz, int n, float fill, float *out);

// The path's functions (resample_paths.h), or nullptr when this build lacks it.
warp_field_fn field_path(int path);
warp_linear_fn warp_linear_path(int path);
