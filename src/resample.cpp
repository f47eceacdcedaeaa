#include "resample.h"

#include "resample_paths.h"

namespace {

// Columns per pass of the scalar path: its coordinates fit in L1.
constexpr int block = 256;

// Interior test without truncating: c > -1 gives i0 >= 0, c < E - 1 gives
// i1 <= E - 1 (compared in double, where E - 1 is exact) once E >= 2 (for
// E = 1, c in (-1, 0) truncates to 0, the high face); NaN fails both.
inline bool inner(float c, int e) { return e > 1 && c > -1.0f && double(c) < double(e - 1); }

void scalar_row(const row_job &r)
{
    float cx[block], cy[block], cz[block];
    bool in[block];
    const int X = r.X, Y = r.Y;
    const float *S = r.src;
    for (int x0 = 0; x0 < X; x0 += block) {
        const int n = X - x0 < block ? X - x0 : block;
        // Coordinates and the interior test first, in loops of independent
        // lanes the compiler vectorises (divisions stay divisions).
        for (int i = 0; i < n; ++i) {
            const float px = float(x0 + i) * r.mx.s;
            cx[i] = coord(r.mx, px);
            cy[i] = coord(r.my, px);
            cz[i] = coord(r.mz, px);
        }
        for (int i = 0; i < n; ++i)
            in[i] = inner(cx[i], X) & inner(cy[i], Y) & inner(cz[i], r.Z);
        for (int i = 0; i < n; ++i) {
            if (!in[i]) {
                voxel(r, x0 + i, cx[i], cy[i], cz[i]);
                continue;
            }
            // The interior formula of voxel(), without its branches.
            const int x = int(cx[i]), y = int(cy[i]), z = int(cz[i]);
            const double fx = cx[i] - float(x), gx = 1.0 - fx;
            const double fy = cy[i] - float(y), gy = 1.0 - fy;
            const double fz = cz[i] - float(z), gz = 1.0 - fz;
            const float *p = S + (z * Y + y) * X + x, *q = p + Y * X;
            double sum = double(p[0]) * gx * gy * gz;
            sum += double(p[1]) * fx * gy * gz;
            sum += double(p[X]) * gx * fy * gz;
            sum += double(p[X + 1]) * fx * fy * gz;
            sum += double(q[0]) * gx * gy * fz;
            sum += double(q[1]) * fx * gy * fz;
            sum += double(q[X]) * gx * fy * fz;
            sum += double(q[X + 1]) * fx * fy * fz;
            r.out[x0 + i] = static_cast<float>(sum);
        }
    }
}

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
    each_row(image, dims, spacing, matrix, out, scalar_row);
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
