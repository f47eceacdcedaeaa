// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "engine/boxes.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "engine/axis_filter.h"
#include "edge/checks.h"
#include "kernels/cubic.h"
#include "vocab/fpmode.h"
#include "kernels/geometry.h"
#include "vocab/modes.h"
#include "vocab/rules.h"
#include "vocab/sizes.h"
#include "vocab/texts.h"

namespace {

// The elements of an array of NumPy type `type` (NPY_FLOAT or NPY_INT64)
// and their count, or NULL with an exception set.
template <class T> const T *elements(PyObject *obj, const char *name, int type, npy_intp &n)
{
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, text::boxes_type, name,
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(obj);
    if (!PyArray_EquivTypenums(PyArray_TYPE(a), type) || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
        PyErr_Format(PyExc_ValueError, text::boxes_layout, name, type == NPY_FLOAT ? "float32" : "int64");
        return nullptr;
    }
    n = PyArray_SIZE(a);
    return static_cast<const T *>(PyArray_DATA(a));
}

constexpr std::int64_t far = extent_limit;

// Chunk edges: two or more, from 0 up, each at or above the one before.
bool edges_ok(const std::int64_t *e, npy_intp n, const char *name)
{
    bool ok = n >= 2 && e[0] >= 0 && e[n - 1] < far;
    for (npy_intp k = 1; ok && k < n; ++k)
        ok = e[k] >= e[k - 1];
    if (!ok)
        PyErr_Format(PyExc_ValueError, text::boxes_edges, name);
    return ok;
}

// The output positions of each window's first and last voxel along one
// axis, as the kernel places them.
std::vector<float> corners(const std::int64_t *e, npy_intp n, float o)
{
    std::vector<float> p(2 * std::size_t(n - 1));
    for (npy_intp j = 0; j + 1 < n; ++j) {
        p[2 * j] = position(int(e[j]), o);
        p[2 * j + 1] = position(int(std::max(e[j], e[j + 1] - 1)), o);
    }
    return p;
}

// The source planes [first, last) one axis of a window reads, from the
// coordinates c at its eight corners; false for none. c and its truncation
// are monotone, so the window reads no plane beyond those its extremes
// read, clamped to the axis's classes: the low band at -1, the high band
// at E - 1.
bool reach(const float c[8], std::int64_t E, std::int64_t &first, std::int64_t &last)
{
    float lo = c[0], hi = c[0];
    for (int i = 0; i < 8; ++i) {
        if (std::isnan(c[i])) {  // infinities met (inf - inf, 0 * inf): the whole axis
            first = 0, last = E;
            return E > 0;
        }
        lo = std::min(lo, c[i]), hi = std::max(hi, c[i]);
    }
    // Clamped first: a float beyond the int64 range has no defined truncation.
    auto trunc = [](float v) { return std::int64_t(std::min(std::max(double(v), -0x1p40), 0x1p40)); };
    const std::int64_t i = std::max<std::int64_t>(trunc(lo), -1), j = std::min<std::int64_t>(trunc(hi), E - 1);
    if (E <= 0 || i > j)
        return false;
    first = first_plane(class_of(i, E), i, E);
    last = last_plane(class_of(j, E), j, E) + 1;
    return last > first;
}

// What the blocks' voxels read beyond their samples: cubic's coefficients
// (under mode m) and the prefilter that makes them, the samples the moded
// rules' extension reads (nearest's footprint for `near`, else linear's
// and label's), and antialias's Gaussian, each filter reaching its K
// samples further.
struct reach_rule {
    bool cubic = false, moded = false, near = false, smooth = false;
    mode m = constant;
};

// Where a window's corner coordinates c put one axis of extent E under mode
// m: nowhere (no plane, or every voxel maps nowhere), the whole axis (a NaN
// corner: an infinity met), [first, last) then [0, E), or the span from lo
// to hi, the least and greatest coordinates clamped to +-2^40 and, under
// "constant", to [0, E - 1].
enum class axis_span { none, whole, part };

axis_span axis_extremes(const float c[8], std::int64_t E, mode m, double &lo, double &hi, std::int64_t &first,
                        std::int64_t &last)
{
    if (E <= 0)
        return axis_span::none;
    lo = c[0], hi = c[0];
    for (int i = 0; i < 8; ++i) {
        if (std::isnan(c[i])) {
            first = 0, last = E;
            return axis_span::whole;
        }
        lo = std::min(lo, double(c[i])), hi = std::max(hi, double(c[i]));
    }
    lo = std::min(std::max(lo, -0x1p40), 0x1p40), hi = std::min(std::max(hi, -0x1p40), 0x1p40);
    if (m == constant) {  // beyond [0, E - 1] a voxel maps nowhere
        if (hi < 0.0 || lo > double(E - 1))
            return axis_span::none;
        lo = std::max(lo, 0.0), hi = std::min(hi, double(E - 1));
    }
    return axis_span::part;
}

// The linear, nearest and label rules under mode m: the planes [first,
// last) one axis of a window reads, grown by K; false for none. The
// footprint at the extreme coordinates (floor(c) to ceil(c), plane i0 + 1
// being left out where c is whole; floor(c + 0.5) for nearest) extended by
// the mode: "nearest" reads the edge sample, "grid-constant" nothing past
// the edges, "mirror" and "reflect" past one edge by less than the axis
// the planes folded back; past both, or further, and where "grid-wrap"
// reads past an edge or its Gaussian would, the whole axis.
bool moded_reach(const float c[8], std::int64_t E, mode m, bool near, std::int64_t K, std::int64_t &first,
                 std::int64_t &last)
{
    double lo, hi;
    if (const axis_span s = axis_extremes(c, E, m, lo, hi, first, last); s != axis_span::part)
        return s == axis_span::whole;
    std::int64_t i = std::int64_t(near ? std::floor(lo + 0.5) : std::floor(lo)),
                 j = std::int64_t(near ? std::floor(hi + 0.5) : std::ceil(hi));
    if (m == grid_constant) {
        if (j < 0 || i > E - 1)  // the fill alone
            return false;
        i = std::max<std::int64_t>(i, 0), j = std::min(j, E - 1);
    } else if (m == nearest_edge) {
        i = std::min(std::max<std::int64_t>(i, 0), E - 1), j = std::min(std::max<std::int64_t>(j, 0), E - 1);
    } else if ((m == mirror || m == reflect) && (i >= 0 || j <= E - 1) && i >= -(E - 1) - (m == reflect) &&
               j <= 2 * (E - 1) + (m == reflect)) {
        // Past one edge by less than the axis: the planes folded back, the
        // extension monotone on either side of the edge.
        std::int64_t a = E, b = -1;
        auto cover = [&](std::int64_t u, std::int64_t v) {
            const std::int64_t x = extend(m, u, E), y = extend(m, v, E);
            a = std::min({a, x, y}), b = std::max({b, x, y});
        };
        if (i < 0)
            cover(i, std::min<std::int64_t>(j, -1));
        if (j > E - 1)
            cover(std::max(i, E), j);
        if (i <= E - 1 && j >= 0)
            cover(std::max<std::int64_t>(i, 0), std::min(j, E - 1));
        i = a, j = b;
    } else if (i < 0 || j > E - 1 || (m == grid_wrap && (i - K < 0 || j + K > E - 1))) {
        first = 0, last = E;
        return true;
    }
    first = std::max<std::int64_t>(i - K, 0), last = std::min(j + K, E - 1) + 1;
    return true;
}

// cubic: the source planes [first, last) whose coefficients one axis of a
// window reads, grown by K, the filters' reach; false for none. Where the
// mode reads the far side of the axis or a mirrored part past a few planes,
// the whole axis: the box stays simple and sound, and only blocks near an
// edge grow.
bool cubic_reach(const float c[8], std::int64_t E, mode m, std::int64_t K, std::int64_t &first,
                 std::int64_t &last)
{
    double lo, hi;
    if (const axis_span s = axis_extremes(c, E, m, lo, hi, first, last); s != axis_span::part)
        return s == axis_span::whole;
    std::int64_t i = std::int64_t(std::floor(lo)) - 1, j = std::int64_t(std::floor(hi)) + 2;
    const bool whole = m == grid_wrap ? i < 0 || j > E - 1 || i - K < 0 || j + K > E - 1
                                      : (m == mirror || m == reflect || m == constant) && (i < -2 || j > E + 1);
    if (whole) {
        first = 0, last = E;
        return true;
    }
    if (m == nearest_edge || m == grid_constant) {
        // Grown coefficients: the prefilter's samples past an edge are the
        // edge's (or the fill), and the Gaussian smoothed the edge's from
        // those within its own reach of it.
        const std::int64_t G = K - spline_reach;
        first = std::max(std::min(std::max(i - spline_reach, std::int64_t(0)), E - 1) - G, std::int64_t(0));
        last = std::min(std::min(std::max(j + spline_reach, std::int64_t(0)), E - 1) + G, E - 1) + 1;
        return true;
    }
    if (m != grid_wrap) {
        // Mirrored within two planes of the edge they pass.
        const std::int64_t a = i, b = j;
        i = std::max<std::int64_t>(a, 0), j = std::min(b, E - 1);
        if (b > E - 1)
            i = std::min(i, E - 1 - (b - (E - 1)));
        if (a < 0)
            j = std::max(j, -a);
    }
    first = std::min(std::max(i - K, std::int64_t(0)), E - 1);
    last = std::min(std::max(j + K, std::int64_t(0)), E - 1) + 1;
    return true;
}

// The reach beyond the samples along an axis of factor d: the Gaussian's K
// (as the call's antialias takes d), plus the prefilter's for cubic.
std::int64_t margin(double d, const reach_rule &r)
{
    d = std::isfinite(d) ? std::min(d, factor_limit) : 1.0;
    return std::int64_t(gaussian_taps(d).size() / 2) + (r.cubic ? spline_reach : 0);
}

// Volume map g's margins along X, Y, Z.
void margins(const grid_map &g, const reach_rule &r, std::int64_t K[3])
{
    double d[3] = {1.0, 1.0, 1.0};
    if (r.smooth)
        smoothing_factors(g.matrix, g.spacing, g.out_spacing, d);
    for (int a = 0; a < 3; ++a)
        K[a] = margin(d[a], r);
}

// The output grid's chunks along X, Y, Z: n[a] edges e[a], and the
// positions of each chunk's first and last voxel (corners).
struct chunks {
    const std::int64_t *e[3];
    npy_intp n[3];
    std::vector<float> p[3];
};

// Whether a volume maps nowhere: an axis whose every coordinate is NaN or
// infinite.
bool nowhere(const grid_map &g)
{
    const float *sp = g.spacing, *map = g.matrix;
    bool dead = false;
    for (int a = 0; a < 3; ++a)
        dead = dead || sp[a] == 0 || std::isnan(sp[a]) || std::isnan(map[4 * a]) || std::isnan(map[4 * a + 1]) ||
               std::isnan(map[4 * a + 2]) || std::isnan(map[4 * a + 3]);
    return dead;
}

// The planes [got[a][0], got[a][1]) that a window reads along each axis a
// of extent E[a], from the output positions of its first and last voxel
// along X, Y and Z (px, py, pz: two each); false when it reads none.
bool corner_reach(const grid_map &g, const std::int64_t E[3], const float *px, const float *py, const float *pz,
                  std::int64_t got[3][2], const reach_rule &r = {}, const std::int64_t *K = nullptr)
{
    float c[8];
    for (int a = 0; a < 3; ++a) {
        for (int j = 0; j < 8; ++j)  // corner j: bit 0 x, 1 y, 2 z
            c[j] = coordinate(axis_of(g, a, py[j >> 1 & 1], pz[j >> 2]), px[j & 1]);
        if (r.cubic || r.moded) {
            if (r.cubic ? !cubic_reach(c, E[a], r.m, K[a], got[a][0], got[a][1])
                        : !moded_reach(c, E[a], r.m, r.near, K[a], got[a][0], got[a][1]))
                return false;
            continue;
        }
        if (!reach(c, E[a], got[a][0], got[a][1]))
            return false;
        if (K)  // the Gaussian's reach, clipped to the volume
            got[a][0] = std::max<std::int64_t>(got[a][0] - K[a], 0), got[a][1] = std::min(got[a][1] + K[a], E[a]);
    }
    return true;
}

// Widens each block's box at `at` (six values per block, Z, Y, X) to hold
// what the block reads in one volume of map g.
void bound_volume(const grid_map &g, const std::int64_t E[3], const chunks &k, const reach_rule &r,
                  std::int64_t *at)
{
    if (nowhere(g))
        return;
    std::int64_t K[3];
    margins(g, r, K);
    const std::int64_t *ex = k.e[0], *ey = k.e[1], *ez = k.e[2];
    std::int64_t got[3][2];
    for (npy_intp bz = 0; bz + 1 < k.n[2]; ++bz)
        for (npy_intp by = 0; by + 1 < k.n[1]; ++by)
            for (npy_intp bx = 0; bx + 1 < k.n[0]; ++bx, at += 6) {
                if (ez[bz] == ez[bz + 1] || ey[by] == ey[by + 1] || ex[bx] == ex[bx + 1])
                    continue;  // no voxels
                if (!corner_reach(g, E, &k.p[0][2 * bx], &k.p[1][2 * by], &k.p[2][2 * bz], got, r,
                                  r.cubic || r.moded || r.smooth ? K : nullptr))
                    continue;
                for (int a = 0; a < 3; ++a) {  // the box is Z, Y, X
                    std::int64_t *b = at + 2 * (2 - a);
                    const bool fresh = b[0] < 0;
                    b[0] = fresh ? got[a][0] : std::min(b[0], got[a][0]);
                    b[1] = fresh ? got[a][1] : std::max(b[1], got[a][1]);
                }
            }
}

} // namespace

