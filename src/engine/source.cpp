#include "engine/source.h"

#include <algorithm>
#include <cstdint>

#include "kernels/label.h"
#include "vocab/sizes.h"
#include "engine/workers.h"

namespace {

// Elements of `size` bytes in dense, aligned rows, with non-negative slice
// and row strides (with `bounded`, whose furthest sample within a volume
// the kernel's 32-bit offsets reach): src's strides in elements.
bool dense_rows(const block &b, int size, bool bounded, source &src)
{
    if (b.swapped || reinterpret_cast<std::uintptr_t>(b.data) % size)
        return false;
    std::int64_t st[4], reach = 0;
    for (int k = 0; k < 4; ++k) {
        st[k] = b.d[k] > 1 ? b.s[k] : 0;  // an axis of extent 1 never steps
        if (st[k] % size)
            return false;
        st[k] /= size;
    }
    if (st[1] < 0 || st[2] < 0 || (b.d[3] > 1 && st[3] != 1))
        return false;
    for (int k = 1; bounded && k < 4; ++k) {
        if (st[k] >= extent_limit)  // extents are below 2^31: the product below fits
            return false;
        reach += (b.d[k] - 1) * st[k];
        if (reach >= extent_limit)
            return false;
    }
    src = {nullptr, st[0], st[1], st[2]};
    return true;
}

// Calls copy(first element, d, s, q) for every slice q of the image (its
// volumes' slices in order), as one 1 x 1 x Y x X block, some slices a job
// (go() between them).
template <class F> bool each_slice(const block &b, int threads, F &&copy, const go_fn &go)
{
    const std::int64_t slices = b.d[0] * b.d[1], plane = b.d[2] * b.d[3];
    const std::int64_t per = std::max<std::int64_t>(1, (std::int64_t(1) << 16) / std::max<std::int64_t>(plane, 1));
    const std::int64_t d[4] = {1, 1, b.d[2], b.d[3]}, s[4] = {0, 0, b.s[2], b.s[3]};
    return parallel(threads, (slices + per - 1) / per, [&](std::int64_t i) {
        for (std::int64_t q = i * per; q < std::min(slices, (i + 1) * per); ++q)
            copy(b.data + q / b.d[1] * b.s[0] + q % b.d[1] * b.s[1], d, s, q);
    }, go);
}

} // namespace

bool in_place(const block &b, bool bounded, source &src)
{
    if (b.type != dt_float || !dense_rows(b, 4, bounded, src))
        return false;
    src.data = reinterpret_cast<const float *>(b.data);
    return true;
}

bool typed_in_place(const block &b, int size, bool bounded, source &src)
{
    return b.type != dt_bool && dense_rows(b, size, bounded, src);
}

bool copy_typed(const block &b, int size, unsigned char *dst, int threads, const go_fn &go)
{
    const std::int64_t plane = b.d[2] * b.d[3];
    return each_slice(b, threads, [&](const char *p, const std::int64_t *d, const std::int64_t *s, std::int64_t q) {
        copy_elems(p, d, s, size, b.swapped, b.type == dt_bool, dst + q * plane * size);
    }, go);
}

bool convert(const block &b, float *dst, int threads, const go_fn &go)
{
    const std::int64_t plane = b.d[2] * b.d[3];
    return each_slice(b, threads, [&](const char *p, const std::int64_t *d, const std::int64_t *s, std::int64_t q) {
        read_block(p, d, s, b.type, b.swapped, package_types, dst + q * plane);
    }, go);
}
