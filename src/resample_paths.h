// The kernel's instruction-set paths and the pieces they share. Every path
// gives the same bits; resample_trilinear runs the best one the CPU has.
#pragma once

#include <cstdint>

using kernel_fn = void (*)(const float *image, const std::int64_t *dims, const float *spacing,
                           const float *matrix, float *out);

enum { path_scalar, path_avx2, path_avx512, path_count };

// The path's kernel, or nullptr when this build lacks it.
kernel_fn path_kernel(int path);
// Whether this CPU (and its operating system) can run the path.
bool path_usable(int path);
const char *path_name(int path);
// The path resample_trilinear runs, chosen once on first use.
int best_path();

void resample_scalar(const float *image, const std::int64_t *dims, const float *spacing,
                     const float *matrix, float *out);
void resample_avx2(const float *image, const std::int64_t *dims, const float *spacing,
                   const float *matrix, float *out);
void resample_avx512(const float *image, const std::int64_t *dims, const float *spacing,
                     const float *matrix, float *out);

// Everything below has internal linkage on purpose: the per-target files are
// compiled with wider instruction sets, and a shared inline symbol could let
// the linker hand their code to a CPU without them.
namespace {

enum { outside, low, inside, high };

// Class of one axis from the continuous index c on an axis of extent e;
// i0 receives c truncated toward zero. The float test comes first: a NaN
// or a value beyond the int32 range has no defined truncation.
inline int classify(float c, int e, int &i0)
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

// One source axis of the map: c = (((m * p + a) + b) + t) / s, where p is
// the output x position and a, b the row's fixed products.
struct axis_map {
    float m, a, b, t, s;
};

// One output row: its volume, its destination and the three maps.
struct row_job {
    const float *src;
    float *out;
    int X, Y, Z;
    axis_map mx, my, mz;
};

// Single precision, one rounding per operation, the division last.
inline float coord(const axis_map &a, float px) { return (((a.m * px + a.a) + a.b) + a.t) / a.s; }

// Evaluates one output voxel from its continuous source index and stores it
// unless no sample can be formed.
inline void voxel(const row_job &r, int x, float cx, float cy, float cz)
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

// Scalar columns [from, to) of a row: the tail after the vector blocks.
inline void row_tail(const row_job &r, int from, int to)
{
    for (int x = from; x < to; ++x) {
        const float px = float(x) * r.mx.s;
        voxel(r, x, coord(r.mx, px), coord(r.my, px), coord(r.mz, px));
    }
}

// Walks volumes, slices and rows, forming each row's fixed products (the
// same single-precision products as per voxel, so nothing changes), and
// hands every row to do_row.
template <class F>
inline void each_row(const float *image, const std::int64_t *dims, const float *spacing,
                     const float *m, float *out, F &&do_row)
{
    const int N = static_cast<int>(dims[0]), Z = static_cast<int>(dims[1]);
    const int Y = static_cast<int>(dims[2]), X = static_cast<int>(dims[3]);
    if (N <= 0 || Z <= 0 || Y <= 0 || X <= 0)
        return;
    const float s0 = spacing[0], s1 = spacing[1], s2 = spacing[2];
    const std::ptrdiff_t volume = std::ptrdiff_t(Z) * Y * X;
    row_job r;
    r.X = X, r.Y = Y, r.Z = Z;
    r.mx = {m[0], 0, 0, m[3], s0};
    r.my = {m[4], 0, 0, m[7], s1};
    r.mz = {m[8], 0, 0, m[11], s2};
    for (int v = 0; v < N; ++v) {
        r.src = image + v * volume;
        for (int z = 0; z < Z; ++z) {
            const float pz = float(z) * s2;
            r.mx.b = m[2] * pz, r.my.b = m[6] * pz, r.mz.b = m[10] * pz;
            for (int y = 0; y < Y; ++y) {
                const float py = float(y) * s1;
                r.mx.a = m[1] * py, r.my.a = m[5] * py, r.mz.a = m[9] * py;
                r.out = out + v * volume + (std::ptrdiff_t(z) * Y + y) * X;
                do_row(r);
            }
        }
    }
}

} // namespace
