// Separable filters along the axes of a float volume: the cubic B-spline
// prefilter and the anti-aliasing Gaussian. A finite symmetric filter
// h[-K..K] runs along X, then Y, then Z; every output sample is
//   h[-K] * s[e(i - K)] + h[-K + 1] * s[e(i - K + 1)] + ... + h[K] * s[e(i + K)]
// with products and sums in double, left to right (the first term starts
// the sum), rounded to float32 once per axis. e is the mode's extension
// (modes.h); the fill, float32, enters the sum as a sample. Needs no
// interpreter.
#pragma once

#include <cstdint>
#include <vector>

#include "vocab/go.h"
#include "vocab/modes.h"
#include "vocab/taps.h"

// The taps h[-K..K] as h[0..2K]: element m is the tap at offset m - K.
using taps = std::vector<double>;

// The inverse of the cubic B-spline's sampling filter (1, 4, 1) / 6,
// sqrt(3) * z^|k| with z = sqrt(3) - 2, kept to |k| <= spline_reach
// (taps.h) and normalised to sum 1.
taps spline_taps();

// The anti-aliasing Gaussian of a down-sampling factor d > 1: sigma =
// (d - 1) / 2, K = ceil(4 sigma), exp(-k^2 / (2 sigma^2)) normalised to
// sum 1. Empty for d <= 1 (that axis is not filtered).
taps gaussian_taps(double d);

// The down-sampling factor along each source axis a of an output-to-source
// map m (3x4, row by row), source spacing s and output spacing o (X, Y, Z):
// the distance in source samples between neighbouring output voxels, the
// largest over the output axes, max_j |m[a][j]| * o[j] / |s[a]|, each term
// in double, left to right; NaN where a term is.
void smoothing_factors(const float *m, const float *s, const float *o, double d[3]);

// e^x for x <= 0 in a fixed sequence of double operations, the same bits
// on every platform (a C library's exp may differ in the last place).
double fixed_exp(double x);

// One axis of a box cut from a whole volume: the box's extent n along it,
// the whole's index of the box's first sample, the whole's extent.
struct axis_place {
    std::int64_t n, origin, whole;
};

// The box samples that a pass of reach K along an axis placed by `a`
// reads at the offsets -K..-1 and n..n + K - 1 from the box's first sample
// (fill_index for the fill): the rest lie in the box.
std::vector<std::int64_t> edges(const axis_place &a, std::int64_t K, mode m);

// Filters `volumes` dense volumes of extents at[2].n, at[1].n, at[0].n
// (Z, Y, X; X fastest) in place, along X, Y, Z in turn; axis a is skipped
// where h[a] is empty. Each axis extends the whole's samples, not the
// box's; a read the whole's extension places outside the box takes the
// box's nearest sample, so a box grown by K on every side facing more of
// the whole gives the whole's bits over the part it was grown from. Runs on
// up to `threads` threads (the bits never depend on them), in the defined
// floating-point mode the caller has set, go() between pieces of a pass.
// False when a line buffer cannot be had (nothing is written then) or go()
// stopped it (v then part-filtered).
bool filter_volumes(float *v, std::int64_t volumes, const axis_place at[3], const taps *const h[3], mode m,
                    float fill, int threads, const go_fn &go = always);

// `volumes` dense boxes placed by `at` (extents at[2].n, at[1].n, at[0].n)
// at v's start, grown in place by before[a] and after[a] samples along each
// axis a (X, Y, Z) into boxes as dense: sample k along axis a of a grown box
// is the mode's extension of the whole's sample at[a].origin - before[a] + k
// (the box's nearest sample where that lies in the whole outside the box),
// or `fill` where that is the fill. v holds the grown boxes. The whole grown
// by P on every side is the box {n, 0, n} with before = after = P. On up to
// `threads` threads, go() between pieces; false when its small tables
// cannot be had (nothing is written then) or go() stopped it.
bool grow_volumes(float *v, std::int64_t volumes, const axis_place at[3], const std::int64_t before[3],
                  const std::int64_t after[3], mode m, float fill, int threads, const go_fn &go = always);
