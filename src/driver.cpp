// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "driver.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "axis_filter.h"
#include "checks.h"
#include "convert.h"
#include "cubic.h"
#include "fill.h"
#include "fpmode.h"
#include "label.h"
#include "pyref.h"
#include "request.h"
#include "resample_paths.h"
#include "rules.h"
#include "source.h"
#include "texts.h"
#include "workers.h"

namespace {

std::string shape_text(const npy_intp *d, int nd)
{
    std::string s = "(";
    for (int k = 0; k < nd; ++k)
        s += (k ? ", " : "") + std::to_string(d[k]);
    return s + (nd == 1 ? ",)" : ")");
}

std::string shape_text(PyArrayObject *a) { return shape_text(PyArray_DIMS(a), PyArray_NDIM(a)); }

// Whether a rule writes float32 (else the image's own elements).
bool floats_out(int rule) { return rule == linear || rule == cubic; }

// ---- The checks ------------------------------------------------------------

// The image as the package reads it: the module's limits (with `lifted`,
// its extents' alone: a Dask graph's blocks read boxes of it), any bool,
// integer or float type up to double.
bool check_source(PyArrayObject *image, const image_shape &im, bool lifted)
{
    const block b = block_of(image, im.nd);
    const bool big = lifted ? std::max({b.d[0], b.d[1], b.d[2], b.d[3]}) >= extent_limit
                            : block_count(b.d, im.nd == 4 ? image4d_limit : image3d_limit) < 0;
    if (big) {
        PyErr_SetString(PyExc_MemoryError, reader_nomem(im.nd));
        return false;
    }
    if (im.count != 0 && !accepted(b.type, package_types)) {
        PyErr_Format(PyExc_ValueError, text::image_type,
                     reinterpret_cast<PyObject *>(PyArray_DESCR(image)));
        return false;
    }
    return true;
}

// The output grid N, Z, Y, X: the image's own, or output_shape's; with
// `lifted`, of any number of voxels.
bool output_grid(const request &rq, const image_shape &im, npy_intp od[4], bool lifted)
{
    std::memcpy(od, im.dims, sizeof im.dims);
    if (!rq.shape_n)
        return true;
    const std::string given = shape_text(rq.shape, rq.shape_n);
    if (rq.shape_n == 4 && (im.nd != 4 || rq.shape[0] != im.dims[0])) {
        PyErr_Format(PyExc_ValueError,
                     im.nd == 4 ? text::shape_volumes : text::shape_3d,
                     given.c_str(), im.dims[0]);
        return false;
    }
    std::memcpy(od + 1, rq.shape + rq.shape_n - 3, 3 * sizeof(npy_intp));
    for (int k = 1; k < 4; ++k)
        if (od[k] < 0 || od[k] >= extent_limit) {
            PyErr_Format(PyExc_ValueError, text::shape_range, given.c_str());
            return false;
        }
    if (!lifted && block_count(od, max_elements + 1) < 0) {
        PyErr_Format(PyExc_MemoryError, text::shape_voxels, given.c_str());
        return false;
    }
    return true;
}

// The output spacing: 3 finite, positive values.
float *read_output_spacing(PyObject *obj)
{
    fbuf o(read_first(obj, "output_spacing", 3));
    if (o && !(std::isfinite(o[0]) && std::isfinite(o[1]) && std::isfinite(o[2]) && o[0] > 0 && o[1] > 0 &&
               o[2] > 0)) {
        PyErr_Format(PyExc_ValueError, text::output_spacing, ref(PyFloat_FromDouble(o[0])).get(), ref(PyFloat_FromDouble(o[1])).get(),
                     ref(PyFloat_FromDouble(o[2])).get());
        return nullptr;
    }
    return o.release();
}

// The source box and the output window of a tile: the box within the
// whole source, the window within 32-bit reach.
bool check_tile(const request &rq, const image_shape &im, const npy_intp od[4])
{
    const npy_intp *t = rq.tile;
    bool ok = true;
    for (int k = 0; k < 3; ++k) {
        ok = ok && t[k] >= 0 && t[k] < extent_limit && t[3 + k] >= 0 && t[3 + k] <= t[k] &&
             im.dims[1 + k] <= t[k] - t[3 + k];
        ok = ok && t[6 + k] >= 0 && t[6 + k] < extent_limit - od[1 + k];
    }
    if (!ok)
        PyErr_SetString(PyExc_ValueError, text::tile_box);
    return ok;
}

// The maps of a matrix of two or more dimensions, 12 floats each, read as
// the 1-D reader reads values: one map, or one per volume of a 4-D image.
float *read_maps(PyArrayObject *m, const image_shape &im, bool &per_volume)
{
    const int nd = PyArray_NDIM(m);
    const npy_intp *d = PyArray_DIMS(m), *s = PyArray_STRIDES(m);
    const bool rows4 = d[nd - 1] == 4 && (d[nd - 2] == 3 || d[nd - 2] == 4);
    const bool one = nd == 2 && rows4;
    per_volume = !one && im.nd == 4 && d[0] == im.dims[0] &&
                 ((nd == 2 && (d[1] == 12 || d[1] == 16)) || (nd == 3 && rows4));
    block b = block_of(m, 0);
    if (one) {  // its first three rows
        b.d[2] = 3, b.d[3] = 4, b.s[2] = s[0], b.s[3] = s[1];
    } else if (per_volume && nd == 2) {  // the first 12 values of each row
        b.d[2] = d[0], b.d[3] = 12, b.s[2] = s[0], b.s[3] = s[1];
    } else if (per_volume) {  // the first three rows of each map
        b.d[1] = d[0], b.d[2] = 3, b.d[3] = 4, b.s[1] = s[0], b.s[2] = s[1], b.s[3] = s[2];
    } else {
        const std::string image =
            im.nd == 4 ? "a 4-D image of " + std::to_string(im.dims[0]) + " volumes" : "a 3-D image";
        PyErr_Format(PyExc_ValueError, text::matrix_shape, shape_text(m).c_str(), image.c_str());
        return nullptr;
    }
    return read_vector_block(b);
}

// The bytes an array's elements span; empty for an array without any.
void span_of(PyArrayObject *a, const char *&lo, const char *&hi)
{
    lo = hi = PyArray_BYTES(a);
    if (PyArray_SIZE(a) == 0)
        return;
    for (int k = 0; k < PyArray_NDIM(a); ++k) {
        const npy_intp step = (PyArray_DIMS(a)[k] - 1) * PyArray_STRIDES(a)[k];
        (step < 0 ? lo : hi) += step;
    }
    hi += PyArray_ITEMSIZE(a);
}

bool apart(PyArrayObject *a, PyArrayObject *b)
{
    const char *alo, *ahi, *blo, *bhi;
    span_of(a, alo, ahi);
    span_of(b, blo, bhi);
    return alo == ahi || blo == bhi || ahi <= blo || bhi <= alo;
}

// `out` must be an array the kernel can write whole, in place, and that no
// input lives in.
bool check_out(PyObject *obj, int nd, const npy_intp od[4], bool own_grid, PyObject *const inputs[4],
               int want)
{
    if (!is_array(obj, "out"))
        return false;
    auto *out = reinterpret_cast<PyArrayObject *>(obj);
    PyArray_Descr *type = PyArray_DESCR(out);
    if (!PyArray_EquivTypenums(PyArray_TYPE(out), want) || !PyArray_ISNBO(type->byteorder)) {
        ref name(reinterpret_cast<PyObject *>(PyArray_DescrFromType(want)));
        PyErr_Format(PyExc_ValueError, text::out_type,
                     name.get(), reinterpret_cast<PyObject *>(type));
        return false;
    }
    const char *fault = !PyArray_IS_C_CONTIGUOUS(out) ? "C-contiguous"
                        : !PyArray_ISALIGNED(out)     ? "aligned"
                        : !PyArray_ISWRITEABLE(out)   ? "writeable"
                                                      : nullptr;
    if (fault) {
        PyErr_Format(PyExc_ValueError, text::out_layout, fault);
        return false;
    }
    if (PyArray_NDIM(out) != nd || std::memcmp(PyArray_DIMS(out), od + 4 - nd, nd * sizeof(npy_intp)) != 0) {
        PyErr_Format(PyExc_ValueError, text::out_shape,
                     own_grid ? "image's" : "output's", shape_text(od + 4 - nd, nd).c_str(),
                     shape_text(out).c_str());
        return false;
    }
    static const char *const names[4] = {"image", "spacing", "matrix", "output_spacing"};
    for (int k = 0; k < 4; ++k)
        if (inputs[k] != Py_None && !apart(out, reinterpret_cast<PyArrayObject *>(inputs[k]))) {
            PyErr_Format(PyExc_ValueError, text::out_shares, names[k]);
            return false;
        }
    return true;
}

// ---- The work --------------------------------------------------------------

// One call's work: every volume's window rows, cut into jobs of whole rows.
// Each row is computed as on one thread, so the bits never depend on the cut.
struct plan {
    source src;
    int X, Y, Z;                            // the whole source
    int bx, by, bz, bnx, bny, bnz;          // the box held
    float *out;
    int N, wx, wy, wz, wnx, wny, wnz;       // the window written
    const float *spacing, *out_spacing, *maps;
    bool per_volume;
    float value;
};

const float *map_of(const plan &p, std::int64_t v) { return p.maps + (p.per_volume ? 12 * v : 0); }

part volume_part(const plan &p, std::int64_t v, std::int64_t first, std::int64_t last)
{
    const std::int64_t window = std::int64_t(p.wnz) * p.wny * p.wnx;
    part q;
    q.in.src = p.src.data ? p.src.data + v * p.src.volume : nullptr;
    q.in.slice = p.src.slice, q.in.row = p.src.row;
    q.in.X = p.X, q.in.Y = p.Y, q.in.Z = p.Z;
    q.in.bx = p.bx, q.in.by = p.by, q.in.bz = p.bz, q.in.bnx = p.bnx, q.in.bny = p.bny, q.in.bnz = p.bnz;
    q.win.out = p.out ? p.out + v * window : nullptr;
    q.win.slice = std::int64_t(p.wny) * p.wnx, q.win.row = p.wnx;
    q.win.x = p.wx, q.win.y = p.wy, q.win.z = p.wz, q.win.nx = p.wnx, q.win.ny = p.wny, q.win.nz = p.wnz;
    q.win.first = int(first), q.win.last = int(last);
    q.fill.on = true, q.fill.value = p.value;
    q.map.spacing = p.spacing, q.map.out_spacing = p.out_spacing, q.map.matrix = map_of(p, v);
    return q;
}

// Rows per job, within one volume: enough jobs for the threads to even out
// (and for a lone thread to look for interrupts between them), each worth
// taking, and where there are enough, whole multiples of the kernel's own
// unit (its tiles of slices).
std::int64_t rows_per_job(const plan &p, int threads, bool released)
{
    const std::int64_t rows = std::int64_t(p.wnz) * p.wny;
    if (threads == 1 && !released)  // nothing to even out, no interrupts to look for
        return rows;
    const std::int64_t want = std::max<std::int64_t>(
        (std::int64_t(1) << 14) / std::max(p.wnx, 1) + 1, p.N * rows / (std::int64_t(threads) * 8));
    const std::int64_t unit = rows_per_chunk(volume_part(p, 0, 0, rows));
    if (p.N * ((rows + unit - 1) / unit) >= 4 * threads)
        return unit * std::max<std::int64_t>(1, want / unit);
    return std::min(rows, want);
}

// Signals reach Python only through the main thread with the lock held:
// every 50 ms of its own jobs the calling thread takes the lock back to let
// them run. False, with the handler's exception (KeyboardInterrupt) set,
// when one raised.
bool no_interrupt(PyThreadState *&state, std::chrono::steady_clock::time_point &next)
{
    if (!state)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next)
        return true;
    PyEval_RestoreThread(state);
    const bool ok = PyErr_CheckSignals() == 0;
    state = PyEval_SaveThread();
    next = now + std::chrono::milliseconds(50);
    return ok;
}

