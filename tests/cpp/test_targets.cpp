// Every kernel target this build has, on this CPU, against the plain reference
// loop: same bits (NaN as NaN) and the same voxels left unwritten.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "targets_test.h"
#include "reference.h"
#include "kernels/resample.h"
#include "kernels/table.h"
#include "kernels/dispatch.h"
#include "kernels/resample_rows.h"  // classify(), to find the samples a window reads

namespace {

// The image ends against an inaccessible page and starts right after one,
// so a read past either end of the buffer faults instead of passing.
struct guarded {
    char *base = nullptr;
    std::size_t bytes = 0;
    float *data = nullptr;

    explicit guarded(std::size_t count)
    {
        const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
        const std::size_t body = (count * 4 + page - 1) / page * page;
        bytes = body + 2 * page;
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        base = static_cast<char *>(p);
        mprotect(base, page, PROT_NONE);
        mprotect(base + page + body, page, PROT_NONE);
        data = reinterpret_cast<float *>(base + page + body - count * 4);
    }
    ~guarded() { munmap(base, bytes); }
    guarded(const guarded &) = delete;
    guarded &operator=(const guarded &) = delete;
};

// A value no voxel can take by interpolation of the samples below: where the
// reference leaves it, every target must leave it.
constexpr float unwritten = -7.0e30f;

struct problem {
    std::int64_t dims[4];
    float spacing[3];
    float matrix[12];
    std::vector<float> image;
};

// Runs both kernels on one problem; returns how many voxels the reference
// wrote, so callers can tell that a case exercised something.
int check(kernel_fn k, const problem &p, const std::string &what)
{
    const std::size_t count = std::size_t(p.dims[0] * p.dims[1] * p.dims[2] * p.dims[3]);
    guarded img(count);
    if (count)
        std::memcpy(img.data, p.image.data(), count * 4);
    std::vector<float> want(count, unwritten), got(count, unwritten);
    resample_reference(img.data, p.dims, p.spacing, p.matrix, want.data());
    k(img.data, p.dims, p.spacing, p.matrix, got.data());
    int written = 0, bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
        written += want[i] != unwritten;
        if (!same(want[i], got[i]) && bad++ < 5)
            ADD_FAILURE() << what << ": voxel " << i << " want " << want[i] << " got " << got[i];
    }
    return written;
}

// Random volumes of extents 1 to 40 (so rows of every length modulo the
// vector widths), random spacings, and maps that send a good share of the
// voxels onto the face bands and outside.
problem random_problem(std::mt19937 &rng, bool specials)
{
    std::uniform_int_distribution<int> ext(1, 40), count(1, 3);
    std::uniform_real_distribution<float> u(-1, 1), pos(0.25f, 2.5f), val(-100, 100);
    problem p;
    p.dims[0] = count(rng);
    for (int k = 1; k < 4; ++k)
        p.dims[k] = ext(rng) < 6 ? ext(rng) % 3 + 1 : ext(rng);
    // Powers of two take a multiplication instead of the division.
    const float pow2[] = {0.25f, 0.5f, 1.0f, 2.0f, -1.0f};
    for (float &s : p.spacing)
        s = ext(rng) % 3 == 0 ? pow2[ext(rng) % 5] : pos(rng);
    // Rotation-like part with some scale and shear, then a translation that
    // may push the volume partly off the grid.
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            p.matrix[r * 4 + c] = (r == c ? 1.0f : 0.0f) + 0.4f * u(rng);
    const float len[3] = {float(p.dims[3]) * p.spacing[0], float(p.dims[2]) * p.spacing[1],
                          float(p.dims[1]) * p.spacing[2]};
    for (int r = 0; r < 3; ++r)
        p.matrix[r * 4 + 3] = 0.3f * len[r] * u(rng);
    const std::size_t n = std::size_t(p.dims[0] * p.dims[1] * p.dims[2] * p.dims[3]);
    p.image.resize(n);
    for (float &v : p.image)
        v = val(rng);
    if (specials && n) {
        const float odd[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                             -0.0f, 3.4e38f, 1e-45f};
        std::uniform_int_distribution<std::size_t> at(0, n - 1);
        for (int i = 0; i < 6; ++i)
            p.image[at(rng)] = odd[i % 7];
        p.image[at(rng)] = odd[6];
    }
    return p;
}

