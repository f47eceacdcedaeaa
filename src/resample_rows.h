// The portable row kernel: plain C++ whose loops the compiler vectorises.
// resample.cpp compiles it for any CPU (the scalar path), resample_avx2.cpp
// for AVX2, where the same loops get twice the vector width and a 32-bit
// integer multiply. Internal linkage keeps the two compilations apart.
// The label rows and the tests include it for its classes and coordinates
// alone: the whole-row functions are marked maybe_unused.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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

// Whether the samples a voxel of these classes reads lie in the box: i0 and
// i0 + 1 on an inside axis, the border plane on a face.
inline bool in_box(const row_job &r, int kx, int x0, int ky, int y0, int kz, int z0)
{
    auto reach = [](int k, int i0, int e, int b, int n) {
        const std::int64_t lo = k == inside ? i0 : k == low ? 0 : e - 1;
        const std::int64_t hi = k == inside ? std::int64_t(i0) + 1 : lo;
        return lo >= b && hi < std::int64_t(b) + n;
    };
    return reach(kx, x0, r.X, r.bx, r.bnx) && reach(ky, y0, r.Y, r.by, r.bny) && reach(kz, z0, r.Z, r.bz, r.bnz);
}

// Evaluates one output voxel from its continuous source index and stores it
// unless no sample can be formed.
[[maybe_unused]] void voxel(const row_job &r, int x, float cx, float cy, float cz)
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
    if (r.boxed && !in_box(r, kx, x0, ky, y0, kz, z0))
        return;
    // Weights in double: w1 = f, w0 = 1 - f.
    const double fx = cx - float(x0), gx = 1.0 - fx;
    const double fy = cy - float(y0), gy = 1.0 - fy;
    const double fz = cz - float(z0), gz = 1.0 - fz;
    const float *S = r.src;
    auto at = [&](int k, int j, int i) {
        return double(S[std::int64_t(k - r.bz) * r.slice + std::int64_t(j - r.by) * r.row + (i - r.bx)]);
    };
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

// Columns per pass: the working arrays fit in L1.
constexpr int block = 256;

// One axis of a voxel. The clamp to [lo, hi] (see each_row), NaN to lo,
// makes the truncation defined and keeps i and i + 1 in the box, yet leaves
// interior coordinates whose samples the box holds as they truncate; of
// those, exactly the interior ones give least <= f < 1 (least from
// least_fraction). Returns whether the axis is interior.
inline int split(float c, float lo, float hi, float least, int &i, float &f)
{
    i = int(std::min(std::max(lo, c), hi));
    f = c - float(i);
    return (f >= least) & (f < 1.0f);
}

// Sample pairs of n interior voxels, two adjacent floats per 8-byte copy:
// s[0] rows (z0, y0), s[1] (z0, y1), s[2] (z1, y0), s[3] (z1, y1).
void gather(const float *S, const int *at, int n, int row, int slice, float (*s)[2 * block])
{
    for (int i = 0; i < n; ++i) {
        const float *p = S + at[i];
        std::memcpy(&s[0][2 * i], p, 8);
        std::memcpy(&s[1][2 * i], p + row, 8);
        std::memcpy(&s[2][2 * i], p + slice, 8);
        std::memcpy(&s[3][2 * i], p + slice + row, 8);
    }
}

// The interior formula of voxel(). Vector lanes are voxels, so every voxel
// keeps its own order of operations.
void blend(const float (*s)[2 * block], const float *fx, const float *fy, const float *fz, int n,
           float *dst)
{
    for (int i = 0; i < n; ++i) {
        const double wx = fx[i], vx = 1.0 - wx;
        const double wy = fy[i], vy = 1.0 - wy;
        const double wz = fz[i], vz = 1.0 - wz;
        double sum = double(s[0][2 * i]) * vx * vy * vz;
        sum += double(s[0][2 * i + 1]) * wx * vy * vz;
        sum += double(s[1][2 * i]) * vx * wy * vz;
        sum += double(s[1][2 * i + 1]) * wx * wy * vz;
        sum += double(s[2][2 * i]) * vx * vy * wz;
        sum += double(s[2][2 * i + 1]) * wx * vy * wz;
        sum += double(s[3][2 * i]) * vx * wy * wz;
        sum += double(s[3][2 * i + 1]) * wx * wy * wz;
        dst[i] = static_cast<float>(sum);
    }
}

// Divides a block's coordinate numerators by the spacing, or multiplies
// them by its reciprocal where that rounds the same (exact_inverse). A loop
// of its own: the choice stays out of the vectorised loops.
inline void divide(float *c, int n, const axis_map &a)
{
    if (a.inv != 0) {
        const float v = a.inv;
        for (int i = 0; i < n; ++i)
            c[i] *= v;
    } else {
        const float v = a.s;
        for (int i = 0; i < n; ++i)
            c[i] /= v;
    }
}

// Whether all n coordinates c lie at or below -2 or all at or above e,
// as both ends do where c is monotone.
inline bool beyond(const float *c, int n, float e)
{
    return (c[0] <= -2.0f && c[n - 1] <= -2.0f) || (c[0] >= e && c[n - 1] >= e);
}

// Single precision, one rounding per operation; divide() comes last.
inline float numerator(const axis_map &a, float px) { return ((a.m * px + a.a) + a.b) + a.t; }