// A new float32 array of n values (shape (n,), or (n / 12, 12) for `maps`).
PyObject *floats(const float *v, npy_intp n, bool maps)
{
    const npy_intp d[2] = {maps ? n / 12 : n, 12};
    PyObject *a = PyArray_SimpleNew(maps ? 2 : 1, d, NPY_FLOAT);
    if (a)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a)), v, std::size_t(n) * 4);
    return a;
}

// What a call checked is made of (see transform_check in driver.h).
PyObject *checked(int nd, const npy_intp od[4], int rtype, const unsigned char fill[8], const float *sp,
                  const float *osp, const float *maps, bool per_volume)
{
    ref value(PyArray_SimpleNew(0, nullptr, rtype));
    ref grid(PyTuple_New(nd));
    if (!value || !grid)
        return nullptr;
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(value.get())), fill,
                PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject *>(value.get())));
    for (int k = 0; k < nd; ++k) {
        PyObject *e = PyLong_FromSsize_t(od[4 - nd + k]);
        if (!e)
            return nullptr;
        PyTuple_SET_ITEM(grid.get(), k, e);
    }
    ref s(floats(sp, 3, false)), m(floats(maps, per_volume ? 12 * od[0] : 12, per_volume));
    ref o(osp ? floats(osp, 3, false) : Py_NewRef(Py_None));
    if (!s || !m || !o)
        return nullptr;
    return PyTuple_Pack(5, value.get(), grid.get(), s.get(), o.get(), m.get());
}