// Identity with sub-voxel or whole-voxel shifts on a unit grid: coordinates
// land exactly on the band edges (-2, -1, E - 1, E).
problem shifted(int n, int z, int y, int x, float tx, float ty, float tz, float s = 1)
{
    problem p{{n, z, y, x}, {s, s, s}, {1, 0, 0, tx * s, 0, 1, 0, ty * s, 0, 0, 1, tz * s}, {}};
    p.image.resize(std::size_t(n) * z * y * x);
    for (std::size_t i = 0; i < p.image.size(); ++i)
        p.image[i] = float(i % 97) - 40.0f;
    return p;
}

class targets : public target_test {
protected:
    kernel_fn k = nullptr;
    void SetUp() override
    {
        target_test::SetUp();
        k = target_table(GetParam())->kernel;
    }
};

TEST_P(targets, random_volumes)
{
    std::mt19937 rng(20261207u + GetParam());
    long written = 0;
    for (int i = 0; i < 400; ++i)
        written += check(k, random_problem(rng, i % 2 == 1), "random case " + std::to_string(i));
    EXPECT_GT(written, 10000);
}

TEST_P(targets, band_edges)
{
    const float shifts[] = {-2.0f, -1.999f, -1.5f, -1.0f, -0.5f, 0.0f, 0.25f, 0.5f, 1.0f, 1.5f};
    const int sizes[][3] = {{5, 6, 17}, {1, 9, 23}, {3, 1, 8}, {2, 2, 2}, {4, 7, 1}, {6, 5, 31}};
    for (const auto &e : sizes)
        for (float t : shifts)
            for (int axis = 0; axis < 3; ++axis) {
                float d[3] = {0.25f, 0.0f, 0.0f};  // one sub-voxel shift keeps X busy
                d[axis] = t;
                problem p = shifted(2, e[0], e[1], e[2], d[0], d[1], d[2]);
                const std::string what = "shift " + std::to_string(t) + " axis " + std::to_string(axis);
                check(k, p, what);
                // On a high face (c = E - 1) the plane before the border has
                // weight 0 and must not be read: an infinity there shows it.
                if (e[0] > 1 && e[1] > 1 && e[2] > 1) {
                    p.image[((e[0] - 2) * e[1] + e[1] - 2) * e[2] + e[2] - 2] = INFINITY;
                    check(k, p, what + ", infinity before the high faces");
                }
            }
    // 0.3 is not exact in binary: coordinates drift off the grid.
    check(k, shifted(1, 4, 5, 40, 0, 0, 0, 0.3f), "spacing 0.3");
}

// Rows longer than the scalar target's 256-column passes: the interior run of a
// row starts, ends or spans the pass boundaries, or misses whole passes.
TEST_P(targets, long_rows)
{
    const int widths[] = {257, 300, 700};
    // m0, m1 (shear along Y), m4 (rotation into Y), translation X, Y.
    const float maps[][5] = {{1, 0, 0, 0.3f, 0.2f},        {1, 0, 0.008f, -40.5f, -1.5f},
                             {1, 0.5f, -0.011f, 3.7f, 4.1f}, {-1, 0, 0, 650.25f, 1.0f},
                             {0.4f, 0, 0, -1.5f, 0.5f},     {2.5f, 0, 0.003f, -300.0f, 0}};
    long written = 0;
    for (int x : widths)
        for (const auto &m : maps) {
            problem p = shifted(1, 3, 6, x, 0, 0, 0.25f);
            p.matrix[0] = m[0], p.matrix[1] = m[1], p.matrix[4] = m[2];
            p.matrix[3] = m[3], p.matrix[7] = m[4];
            p.image[p.image.size() / 2] = std::numeric_limits<float>::quiet_NaN();
            written += check(k, p, "width " + std::to_string(x) + " m0 " + std::to_string(m[0]));
        }
    EXPECT_GT(written, 20000);
    // Over 2^24 elements, where indices no longer fit a float's mantissa.
    EXPECT_GT(check(k, shifted(1, 40, 2, 230000, 0.25f, -0.5f, 0.5f), "over 2^24 elements"), 1 << 24);
}

