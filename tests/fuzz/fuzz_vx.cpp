// libFuzzer target for the C++ under the module, without an interpreter:
// the kernel with arbitrary extents, parameters and samples, and the strided
// copies of the readers and writers with arbitrary types, byte orders,
// strides and shapes over a small backing buffer. Built with ASan and UBSan;
// a result that differs from the small models below aborts too.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "edge/convert.h"
#include "kernels/table.h"
#include "kernels/label.h"
#include "kernels/resample.h"
#include "kernels/dispatch.h"

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
// high bits and the sign are free. Rows (`wide`) may be long enough for the
// vector targets' full lanes and the scalar target's 256-column passes.
std::int64_t pick_extent(input &in, bool wide)
{
    const std::uint8_t k = in.byte();
    std::int64_t e = wide && k >= 0xf0 ? 200 + 7 * (k & 15) : wide && (k & 0x30) == 0x30 ? 6 + k % 29 : k % 6;
    if (k & 0x40)
        e += std::int64_t(k >> 7 ? -3 : 5) * (std::int64_t(1) << 32);
    if ((k & 0xb8) == 0x88)
        e = -e;
    return e;
}

// malloc of exactly n floats (ASan sees one past the end), at least one.
float *floats(std::size_t n) { return static_cast<float *>(std::malloc(std::max<std::size_t>(n, 1) * 4)); }

// The kernel's arithmetic restated voxel by voxel from its rules, with no
// hoisting: single-precision coordinates in their fixed order, truncation
// toward zero, the four axis classes, double weights and sums.
enum { out_c, low_c, in_c, high_c };

int axis_class(float c, int e, int &i0)
{
    if (std::isnan(c) || c <= -2147483648.0f || c >= 2147483648.0f)
        return out_c;
    i0 = static_cast<int>(c);
    if (i0 + 1 < 0 || i0 + 1 > e)
        return out_c;
    return i0 == -1 ? low_c : i0 + 1 == e ? high_c : in_c;
}

// The voxel's value, or false when no sample is formed.
bool model_voxel(const float *S, int Z, int Y, int X, const float *s, const float *m, int z,
                 int y, int x, float &v)
{
    const float px = float(x) * s[0], py = float(y) * s[1], pz = float(z) * s[2];
    float c[3];
    for (int r = 0; r < 3; ++r) {
        const float *k = m + 4 * r;
        float t = k[0] * px;
        t = t + k[1] * py;
        t = t + k[2] * pz;
        t = t + k[3];
        c[r] = t / s[r];
    }
    int i[3] = {0, 0, 0}, cls[3];
    const int ext[3] = {X, Y, Z};
    int faces = 0;
    for (int r = 0; r < 3; ++r) {
        cls[r] = axis_class(c[r], ext[r], i[r]);
        if (cls[r] == out_c)
            return false;
        faces += cls[r] != in_c;
    }
    if (faces > 1)
        return false;
    double f[3], g[3];
    for (int r = 0; r < 3; ++r) {
        f[r] = static_cast<double>(c[r] - float(i[r]));
        g[r] = 1.0 - f[r];
    }
    const int x0 = i[0], y0 = i[1], z0 = i[2], x1 = x0 + 1, y1 = y0 + 1, z1 = z0 + 1;
    auto at = [&](int k, int j, int h) { return double(S[(std::int64_t(k) * Y + j) * X + h]); };
    double sum;
    if (faces == 0) {
        sum = at(z0, y0, x0) * g[0] * g[1] * g[2];
        sum = sum + at(z0, y0, x1) * f[0] * g[1] * g[2];
        sum = sum + at(z0, y1, x0) * g[0] * f[1] * g[2];
        sum = sum + at(z0, y1, x1) * f[0] * f[1] * g[2];
        sum = sum + at(z1, y0, x0) * g[0] * g[1] * f[2];
        sum = sum + at(z1, y0, x1) * f[0] * g[1] * f[2];
        sum = sum + at(z1, y1, x0) * g[0] * f[1] * f[2];
        sum = sum + at(z1, y1, x1) * f[0] * f[1] * f[2];
    } else if (cls[0] != in_c) {
        const int b = cls[0] == low_c ? 0 : X - 1;
        sum = at(z0, y0, b) * g[1] * g[2];
        sum = sum + at(z0, y1, b) * f[1] * g[2];
        sum = sum + at(z1, y0, b) * g[1] * f[2];
        sum = sum + at(z1, y1, b) * f[1] * f[2];
    } else if (cls[1] != in_c) {
        const int b = cls[1] == low_c ? 0 : Y - 1;
        sum = at(z0, b, x1) * f[0] * g[2];
        sum = sum + at(z0, b, x0) * g[0] * g[2];
        sum = sum + at(z1, b, x0) * g[0] * f[2];
        sum = sum + at(z1, b, x1) * f[0] * f[2];
    } else {
        const int b = cls[2] == low_c ? 0 : Z - 1;
        sum = at(b, y0, x1) * f[0] * g[1];
        sum = sum + at(b, y0, x0) * g[0] * g[1];
        sum = sum + at(b, y1, x0) * g[0] * f[1];
        sum = sum + at(b, y1, x1) * f[0] * f[1];
    }
    v = static_cast<float>(sum);
    return true;
}

