// A checked call as plain data: the arguments converted, nothing in it a
// Python object, for the engine to work and the edge to fill.
#pragma once

#include <cstdint>
#include <string>

#include "engine/block.h"

// Everything of a call that Python code could still change, as plain
// numbers: after this, no Python code runs until the work is done.
struct request {
    int cap;          // thread cap (thread_cap)
    int rule;         // interpolation: a rule (rules.h)
    int mode;         // how samples extend beyond the edges (modes.h); cubic's None is constant
    bool moded;       // a mode was given: linear, nearest and label then take their moded rows
    bool smooth;      // antialias: the Gaussian over the source first
    double cval;
    // nearest and label: a cval with __index__ as the exact integer it is
    // (sign and magnitude; `huge` past 64 bits), else the double above.
    bool cint = false, cneg = false, huge = false;
    unsigned long long cmag = 0;
    std::string inexact;  // a cval no double holds, as its repr shows it
    int shape_n = 0;  // 0: the image's grid; else 3 or 4 extents
    std::intptr_t shape[4];
    bool tiled = false;
    std::intptr_t tile[9];
};

// An image's dimension count, its extents N, Z, Y, X (N = 1 for 3-D) and
// its element count (0 for none).
struct image_shape {
    int nd;
    std::intptr_t dims[4];
    std::int64_t count;
};

// A checked call as plain C++: nothing in it runs Python code, and the
// image's block is read only once the work starts.
struct call {
    request rq;
    image_shape im;
    block image;
    int e = -1;                   // nearest and label: the image's elem
    int rtype;                    // the result's type number (a dtype)
    unsigned char fill[8] = {};   // nearest and label: cval as one element
    std::intptr_t od[4];          // the output grid N, Z, Y, X
    fbuf sp, osp, maps;           // osp null: the source's spacing
    bool per_volume = false;
    bool smooth = false;          // antialias, and some volume down-samples along some axis
};