TEST_P(targets, no_sample_inputs)
{
    std::mt19937 rng(7);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (int i = 0; i < 8; ++i) {
        problem p = random_problem(rng, true);
        if (i < 3)
            p.spacing[i] = 0;
        else if (i < 6)
            p.matrix[(i - 3) * 5] = i == 4 ? inf : nan;
        else
            p.matrix[3 + 4 * (i - 6)] = 3e9f;  // beyond the int32 range
        EXPECT_EQ(check(k, p, "no-sample case " + std::to_string(i)), 0);
    }
}

// Rows first to last of one volume held at the given strides, onto its own
// grid, written densely into out; with `clear`, the voxels that map nowhere
// are set to 0.
part strided(const float *src, std::int64_t slice, std::int64_t row, float *out, int X, int Y, int Z, int first,
             int last, bool clear, const problem &p)
{
    part q = whole_volume(src, out, X, Y, Z, p.spacing, p.matrix);
    q.in.slice = slice, q.in.row = row, q.win.first = first, q.win.last = last, q.fill.on = clear;
    return q;
}

// The parts a threaded caller hands out: a source with padded rows and
// slices, rows split into uneven ranges, and an output full of junk that
// `clear` must zero wherever the reference writes nothing.
TEST_P(targets, parts_of_strided_volumes)
{
    const part_fn f = target_table(GetParam())->part;
    std::mt19937 rng(97u + GetParam());
    std::uniform_int_distribution<int> pad(0, 5), cut(1, 9);
    long written = 0;
    for (int i = 0; i < 200; ++i) {
        const problem p = random_problem(rng, i % 3 == 0);
        const int N = int(p.dims[0]), Z = int(p.dims[1]), Y = int(p.dims[2]), X = int(p.dims[3]);
        const std::int64_t row = X + pad(rng), slice = row * Y + pad(rng) * 3;
        const std::size_t volume = std::size_t(Z) * Y * X;
        std::vector<float> want(volume * N, unwritten);
        resample_reference(p.image.data(), p.dims, p.spacing, p.matrix, want.data());
        for (int v = 0; v < N; ++v) {
            guarded src(std::size_t((Z - 1) * slice + (Y - 1) * row + X));
            for (int z = 0; z < Z; ++z)
                for (int y = 0; y < Y; ++y)
                    std::memcpy(src.data + z * slice + y * row, &p.image[v * volume + (z * Y + y) * X], X * 4);
            std::vector<float> got(volume, unwritten);
            for (int first = 0, last; first < Z * Y; first = last) {
                last = std::min(Z * Y, first + cut(rng));
                f(strided(src.data, slice, row, got.data(), X, Y, Z, first, last, i % 2 == 0, p));
            }
            for (std::size_t k = 0; k < volume; ++k) {
                float w = want[v * volume + k];
                written += w != unwritten;
                if (w == unwritten && i % 2 == 0)
                    w = 0.0f;
                ASSERT_TRUE(same(w, got[k])) << "case " << i << " volume " << v << " voxel " << k;
            }
        }
    }
    EXPECT_GT(written, 10000);
}

