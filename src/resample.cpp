#include "resample.h"

#include "resample_paths.h"

namespace {

enum { outside, low, inside, high };

// Class of one axis from the continuous index c on an axis of extent e;
// i0 receives c truncated toward zero. The float test comes first: a NaN
// or a value beyond the int32 range has no defined truncation.
int classify(float c, int e, int &i0)
{
    if (!(c > -2147483648.0f && c < 2147483648.0f))
        return outside;
    i0 = static_cast<int>(c);
    const int i1 = i0 + 1;  // i0 <= 2^31 - 128: no overflow
    if (i1 < 0 || i1 > e)
        return outside;
    if (i0 == -1)
        return low;
    if (i1 == e)
        return high;
    return inside;
}

// Evaluates one output voxel from its continuous source index and stores it
// unless no sample can be formed.
void voxel(const row_job &r, int x, float cx, float cy, float cz)
{
    const int X = r.X, Y = r.Y, Z = r.Z;
    int x0 = 0, y0 = 0, z0 = 0;
    const int kx = classify(cx, X, x0);
    const int ky = classify(cy, Y, y0);
    const int kz = classify(cz, Z, z0);
    const int faces = (kx != inside) + (ky != inside) + (kz != inside);
    if (kx == outside || ky == outside || kz == outside || faces > 1)
        return;
    const int x1 = x0 + 1, y1 = y0 + 1, z1 = z0 + 1;
    // Weights in double: w1 = f, w0 = 1 - f.
    const double fx = cx - float(x0), gx = 1.0 - fx;
    const double fy = cy - float(y0), gy = 1.0 - fy;
    const double fz = cz - float(z0), gz = 1.0 - fz;
    const float *S = r.src;
    auto at = [&](int k, int j, int i) { return double(S[(k * Y + j) * X + i]); };
    double sum;
    if (faces == 0) {
        sum = at(z0, y0, x0) * gx * gy * gz;
        sum += at(z0, y0, x1) * fx * gy * gz;
        sum += at(z0, y1, x0) * gx * fy * gz;
        sum += at(z0, y1, x1) * fx * fy * gz;
        sum += at(z1, y0, x0) * gx * gy * fz;
        sum += at(z1, y0, x1) * fx * gy * fz;
        sum += at(z1, y1, x0) * gx * fy * fz;
        sum += at(z1, y1, x1) * fx * fy * fz;
    } else if (kx != inside) {  // border plane b, no X weights
        const int b = kx == low ? 0 : X - 1;
        sum = at(z0, y0, b) * gy * gz;
        sum += at(z0, y1, b) * fy * gz;
        sum += at(z1, y0, b) * gy * fz;
        sum += at(z1, y1, b) * fy * fz;
    } else if (ky != inside) {  // x1 leads here, unlike the interior
        const int b = ky == low ? 0 : Y - 1;
        sum = at(z0, b, x1) * fx * gz;
        sum += at(z0, b, x0) * gx * gz;
        sum += at(z1, b, x0) * gx * fz;
        sum += at(z1, b, x1) * fx * fz;
    } else {
        const int b = kz == low ? 0 : Z - 1;
        sum = at(b, y0, x1) * fx * gy;
        sum += at(b, y0, x0) * gx * gy;
        sum += at(b, y1, x0) * gx * fy;
        sum += at(b, y1, x1) * fx * fy;
    }
    r.out[x] = static_cast<float>(sum);
}

// Columns per pass of the scalar path: its coordinates fit in L1.
constexpr int block = 256;

// Interior test without truncating: c > -1 gives i0 >= 0, c < E - 1 gives
// i1 <= E - 1 (compared in double, where E - 1 is exact) once E >= 2 (for
// E = 1, c in (-1, 0) truncates to 0, the high face); NaN fails both.
inline bool inner(float c, int e) { return e > 1 && c > -1.0f && double(c) < double(e - 1); }

void scalar_row(const row_job &r)
{
    float cx[block], cy[block], cz[block], fx[block], fy[block], fz[block];
    int at[block];
    bool in[block];
    const int X = r.X, Y = r.Y, Z = r.Z;
    const float *S = r.src;
    for (int x0 = 0; x0 < X; x0 += block) {
        const int n = X - x0 < block ? X - x0 : block;
        // Coordinates, the interior test, and for interior voxels the sample
        // index and fractions first, in loops of independent lanes the
        // compiler vectorises (divisions stay divisions), then the samples.
        for (int i = 0; i < n; ++i) {
            const float px = float(x0 + i) * r.mx.s;
            cx[i] = coord(r.mx, px);
            cy[i] = coord(r.my, px);
            cz[i] = coord(r.mz, px);
        }
        for (int i = 0; i < n; ++i) {
            const bool k = inner(cx[i], X) && inner(cy[i], Y) && inner(cz[i], Z);
            in[i] = k;
            // Truncated only where in range; 0 stands in elsewhere.
            const float sx = k ? cx[i] : 0.0f, sy = k ? cy[i] : 0.0f, sz = k ? cz[i] : 0.0f;
            const int x = int(sx), y = int(sy), z = int(sz);
            at[i] = (z * Y + y) * X + x;
            fx[i] = cx[i] - float(x);
            fy[i] = cy[i] - float(y);
            fz[i] = cz[i] - float(z);
        }
        for (int i = 0; i < n; ++i) {
            if (!in[i]) {
                voxel(r, x0 + i, cx[i], cy[i], cz[i]);
                continue;
            }
            // The interior formula of voxel(), without its branches.
            const double wx = fx[i], vx = 1.0 - wx;
            const double wy = fy[i], vy = 1.0 - wy;
            const double wz = fz[i], vz = 1.0 - wz;
            const float *p = S + at[i], *q = p + Y * X;
            double sum = double(p[0]) * vx * vy * vz;
            sum += double(p[1]) * wx * vy * vz;
            sum += double(p[X]) * vx * wy * vz;
            sum += double(p[X + 1]) * wx * wy * vz;
            sum += double(q[0]) * vx * vy * wz;
            sum += double(q[1]) * wx * vy * wz;
            sum += double(q[X]) * vx * wy * wz;
            sum += double(q[X + 1]) * wx * wy * wz;
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
