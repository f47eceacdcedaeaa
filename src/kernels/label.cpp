#include "kernels/label.h"

#include <algorithm>
#include <cstring>

#include "kernels/table.h"

int elem_size(int type) { return type >= 0 && type < elem_count ? elems[type].size : 0; }

int elem_find(char kind, int size)
{
    for (int e = 0; e < elem_count; ++e)
        if (elems[e].kind == (kind == 'b' ? 'u' : kind) && elems[e].size == size)
            return e;
    return -1;
}

void label_part(const part &p, const typed &t)
{
    best_table().labels(p, t);
}

void copy_elems(const char *data, const std::int64_t d[4], const std::int64_t s[4], int size, bool swapped,
                bool boolean, unsigned char *dst)
{
    std::int64_t i = 0;
    for (std::int64_t n = 0; n < d[0]; ++n)
        for (std::int64_t z = 0; z < d[1]; ++z)
            for (std::int64_t y = 0; y < d[2]; ++y) {
                const char *row = data + n * s[0] + z * s[1] + y * s[2];
                for (std::int64_t x = 0; x < d[3]; ++x, ++i) {
                    unsigned char b[8];
                    std::memcpy(b, row + x * s[3], size);
                    if (swapped)
                        std::reverse(b, b + size);
                    if (boolean)
                        b[0] = b[0] != 0;
                    std::memcpy(dst + i * size, b, size);
                }
            }
}
