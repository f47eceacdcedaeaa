#include "resample.h"

#include "cubic.h"
#include "label.h"
#include "moded.h"
#include "moded_rows.h"
#include "resample_paths.h"
#include "resample_rows.h"
#include "warp_kernel.h"

namespace {

#if defined(VX_X86_PATHS)
bool cpu_has(int path)
{
    __builtin_cpu_init();
    if (path == path_avx2)
        return __builtin_cpu_supports("avx2");
    if (path == path_avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    return true;
}
#else
bool cpu_has(int path) { return path == path_scalar; }
#endif

// A dense image, every volume whole: the original call of each path.
template <part_fn F>
void whole(const float *image, const std::int64_t *dims, const float *spacing, const float *matrix,
           float *out)
{
    const int N = static_cast<int>(dims[0]), Z = static_cast<int>(dims[1]);
    const int Y = static_cast<int>(dims[2]), X = static_cast<int>(dims[3]);
    if (N <= 0 || Z <= 0 || Y <= 0 || X <= 0)
        return;
    const std::ptrdiff_t volume = std::ptrdiff_t(Z) * Y * X;
    for (int v = 0; v < N; ++v)
        F(whole_volume(image + v * volume, out + v * volume, X, Y, Z, spacing, matrix));
}

// The one table of the kernel's paths, each with every rule: linear (a
// part, and the module's whole call), nearest and label, cubic and its
// prefilter's lines, linear under a mode, a warp's field steps and linear
// reads at points. A build without a path's files
// has null entries.
struct path_entry {
    const char *name;
    part_fn part;
    kernel_fn kernel;
    label_fn labels;
    cubic_fn cubic;
    lines_fn lines;
    moded_rows_fn moded;
    warp_field_fn field;
    warp_linear_fn points;
};
#if defined(VX_X86_PATHS)
#define VX_PATH(f, g, h, l, d, u, w) f, whole<f>, g, h, l, d, u, w
#else
#define VX_PATH(f, g, h, l, d, u, w) nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr
#endif
const path_entry paths[path_count] = {
    {"scalar", resample_scalar, whole<resample_scalar>, label_scalar, cubic_scalar, lines_scalar, moded_rows_scalar,
     field_scalar, warp_linear_scalar},
    {"avx2", VX_PATH(resample_avx2, label_avx2, cubic_avx2, lines_avx2, moded_rows_avx2, field_avx2, warp_linear_avx2)},
    {"avx512", VX_PATH(resample_avx512, label_avx512, cubic_avx512, lines_avx512, moded_rows_avx512, field_avx512,
                       warp_linear_avx512)},
};
#undef VX_PATH

} // namespace

source_box whole_box(const float *src, int X, int Y, int Z)
{
    source_box b;
    b.src = src, b.row = X, b.slice = std::int64_t(Y) * X;
    b.X = X, b.Y = Y, b.Z = Z;
    b.bx = b.by = b.bz = 0;
    b.bnx = X, b.bny = Y, b.bnz = Z;
    return b;
}

out_window whole_window(float *out, int X, int Y, int Z)
{
    out_window w;
    w.out = out, w.row = X, w.slice = std::int64_t(Y) * X;
    w.x = w.y = w.z = 0;
    w.nx = X, w.ny = Y, w.nz = Z;
    w.first = 0, w.last = Z * Y;
    return w;
}

part whole_volume(const float *src, float *out, int X, int Y, int Z, const float *spacing, const float *matrix)
{
    part p;
    p.in = whole_box(src, X, Y, Z);
    p.win = whole_window(out, X, Y, Z);
    p.fill.on = false, p.fill.value = 0.0f;
    p.map.spacing = spacing, p.map.out_spacing = spacing, p.map.matrix = matrix;
    return p;
}

void resample_scalar(const part &p) { each_row(p, plain_row); }

void moded_rows_scalar(const part &p, mode m, moded_voxel voxel) { moded_rows(p, m, voxel); }

part_fn path_part(int path) { return path >= 0 && path < path_count ? paths[path].part : nullptr; }

kernel_fn path_kernel(int path) { return path >= 0 && path < path_count ? paths[path].kernel : nullptr; }

label_fn label_path(int path) { return path >= 0 && path < path_count ? paths[path].labels : nullptr; }

cubic_fn cubic_path(int path) { return path >= 0 && path < path_count ? paths[path].cubic : nullptr; }

moded_rows_fn moded_rows_path(int path) { return path >= 0 && path < path_count ? paths[path].moded : nullptr; }

warp_field_fn field_path(int path) { return path >= 0 && path < path_count ? paths[path].field : nullptr; }

warp_linear_fn warp_linear_path(int path) { return path >= 0 && path < path_count ? paths[path].points : nullptr; }

lines_fn filter_path(int path) { return path >= 0 && path < path_count ? paths[path].lines : nullptr; }

int rows_per_chunk(const part &p)
{
    const int ny = p.win.ny, nz = p.win.nz;
    if (ny <= 0 || nz <= 0)
        return 1;
    const int t = tile_slices(p);
    return ny * (t < nz ? t : nz);  // no more than the window's rows
}

bool path_usable(int path) { return path_kernel(path) && cpu_has(path); }

const char *path_name(int path) { return path >= 0 && path < path_count ? paths[path].name : "none"; }

int best_path()
{
    for (int p = path_count - 1; p > path_scalar; --p)
        if (path_usable(p))
            return p;
    return path_scalar;
}

part_fn best_part()
{
    static const part_fn f = path_part(best_path());
    return f;
}

void resample_trilinear(const float *image, const std::int64_t *dims, const float *spacing,
                        const float *matrix, float *out)
{
    static const kernel_fn kernel = path_kernel(best_path());
    kernel(image, dims, spacing, matrix, out);
}