// A checked call as plain C++: nothing in it runs Python code, and the
// image's block is read only once the work starts.
struct call {
    request rq;
    image_shape im;
    block image;
    int e = -1;                   // nearest and label: the image's elem
    int rtype;                    // the result's NumPy type
    unsigned char fill[8] = {};   // nearest and label: cval as one element
    npy_intp od[4];               // the output grid N, Z, Y, X
    fbuf sp, osp, maps;           // osp null: the source's spacing
    bool per_volume = false;
    bool smooth = false;          // antialias, and some volume down-samples along some axis
};

// antialias: volume k's down-sampling factors, X, Y, Z, as its Gaussian
// takes them: at most factor_limit, and 1 (not filtered) where not finite,
// where no voxel maps along that axis anyway.
void factors_of(const call &c, std::int64_t k, double d[3])
{
    smoothing_factors(c.maps.get() + (c.per_volume ? 12 * k : 0), c.sp.get(), c.osp ? c.osp.get() : c.sp.get(), d);
    for (int a = 0; a < 3; ++a)
        d[a] = std::isfinite(d[a]) ? std::min(d[a], factor_limit) : 1.0;
}

// Whether antialias smooths any volume: if not, the source is read as
// without it (in place where it can be).
bool smooths(const call &c)
{
    const std::int64_t maps = c.per_volume ? c.im.dims[0] : 1;
    for (std::int64_t k = 0; c.rq.smooth && k < maps; ++k) {
        double d[3];
        factors_of(c, k, d);
        if (d[0] > 1.0 || d[1] > 1.0 || d[2] > 1.0)
            return true;
    }
    return false;
}