// A turn about Y by `deg` with zoom `zx` along X about the centre of a
// volume, shifted by (tx, ty, tz) voxels: rows cross source slices, so the
// kernel walks whole slices in tiles, and the shifts move the face bands
// onto and across tile edges.
problem turned(int n, int z, int y, int x, float deg, float zx, float tx, float ty, float tz)
{
    problem p = shifted(n, z, y, x, 0, 0, 0);
    const float a = deg * 3.14159265f / 180, c = std::cos(a), s = std::sin(a);
    const float cx = (x - 1) / 2.0f, cz = (z - 1) / 2.0f;
    const float m[12] = {c * zx, 0, s, cx - c * zx * cx - s * cz + tx, 0, 1, 0.05f, ty,
                         -s * zx, 0, c, cz + s * zx * cx - c * cz + tz};
    std::memcpy(p.matrix, m, sizeof m);
    for (std::size_t i = 0; i < p.image.size(); i += 89)
        p.image[i] = i % 2 ? std::numeric_limits<float>::quiet_NaN() : INFINITY;
    return p;
}

// Slice counts around the tile of 32 output slices, rows of every length
// modulo 16 lanes, batches, and maps whose rows cross source rows and slices
// at every pace up to more than a sample per voxel, either way along X.
TEST_P(targets, tiles_and_runs)
{
    const int slices[] = {1, 2, 7, 9, 17, 31, 32, 33, 65};
    const float turns[][2] = {{15, 1}, {-40, 0.9f}, {3, 1.1f}, {170, 1}, {60, 2.5f}, {90, 1}};
    long written = 0;
    for (int z : slices)
        for (const auto &t : turns)
            for (float shift : {0.0f, 2.5f, -7.25f}) {
                const int x = 16 + (z * 5 + int(t[0]) + 360) % 37;
                const problem p = turned(z % 3 + 1, z, 6, x, t[0], t[1], shift, 0.5f * shift, shift);
                written += check(k, p, "z " + std::to_string(z) + " turn " + std::to_string(t[0]) + " shift " +
                                           std::to_string(shift));
            }
    EXPECT_GT(written, 50000);
}

// Ranges cut at the caller's chunk size (rows_per_chunk) and anywhere else,
// across and within tiles, over a padded source, with and without `clear`;
// the last shift puts the source's low face band on the tile edge at
// output slice 32.
TEST_P(targets, parts_cutting_tiles)
{
    const part_fn f = target_table(GetParam())->part;
    std::mt19937 rng(5u + GetParam());
    long written = 0;
    for (int z : {9, 20, 33, 70})
        for (float deg : {15.0f, -25.0f, 0.0f})
            for (float tz : {deg ? 0.4f : 3.5f, 0.5f - z / 2.0f}) {
            const problem p = turned(1, z, 7, 45, deg, 1, 0.3f, 0.2f, tz);
            const int Z = z, Y = 7, X = 45, rows = Z * Y;
            const std::int64_t row = X + 3, slice = row * Y + 5;
            guarded src(std::size_t((Z - 1) * slice + (Y - 1) * row + X));
            for (int k = 0; k < Z; ++k)
                for (int j = 0; j < Y; ++j)
                    std::memcpy(src.data + k * slice + j * row, &p.image[(k * Y + j) * X], X * 4);
            std::vector<float> want(std::size_t(rows) * X, unwritten);
            resample_reference(p.image.data(), p.dims, p.spacing, p.matrix, want.data());
            const int chunk = rows_per_chunk(strided(src.data, slice, row, nullptr, X, Y, Z, 0, rows, false, p));
            ASSERT_TRUE(chunk % Y == 0 && chunk > 0 && chunk <= rows) << chunk;
            std::uniform_int_distribution<int> any(1, 3 * chunk);
            for (int cut = 0; cut < 3; ++cut) {
                const bool clear = cut != 1;
                std::vector<float> got(want.size(), unwritten);
                for (int first = 0, last; first < rows; first = last) {
                    last = std::min(rows, cut == 0 ? first + chunk : first + any(rng));
                    f(strided(src.data, slice, row, got.data(), X, Y, Z, first, last, clear, p));
                }
                for (std::size_t i = 0; i < want.size(); ++i) {
                    const float w = want[i] == unwritten && clear ? 0.0f : want[i];
                    written += want[i] != unwritten;
                    ASSERT_TRUE(same(w, got[i])) << "z " << z << " turn " << deg << " shift " << tz << " cut " << cut
                                                 << " voxel " << i;
                }
            }
            }
    EXPECT_GT(written, 10000);
}

