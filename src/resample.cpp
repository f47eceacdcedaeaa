#include "resample.h"

#include "resample_paths.h"
#include "resample_rows.h"

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
        F({image + v * volume, std::int64_t(Y) * X, X, out + v * volume, X, Y, Z, 0, Z * Y, false},
          spacing, matrix);
}

} // namespace

void resample_scalar(const part &p, const float *spacing, const float *matrix)
{
    each_row(p, spacing, matrix, plain_row);
}

part_fn path_part(int path)
{
    switch (path) {
    case path_scalar: return resample_scalar;
#if defined(VX_X86_PATHS)
    case path_avx2: return resample_avx2;
    case path_avx512: return resample_avx512;
#endif
    default: return nullptr;
    }
}

kernel_fn path_kernel(int path)
{
    switch (path) {
    case path_scalar: return whole<resample_scalar>;
#if defined(VX_X86_PATHS)
    case path_avx2: return whole<resample_avx2>;
    case path_avx512: return whole<resample_avx512>;
#endif
    default: return nullptr;
    }
}

int rows_per_chunk(const part &p, const float *spacing, const float *matrix)
{
    if (p.Y <= 0 || p.Z <= 0)
        return 1;
    const int t = tile_slices(matrix, spacing, p.X);
    return p.Y * (t < p.Z ? t : p.Z);  // no more than the volume's Z * Y rows
}

bool path_usable(int path) { return path_kernel(path) && cpu_has(path); }

const char *path_name(int path)
{
    static const char *const names[path_count] = {"scalar", "avx2", "avx512"};
    return path >= 0 && path < path_count ? names[path] : "none";
}

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