bool window_box(const std::int64_t extents[3], const float *spacing, const float *output_spacing,
                const float *map, const std::int64_t window[6], std::int64_t box[6])
{
    grid_map g;
    g.spacing = spacing, g.out_spacing = output_spacing, g.matrix = map;
    if (window[0] >= window[1] || window[2] >= window[3] || window[4] >= window[5] || nowhere(g))
        return false;
    const std::int64_t E[3] = {extents[2], extents[1], extents[0]};
    float p[3][2];  // X, Y, Z, as corners() places them
    for (int a = 0; a < 3; ++a) {
        const std::int64_t *e = window + 2 * (2 - a);
        p[a][0] = position(int(e[0]), output_spacing[a]), p[a][1] = position(int(e[1] - 1), output_spacing[a]);
    }
    std::int64_t got[3][2];
    if (!corner_reach(g, E, p[0], p[1], p[2], got))
        return false;
    for (int a = 0; a < 3; ++a)  // the box is Z, Y, X
        box[2 * (2 - a)] = got[a][0], box[2 * (2 - a) + 1] = got[a][1];
    return true;
}

bool output_box(const std::int64_t extents[3], const std::int64_t out[3], const float *spacing,
                const float *output_spacing, const float *maps, std::int64_t count, int rule, bool moded, int m,
                bool smooth, std::int64_t box[6])
{
    reach_rule r;
    r.cubic = rule == cubic, r.moded = !r.cubic && moded, r.near = rule == nearest, r.m = mode(m);
    r.smooth = smooth;
    const std::int64_t e[3][2] = {{0, out[2]}, {0, out[1]}, {0, out[0]}};  // X, Y, Z
    const std::int64_t E[3] = {extents[2], extents[1], extents[0]};
    chunks k;
    try {
        for (int a = 0; a < 3; ++a)
            k.e[a] = e[a], k.n[a] = 2, k.p[a] = corners(e[a], 2, output_spacing[a]);
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::fill(box, box + 6, std::int64_t(-1));
    for (std::int64_t v = 0; v < count; ++v) {
        grid_map g;
        g.spacing = spacing, g.out_spacing = output_spacing, g.matrix = maps + 12 * v;
        bound_volume(g, E, k, r, box);
    }
    return box[0] >= 0;
}

bool points_reach(int rule, bool moded, int m, float lo, float hi, std::int64_t E, std::int64_t &first,
                  std::int64_t &last)
{
    reach_rule r;
    r.cubic = rule == cubic, r.moded = !r.cubic && moded, r.near = rule == nearest, r.m = mode(m);
    const float c[8] = {lo, hi, lo, hi, lo, hi, lo, hi};
    const std::int64_t K = margin(1.0, r);
    return r.cubic ? cubic_reach(c, E, r.m, K, first, last) : moded_reach(c, E, r.m, r.near, K, first, last);
}

// The index of name among names[0, n), or n.
int name_of(PyObject *name, const char *const *names, int n)
{
    int k = 0;
    while (k < n && !(PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[k]) == 0))
        ++k;
    return k;
}