// The voxels a row may write form one run around its interior ones, or lie
// on a face band; the kernels walk out from the first and skip rows whose
// ends lie beyond an axis. Positions that overflow part way along a row (a
// spacing near the float range) turn its coordinates NaN or infinite
// there, past the end of that run.
TEST_P(targets, positions_overflowing_along_rows)
{
    long written = 0;
    for (float s : {3e37f, 1e38f, -2e38f, 3.4e38f, INFINITY})
        for (float m4 : {0.0f, 1e-3f})
            for (float cx : {1.5f, -1.5f}) {  // interior, low face band
                problem p = shifted(2, 3, 4, 300, 0.5f, 0.25f, 0.5f);
                p.spacing[0] = s;
                p.matrix[0] = 0, p.matrix[3] = cx * s, p.matrix[4] = m4;
                written += check(k, p, "spacing " + std::to_string(s) + " m4 " + std::to_string(m4));
            }
    EXPECT_GT(written, 40);
}

// The source box a window of the output grid reads: every sample of every
// voxel that writes, by the classes the kernel decides (resample_rows.h).
struct box {
    int lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {-1, -1, -1};  // X, Y, Z, inclusive
};

// The samples voxel (x, y, z) of the part's grid reads, or false when it
// maps nowhere.
bool voxel_reads(const part &w, int x, int y, int z, box &b)
{
    const float *m = w.map.matrix, *s = w.map.spacing, *o = w.map.out_spacing;
    const int E[3] = {w.in.X, w.in.Y, w.in.Z};
    const float p[3] = {float(x) * o[0], float(y) * o[1], float(z) * o[2]};
    int k[3], i0[3] = {0, 0, 0}, faces = 0, out = 0;
    for (int a = 0; a < 3; ++a) {
        const float *r = m + 4 * a;
        const float c = (((r[0] * p[0] + r[1] * p[1]) + r[2] * p[2]) + r[3]) / s[a];
        k[a] = classify(c, E[a], i0[a]);
        faces += k[a] != inside, out += k[a] == outside;
    }
    if (out || faces > 1)
        return false;
    for (int a = 0; a < 3; ++a) {
        b.lo[a] = k[a] == inside ? i0[a] : k[a] == low ? 0 : E[a] - 1;
        b.hi[a] = k[a] == inside ? i0[a] + 1 : b.lo[a];
    }
    return true;
}

box reads(const part &w)
{
    box b, v;
    for (int z = w.win.z; z < w.win.z + w.win.nz; ++z)
        for (int y = w.win.y; y < w.win.y + w.win.ny; ++y)
            for (int x = w.win.x; x < w.win.x + w.win.nx; ++x)
                if (voxel_reads(w, x, y, z, v))
                    for (int a = 0; a < 3; ++a)
                        b.lo[a] = std::min(b.lo[a], v.lo[a]), b.hi[a] = std::max(b.hi[a], v.hi[a]);
    return b;
}

