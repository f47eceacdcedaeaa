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

kernel_fn pick()
{
    return path_kernel(best_path());
}

} // namespace

void resample_scalar(const float *image, const std::int64_t *dims, const float *spacing,
                     const float *matrix, float *out)
{
    each_row(image, dims, spacing, matrix, out, plain_row);
}

kernel_fn path_kernel(int path)
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

void resample_trilinear(const float *image, const std::int64_t *dims, const float *spacing,
                        const float *matrix, float *out)
{
    static const kernel_fn kernel = pick();
    kernel(image, dims, spacing, matrix, out);
}