void check_kernel(const float *img, const int *e, const float *sp, const float *mx, const float *out,
                  std::int64_t count);
void fuzz_parts(input &in, const float *img, const int *e, const float *sp, const float *mx,
                const float *want);
void fuzz_window(input &in, int target, const float *img, const int *e, const float *sp, const float *mx,
                 const float *want);

void fuzz_kernel(input &in)
{
    std::int64_t dims[4];
    int e[4];
    std::int64_t count = 1;
    for (int k = 0; k < 4; ++k) {
        dims[k] = pick_extent(in, k == 3);
        e[k] = static_cast<int>(static_cast<std::uint32_t>(dims[k]));  // the low 32 bits
        count *= e[k] > 0 ? e[k] : 0;
    }
    if (count > 4096)
        return;
    fbuf sp(floats(3)), mx(floats(12)), img(floats(count)), out(floats(count));
    for (int k = 0; k < 3; ++k)
        sp[k] = pick_float(in);
    for (int k = 0; k < 12; ++k)
        mx[k] = pick_float(in);
    for (std::int64_t i = 0; i < count; ++i)
        img[i] = pick_float(in);
    const std::vector<float> before(img.get(), img.get() + count);
    // The dispatcher, then every target this CPU can run, each on its own.
    for (int target = -1; target < target_count; ++target) {
        if (target >= 0 && !target_usable(target))
            continue;
        std::memset(out.get(), 0, count * 4);
        (target < 0 ? resample_trilinear : target_table(target)->kernel)(img.get(), dims, sp.get(), mx.get(),
                                                             out.get());
        if (count && std::memcmp(before.data(), img.get(), count * 4) != 0)
            fail("kernel changed its input");
        check_kernel(img.get(), e, sp.get(), mx.get(), out.get(), count);
    }
    if (count)
        fuzz_parts(in, img.get(), e, sp.get(), mx.get(), out.get());
}

