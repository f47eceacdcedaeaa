// libFuzzer target for the C++ under the module, without an interpreter:
// the kernel with arbitrary extents, parameters and samples, and the strided
// copies of the readers and writers with arbitrary types, byte orders,
// strides and shapes over a small backing buffer. Built with ASan and UBSan;
// a wrong result aborts too, against the small models below.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "convert.h"
#include "resample.h"

namespace {

// Takes bytes from the front of the input; zeros once it runs dry.
struct input {
    const std::uint8_t *p;
    std::size_t n;
    std::uint8_t byte()
    {
        if (!n)
            return 0;
        --n;
        return *p++;
    }
    template <class T> T raw()
    {
        unsigned char b[sizeof(T)] = {};
        for (auto &c : b)
            c = byte();
        T v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_vx: %s\n", what);
    std::abort();
}

// Floats the kernel's arithmetic treats specially, or raw bits.
float pick_float(input &in)
{
    static const float special[] = {
        0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 0.3f, 2.0f, -2.0f, -1.5f, -1.999f, 1e-3f,
        std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(), std::numeric_limits<float>::min(),
        std::numeric_limits<float>::denorm_min(), 2147483648.0f, -2147483648.0f,
        2147483520.0f, 16777217.0f, 1e30f, -1e30f};
    constexpr unsigned ns = sizeof special / sizeof special[0];
    const std::uint8_t k = in.byte();
    return k < ns ? special[k] : k < 128 ? float(int(k) - 64) * 0.25f : in.raw<float>();
}

// An extent whose low 32 bits are small (the kernel reads only those); the
// high bits and the sign are free.
std::int64_t pick_extent(input &in)
{
    const std::uint8_t k = in.byte();
    std::int64_t e = k % 6;
    if (k & 0x40)
        e += std::int64_t(k >> 7 ? -3 : 5) * (std::int64_t(1) << 32);
    if ((k & 0xb8) == 0x88)
        e = -e;
    return e;
}

// malloc of exactly n floats (ASan sees one past the end), at least one.
float *floats(std::size_t n) { return static_cast<float *>(std::malloc(std::max<std::size_t>(n, 1) * 4)); }

void fuzz_kernel(input &in)
{
    std::int64_t dims[4];
    std::int64_t count = 1;
    bool empty = false, flat = false;
    int ones = 0;
    for (auto &d : dims) {
        d = pick_extent(in);
        const int lo = static_cast<int>(static_cast<std::uint32_t>(d));
        empty |= lo <= 0;
        ones += lo == 1;
        count *= lo > 0 ? lo : 0;
    }
    flat = ones - (static_cast<int>(dims[0]) == 1) >= 2;  // two of Z, Y, X are 1
    fbuf sp(floats(3)), mx(floats(12)), img(floats(count)), out(floats(count));
    bool nan_param = false, zero_spacing = false;
    for (int k = 0; k < 3; ++k) {
        sp[k] = pick_float(in);
        nan_param |= std::isnan(sp[k]);
        zero_spacing |= sp[k] == 0.0f;
    }
    for (int k = 0; k < 12; ++k) {
        mx[k] = pick_float(in);
        nan_param |= std::isnan(mx[k]);
    }
    for (std::int64_t i = 0; i < count; ++i)
        img[i] = pick_float(in);
    std::memset(out.get(), 0, count * 4);
    const std::vector<float> before(img.get(), img.get() + count);

    resample_trilinear(img.get(), dims, sp.get(), mx.get(), out.get());

    if (count && std::memcmp(before.data(), img.get(), count * 4) != 0)
        fail("kernel changed its input");
    // No voxel can be formed: every axis coordinate is NaN or infinite, or
    // two axes sit on a face.
    if (!empty && (nan_param || zero_spacing || flat))
        for (std::int64_t i = 0; i < count; ++i)
            if (std::signbit(out[i]) || out[i] != 0.0f)
                fail("kernel wrote a voxel that has no sample");
}

// The harness's own model of the element types: size, read value, and
// the bytes a write stores. Independent of convert.cpp's table.
int elem_size(int type)
{
    switch (type) {
    case NPY_UBYTE: return 1;
    case NPY_SHORT: return 2;
    case NPY_LONG: return sizeof(long);
    case NPY_LONGLONG: return 8;
    case NPY_FLOAT: return 4;
    case NPY_DOUBLE: return 8;
    default: return 0;
    }
}

void get_bytes(const unsigned char *p, int size, bool swapped, unsigned char *b)
{
    for (int k = 0; k < size; ++k)
        b[k] = p[swapped ? size - 1 - k : k];
}

// Bits of the float a reader must produce from the element at p.
std::uint32_t model_read(const unsigned char *p, int type, bool swapped)
{
    unsigned char b[8];
    get_bytes(p, elem_size(type), swapped, b);
    float f = 0;
    switch (type) {
    case NPY_UBYTE: f = b[0]; break;
    case NPY_SHORT: { std::int16_t v; std::memcpy(&v, b, 2); f = v; break; }
    case NPY_LONG: { long v; std::memcpy(&v, b, sizeof v); f = float(v); break; }
    case NPY_LONGLONG: { long long v; std::memcpy(&v, b, 8); f = float(v); break; }
    case NPY_FLOAT: std::memcpy(&f, b, 4); break;
    case NPY_DOUBLE: { double v; std::memcpy(&v, b, 8); f = float(v); break; }
    }
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// Truncation toward zero into 32 bits, or the minimum for NaN and beyond.
std::int32_t model_trunc32(float f)
{
    return (f >= -0x1p31f && f < 0x1p31f) ? static_cast<std::int32_t>(f) : INT32_MIN;
}

void model_write(unsigned char *p, float f, int type, bool swapped)
{
    unsigned char b[8];
    const int size = elem_size(type);
    switch (type) {
    case NPY_UBYTE: b[0] = static_cast<unsigned char>(model_trunc32(f) & 0xff); break;
    case NPY_SHORT: {
        const std::uint16_t v = static_cast<std::uint16_t>(model_trunc32(f) & 0xffff);
        std::memcpy(b, &v, 2);
        break;
    }
    case NPY_LONG: {
        const long v = f >= -0x1p63f && f < 0x1p63f ? static_cast<long>(f) : std::numeric_limits<long>::min();
        std::memcpy(b, &v, sizeof v);
        break;
    }
    case NPY_FLOAT: std::memcpy(b, &f, 4); break;
    case NPY_DOUBLE: { const double v = f; std::memcpy(b, &v, 8); break; }
    }
    for (int k = 0; k < size; ++k)
        p[swapped ? size - 1 - k : k] = b[k];
}

constexpr int backing = 512;

void fuzz_convert(input &in)
{
    const std::uint8_t mode = in.byte();
    const bool swapped = mode & 1, vector = mode & 2;
    // Mostly the element types that exist, sometimes any number at all.
    const std::uint8_t t = in.byte();
    const int type = t < 200 ? t % 26 : int(in.raw<std::int16_t>());
    const int size = elem_size(type) ? elem_size(type) : 8;  // refused: nothing may be touched

    // The block count under arbitrary extents and limits.
    {
        std::int64_t d[4];
        for (auto &x : d) {
            const std::uint8_t k = in.byte();
            x = k < 64 ? k % 8
              : k < 128 ? static_cast<std::int64_t>((std::uint64_t(1) << (k % 64)) - (k & 1))
                        : in.raw<std::int64_t>();
        }
        const std::int64_t limits[] = {std::int64_t(1) << 29, std::int64_t(1) << 31, 1, 100};
        const std::int64_t limit = limits[in.byte() % 4];
        const std::int64_t got = block_count(d, limit);
        std::int64_t want = 0;
        if (std::min({d[0], d[1], d[2], d[3]}) > 0) {
            __int128 c = 1;
            bool big = false;
            for (auto x : d) {
                big |= x >= (std::int64_t(1) << 31);
                c *= big ? 1 : x;  // four factors below 2^31 fit
            }
            want = big || c >= limit ? -1 : static_cast<std::int64_t>(c);
        }
        if (got != want)
            fail("block_count");
    }

    // A block that stays inside the backing buffer: the caller's contract.
    std::int64_t d[4], s[4], lo = 0, hi = 0;
    for (int k = 0; k < 4; ++k) {
        d[k] = in.byte() % 5;
        const std::int8_t r = static_cast<std::int8_t>(in.byte());
        s[k] = (r % 4 == 0) ? 0 : r % 3 == 0 ? std::int64_t(r) : std::int64_t(r / 16) * size;
    }
    const bool has = std::min({d[0], d[1], d[2], d[3]}) > 0;
    for (int k = 0; k < 4; ++k)
        if (d[k] > 0) {
            lo += std::min<std::int64_t>(0, (d[k] - 1) * s[k]);
            hi += std::max<std::int64_t>(0, (d[k] - 1) * s[k]);
        }
    if (hi - lo + size > backing)
        return;
    const std::int64_t start = -lo + in.byte() % (backing - (hi - lo + size) + 1);
    const std::int64_t count = has ? d[0] * d[1] * d[2] * d[3] : 0;

    std::vector<unsigned char> mem(backing);
    for (auto &c : mem)
        c = in.byte();
    // Exactly sized heap blocks, so ASan sees any step outside them.
    std::unique_ptr<unsigned char[], free_delete> data(static_cast<unsigned char *>(std::malloc(backing)));
    std::memcpy(data.get(), mem.data(), backing);
    fbuf out(floats(count));
    for (std::int64_t i = 0; i < count; ++i)
        out[i] = -7.0f;
    // An empty block must not be touched at all, not even its address.
    const char *base = has ? reinterpret_cast<const char *>(data.get()) + start : nullptr;
    const bool known = elem_size(type) && (vector || type != NPY_LONGLONG);

    const int rr = read_block(base, d, s, type, swapped, vector, out.get());
    if (rr != (has && !known ? 1 : 0))
        fail("read_block status");
    if (std::memcmp(data.get(), mem.data(), backing) != 0)
        fail("read_block wrote into the array");
    if (has) {
        std::int64_t i = 0;
        for (std::int64_t n = 0; n < d[0]; ++n)
            for (std::int64_t z = 0; z < d[1]; ++z)
                for (std::int64_t y = 0; y < d[2]; ++y)
                    for (std::int64_t x = 0; x < d[3]; ++x, ++i) {
                        std::uint32_t got;
                        std::memcpy(&got, &out[i], 4);
                        const std::uint32_t want =
                            known ? model_read(mem.data() + start + n * s[0] + z * s[1] + y * s[2] + x * s[3],
                                               type, swapped)
                                  : 0xc0e00000u;  // -7.0f: untouched
                        float fg, fw;
                        std::memcpy(&fg, &got, 4);
                        std::memcpy(&fw, &want, 4);
                        if (got != want && !(type != NPY_FLOAT && std::isnan(fg) && std::isnan(fw)))
                            fail("read_block value");
                    }
    }

    // Writers: the buffer's values go through the layout in row-major
    // order, later elements overwriting earlier ones where strides alias.
    for (std::int64_t i = 0; i < count; ++i)
        out[i] = pick_float(in);
    std::vector<unsigned char> want = mem;
    const bool writable = elem_size(type) && type != NPY_LONGLONG;
    if (has && writable) {
        std::int64_t i = 0;
        for (std::int64_t n = 0; n < d[0]; ++n)
            for (std::int64_t z = 0; z < d[1]; ++z)
                for (std::int64_t y = 0; y < d[2]; ++y)
                    for (std::int64_t x = 0; x < d[3]; ++x, ++i)
                        model_write(want.data() + start + n * s[0] + z * s[1] + y * s[2] + x * s[3],
                                    out[i], type, swapped);
    }
    const int wr = write_block(out.get(), has ? reinterpret_cast<char *>(data.get()) + start : nullptr, d, s,
                               type, swapped);
    if (wr != (has && !writable ? 1 : 0))
        fail("write_block status");
    if (std::memcmp(data.get(), want.data(), backing) != 0)
        fail("write_block stored the wrong bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    input in{data, size};
    if (in.byte() & 1)
        fuzz_convert(in);
    else
        fuzz_kernel(in);
    return 0;
}
