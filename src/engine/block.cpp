#include "engine/block.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "vocab/sizes.h"

namespace {

// Elements with no C type of their own: NumPy's bool (any nonzero byte is
// true) and IEEE half precision.
struct boolean {
    std::uint8_t byte;
};
struct half {
    std::uint16_t bits;
};

// The one table of element types: NumPy type number to C type. Every
// function below reaches the types through it. The module's image readers
// and the writers take the first five; its 1-D reader also dt_longlong;
// the package's readers every bool, integer and float type up to double.
template <int types, class F> bool with_type(int type, F &&f)
{
    switch (type) {
    case dt_ubyte: f(std::uint8_t()); return true;
    case dt_short: f(std::int16_t()); return true;
    case dt_long: f(long()); return true;  // the platform's long
    case dt_float: f(float()); return true;
    case dt_double: f(double()); return true;
    case dt_longlong:
        if constexpr (types != image_types) {
            f((long long)0);
            return true;
        }
        return false;
    default: break;
    }
    if constexpr (types == package_types) {
        switch (type) {
        case dt_bool: f(boolean()); return true;
        case dt_byte: f(std::int8_t()); return true;
        case dt_ushort: f(std::uint16_t()); return true;
        case dt_int: f(int()); return true;
        case dt_uint: f(unsigned()); return true;
        case dt_ulong: f((unsigned long)0); return true;
        case dt_ulonglong: f((unsigned long long)0); return true;
        case dt_half: f(half()); return true;
        default: break;
        }
    }
    return false;
}

template <class F> bool with_type(int types, int type, F &&f)
{
    return types == image_types    ? with_type<image_types>(type, f)
           : types == vector_types ? with_type<vector_types>(type, f)
                                   : with_type<package_types>(type, f);
}

// Loads and stores go through memcpy: arrays may be unaligned, and bytes
// of a non-native array are reversed before the value is formed.
template <class T> inline T load(const char *p, bool swapped)
{
    unsigned char b[sizeof(T)];
    std::memcpy(b, p, sizeof(T));
    if (swapped)
        std::reverse(b, b + sizeof(T));
    T v;
    std::memcpy(&v, b, sizeof(T));
    return v;
}

template <class T> inline void store(char *p, T v, bool swapped)
{
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    if (swapped)
        std::reverse(b, b + sizeof(T));
    std::memcpy(p, b, sizeof(T));
}

// Reader's value: exact for small integers, nearest (ties to even) for wide
// integers and doubles, bits unchanged for floats.
template <class T> inline float to_float(T v) { return static_cast<float>(v); }
inline float to_float(boolean b) { return b.byte ? 1.0f : 0.0f; }
inline float to_float(half h)
{
    const std::uint32_t sign = std::uint32_t(h.bits & 0x8000u) << 16, e = (h.bits >> 10) & 0x1fu,
                        m = h.bits & 0x3ffu;
    if (e == 0) {  // zero or subnormal: m * 2^-24, exact in float
        const float v = float(m) * 5.9604644775390625e-8f;
        return sign ? -v : v;
    }
    // Normal: rebias the exponent; infinities and NaN keep their payload.
    const std::uint32_t b = sign | (e == 0x1f ? 0x7f800000u : (e + 112) << 23) | (m << 13);
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

// Writer's value: 8- and 16-bit types keep the low bits of a 32-bit
// truncation; `long` is truncated to itself; floats copy, doubles widen.
template <class T> inline T from_float(float f);
template <> inline std::uint8_t from_float(float f)
{
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(trunc_to<std::int32_t>(f)));
}
template <> inline std::int16_t from_float(float f)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(
        static_cast<std::uint32_t>(trunc_to<std::int32_t>(f))));
}
template <> inline long from_float(float f) { return trunc_to<long>(f); }
template <> inline double from_float(float f) { return f; }

// Visits the block in row-major order, width innermost, calling f(element
// address, buffer index) with the buffer index running densely from 0.
template <class F>
inline void walk(const std::int64_t d[4], const std::int64_t s[4], char *data, F &&f)
{
    std::int64_t i = 0;
    for (std::int64_t n = 0; n < d[0]; ++n)
        for (std::int64_t z = 0; z < d[1]; ++z)
            for (std::int64_t y = 0; y < d[2]; ++y) {
                char *row = data + n * s[0] + z * s[1] + y * s[2];
                for (std::int64_t x = 0; x < d[3]; ++x)
                    f(row + x * s[3], i++);
            }
}