// The same volumes as parts, as the package's threads compute them: each
// volume copied into an exact-size buffer with padded rows and slices, its
// rows cut into ranges, the output full of junk that must all be
// overwritten. `want` is a checked dense result (0 where nothing maps).
void fuzz_parts(input &in, const float *img, const int *e, const float *sp, const float *mx,
                const float *want)
{
    const int N = e[0], Z = e[1], Y = e[2], X = e[3];
    const std::int64_t row = X + in.byte() % 4, slice = row * Y + in.byte() % 6;
    const std::size_t volume = std::size_t(Z) * Y * X;
    const std::size_t reach = std::size_t((Z - 1) * slice + (Y - 1) * row + X);
    for (int target = 0; target < target_count; ++target) {
        if (!target_usable(target))
            continue;
        for (int v = 0; v < N; ++v) {
            fbuf src(floats(reach)), got(floats(volume));
            for (int z = 0; z < Z; ++z)
                for (int y = 0; y < Y; ++y)
                    std::memcpy(src.get() + z * slice + y * row, img + v * volume + (z * Y + y) * X, X * 4);
            std::memset(got.get(), 0xfe, volume * 4);  // -1.7e38: no sample of these comes out so
            for (int first = 0, last; first < Z * Y; first = last) {
                last = std::min(Z * Y, first + 1 + in.byte() % 7);
                part q = whole_volume(src.get(), got.get(), X, Y, Z, sp, mx);
                q.in.slice = slice, q.in.row = row, q.win.first = first, q.win.last = last, q.fill.on = true;
                target_table(target)->part(q);
            }
            // NaN is NaN whatever its sign and payload, as in check_kernel.
            for (std::size_t k = 0; k < volume; ++k) {
                const float a = got[k], b = want[v * volume + k];
                if (std::memcmp(&a, &b, 4) != 0 && !(std::isnan(a) && std::isnan(b)))
                    fail("part differs from the whole call");
            }
            fuzz_window(in, target, img + v * volume, e, sp, mx, want + v * volume);
        }
    }
}

