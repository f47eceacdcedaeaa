// How a checked call is worked: where its source is read (in place or one
// dense copy), and its plan of rows, cut into windows that each read a box
// within the kernel's 32-bit offsets when the whole call cannot.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "engine/call.h"
#include "vocab/part.h"
#include "engine/source.h"

// One call's work: every volume's window rows, cut into jobs of whole rows.
// Each row is computed as on one thread, so the bits never depend on the cut.
// A plan is the whole call, or one window of it reading its own box.
struct plan {
    source src;                             // float, at the box's first sample; data null for typed
    const char *typed;                      // nearest and label: the box's first element
    int size;                               // bytes per element of the source read and the result
    int X, Y, Z;                            // the whole source
    int bx, by, bz, bnx, bny, bnz;          // the box held
    char *out;                              // the window's first voxel of volume 0
    std::int64_t ovolume, oslice, orow;     // the result's strides, in voxels
    int N, wx, wy, wz, wnx, wny, wnz;       // the window written
    const float *spacing, *out_spacing, *maps;
    bool per_volume;
    int rule;                               // rules.h; floats_out(rule): float32 in and out
    bool moded;                             // linear, nearest or label under a mode: modes_part.h's rows
    float value;
};

inline const float *map_of(const plan &p, std::int64_t v) { return p.maps + (p.per_volume ? 12 * v : 0); }

// The kernel's part for rows [first, last) of volume v's window: the one
// place a part is made.
part tile_part(const plan &p, std::int64_t v, std::int64_t first, std::int64_t last);

// Rows per job, within one volume: enough jobs for the threads to even out
// (and for a lone thread to look for interrupts between them), each worth
// taking, and where there are enough, whole multiples of the kernel's own
// unit (its tiles of slices).
std::int64_t rows_per_job(const plan &p, int threads, bool released);

// The source as the kernel reads it, and the buffer of its copy, if any:
// float for linear, the image's elements (at `typed_src`) for nearest and
// label, and for cubic or antialias always a float copy, which the filters
// overwrite.
// `bounded`: each volume's furthest sample within the kernel's 32-bit
// offsets (any, for the 64-bit offsets of cubic's and the moded rows), so
// one part can read it whole; else windows read their boxes.
struct reading {
    source src{};
    fbuf dense;
    std::unique_ptr<unsigned char[], free_delete> copy;
    const char *typed_src = nullptr;
    bool bounded = true;
};

// Where the source is read: in place within 32-bit reach, else one dense
// copy (false when it cannot be had), except that a volume the copy
// could not reach either is read in place where it can be. An empty image
// reads nothing.
bool reading_of(const call &c, int size, reading &r);

// The plan of a call's rows into `out`: the whole source, or a tile's box.
plan plan_of(const call &c, const reading &r, char *out, int size);

// A window [z0, z1) x [y0, y1) x [x0, x1) of the call's output for volumes
// [v0, v1), and the box (z0, z1, y0, y1, x0, x1) of the whole source it
// reads; `none` when its voxels all map nowhere, `copy` when it reads a
// dense copy of its box.
struct win {
    std::int64_t v0, v1, w[6], b[6];
    bool none, copy;
};

// A call's windows: one for nearly every call, in memory the caller
// provides (a heap allocation would cost a small call a measurable share).
using wins_t = std::pmr::vector<win>;

inline std::int64_t samples(const std::int64_t b[6]) { return (b[1] - b[0]) * (b[3] - b[2]) * (b[5] - b[4]); }

// The call's windows: the whole output reading the whole box where one part
// can, else its pieces (cut), each volume's on its own with maps per volume.
// False when they cannot be held.
bool windows_of(const plan &p, bool bounded, wins_t &out);

// The plan of window x: its rows into the call's output, its box read where
// the call's plan reads it, or from `copy` (its box, dense).
plan window_plan(const plan &p, const win &x, const unsigned char *copy);

// Volume v's box of window x, dense, into `dst`.
void copy_box(const call &c, const plan &p, const win &x, std::int64_t v, unsigned char *dst, int threads);