// Another output grid (extents, spacing), then windows of it read from just
// the box of samples they need, copied apart with padded strides between
// inaccessible pages: each window has the whole call's bits, and every target
// the scalar one's.
TEST_P(targets, windows_of_other_grids_from_boxes)
{
    const part_fn f = target_table(GetParam())->part;
    std::mt19937 rng(41u + GetParam());
    std::uniform_int_distribution<int> ext(0, 37), pick(0, 1 << 20);
    std::uniform_real_distribution<float> zoom(0.3f, 2.5f);
    long written = 0, boxed = 0, shorted = 0;
    for (int i = 0; i < 200; ++i) {
        const problem p = random_problem(rng, i % 3 == 0);
        const int X = int(p.dims[3]), Y = int(p.dims[2]), Z = int(p.dims[1]);
        const int OX = ext(rng) + 1, OY = ext(rng) % 9 + 1, OZ = ext(rng) % 7 + 1;
        const float os[3] = {p.spacing[0] * zoom(rng), p.spacing[1] * zoom(rng), p.spacing[2] * zoom(rng)};
        const std::size_t count = std::size_t(OZ) * OY * OX;
        std::vector<float> whole(count, unwritten), mine(count, unwritten);
        part w = whole_volume(p.image.data(), whole.data(), X, Y, Z, p.spacing, p.matrix);
        w.map.out_spacing = os, w.win.slice = std::int64_t(OY) * OX, w.win.row = OX;
        w.win.nx = OX, w.win.ny = OY, w.win.nz = OZ, w.win.last = OZ * OY;
        target_table(target_scalar)->part(w);
        w.win.out = mine.data();
        f(w);
        for (std::size_t k = 0; k < count; ++k) {
            written += whole[k] != unwritten;
            ASSERT_TRUE(same(whole[k], mine[k])) << "case " << i << " voxel " << k;
        }
        // Windows: any corner and extent, some rows of each.
        for (int j = 0; j < 4; ++j) {
            part v = w;
            v.win.x = pick(rng) % OX, v.win.y = pick(rng) % OY, v.win.z = pick(rng) % OZ;
            v.win.nx = 1 + pick(rng) % (OX - v.win.x), v.win.ny = 1 + pick(rng) % (OY - v.win.y), v.win.nz = 1 + pick(rng) % (OZ - v.win.z);
            v.win.first = pick(rng) % (v.win.ny * v.win.nz), v.win.last = v.win.first + 1 + pick(rng) % (v.win.ny * v.win.nz - v.win.first);
            v.fill.on = j % 2 == 0, v.fill.value = -9.5f;
            const box b = reads(v);
            if (b.hi[0] < 0)
                continue;
            v.in.bx = b.lo[0], v.in.by = b.lo[1], v.in.bz = b.lo[2];
            v.in.bnx = b.hi[0] - b.lo[0] + 1, v.in.bny = b.hi[1] - b.lo[1] + 1, v.in.bnz = b.hi[2] - b.lo[2] + 1;
            v.in.row = v.in.bnx + pick(rng) % 3, v.in.slice = v.in.row * v.in.bny + pick(rng) % 5;
            guarded src(std::size_t((v.in.bnz - 1) * v.in.slice + (v.in.bny - 1) * v.in.row + v.in.bnx));
            for (int z = 0; z < v.in.bnz; ++z)
                for (int y = 0; y < v.in.bny; ++y)
                    std::memcpy(src.data + z * v.in.slice + y * v.in.row,
                                &p.image[(std::size_t(v.in.bz + z) * Y + v.in.by + y) * X + v.in.bx], v.in.bnx * 4);
            v.in.src = src.data;
            std::vector<float> got(std::size_t(v.win.nz) * v.win.ny * v.win.nx, unwritten);
            v.win.out = got.data(), v.win.slice = std::int64_t(v.win.ny) * v.win.nx, v.win.row = v.win.nx;
            f(v);
            for (int q = 0; q < v.win.nz * v.win.ny; ++q)
                for (int x = 0; x < v.win.nx; ++x) {
                    const int zz = v.win.z + q / v.win.ny, yy = v.win.y + q % v.win.ny;
                    float want = whole[(std::size_t(zz) * OY + yy) * OX + v.win.x + x];
                    const bool mine_row = q >= v.win.first && q < v.win.last;
                    if (!mine_row)
                        want = unwritten;
                    else if (want == unwritten && v.fill.on)
                        want = v.fill.value;
                    ASSERT_TRUE(same(want, got[std::size_t(q) * v.win.nx + x]))
                        << "case " << i << " window " << j << " row " << q << " x " << x;
                }
            ++boxed;
            // A box one plane short at either end of any axis, read in
            // place: voxels that would read the missing plane are left as
            // mapping nowhere, the others keep their bits.
            for (int side = 0; side < 6; ++side) {
                part shy = v;
                int *const lo[3] = {&shy.in.bx, &shy.in.by, &shy.in.bz}, *const n[3] = {&shy.in.bnx, &shy.in.bny, &shy.in.bnz};
                const int a = side / 2;
                if (*n[a] < 2)
                    continue;
                const std::int64_t step = a == 0 ? 1 : a == 1 ? v.in.row : v.in.slice;
                if (side % 2)
                    *lo[a] += 1, shy.in.src += step;
                *n[a] -= 1;
                std::vector<float> cut(got.size(), unwritten);
                shy.win.out = cut.data();
                f(shy);
                for (int q = 0; q < v.win.nz * v.win.ny; ++q)
                    for (int x = 0; x < v.win.nx; ++x) {
                        const std::size_t k = std::size_t(q) * v.win.nx + x;
                        box r;
                        const bool lost = q >= v.win.first && q < v.win.last &&
                                          voxel_reads(v, v.win.x + x, v.win.y + q % v.win.ny, v.win.z + q / v.win.ny, r) &&
                                          (r.lo[a] < *lo[a] || r.hi[a] >= *lo[a] + *n[a]);
                        ASSERT_TRUE(same(lost ? v.fill.on ? v.fill.value : unwritten : got[k], cut[k]))
                            << "case " << i << " window " << j << " side " << side << " voxel " << k;
                        shorted += lost;
                    }
            }
        }
    }
    EXPECT_GT(written, 10000);
    EXPECT_GT(boxed, 200);
    EXPECT_GT(shorted, 1000);
}

