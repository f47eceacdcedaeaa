// The kernel as first written: one plain loop in the stated operation order.
// Every target is checked against it.
#pragma once

#include <cstdint>

void resample_reference(const float *image, const std::int64_t *dims, const float *spacing,
                        const float *matrix, float *out);
