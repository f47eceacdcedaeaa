// A warp's chain of steps and its run on raw memory: each output point
// carried through the steps, point by point, then read by the rule, on the
// call's threads. The edge (edge/warp.h) reads and checks the steps.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/call.h"
#include "engine/plan.h"
#include "engine/spline.h"
#include "kernels/warp_kernel.h"
#include "vocab/go.h"

// Points a job of a warp's work holds at most: the calling thread looks for
// an interrupt between its jobs, so a job's time bounds how late it is seen.
constexpr std::int64_t warp_job_points = std::int64_t(1) << 16;

// One step of the chain, as plain numbers and raw memory.
struct step {
    bool field = false;
    fbuf maps;                   // affine: 12 floats, or 12 per volume
    bool per_volume = false;
    warp_field f;                // field
};

// A checked warp: its call (the identity for its matrix) and its steps.
struct warp_chain {
    call c;
    std::vector<step> steps;
};

// The warp's job as raw memory: the source as r reads it (a tile's box
// placed in the whole), the output grid, the rule, mode and fill.
warp_job job_of(const call &c, const reading &r, const spline &s, char *out, int size);

// How a warp's rows are shared: `rows` in jobs of `per`, on `threads`,
// with the lock released (`release`) when the work is worth it.
struct warp_work {
    std::int64_t rows, per;
    int threads;
    bool release;
};
warp_work work_of(const call &c, const reading &r, const warp_job &w);

// The source into r's copy, and cubic's coefficients formed in it as
// transform forms them, on up to `threads` threads; false when a filter's
// table cannot be had. Needs no interpreter.
bool warp_source(const call &c, const warp_job &w, reading &r, spline &s, int threads);

// Every output row of w through the steps, go() between jobs; false when
// it stopped them (the output then part-written). Needs no interpreter.
bool warp_rows(const std::vector<step> &steps, const warp_job &w, const warp_work &k, const go_fn &go);

// The checked call's rule (rules.h), output grid N, Z, Y, X and source Z, Y, X.
int chain_rule(const warp_chain &c);
// Its mode (modes.h; "constant" for None) and whether the linear, nearest
// or label rule reads under it (a mode given).
int chain_mode(const warp_chain &c, bool &given);
void chain_grid(const warp_chain &c, std::int64_t out[4], std::int64_t src[3]);

// The continuous source indices the warp reads for output voxels (z, y,
// x0 + i), i < n <= 256, of volume v: the kernel's arithmetic, to be run in
// its floating-point mode (fp_scope).
void chain_points(const warp_chain &c, std::int64_t v, std::int64_t z, std::int64_t y, std::int64_t x0, int n,
                  float *cx, float *cy, float *cz);