INSTANTIATE_TEST_SUITE_P(kernel, targets, every_target(), target_label);

TEST(dispatch, runs_the_best_usable_path)
{
    const int best = best_target();
    for (int p = best + 1; p < target_count; ++p)
        EXPECT_FALSE(target_usable(p)) << target_name(p) << " is usable but " << target_name(best) << " was chosen";
    EXPECT_TRUE(target_usable(best));
    std::mt19937 rng(3);
    check(resample_trilinear, random_problem(rng, true), "resample_trilinear");
    std::cout << "[ target   ] resample_trilinear runs " << target_name(best) << "\n";
}

// Where a spacing's reciprocal is taken for the division, the quotient of
// every float must come out the same: random bit patterns (NaN, infinities,
// subnormals) over every power-of-two spacing, and no reciprocal otherwise.
TEST(exact_inverse, multiplies_like_the_division)
{
    std::mt19937 rng(11);
    for (int k = -149; k <= 127; ++k)
        for (float sign : {1.0f, -1.0f}) {
            const float s = sign * std::ldexp(1.0f, k), inv = exact_inverse(s);
            if (k < -126) {  // subnormal spacings: 1 / s overflows or rounds
                EXPECT_EQ(inv, 0.0f) << s;
                continue;
            }
            ASSERT_NE(inv, 0.0f) << s;
            for (int i = 0; i < 2000; ++i) {
                const std::uint32_t bits = rng();
                float u;
                std::memcpy(&u, &bits, 4);
                EXPECT_TRUE(same(u * inv, u / s)) << u << " / " << s;
            }
        }
    for (float s : {0.0f, -0.0f, 0.3f, 3.0f, 1.5f, INFINITY, NAN, 1e-45f})
        EXPECT_EQ(exact_inverse(s), 0.0f) << s;
}

// The interior test by float comparison must agree with truncation where
// e - 1 is no longer a float (extents beyond 2^24), volumes too large to test.
TEST(interior_top, splits_floats_at_the_last_interior_index)
{
    const int extents[] = {2, 3, 17, (1 << 24) - 1, 1 << 24, (1 << 24) + 1, (1 << 24) + 2, (1 << 24) + 3,
                           (1 << 25) + 1, (1 << 30) + 7, 2147483647};
    for (int e : extents) {
        const float top = interior_top(e), next = std::nextafter(top, INFINITY);
        EXPECT_LE(std::int64_t(top), std::int64_t(e) - 2) << e;
        EXPECT_GE(std::int64_t(next), std::int64_t(e) - 1) << e;
    }
    EXPECT_EQ(interior_top(1), -INFINITY);
}

} // namespace