// A window of the volume's grid computed from the box of samples it reads,
// copied into an exact-size buffer, by the linear rule and by the label
// rule on the samples' bits: the whole volume's bits, nothing read outside
// the box. A box a plane short at either end of any axis leaves exactly the
// voxels that read the plane as mapping nowhere, and still reads nothing
// outside.
void fuzz_window(input &in, int target, const float *img, const int *e, const float *sp, const float *mx,
                 const float *want)
{
    const int Z = e[1], Y = e[2], X = e[3], E[3] = {X, Y, Z};
    const std::size_t volume = std::size_t(Z) * Y * X;
    part w = whole_volume(nullptr, nullptr, X, Y, Z, sp, mx);
    w.win.x = in.byte() % X, w.win.y = in.byte() % Y, w.win.z = in.byte() % Z;
    w.win.nx = 1 + in.byte() % (X - w.win.x), w.win.ny = 1 + in.byte() % (Y - w.win.y), w.win.nz = 1 + in.byte() % (Z - w.win.z);
    w.win.first = 0, w.win.last = w.win.ny * w.win.nz, w.fill.on = true, w.fill.value = -1.5e38f;
    w.win.slice = std::int64_t(w.win.ny) * w.win.nx, w.win.row = w.win.nx;
    const std::size_t window = std::size_t(w.win.nz) * w.win.ny * w.win.nx;
    // Per voxel the first and last sample read along X, Y, Z; none (-1)
    // where it maps nowhere.
    std::vector<int> reads(window * 6, -1);
    int lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {-1, -1, -1};
    for (std::size_t v = 0; v < window; ++v) {
        const int q = int(v / w.win.nx), x = w.win.x + int(v % w.win.nx), y = w.win.y + q % w.win.ny, z = w.win.z + q / w.win.ny;
        const float p[3] = {float(x) * sp[0], float(y) * sp[1], float(z) * sp[2]};
        int k[3], i0[3] = {0, 0, 0}, faces = 0, out = 0;
        for (int a = 0; a < 3; ++a) {
            const float *r = mx + 4 * a;
            k[a] = axis_class((((r[0] * p[0] + r[1] * p[1]) + r[2] * p[2]) + r[3]) / sp[a], E[a], i0[a]);
            faces += k[a] != in_c, out += k[a] == out_c;
        }
        if (out || faces > 1)
            continue;
        for (int a = 0; a < 3; ++a) {
            const int l = k[a] == in_c ? i0[a] : k[a] == low_c ? 0 : E[a] - 1, h = k[a] == in_c ? l + 1 : l;
            reads[6 * v + a] = l, reads[6 * v + 3 + a] = h;
            lo[a] = std::min(lo[a], l), hi[a] = std::max(hi[a], h);
        }
    }
    if (hi[0] < 0)
        return;
    // The label rule's whole-volume result, the samples' bits for labels.
    const std::uint32_t fill = 0xfefefefe;
    std::vector<std::uint32_t> bits(volume), labels(window);
    std::memcpy(bits.data(), img, volume * 4);
    typed t{bits.data(), labels.data(), e_u32, label, {}};
    std::memcpy(t.fill, &fill, 4);
    target_table(target)->labels(w, t);
    for (int side = -1; side < 6; ++side) {
        part v = w;
        int *const b[3] = {&v.in.bx, &v.in.by, &v.in.bz}, *const n[3] = {&v.in.bnx, &v.in.bny, &v.in.bnz};
        for (int a = 0; a < 3; ++a)
            *b[a] = lo[a], *n[a] = hi[a] - lo[a] + 1;
        const int a = side / 2;
        if (side >= 0 && *n[a] < 2)
            continue;
        if (side >= 0)
            *b[a] += side % 2, *n[a] -= 1;
        v.in.row = v.in.bnx, v.in.slice = std::int64_t(v.in.bnx) * v.in.bny;
        const std::size_t box = std::size_t(v.in.slice) * v.in.bnz;
        fbuf src(floats(box)), got(floats(window));
        std::unique_ptr<std::uint32_t[], free_delete> lsrc(
            static_cast<std::uint32_t *>(std::malloc(std::max<std::size_t>(box, 1) * 4)));
        std::vector<std::uint32_t> lgot(window);
        for (int z = 0; z < v.in.bnz; ++z)
            for (int y = 0; y < v.in.bny; ++y) {
                const std::size_t at = (std::size_t(z) * v.in.bny + y) * v.in.bnx;
                const std::size_t from = (std::size_t(v.in.bz + z) * Y + v.in.by + y) * X + v.in.bx;
                std::memcpy(src.get() + at, img + from, std::size_t(v.in.bnx) * 4);
                std::memcpy(lsrc.get() + at, bits.data() + from, std::size_t(v.in.bnx) * 4);
            }
        part l = v;  // labels: the part's float pointers null
        v.in.src = src.get(), v.win.out = got.get();
        target_table(target)->part(v);
        t.src = lsrc.get(), t.out = lgot.data();
        target_table(target)->labels(l, t);
        for (std::size_t k = 0; k < window; ++k) {
            const int *r = &reads[6 * k];
            bool held = r[0] >= 0;
            for (int c = 0; c < 3 && held; ++c)
                held = r[c] >= *b[c] && r[3 + c] < *b[c] + *n[c];
            const std::size_t q = k / v.win.nx, x = k % v.win.nx;
            const std::size_t at = ((v.win.z + q / v.win.ny) * std::size_t(Y) + v.win.y + q % v.win.ny) * X + v.win.x + x;
            const float a = got[k], m = want[at];
            const bool equal = held ? std::memcmp(&a, &m, 4) == 0 || (std::isnan(a) && std::isnan(m))
                                    : std::memcmp(&a, &v.fill.value, 4) == 0;
            if (!equal)
                fail(side < 0 ? "a window differs from the whole call"
                              : "a window from a short box wrote a wrong value");
            if (lgot[k] != (held ? labels[k] : fill))
                fail("a label window differs from the whole volume's");
        }
    }
}

// Every voxel of `out` against the model, NaN as NaN.
void check_kernel(const float *img, const int *e, const float *sp, const float *mx, const float *out,
                  std::int64_t count)
{
    const int N = e[0], Z = e[1], Y = e[2], X = e[3];
    std::int64_t i = 0;
    for (int n = 0; n < N && count; ++n)
        for (int z = 0; z < Z; ++z)
            for (int y = 0; y < Y; ++y)
                for (int x = 0; x < X; ++x, ++i) {
                    float want = 0.0f;
                    model_voxel(img + std::int64_t(n) * Z * Y * X, Z, Y, X, sp, mx, z, y, x, want);
                    std::uint32_t a, b;
                    std::memcpy(&a, &out[i], 4);
                    std::memcpy(&b, &want, 4);
                    // NaN is NaN whatever its sign and payload.
                    if (a != b && !(std::isnan(out[i]) && std::isnan(want)))
                        fail("kernel voxel differs from the model");
                }
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
