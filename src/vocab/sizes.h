// Every size limit of both front doors, in one place. Buffer indices are
// 32-bit: every reader's element count stays below its limit, and every
// extent below `extent_limit`.
#pragma once

#include <cstdint>

// Extents of images, grids and boxes, and the samples a 32-bit offset reaches.
constexpr std::int64_t extent_limit = std::int64_t(1) << 31;
// Elements each reader takes (below, not up to).
constexpr std::int64_t vector_limit = std::int64_t(1) << 31;
constexpr std::int64_t image3d_limit = std::int64_t(1) << 31;
constexpr std::int64_t image4d_limit = std::int64_t(1) << 29;
// The output buffer's byte count must fit a signed 32-bit integer.
constexpr std::int64_t max_elements = (std::int64_t(1) << 29) - 1;
// The anti-aliasing Gaussian's largest down-sampling factor: its filter
// then reaches 2046 samples each way.
constexpr double factor_limit = 1024.0;
