// The linear, nearest and label rules under a boundary mode (modes.h): one
// scalar kernel, per voxel with 64-bit offsets as the cubic rows, so every
// instruction-set path runs it and gives its bits.
#pragma once

#include "label.h"
#include "modes.h"
#include "part.h"

// The part's rows under mode m: with t null, the linear rule from p.in.src
// into p.win.out (float32, the fill p.fill.value where a voxel maps
// nowhere); else t's rule on its elements (the fill t->fill). Each index
// is extended against the whole source's extents, then read in the box (a
// tile's, or the whole), at any reach: offsets are 64-bit.
void moded_part(const part &p, mode m, const typed *t);