// reach: None, or (rule, mode, antialias): the interpolation's name; a
// mode name, or None ("constant" for "cubic", no extension for the
// others); True or False.
bool read_reach(PyObject *obj, reach_rule &r)
{
    if (obj == Py_None)
        return true;
    const bool ok = PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 3 && PyBool_Check(PyTuple_GET_ITEM(obj, 2));
    const int k = ok ? name_of(PyTuple_GET_ITEM(obj, 0), rule_names, rule_count) : rule_count;
    PyObject *name = ok ? PyTuple_GET_ITEM(obj, 1) : nullptr;
    const int m = ok && name != Py_None ? name_of(name, mode_names, mode_count) : 0;
    if (!ok || k == rule_count || m == mode_count) {
        PyErr_SetString(PyExc_ValueError, text::boxes_reach);
        return false;
    }
    r.cubic = k == cubic, r.moded = k != cubic && name != Py_None, r.near = k == nearest;
    r.m = mode(m), r.smooth = PyTuple_GET_ITEM(obj, 2) == Py_True;
    return true;
}

PyObject *source_boxes(PyObject *extents, PyObject *spacing, PyObject *output_spacing, PyObject *maps,
                       PyObject *edges_n, PyObject *edges_z, PyObject *edges_y, PyObject *edges_x, PyObject *reach)
{
    if (!numpy_ready())
        return nullptr;
    reach_rule rule;
    if (!read_reach(reach, rule))
        return nullptr;
    npy_intp ne, ns, no, nm, nn, nz, ny, nx;
    const auto *ext = elements<std::int64_t>(extents, "extents", NPY_INT64, ne);
    if (!ext)
        return nullptr;
    const auto *sp = elements<float>(spacing, "spacing", NPY_FLOAT, ns);
    if (!sp)
        return nullptr;
    const auto *osp = elements<float>(output_spacing, "output_spacing", NPY_FLOAT, no);
    if (!osp)
        return nullptr;
    const auto *m = elements<float>(maps, "maps", NPY_FLOAT, nm);
    if (!m)
        return nullptr;
    const auto *en = elements<std::int64_t>(edges_n, "edges_n", NPY_INT64, nn);
    const auto *ez = en ? elements<std::int64_t>(edges_z, "edges_z", NPY_INT64, nz) : nullptr;
    const auto *ey = ez ? elements<std::int64_t>(edges_y, "edges_y", NPY_INT64, ny) : nullptr;
    const auto *ex = ey ? elements<std::int64_t>(edges_x, "edges_x", NPY_INT64, nx) : nullptr;
    if (!ex || !edges_ok(en, nn, "edges_n") || !edges_ok(ez, nz, "edges_z") || !edges_ok(ey, ny, "edges_y") ||
        !edges_ok(ex, nx, "edges_x"))
        return nullptr;
    const npy_intp count = nm / 12;  // maps
    if (ne != 3 || ns != 3 || no != 3 || nm % 12 || std::min({ext[0], ext[1], ext[2]}) < 0 ||
        std::max({ext[0], ext[1], ext[2]}) >= far || (count != 1 && en[nn - 1] > count)) {
        PyErr_SetString(PyExc_ValueError, text::boxes_sizes);
        return nullptr;
    }
    // Every extent is below 2^31: the blocks' count times 6 fits 64 bits
    // only while it stays below NumPy's limit, checked as it grows.
    npy_intp dims[5] = {nn - 1, nz - 1, ny - 1, nx - 1, 6};
    std::int64_t total = 1;
    for (npy_intp d : dims) {
        if (total > (std::int64_t(1) << 62) / std::max<npy_intp>(d, 1)) {
            PyErr_SetString(PyExc_MemoryError, text::boxes_nomem);
            return nullptr;
        }
        total *= d;
    }
    PyObject *result = PyArray_SimpleNew(5, dims, NPY_INT64);
    if (!result)
        return nullptr;
    auto *box = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)));
    std::fill(box, box + total, std::int64_t(-1));

    // The kernel's arithmetic in its defined mode, whatever the caller's.
    const fp_scope mode;
    chunks k;
    k.e[0] = ex, k.e[1] = ey, k.e[2] = ez, k.n[0] = nx, k.n[1] = ny, k.n[2] = nz;
    k.p[0] = corners(ex, nx, osp[0]), k.p[1] = corners(ey, ny, osp[1]), k.p[2] = corners(ez, nz, osp[2]);
    const std::int64_t E[3] = {ext[2], ext[1], ext[0]};  // X, Y, Z
    for (npy_intp bn = 0; bn + 1 < nn; ++bn)
        for (std::int64_t v = en[bn]; v < en[bn + 1]; ++v) {
            grid_map g;
            g.spacing = sp, g.out_spacing = osp, g.matrix = m + (count == 1 ? 0 : 12 * v);
            bound_volume(g, E, k, rule, box + bn * (nz - 1) * (ny - 1) * (nx - 1) * 6);
        }
    return result;
}
