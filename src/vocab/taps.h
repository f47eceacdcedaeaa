// How far the cubic B-spline's prefilter reaches: its taps are kept to
// |k| <= spline_reach (axis_filter.h), and the kernels, the boxes and the
// filters all grow by it.
#pragma once

constexpr int spline_reach = 12;
