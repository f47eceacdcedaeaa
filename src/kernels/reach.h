// Where the windows of an output grid read in the source, from the kernel's
// own positions and classes (geometry.h), for the source boxes (boxes.h).
// Compiled once into the kernel library, so that geometry.h stays there.
#pragma once

#include <cstdint>
#include <vector>

#include "vocab/modes.h"
#include "vocab/part.h"

// What the blocks' voxels read beyond their samples: cubic's coefficients
// (under mode m) and the prefilter that makes them, the samples the moded
// rules' extension reads (nearest's footprint for `near`, else linear's
// and label's), and antialias's Gaussian, each filter reaching its K
// samples further.
struct reach_rule {
    bool cubic = false, moded = false, near = false, smooth = false;
    mode m = constant;
};


// The output positions of each window's first and last voxel along one
// axis, as the kernel places them.
std::vector<float> corners(const std::int64_t *e, std::int64_t n, float o);

// Voxel i's output position along an axis of output spacing o.
float out_position(int i, float o);

// The planes [got[a][0], got[a][1]) that a window reads along each axis a
// of extent E[a], from the output positions of its first and last voxel
// along X, Y and Z (px, py, pz: two each); false when it reads none.
// K: None, or the margins along X, Y, Z that r's filters reach further.
bool corner_reach(const grid_map &g, const std::int64_t E[3], const float *px, const float *py, const float *pz,
                  std::int64_t got[3][2], const reach_rule &r = {}, const std::int64_t *K = nullptr);

// The planes [first, last) that coordinates c (eight corners) read along
// an axis of extent E under r (cubic, or a mode given), grown by K; false
// for none.
bool axis_reach(const reach_rule &r, const float c[8], std::int64_t E, std::int64_t K, std::int64_t &first,
                std::int64_t &last);
