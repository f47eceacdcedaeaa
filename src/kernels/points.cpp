#include "kernels/points.h"

#include "kernels/terms.h"
#include "vocab/rules.h"

void row_positions(const float *o, std::int64_t z, std::int64_t y, std::int64_t x0, int n, float *x, float *py,
                   float *pz)
{
    const float Y = position(int(y), o[1]), Z = position(int(z), o[2]);
    for (int i = 0; i < n; ++i)
        x[i] = position(int(x0 + i), o[0]), py[i] = Y, pz[i] = Z;
}

bool footprint(int rule, float c[3], const std::int64_t E[3], std::int64_t lo[3], std::int64_t hi[3])
{
    if (rule == nearest) {
        for (int a = 0; a < 3; ++a) {
            int held;
            lo[a] = hi[a] = nearest_plane(c[a], 0.0, double(E[a]), held);
            if (!held)
                return false;
        }
        return true;
    }
    int k[3], i0[3] = {};
    for (int a = 0; a < 3; ++a)
        if ((k[a] = classify(c[a], int(E[a]), i0[a])) == outside)
            return false;
    if ((k[0] != inside) + (k[1] != inside) + (k[2] != inside) > 1)
        return false;
    for (int a = 0; a < 3; ++a)
        lo[a] = first_plane(k[a], i0[a], E[a]), hi[a] = last_plane(k[a], i0[a], E[a]);
    return true;
}


bool point_maps(const float c[3], const std::int64_t E[3], bool constant)
{
    moded_axis a;
    for (int k = 0; k < 3; ++k)
        if (!moded_axis_of(c[k], E[k], constant, a))
            return false;
    return true;
}