// The continuous source indices of voxels x0 .. x0 + n - 1 of the row.
inline void coords(const row_job &r, int x0, int n, float *cx, float *cy, float *cz)
{
    for (int i = 0; i < n; ++i) {
        const float px = float(r.x0 + x0 + i) * r.ox;
        cx[i] = numerator(r.mx, px);
        cy[i] = numerator(r.my, px);
        cz[i] = numerator(r.mz, px);
    }
    divide(cx, n, r.mx);
    divide(cy, n, r.my);
    divide(cz, n, r.mz);
}

// The interior voxels of n: in[i] says whether voxel i is interior,
// at[i] is the box index of its sample (z0, y0, x0) and f its fractions;
// returns how many are interior. Branch-free, so the compiler vectorises
// it. Up to 2^24 samples, indices and their partial sums are exact in
// float, whose vector multiply SSE2 has; it has none for 32-bit integers.
inline int locate(const row_job &r, int n, const float *cx, const float *cy, const float *cz, float *fx,
                  float *fy, float *fz, int *at, int *in)
{
    const float fs = float(r.slice), fr = float(r.row);
    int count = 0;
    if (r.span <= 1 << 24)
        for (int i = 0; i < n; ++i) {
            int x, y, z;
            const int k = split(cx[i], r.lox, r.hix, r.fx0, x, fx[i]) & split(cy[i], r.loy, r.hiy, r.fy0, y, fy[i]) &
                          split(cz[i], r.loz, r.hiz, r.fz0, z, fz[i]);
            at[i] = int((float(z - r.bz) * fs + float(y - r.by) * fr) + float(x - r.bx));
            in[i] = k;
            count += k;
        }
    else
        for (int i = 0; i < n; ++i) {
            int x, y, z;
            const int k = split(cx[i], r.lox, r.hix, r.fx0, x, fx[i]) & split(cy[i], r.loy, r.hiy, r.fy0, y, fy[i]) &
                          split(cz[i], r.loz, r.hiz, r.fz0, z, fz[i]);
            at[i] = ((z - r.bz) * r.slice + (y - r.by) * r.row) + (x - r.bx);
            in[i] = k;
            count += k;
        }
    return count;
}

[[maybe_unused]] void plain_row(const row_job &r)
{
    float cx[block], cy[block], cz[block], fx[block], fy[block], fz[block];
    float s[4][2 * block], res[block];
    int at[block], in[block];
    const int X = r.X, Y = r.Y, Z = r.Z;
    // An extent of 1 has no interior: every voxel is a face or nothing; nor
    // has a box axis too short for a sample pair.
    const bool interior = X > 1 && Y > 1 && Z > 1 && r.lox <= r.hix && r.loy <= r.hiy && r.loz <= r.hiz;
    const float ex = above(X), ey = above(Y), ez = above(Z);
    // Beyond (-2, E) on any axis voxel() writes nothing; skip the call.
    auto near = [&](int i) {
        return cx[i] > -2.0f && cx[i] < ex && cy[i] > -2.0f && cy[i] < ey && cz[i] > -2.0f && cz[i] < ez;
    };
    auto edge = [&](int i, int x) {
        if (near(i))
            voxel(r, x, cx[i], cy[i], cz[i]);
    };
    for (int x0 = 0; x0 < r.n; x0 += block) {
        const int n = r.n - x0 < block ? r.n - x0 : block;
        coords(r, x0, n, cx, cy, cz);
        if (!interior) {
            for (int i = 0; i < n; ++i)
                edge(i, x0 + i);
            continue;
        }
        const int count = locate(r, n, cx, cy, cz, fx, fy, fz, at, in);
        // Each coordinate is monotone along a row (so is every rounded step
        // forming it); with NaN or infinities about, no voxel is near. So
        // a block with no interior voxel lies wholly beyond one side of an
        // axis when both its ends do, and is skipped, else it is checked
        // voxel by voxel.
        if (!count) {
            if (!beyond(cx, n, ex) && !beyond(cy, n, ey) && !beyond(cz, n, ez))
                for (int i = 0; i < n; ++i)
                    edge(i, x0 + i);
            continue;
        }
        float *o = r.out + x0;
        int lo = 0, hi = n;
        while (!in[lo])
            ++lo;
        while (!in[hi - 1])
            --hi;
        // An affine map gives one run of interior voxels per row: write it
        // straight out. The near voxels form one run around it: walk out to
        // its ends through voxel() and leave the far ones (a sixth of the
        // oblique map) unvisited.
        if (hi - lo == count) {
            // Every r.every-th voxel's rows one row or slice on (see fetch).
            for (int i = lo; r.ahead && i < hi; i += r.every)
                fetch(r, at[i]);
            gather(r.src, at + lo, count, r.row, r.slice, s);
            blend(s, fx + lo, fy + lo, fz + lo, count, o + lo);
            for (int i = lo - 1; i >= 0 && near(i); --i)
                voxel(r, x0 + i, cx[i], cy[i], cz[i]);
            for (int i = hi; i < n && near(i); ++i)
                voxel(r, x0 + i, cx[i], cy[i], cz[i]);
            continue;
        }
        // Any other pattern: each voxel by its own flag.
        gather(r.src, at, n, r.row, r.slice, s);
        blend(s, fx, fy, fz, n, res);
        for (int i = 0; i < n; ++i) {
            if (in[i])
                o[i] = res[i];
            else
                edge(i, x0 + i);
        }
    }
}

} // namespace