// Calls f(first element of the row, buffer index of its first element, row
// length) for every row of d[3] elements; a block that is one dense run is
// a single row.
template <class F>
inline void rows(const std::int64_t d[4], const std::int64_t s[4], std::int64_t size, char *data, F &&f)
{
    std::int64_t run = size;  // bytes of one dense run so far; axes of extent 1 never step
    for (int k = 3; k >= 0 && run; --k)
        run = (d[k] == 1 || s[k] == run) ? run * d[k] : 0;
    if (run) {
        f(data, 0, run / size);
        return;
    }
    std::int64_t i = 0;
    for (std::int64_t n = 0; n < d[0]; ++n)
        for (std::int64_t z = 0; z < d[1]; ++z)
            for (std::int64_t y = 0; y < d[2]; ++y, i += d[3])
                f(data + n * s[0] + z * s[1] + y * s[2], i, d[3]);
}

// Rows of native-order elements side by side take these tight loops: the
// same per-element conversions, without the per-element byte handling.
template <class T> void read_row(const char *p, std::int64_t n, float *out)
{
    if constexpr (std::is_same_v<T, float>) {
        std::memcpy(out, p, n * 4);
    } else {
        for (std::int64_t k = 0; k < n; ++k) {
            T v;
            std::memcpy(&v, p + k * std::int64_t(sizeof(T)), sizeof(T));
            out[k] = to_float(v);
        }
    }
}

template <class T> void write_row(const float *buf, std::int64_t n, char *p)
{
    if constexpr (std::is_same_v<T, float>) {
        std::memcpy(p, buf, n * 4);
    } else {
        for (std::int64_t k = 0; k < n; ++k) {
            const T v = from_float<T>(buf[k]);
            std::memcpy(p + k * std::int64_t(sizeof(T)), &v, sizeof(T));
        }
    }
}

} // namespace

float *alloc_floats(std::int64_t count, bool zeroed)
{
    const std::size_t bytes = std::size_t(count) * 4;
    void *p = zeroed ? std::calloc(std::size_t(count), 4) : std::malloc(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Large buffers are touched once, page by page: huge pages spare most of
    // the first-touch faults (NumPy advises its own large arrays the same way).
    constexpr std::uintptr_t huge = std::uintptr_t(1) << 21;
    if (p && bytes >= 4 * huge) {
        const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
        const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge - 1);
        if (to > from)
            madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
    }
#endif
    return static_cast<float *>(p);
}

bool accepted(int type, int types)
{
    return with_type(types, type, [](auto) {});
}

std::int64_t block_count(const std::int64_t d[4], std::int64_t limit)
{
    if (std::min({d[0], d[1], d[2], d[3]}) <= 0)
        return 0;
    std::int64_t count = 1;
    for (int k = 0; k < 4; ++k) {
        if (d[k] >= extent_limit)
            return -1;
        count *= d[k];  // below 2^31 * 2^31: no overflow
        if (count >= limit)
            return -1;
    }
    return count;
}

int read_block(const char *data, const std::int64_t d[4], const std::int64_t s[4],
               int type, bool swapped, int types, float *out)
{
    if (std::min({d[0], d[1], d[2], d[3]}) <= 0)
        return 0;
    char *base = const_cast<char *>(data);  // walk() is shared with the writer; nothing is written
    auto copy = [&](auto t) {
        using T = decltype(t);
        if (!swapped && s[3] == std::int64_t(sizeof(T))) {
            rows(d, s, sizeof(T), base, [&](char *p, std::int64_t i, std::int64_t n) { read_row<T>(p, n, out + i); });
            return;
        }
        if constexpr (std::is_same_v<T, float>)  // bits, not value: keeps NaN payloads
            walk(d, s, base, [&](char *p, std::int64_t i) {
                std::uint32_t u = load<std::uint32_t>(p, swapped);
                std::memcpy(out + i, &u, 4);
            });
        else
            walk(d, s, base, [&](char *p, std::int64_t i) { out[i] = to_float(load<T>(p, swapped)); });
    };
    bool ok = with_type(types, type, copy);
    return ok ? 0 : 1;
}

int write_block(const float *buf, char *data, const std::int64_t d[4],
                const std::int64_t s[4], int type, bool swapped)
{
    if (std::min({d[0], d[1], d[2], d[3]}) <= 0)
        return 0;
    bool ok = with_type<image_types>(type, [&](auto t) {
        using T = decltype(t);
        if (!swapped && s[3] == std::int64_t(sizeof(T))) {
            rows(d, s, sizeof(T), data, [&](char *p, std::int64_t i, std::int64_t n) { write_row<T>(buf + i, n, p); });
            return;
        }
        if constexpr (std::is_same_v<T, float>)
            walk(d, s, data, [&](char *p, std::int64_t i) {
                std::uint32_t u;
                std::memcpy(&u, buf + i, 4);
                store(p, u, swapped);
            });
        else
            walk(d, s, data, [&](char *p, std::int64_t i) { store(p, from_float<T>(buf[i]), swapped); });
    });
    return ok ? 0 : 1;
}