// The checks of the module's transform, in its order, then the output
// grid's and the tile's; with `lifted`, without one call's limits on whole
// sizes. False with the exception set.
bool check_call(PyObject *image_obj, PyObject *spacing, PyObject *matrix, PyObject *output_spacing, bool lifted,
                call &c)
{
    const request &rq = c.rq;
    if (!check_image(image_obj, c.im, rq.shape_n == 0 && !lifted, package_types))
        return false;
    auto *image = reinterpret_cast<PyArrayObject *>(image_obj);
    if (!check_source(image, c.im, lifted))
        return false;
    c.image = block_of(image, c.im.nd);
    if ((rq.mode == cubic || rq.smooth) && rq.tiled) {
        PyErr_SetString(PyExc_ValueError, rq.mode == cubic ? text::cubic_tile : text::smooth_tile);
        return false;
    }
    c.rtype = floats_out(rq.mode) ? NPY_FLOAT : PyArray_TYPE(image);
    if (!floats_out(rq.mode) && ((c.e = elem_of(image, rq.mode)) < 0 || !fill_of(rq, c.e, c.rtype, c.fill)))
        return false;
    if (!output_grid(rq, c.im, c.od, lifted) || !(c.sp = fbuf(read_first(spacing, "spacing", 3))))
        return false;
    if (PyArray_Check(matrix) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(matrix)) >= 2)
        c.maps.reset(read_maps(reinterpret_cast<PyArrayObject *>(matrix), c.im, c.per_volume));
    else
        c.maps.reset(read_first(matrix, "matrix", 12));
    if (!c.maps || (output_spacing != Py_None && !(c.osp = fbuf(read_output_spacing(output_spacing)))))
        return false;
    return !rq.tiled || check_tile(rq, c.im, c.od);
}

