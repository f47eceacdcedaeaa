// The cubic rule's coefficients as transform and warp both form them: the
// source's float copy prefiltered once, with the mode's extension.
#pragma once

#include "axis_filter.h"
#include "call.h"
#include "convert.h"
#include "plan.h"

// Where the call's image lies in the whole source along X, Y, Z: the whole
// itself, or a tile's box.
void places_of(const call &c, axis_place at[3]);

// cubic: its coefficients, of the float copy in its place or, under
// "nearest" and "grid-constant", of the source grown by `pad` beyond the
// whole's edges the box reaches (cubic.h).
struct spline {
    int pad = 0;
    fbuf grown;
    taps h;
};

// cubic's taps and, where the mode grows the source, the buffer its rows
// read (r.src then points there); false with MemoryError set. Nothing for
// another rule.
bool spline_of(const call &c, reading &r, spline &s);

// cubic: the coefficients of the float copy, in its place or grown (the
// copy then freed), on up to `threads` threads; false when a buffer cannot
// be had. Needs no interpreter.
bool coefficients(const call &c, reading &r, spline &s, float fill, int threads);
