// The dispatch: the table of the build's targets, the CPU's choice among
// them, and what the targets share.
#include "kernels/dispatch.h"

#include "kernels/table.h"
#include "kernels/resample.h"
#include "kernels/resample_rows.h"

namespace {

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VX_CPU(feature) (__builtin_cpu_init(), __builtin_cpu_supports(feature))
#endif

// The one table of the build's targets (kernels/table.h), narrowest first.
struct target_entry {
    const char *name;
    const kernel_table *table;
};
#define VX_TARGET_ENTRY(t, cpu) {#t, &vx_##t::table},
const target_entry targets[target_count] = {VX_TARGETS(VX_TARGET_ENTRY)};
#undef VX_TARGET_ENTRY

bool cpu_has(int t)
{
#define VX_TARGET_CPU(name, cpu) \
    if (t == target_##name)     \
        return cpu;
    VX_TARGETS(VX_TARGET_CPU)
#undef VX_TARGET_CPU
    return false;
}

} // namespace

source_box whole_box(const float *src, int X, int Y, int Z)
{
    source_box b;
    b.src = src, b.row = X, b.slice = std::int64_t(Y) * X;
    b.X = X, b.Y = Y, b.Z = Z;
    b.bx = b.by = b.bz = 0;
    b.bnx = X, b.bny = Y, b.bnz = Z;
    return b;
}

out_window whole_window(float *out, int X, int Y, int Z)
{
    out_window w;
    w.out = out, w.row = X, w.slice = std::int64_t(Y) * X;
    w.x = w.y = w.z = 0;
    w.nx = X, w.ny = Y, w.nz = Z;
    w.first = 0, w.last = Z * Y;
    return w;
}

part whole_volume(const float *src, float *out, int X, int Y, int Z, const float *spacing, const float *matrix)
{
    part p;
    p.in = whole_box(src, X, Y, Z);
    p.win = whole_window(out, X, Y, Z);
    p.fill.on = false, p.fill.value = 0.0f;
    p.map.spacing = spacing, p.map.out_spacing = spacing, p.map.matrix = matrix;
    return p;
}

const kernel_table *target_table(int t) { return t >= 0 && t < target_count ? targets[t].table : nullptr; }

int rows_per_chunk(const part &p)
{
    const int ny = p.win.ny, nz = p.win.nz;
    if (ny <= 0 || nz <= 0)
        return 1;
    const int t = tile_slices(p);
    return ny * (t < nz ? t : nz);  // no more than the window's rows
}

bool target_usable(int t) { return target_table(t) && cpu_has(t); }

const char *target_name(int t) { return t >= 0 && t < target_count ? targets[t].name : "none"; }

int best_target()
{
    for (int t = target_count - 1; t > target_scalar; --t)
        if (target_usable(t))
            return t;
    return target_scalar;
}

const kernel_table &best_table()
{
    static const kernel_table &t = *target_table(best_target());
    return t;
}

void resample_trilinear(const float *image, const std::int64_t *dims, const float *spacing,
                        const float *matrix, float *out)
{
    best_table().kernel(image, dims, spacing, matrix, out);
}