// `out` checked, or a new array of the output's shape and type.
PyObject *result_of(const call &c, PyObject *out, PyObject *const inputs[4])
{
    const int nd = c.im.nd;
    if (out != Py_None) {
        if (!check_out(out, nd, c.od, c.rq.shape_n == 0, inputs, c.rtype))
            return nullptr;
        return Py_NewRef(out);
    }
    PyObject *r = PyArray_New(&PyArray_Type, nd, c.od + 4 - nd, c.rtype, nullptr, nullptr, 0, 0, nullptr);
    if (!r && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, text::nomem);
    }
    return r;
}

// The source as the kernel reads it, and the buffer of its copy, if any:
// float for linear, the image's elements (at `typed_src`) for nearest and
// label, and for cubic or antialias always a float copy, which the filters
// overwrite.
struct reading {
    source src{};
    fbuf dense;
    std::unique_ptr<unsigned char[], free_delete> copy;
    const char *typed_src = nullptr;
};

// Where the source is read: in place, or a buffer for one dense copy
// (MemoryError when it cannot be had). An empty image reads nothing.
bool reading_of(const call &c, int size, reading &r)
{
    const block &b = c.image;
    const source dense_strides{nullptr, b.d[1] * b.d[2] * b.d[3], b.d[2] * b.d[3], b.d[3]};
    if (c.im.count == 0)
        return true;
    if (floats_out(c.rq.mode)) {
        if (c.rq.mode == linear && !c.smooth && in_place(b, r.src))
            return true;
        r.dense.reset(alloc_floats(c.im.count, false));
        r.src = dense_strides;
        r.src.data = r.dense.get();
    } else {
        if (typed_in_place(b, size, r.src)) {
            r.typed_src = b.data;
            return true;
        }
        r.copy.reset(static_cast<unsigned char *>(std::malloc(std::size_t(c.im.count) * size)));
        r.src = dense_strides;
        r.typed_src = reinterpret_cast<const char *>(r.copy.get());
    }
    if (r.dense || r.copy)
        return true;
    PyErr_SetString(PyExc_MemoryError, reader_nomem(c.im.nd));
    return false;
}

// The plan of a call's rows into `out`: the whole source, or a tile's box.
plan plan_of(const call &c, const source &src, char *out)
{
    plan p{};
    p.src = src;
    p.bnz = int(c.im.dims[1]), p.bny = int(c.im.dims[2]), p.bnx = int(c.im.dims[3]);
    const npy_intp *t = c.rq.tile;
    if (c.rq.tiled) {
        p.Z = int(t[0]), p.Y = int(t[1]), p.X = int(t[2]);
        p.bz = int(t[3]), p.by = int(t[4]), p.bx = int(t[5]);
        p.wz = int(t[6]), p.wy = int(t[7]), p.wx = int(t[8]);
    } else {
        p.Z = p.bnz, p.Y = p.bny, p.X = p.bnx;
    }
    p.out = floats_out(c.rq.mode) ? reinterpret_cast<float *>(out) : nullptr;
    p.N = int(c.od[0]), p.wnz = int(c.od[1]), p.wny = int(c.od[2]), p.wnx = int(c.od[3]);
    p.spacing = c.sp.get(), p.out_spacing = c.osp ? c.osp.get() : c.sp.get(), p.maps = c.maps.get();
    p.per_volume = c.per_volume;
    p.value = static_cast<float>(c.rq.cval);
    return p;
}

