// The cubic rule's coefficients as transform and warp both form them: the
// source's float copy prefiltered once, with the mode's extension.
#pragma once

#include "engine/axis_filter.h"
#include "engine/plan.h"

// Where the call's image lies in the whole source along X, Y, Z: the whole
// itself, or a tile's box.
void places_of(const call &c, axis_place at[3]);

// cubic: its coefficients, in the float copy's buffer, of the copy in its
// place or, under "nearest" and "grid-constant", of the source grown by
// `pad` beyond the whole's edges the box reaches (cubic.h).
struct spline {
    int pad = 0;
    taps h;
};

// The floats of cubic's copy: the image's, grown by the mode's pad; the
// image's for another rule.
std::int64_t spline_count(const call &c);

// cubic's taps, and the layout its rows read in the copy (r.src then
// points there); false when its taps cannot be had. Nothing for another rule.
bool spline_of(const call &c, reading &r, spline &s);

// cubic: the coefficients of the float copy, dense at its buffer's start,
// in its place or grown in place, on up to `threads` threads, go() between
// pieces; false when a small table cannot be had or go() stopped it. Needs
// no interpreter.
bool coefficients(const call &c, reading &r, spline &s, float fill, int threads, const go_fn &go = always);
