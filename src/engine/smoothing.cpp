#include "engine/smoothing.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "kernels/axis_lines.h"
#include "kernels/table.h"
#include "engine/workers.h"

namespace {

// One volume's passes: the source, the output, the taps (null: not along
// that axis), their reach and the samples read past the box's edges.
struct smoothing {
    block b;
    float *out;
    std::int64_t X, Y, Z, K[3];
    const double *h[3];
    std::vector<std::int64_t> r[3];
    lines_fn lines;
    slices_fn slices;
};

// A job's buffers: the slots of filtered slices, the source slice each
// holds (-1: none), which of them the current window reads, the window's
// slices and slots, and the lines' buffer.
struct ring {
    std::unique_ptr<float[], free_delete> room;
    std::unique_ptr<double[], free_delete> ext;
    std::vector<std::int64_t> held, need, at;
    std::vector<char> keep;
    std::vector<const float *> win;
};

// Source slice j of volume k read as floats into q, then filtered along X
// and Y in place, as filter_volumes' X and Y passes filter it.
void plane(const smoothing &s, std::int64_t k, std::int64_t j, float *q, double *ext)
{
    const std::int64_t X = s.X, Y = s.Y, d[4] = {1, 1, Y, X}, st[4] = {0, 0, s.b.s[2], s.b.s[3]};
    read_block(s.b.data + k * s.b.s[0] + j * s.b.s[1], d, st, s.b.type, s.b.swapped, package_types, q);
    if (s.h[0])
        for (std::int64_t y = 0; y < Y; ++y)
            s.lines(q + y * X, 1, 1, X, s.h[0], s.K[0], s.r[0].data(), 0.0f, ext);
    if (s.h[1])
        for (std::int64_t x = 0; x < X; x += filter_width)
            s.lines(q + x, X, std::min(filter_width, X - x), Y, s.h[1], s.K[1], s.r[1].data(), 0.0f, ext);
}

// The slot holding source slice j, or the slot count.
std::size_t slot_of(const ring &g, std::int64_t j)
{
    return std::size_t(std::find(g.held.begin(), g.held.end(), j) - g.held.begin());
}

// Output slices [z0, z1) of volume k, each the Z sum over its window of
// filtered source slices; a slice no slot holds is filtered into a slot
// the window does not read. look() after each; false when it stops them.
template <class F>
bool slab(const smoothing &s, ring &g, std::int64_t k, std::int64_t z0, std::int64_t z1, F &&look)
{
    const std::int64_t K = s.K[2], P = s.X * s.Y;
    const std::size_t S = g.held.size();
    std::fill(g.held.begin(), g.held.end(), -1);  // the slots may hold another volume's slices
    for (std::int64_t z = z0; z < z1; ++z) {
        float *out = s.out + (k * s.Z + z) * P;
        if (!s.h[2]) {
            plane(s, k, z, out, g.ext.get());
            if (!look())
                return false;
            continue;
        }
        std::fill(g.keep.begin(), g.keep.end(), 0);
        for (std::int64_t i = 0; i <= 2 * K; ++i) {
            const std::int64_t e = z - K + i;
            g.need[i] = e < 0 ? s.r[2][e + K] : e >= s.Z ? s.r[2][K + e - s.Z] : e;
            g.at[i] = std::int64_t(slot_of(g, g.need[i]));
            if (g.at[i] < std::int64_t(S))
                g.keep[g.at[i]] = 1;
        }
        for (std::int64_t i = 0; i <= 2 * K; ++i) {
            std::size_t f = slot_of(g, g.need[i]);  // an earlier position may have filtered it
            if (f == S) {
                f = std::size_t(std::find(g.keep.begin(), g.keep.end(), 0) - g.keep.begin());
                plane(s, k, g.need[i], g.room.get() + f * P, g.ext.get());
                g.held[f] = g.need[i], g.keep[f] = 1;
            }
            g.win[i] = g.room.get() + f * P;
        }
        s.slices(g.win.data(), s.h[2], K, out, P);
        if (!look())
            return false;
    }
    return true;
}

// Rings of `slots` slices of P samples and lines' buffers of `ext` doubles,
// one per job; false when one cannot be had.
bool rings_of(std::vector<ring> &rings, std::int64_t jobs, std::int64_t slots, std::int64_t P,
              std::int64_t ext, std::int64_t K)
{
    rings.resize(std::size_t(jobs));
    for (ring &g : rings) {
        g.room.reset(static_cast<float *>(std::malloc(std::size_t(slots * P) * sizeof(float))));
        g.ext.reset(static_cast<double *>(std::malloc(std::size_t(ext) * sizeof(double))));
        if (!g.room || !g.ext)
            return false;
        g.held.assign(std::size_t(slots), -1);
        g.keep.assign(std::size_t(slots), 0);
        g.need.resize(std::size_t(2 * K + 1));
        g.at.resize(std::size_t(2 * K + 1));
        g.win.resize(std::size_t(2 * K + 1));
    }
    return true;
}

bool run(const block &b, float *out, const axis_place at[3], const taps *const h[3], mode m, int threads,
         const go_fn &go)
{
    const kernel_table &t = best_table();
    smoothing s{b, out, at[0].n, at[1].n, at[2].n, {}, {}, {}, t.lines, t.slices};
    std::int64_t ext = 0;
    for (int a = 0; a < 3; ++a) {
        s.K[a] = h[a]->empty() ? 0 : std::int64_t(h[a]->size() / 2);
        s.h[a] = h[a]->empty() ? nullptr : h[a]->data();
        s.r[a] = edges(at[a], s.K[a], m);
        if (a < 2)
            ext = std::max(ext, (at[a].n + 2 * s.K[a]) * filter_width);
    }
    // A window reads at most Z distinct slices, and the jobs' rings together
    // hold no more than the volume does; the slabs long enough that the 2K
    // slices filtered twice, once by each slab beside, stay few.
    const std::int64_t P = s.X * s.Y, slots = std::min(2 * s.K[2] + 1, s.Z);
    const std::int64_t jobs = std::max(1, std::min(threads, int(std::max<std::int64_t>(1, s.Z / slots))));
    const std::int64_t per = std::max<std::int64_t>(1, std::min(2 * jobs, s.Z / (4 * slots)));
    const std::int64_t length = (s.Z + per - 1) / per, units = b.d[0] * per;
    std::vector<ring> rings;
    if (!rings_of(rings, jobs, slots, P, ext, s.K[2]))
        return false;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> next{0};
    parallel(int(jobs), jobs, [&](std::int64_t j) {
        const bool mine = std::this_thread::get_id() == caller;
        auto look = [&] {
            if (mine && !go())
                stop.store(true, std::memory_order_relaxed);
            return !stop.load(std::memory_order_relaxed);
        };
        for (std::int64_t u; !stop.load(std::memory_order_relaxed) &&
                             (u = next.fetch_add(1, std::memory_order_relaxed)) < units;) {
            const std::int64_t z0 = u % per * length;
            slab(s, rings[std::size_t(j)], u / per, z0, std::min(s.Z, z0 + length), look);
        }
    });
    return !stop.load();
}

} // namespace

bool smooth_volumes(const block &b, float *out, const axis_place at[3], const taps *const h[3], mode m,
                    int threads, const go_fn &go)
{
    if (b.d[0] <= 0 || at[0].n <= 0 || at[1].n <= 0 || at[2].n <= 0)
        return true;
    try {
        return run(b, out, at, h, m, threads, go);
    } catch (const std::bad_alloc &) {  // the small tables before the work
        return false;
    }
}