// cubic: the coefficients of the float copy, in its place or in `grown`
// (pad > 0, the copy then freed), on up to `threads` threads; false when a
// buffer cannot be had. Needs no interpreter.
bool coefficients(const call &c, reading &r, float *grown, int pad, const taps &h, float fill, int threads)
{
    const mode m = mode(c.rq.bound);
    const std::int64_t N = c.im.dims[0], Z = c.im.dims[1], Y = c.im.dims[2], X = c.im.dims[3];
    const taps *const hs[3] = {&h, &h, &h};
    const axis_place at[3] = {{X + 2 * pad, -pad, X}, {Y + 2 * pad, -pad, Y}, {Z + 2 * pad, -pad, Z}};
    if (pad) {
        if (!grow_volumes(r.dense.get(), grown, N, X, Y, Z, pad, m, fill, threads))
            return false;
        r.dense.reset();
    }
    return filter_volumes(pad ? grown : r.dense.get(), N, at, hs, m, fill, threads);
}

// antialias: each volume of the float copy smoothed by the Gaussian of its
// own map's factors, under the rule's mode ("mirror" for the constant modes
// and the linear rule), before the rows or the prefilter read it. False
// when a buffer cannot be had. Needs no interpreter.
bool smooth(const call &c, float *v, int threads)
{
    const std::int64_t N = c.im.dims[0], Z = c.im.dims[1], Y = c.im.dims[2], X = c.im.dims[3];
    const mode given = c.rq.mode == cubic ? mode(c.rq.bound) : mirror;
    const mode m = given == constant || given == grid_constant ? mirror : given;
    const axis_place at[3] = {{X, 0, X}, {Y, 0, Y}, {Z, 0, Z}};
    try {
        for (std::int64_t k = 0; k < N; ++k) {
            double d[3];
            factors_of(c, k, d);
            const taps h[3] = {gaussian_taps(d[0]), gaussian_taps(d[1]), gaussian_taps(d[2])};
            const taps *const hs[3] = {&h[0], &h[1], &h[2]};
            if (!filter_volumes(v + k * Z * Y * X, 1, at, hs, m, 0.0f, threads))
                return false;
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// The work of a checked call into `out`, `voxels` of them, with the lock
// released for large calls; false with the exception set when it could not
// start or an interrupt stopped it (`out` then part-written).
bool run(const call &c, char *out, std::int64_t voxels)
{
    const bool lin = c.rq.mode == linear, cub = c.rq.mode == cubic;
    const int size = lin || cub ? 4 : elem_size(c.e);
    reading r;
    if (!reading_of(c, size, r))
        return false;
    // cubic under "nearest" and "grid-constant": the coefficients of the
    // source grown by `pad` (cubic.h), read from there.
    const int pad = cub ? pad_of(mode(c.rq.bound)) : 0;
    fbuf grown;
    if (pad && r.dense) {
        const std::int64_t GX = c.im.dims[3] + 2 * pad, GY = c.im.dims[2] + 2 * pad, GZ = c.im.dims[1] + 2 * pad;
        grown.reset(alloc_floats(c.im.dims[0] * GZ * GY * GX, false));
        if (!grown) {
            PyErr_SetString(PyExc_MemoryError, reader_nomem(c.im.nd));
            return false;
        }
        r.src = {grown.get(), GZ * GY * GX, GY * GX, GX};
    }
    const plan p = plan_of(c, r.src, out);
    // cubic and antialias filter the whole source first, whatever the output's size.
    const std::int64_t work = cub || c.smooth ? std::max<std::int64_t>(voxels, c.im.count) : voxels;
    const int threads = thread_count(c.rq.cap, work);
    // Small calls keep the lock: taking it back can cost more than they do.
    const bool release = work >= 4096;
    const std::int64_t rows = std::int64_t(p.wnz) * p.wny, per = rows_per_job(p, threads, release);
    const std::int64_t jobs = (rows + per - 1) / per;  // in each volume
    const std::int64_t window = rows * p.wnx;
    const part_fn kernel = best_part();
    typed tp{nullptr, nullptr, c.e, c.rq.mode, {}};
    taps h;
    try {
        if (cub)
            h = spline_taps();
    } catch (const std::bad_alloc &) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    std::memcpy(tp.fill, c.fill, sizeof c.fill);
    PyThreadState *state = release ? PyEval_SaveThread() : nullptr;
    if (r.dense)
        convert(c.image, r.dense.get(), threads);
    if (r.copy)
        copy_typed(c.image, size, r.copy.get(), threads);
    const bool empty = cub ? !r.dense : !lin && !r.typed_src;  // an empty source: nothing maps
    const bool smoothed = !c.smooth || !r.dense || smooth(c, r.dense.get(), threads);
    const bool filtered =
        smoothed && (!cub || !r.dense || coefficients(c, r, grown.get(), pad, h, p.value, threads));
    const unsigned char *fill = c.fill;
    if (cub)
        fill = reinterpret_cast<const unsigned char *>(&p.value);
    for (std::int64_t k = 0; empty && k < voxels; ++k)
        std::memcpy(out + k * size, fill, size);
    auto next = release ? std::chrono::steady_clock::now() + std::chrono::milliseconds(50)
                        : std::chrono::steady_clock::time_point();
    const bool whole = filtered && parallel(
        threads, empty ? 0 : p.N * jobs,
        [&](std::int64_t i) {
            const std::int64_t v = i / jobs, first = i % jobs * per;
            const part q = volume_part(p, v, first, std::min(rows, first + per));
            if (lin) {
                kernel(q);
                return;
            }
            if (cub) {
                cubic_part(q, mode(c.rq.bound), pad);
                return;
            }
            typed t = tp;
            t.src = r.typed_src + v * r.src.volume * size;
            t.out = out + v * window * size;
            label_part(q, t);
        },
        [&] { return no_interrupt(state, next); });
    if (state)
        PyEval_RestoreThread(state);
    if (!filtered)
        PyErr_SetString(PyExc_MemoryError, text::nomem);
    return whole;
}

} // namespace

// The package's transform; with `check`, its checks alone (transform_check).
static PyObject *transform_run(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                               PyObject *workers, PyObject *output_shape, PyObject *output_spacing, PyObject *cval,
                               PyObject *interpolation, PyObject *tile, PyObject *mode, PyObject *antialias,
                               bool check)
{
    if (!numpy_ready())
        return nullptr;
    // Conversions run callers' code (__index__, __float__, __iter__) that may
    // change any argument: all of them first, and no Python code after the
    // last check.
    call c;
    if (!read_request(workers, interpolation, mode, antialias, cval, output_shape, tile, c.rq))
        return nullptr;
    const fp_scope fp;
    if (!check_call(image, spacing, matrix, output_spacing, check, c))
        return nullptr;
    c.smooth = smooths(c);
    if (check) {
        if (floats_out(c.rq.mode)) {
            const float value = static_cast<float>(c.rq.cval);
            std::memcpy(c.fill, &value, 4);
        }
        return checked(c.im.nd, c.od, c.rtype, c.fill, c.sp.get(), c.osp.get(), c.maps.get(), c.per_volume);
    }
    PyObject *const inputs[4] = {image, spacing, matrix, output_spacing};
    ref result(result_of(c, out, inputs));
    const std::int64_t voxels = c.od[0] * c.od[1] * c.od[2] * c.od[3];
    if (!result || voxels == 0)
        return result.release();
    // Nothing may own a Python object across the release: a daemon thread
    // that takes the lock back during finalization is ended by unwinding
    // its stack, and a destructor run then would touch the interpreter
    // without a thread state. The reference is held bare until the lock is
    // back.
    PyObject *const res = result.release();
    if (!run(c, static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(res))), voxels)) {
        Py_DECREF(res);  // a part-written result is never handed out as one
        return nullptr;
    }
    return res;
}

PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out, PyObject *workers,
                         PyObject *output_shape, PyObject *output_spacing, PyObject *cval, PyObject *interpolation,
                         PyObject *tile, PyObject *mode, PyObject *antialias)
{
    return transform_run(image, spacing, matrix, out, workers, output_shape, output_spacing, cval, interpolation,
                         tile, mode, antialias, false);
}

PyObject *transform_check(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                          PyObject *output_spacing, PyObject *cval, PyObject *interpolation)
{
    return transform_run(image, spacing, matrix, Py_None, Py_None, output_shape, output_spacing, cval,
                         interpolation, Py_None, Py_None, Py_False, true);
}
