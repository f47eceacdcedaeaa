// Every kernel of one target: CMakeLists.txt compiles this file once per
// entry of vx_targets, with that target's flags and VX_TARGET_NS naming the
// namespace of its table (table.h); kernels/dispatch.cpp picks the table. The
// kernels are the headers' own code, with internal linkage: no inline
// symbol is shared between targets, where the linker could hand one
// target's code to a CPU without it. Code that only one target has sits
// here under that target's condition.
#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
#include "kernels/linear_avx512.h"
#endif

#include "kernels/table.h"

#include "kernels/axis_lines.h"
#include "kernels/cubic_rows.h"
#include "kernels/label_rows.h"
#include "kernels/modes_rows.h"
#include "kernels/resample_rows.h"
#include "kernels/warp_reads.h"
#include "kernels/warp_rows.h"

#if !defined(VX_TARGET_NS)
#error "VX_TARGET_NS names the target this file is compiled for"
#endif

namespace {

#if !(defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__))
void linear_part(const part &p) { each_row(p, plain_row); }
#endif

// A dense image, every volume whole: the module's call.
void linear_whole(const float *image, const std::int64_t *dims, const float *spacing, const float *matrix,
                  float *out)
{
    const int N = static_cast<int>(dims[0]), Z = static_cast<int>(dims[1]);
    const int Y = static_cast<int>(dims[2]), X = static_cast<int>(dims[3]);
    if (N <= 0 || Z <= 0 || Y <= 0 || X <= 0)
        return;
    const std::ptrdiff_t volume = std::ptrdiff_t(Z) * Y * X;
    for (int v = 0; v < N; ++v)
        linear_part(whole_volume(image + v * volume, out + v * volume, X, Y, Z, spacing, matrix));
}

void cubic_part_rows(const part &p, mode m, int pad)
{
    if (p.in.X > 0 && p.in.Y > 0 && p.in.Z > 0)
        cubic_rows(p, m, pad);
}

} // namespace

namespace VX_TARGET_NS {
const kernel_table table = {linear_part, linear_whole, label_kernels, cubic_part_rows, filter_lines,
                            moded_rows,  field_points, linear_reads,  read_points, sum_slices};
} // namespace VX_TARGET_NS
