// The kernel as first written, kept verbatim as the tests' reference.
#include "reference.h"

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

} // namespace

void resample_reference(const float *image, const std::int64_t *dims, const float *spacing,
                        const float *matrix, float *out)
{
    const int N = static_cast<int>(dims[0]), Z = static_cast<int>(dims[1]);
    const int Y = static_cast<int>(dims[2]), X = static_cast<int>(dims[3]);
    if (N <= 0 || Z <= 0 || Y <= 0 || X <= 0)
        return;
    const float s0 = spacing[0], s1 = spacing[1], s2 = spacing[2];
    const float *m = matrix;
    const int plane = Y * X;

    for (int v = 0; v < N; ++v) {
        const float *S = image + v * Z * plane;
        float *o = out + v * Z * plane;
        for (int z = 0; z < Z; ++z) {
            const float pz = float(z) * s2;
            for (int y = 0; y < Y; ++y) {
                const float py = float(y) * s1;
                // Only these products depend on y and z alone; the sums keep
                // their order (m0*px first) so nothing is pre-added.
                const float ax = m[1] * py, bx = m[2] * pz;
                const float ay = m[5] * py, by = m[6] * pz;
                const float az = m[9] * py, bz = m[10] * pz;
                float *row = o + (z * Y + y) * X;
                for (int x = 0; x < X; ++x) {
                    const float px = float(x) * s0;
                    // Single precision, one rounding per operation, the
                    // division by the spacing last.
                    const float cx = (((m[0] * px + ax) + bx) + m[3]) / s0;
                    const float cy = (((m[4] * px + ay) + by) + m[7]) / s1;
                    const float cz = (((m[8] * px + az) + bz) + m[11]) / s2;
                    int x0 = 0, y0 = 0, z0 = 0;
                    const int kx = classify(cx, X, x0);
                    const int ky = classify(cy, Y, y0);
                    const int kz = classify(cz, Z, z0);
                    const int faces = (kx != inside) + (ky != inside) + (kz != inside);
                    if (kx == outside || ky == outside || kz == outside || faces > 1)
                        continue;
                    const int x1 = x0 + 1, y1 = y0 + 1, z1 = z0 + 1;
                    // Weights in double: w1 = f, w0 = 1 - f.
                    const double fx = cx - float(x0), gx = 1.0 - fx;
                    const double fy = cy - float(y0), gy = 1.0 - fy;
                    const double fz = cz - float(z0), gz = 1.0 - fz;
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
                    row[x] = static_cast<float>(sum);
                }
            }
        }
    }
}
