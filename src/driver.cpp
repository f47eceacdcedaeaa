// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "driver.h"

#include <numpy/arrayobject.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "boxes.h"
#include "checks.h"
#include "convert.h"
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

// ---- The checks ------------------------------------------------------------

// The image as the package reads it: any number of elements (each volume
// is read in windows where it must be), extents below 2^31 (an empty
// image's too with `graph`: a Dask graph's blocks read boxes of it), any
// bool, integer or float type up to double.
bool check_source(PyArrayObject *image, const image_shape &im, bool graph)
{
    const block b = block_of(image, im.nd);
    if ((graph || im.count != 0) && std::max({b.d[0], b.d[1], b.d[2], b.d[3]}) >= extent_limit) {
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

// The output grid N, Z, Y, X: the image's own, or output_shape's, of any
// number of voxels.
bool output_grid(const request &rq, const image_shape &im, npy_intp od[4])
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
// A plan is the whole call, or one window of it reading its own box.
struct plan {
    source src;                             // float, at the box's first sample; data null for typed
    const char *typed;                      // nearest and label: the box's first element
    int size;                               // bytes per element of the source read and the result
    int X, Y, Z;                            // the whole source
    int bx, by, bz, bnx, bny, bnz;          // the box held
    char *out;                              // the window's first voxel of volume 0
    std::int64_t ovolume, oslice, orow;     // the result's strides, in voxels
    int N, wx, wy, wz, wnx, wny, wnz;       // the window written
    const float *spacing, *out_spacing, *maps;
    bool per_volume, linear;
    float value;
};

const float *map_of(const plan &p, std::int64_t v) { return p.maps + (p.per_volume ? 12 * v : 0); }

// The kernel's part for rows [first, last) of volume v's window: the one
// place a part is made.
part tile_part(const plan &p, std::int64_t v, std::int64_t first, std::int64_t last)
{
    part q;
    q.in.src = p.src.data ? p.src.data + v * p.src.volume : nullptr;
    q.in.slice = p.src.slice, q.in.row = p.src.row;
    q.in.X = p.X, q.in.Y = p.Y, q.in.Z = p.Z;
    q.in.bx = p.bx, q.in.by = p.by, q.in.bz = p.bz, q.in.bnx = p.bnx, q.in.bny = p.bny, q.in.bnz = p.bnz;
    q.win.out = p.linear ? reinterpret_cast<float *>(p.out) + v * p.ovolume : nullptr;
    q.win.slice = p.oslice, q.win.row = p.orow;
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
    const std::int64_t unit = rows_per_chunk(tile_part(p, 0, 0, std::min<std::int64_t>(rows, 1)));
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
};

// The checks of the module's transform, in its order, then the output
// grid's and the tile's, without the module's limits on whole sizes;
// `graph` for transform_check. False with the exception set.
bool check_call(PyObject *image_obj, PyObject *spacing, PyObject *matrix, PyObject *output_spacing, bool graph,
                call &c)
{
    const request &rq = c.rq;
    if (!check_image(image_obj, c.im, false, package_types))
        return false;
    auto *image = reinterpret_cast<PyArrayObject *>(image_obj);
    c.im.count = PyArray_SIZE(image);  // NumPy holds it: the count fits, past the module's limits too
    if (!check_source(image, c.im, graph))
        return false;
    c.image = block_of(image, c.im.nd);
    c.rtype = rq.mode == linear ? NPY_FLOAT : PyArray_TYPE(image);
    if (rq.mode != linear && ((c.e = elem_of(image, rq.mode)) < 0 || !fill_of(rq, c.e, c.rtype, c.fill)))
        return false;
    if (!output_grid(rq, c.im, c.od) || !(c.sp = fbuf(read_first(spacing, "spacing", 3))))
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
    // NumPy refuses nonzero extents whose bytes pass npy_intp with ValueError:
    // no memory holds them either.
    npy_intp bytes = c.rq.mode == linear ? 4 : elem_size(c.e);
    for (int k = 0; k < 4; ++k)
        bytes = c.od[k] == 0 ? bytes : bytes >= 0 && bytes <= NPY_MAX_INTP / c.od[k] ? bytes * c.od[k] : -1;
    PyObject *r = bytes < 0 ? nullptr : PyArray_New(&PyArray_Type, nd, c.od + 4 - nd, c.rtype, nullptr, nullptr, 0, 0, nullptr);
    if (bytes < 0 || (!r && PyErr_ExceptionMatches(PyExc_MemoryError))) {
        PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, text::nomem);
    }
    return r;
}

// The source as the kernel reads it, and the buffer of its copy, if any:
// float for linear, the image's elements (at `typed_src`) for the others.
// `bounded`: each volume's furthest sample within the kernel's 32-bit
// offsets, so one part can read it whole; else windows read their boxes.
struct reading {
    source src{};
    fbuf dense;
    std::unique_ptr<unsigned char[], free_delete> copy;
    const char *typed_src = nullptr;
    bool bounded = true;
};

// Where the source is read: in place within 32-bit reach, else one dense
// copy (MemoryError when it cannot be had), except that a volume the copy
// could not reach either is read in place where it can be. An empty image
// reads nothing.
bool reading_of(const call &c, int size, reading &r)
{
    const block &b = c.image;
    const source dense_strides{nullptr, b.d[1] * b.d[2] * b.d[3], b.d[2] * b.d[3], b.d[3]};
    if (c.im.count == 0)
        return true;
    const bool lin = c.rq.mode == linear;
    auto here = [&](bool bounded) {
        return lin ? in_place(b, bounded, r.src) : typed_in_place(b, size, bounded, r.src);
    };
    // The copy's furthest sample within a volume is its count less one.
    r.bounded = here(true) || dense_strides.volume <= extent_limit;
    if (here(r.bounded)) {
        r.typed_src = lin ? nullptr : b.data;
        return true;
    }
    const std::int64_t each = lin ? 4 : size;  // NumPy holds the image: its count fits, not always its copy's bytes
    if (c.im.count <= NPY_MAX_INTP / each) {
        if (lin)
            r.dense.reset(alloc_floats(c.im.count, false));
        else
            r.copy.reset(static_cast<unsigned char *>(std::malloc(std::size_t(c.im.count * each))));
    }
    r.src = dense_strides;
    r.src.data = r.dense.get();
    r.typed_src = reinterpret_cast<const char *>(r.copy.get());
    if (r.dense || r.copy)
        return true;
    PyErr_SetString(PyExc_MemoryError, reader_nomem(c.im.nd));
    return false;
}

// The plan of a call's rows into `out`: the whole source, or a tile's box.
plan plan_of(const call &c, const reading &r, char *out, int size)
{
    plan p{};
    p.src = r.src;
    p.typed = r.typed_src;
    p.size = size;
    p.bnz = int(c.im.dims[1]), p.bny = int(c.im.dims[2]), p.bnx = int(c.im.dims[3]);
    const npy_intp *t = c.rq.tile;
    if (c.rq.tiled) {
        p.Z = int(t[0]), p.Y = int(t[1]), p.X = int(t[2]);
        p.bz = int(t[3]), p.by = int(t[4]), p.bx = int(t[5]);
        p.wz = int(t[6]), p.wy = int(t[7]), p.wx = int(t[8]);
    } else {
        p.Z = p.bnz, p.Y = p.bny, p.X = p.bnx;
    }
    p.out = out;
    p.N = int(c.od[0]), p.wnz = int(c.od[1]), p.wny = int(c.od[2]), p.wnx = int(c.od[3]);
    p.orow = p.wnx, p.oslice = std::int64_t(p.wny) * p.wnx, p.ovolume = p.oslice * p.wnz;
    p.spacing = c.sp.get(), p.out_spacing = c.osp ? c.osp.get() : c.sp.get(), p.maps = c.maps.get();
    p.per_volume = c.per_volume;
    p.linear = c.rq.mode == linear;
    p.value = static_cast<float>(c.rq.cval);
    return p;
}

// ---- Windows: a call past the kernel's 32-bit reach --------------------------

// A window [z0, z1) x [y0, y1) x [x0, x1) of the call's output for volumes
// [v0, v1), and the box (z0, z1, y0, y1, x0, x1) of the whole source it
// reads; `none` when its voxels all map nowhere, `copy` when it reads a
// dense copy of its box.
struct win {
    std::int64_t v0, v1, w[6], b[6];
    bool none, copy;
};

// Samples of a box copied for a window that cannot read its box where it
// lies; smaller windows read smaller boxes, down to a voxel's 2 x 2 x 2.
constexpr std::int64_t copy_limit = std::int64_t(1) << 24;

// The furthest sample of a box from its first, as `s` lays it out.
std::int64_t reach_of(const source &s, const std::int64_t b[6])
{
    const std::int64_t nz = b[1] - b[0], ny = b[3] - b[2], nx = b[5] - b[4];
    return (nz > 1 ? (nz - 1) * s.slice : 0) + (ny > 1 ? (ny - 1) * s.row : 0) + nx - 1;
}

std::int64_t samples(const std::int64_t b[6]) { return (b[1] - b[0]) * (b[3] - b[2]) * (b[5] - b[4]); }

// The box a window reads, with source_boxes' arithmetic, within the box the
// call holds; false for none.
bool box_of(const plan &p, const float *map, const std::int64_t w[6], std::int64_t b[6])
{
    const std::int64_t E[3] = {p.Z, p.Y, p.X};
    const std::int64_t g[6] = {p.wz + w[0], p.wz + w[1], p.wy + w[2], p.wy + w[3], p.wx + w[4], p.wx + w[5]};
    if (!window_box(E, p.spacing, p.out_spacing, map, g, b))
        return false;
    const std::int64_t lo[3] = {p.bz, p.by, p.bx}, n[3] = {p.bnz, p.bny, p.bnx};
    for (int k = 0; k < 3; ++k) {
        b[2 * k] = std::max(b[2 * k], lo[k]);
        b[2 * k + 1] = std::min(b[2 * k + 1], lo[k] + n[k]);
        if (b[2 * k] >= b[2 * k + 1])
            return false;
    }
    return true;
}

// Half h (0 or 1) of window w along axis k (0 Z, 1 Y, 2 X).
void half(const std::int64_t w[6], int k, int h, std::int64_t u[6])
{
    std::copy(w, w + 6, u);
    const std::int64_t mid = w[2 * k] + (w[2 * k + 1] - w[2 * k]) / 2;
    u[2 * k + 1 - h] = mid;
}

// Window w, or its pieces, until each can be a part: rows below 2^31, and
// a box read where it lies within 32-bit reach or copied (copy_limit). A
// piece of one voxel reads at most 2 x 2 x 2 samples, so the halving ends.
// It halves along Z while the rows are too many, else along the axis whose
// worse half reaches least.
void cut(const plan &p, const float *map, std::int64_t v0, std::int64_t v1, const std::int64_t w[6],
         std::vector<win> &out)
{
    win x{v0, v1, {w[0], w[1], w[2], w[3], w[4], w[5]}, {}, false, false};
    x.none = !box_of(p, map, w, x.b);
    const std::int64_t rows = (w[1] - w[0]) * (w[3] - w[2]);
    if (rows < extent_limit && (x.none || reach_of(p.src, x.b) < extent_limit || samples(x.b) <= copy_limit)) {
        x.copy = !x.none && reach_of(p.src, x.b) >= extent_limit;
        out.push_back(x);
        return;
    }
    int axis = -1;
    std::int64_t best = 0;
    for (int k = 0; k < 3; ++k) {
        if (w[2 * k + 1] - w[2 * k] < 2 || (rows >= extent_limit && k != 0))
            continue;
        std::int64_t worst = 0, u[6], b[6];
        for (int h = 0; h < 2; ++h) {
            half(w, k, h, u);
            if (box_of(p, map, u, b))
                worst = std::max(worst, reach_of(p.src, b));
        }
        if (axis < 0 || worst < best)
            axis = k, best = worst;
    }
    for (int h = 0; h < 2; ++h) {
        std::int64_t u[6];
        half(w, axis, h, u);
        cut(p, map, v0, v1, u, out);
    }
}

// The call's windows: the whole output reading the whole box where one part
// can, else its pieces (cut), each volume's on its own with maps per volume.
// False with MemoryError set when they cannot be held.
bool windows_of(const plan &p, bool bounded, std::vector<win> &out)
{
    const std::int64_t all[6] = {0, p.wnz, 0, p.wny, 0, p.wnx};
    try {
        if (bounded && std::int64_t(p.wnz) * p.wny < extent_limit) {
            out.push_back({0, p.N, {0, p.wnz, 0, p.wny, 0, p.wnx},
                           {p.bz, p.bz + p.bnz, p.by, p.by + p.bny, p.bx, p.bx + p.bnx}, false, false});
            return true;
        }
        for (std::int64_t v = 0; v < (p.per_volume ? p.N : 1); ++v)
            cut(p, map_of(p, v), v, p.per_volume ? v + 1 : p.N, all, out);
    } catch (const std::bad_alloc &) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    return true;
}

// The plan of window x: its rows into the call's output, its box read where
// the call's plan reads it, or from `copy` (its box, dense).
plan window_plan(const plan &p, const win &x, const unsigned char *copy)
{
    plan q = p;
    q.N = int(x.v1 - x.v0);
    q.wz = int(p.wz + x.w[0]), q.wy = int(p.wy + x.w[2]), q.wx = int(p.wx + x.w[4]);
    q.wnz = int(x.w[1] - x.w[0]), q.wny = int(x.w[3] - x.w[2]), q.wnx = int(x.w[5] - x.w[4]);
    q.out = p.out + (x.w[0] * p.oslice + x.w[2] * p.orow + x.w[4]) * p.size;
    if (x.none) {  // nothing read: the fill alone
        q.bnz = q.bny = q.bnx = 0;
        return q;
    }
    q.bz = int(x.b[0]), q.by = int(x.b[2]), q.bx = int(x.b[4]);
    q.bnz = int(x.b[1] - x.b[0]), q.bny = int(x.b[3] - x.b[2]), q.bnx = int(x.b[5] - x.b[4]);
    if (copy) {
        q.src = {nullptr, 0, std::int64_t(q.bny) * q.bnx, q.bnx};
        q.src.data = p.linear ? reinterpret_cast<const float *>(copy) : nullptr;
        q.typed = p.linear ? nullptr : reinterpret_cast<const char *>(copy);
        return q;
    }
    const std::int64_t at = (x.b[0] - p.bz) * p.src.slice + (x.b[2] - p.by) * p.src.row + (x.b[4] - p.bx);
    q.src.data = p.src.data ? p.src.data + at : nullptr;
    q.typed = p.typed ? p.typed + at * p.size : nullptr;
    return q;
}

// Volume v's box of window x from the image, dense, into `dst`.
void copy_box(const call &c, const plan &p, const win &x, std::int64_t v, unsigned char *dst, int threads)
{
    block b = c.image;
    b.data += v * b.s[0] + (x.b[0] - p.bz) * b.s[1] + (x.b[2] - p.by) * b.s[2] + (x.b[4] - p.bx) * b.s[3];
    b.d[0] = 1, b.d[1] = x.b[1] - x.b[0], b.d[2] = x.b[3] - x.b[2], b.d[3] = x.b[5] - x.b[4];
    if (p.linear)
        convert(b, reinterpret_cast<float *>(dst), threads);
    else
        copy_typed(b, p.size, dst, threads);
}

// The work of a checked call into `out`, `voxels` of them, with the lock
// released for large calls; false with the exception set when it could not
// start or an interrupt stopped it (`out` then part-written).
bool run(const call &c, char *out, std::int64_t voxels)
{
    const bool lin = c.rq.mode == linear;
    const int size = lin ? 4 : elem_size(c.e);
    reading r;
    if (!reading_of(c, size, r))
        return false;
    const plan p = plan_of(c, r, out, size);
    const int threads = thread_count(c.rq.cap, voxels);
    // Small calls keep the lock: taking it back can cost more than they do.
    const bool release = voxels >= 4096;
    // The windows read where the call reads, their jobs numbered one after
    // another, and those that read copies of their boxes.
    struct span {
        plan q;
        std::int64_t first, jobs, per;  // its first job, its jobs in each volume and their rows
        std::int64_t v0;
    };
    std::vector<win> wins;
    std::vector<span> spans;
    std::vector<std::size_t> copied;
    std::int64_t most = 0, jobs = 0;
    if (!windows_of(p, r.bounded, wins))
        return false;
    try {
        for (std::size_t k = 0; k < wins.size(); ++k) {
            if (wins[k].copy) {
                copied.push_back(k);
                most = std::max(most, samples(wins[k].b));
                continue;
            }
            const plan q = window_plan(p, wins[k], nullptr);
            const std::int64_t rows = std::int64_t(q.wnz) * q.wny, n = rows_per_job(q, threads, release);
            spans.push_back({q, jobs, (rows + n - 1) / n, n, wins[k].v0});
            jobs += q.N * spans.back().jobs;
        }
    } catch (const std::bad_alloc &) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    std::unique_ptr<unsigned char[], free_delete> box;
    if (most && !(box = decltype(box)(static_cast<unsigned char *>(std::malloc(std::size_t(most) * size))))) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    const part_fn kernel = best_part();
    typed tp{nullptr, nullptr, c.e, c.rq.mode, {}};
    std::memcpy(tp.fill, c.fill, sizeof c.fill);
    // Rows [first, last) of volume v of a window's plan q.
    auto run_rows = [&](const plan &q, std::int64_t v, std::int64_t first, std::int64_t last) {
        const part one = tile_part(q, v, first, last);
        if (lin) {
            kernel(one);
            return;
        }
        typed t = tp;
        t.src = q.typed ? q.typed + v * q.src.volume * size : nullptr;
        t.out = q.out + v * q.ovolume * size;
        label_part(one, t);
    };
    PyThreadState *state = release ? PyEval_SaveThread() : nullptr;
    if (r.dense)
        convert(c.image, r.dense.get(), threads);
    if (r.copy)
        copy_typed(c.image, size, r.copy.get(), threads);
    const bool empty = !lin && !r.typed_src;  // an empty source: nothing maps
    for (std::int64_t k = 0; empty && k < voxels; ++k)
        std::memcpy(out + k * size, c.fill, size);
    auto next = release ? std::chrono::steady_clock::now() + std::chrono::milliseconds(50)
                        : std::chrono::steady_clock::time_point();
    auto go = [&] { return no_interrupt(state, next); };
    bool whole = parallel(
        threads, empty ? 0 : jobs,
        [&](std::int64_t i) {
            const span &s = *(std::upper_bound(spans.begin(), spans.end(), i,
                                               [](std::int64_t j, const span &t) { return j < t.first; }) - 1);
            const std::int64_t j = i - s.first, first = j % s.jobs * s.per;
            run_rows(s.q, s.v0 + j / s.jobs, first, std::min(std::int64_t(s.q.wnz) * s.q.wny, first + s.per));
        },
        go);
    for (std::size_t k = 0; whole && k < copied.size(); ++k) {
        const win &x = wins[copied[k]];
        const plan q = window_plan(p, x, box.get());
        const std::int64_t n = std::int64_t(q.wnz) * q.wny, each = rows_per_job(q, threads, release);
        for (std::int64_t v = x.v0; whole && v < x.v1; ++v) {
            copy_box(c, p, x, v, box.get(), threads);
            whole = parallel(threads, (n + each - 1) / each, [&](std::int64_t i) {
                run_rows(q, v, i * each, std::min(n, (i + 1) * each));
            }, go) && go();
        }
    }
    if (state)
        PyEval_RestoreThread(state);
    return whole;
}

} // namespace

// The package's transform; with `check`, its checks alone (transform_check).
static PyObject *transform_run(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *out,
                               PyObject *workers, PyObject *output_shape, PyObject *output_spacing, PyObject *cval,
                               PyObject *interpolation, PyObject *tile, bool check)
{
    if (!numpy_ready())
        return nullptr;
    // Conversions run callers' code (__index__, __float__, __iter__) that may
    // change any argument: all of them first, and no Python code after the
    // last check.
    call c;
    if (!read_request(workers, interpolation, cval, output_shape, tile, c.rq))
        return nullptr;
    const fp_scope mode;
    if (!check_call(image, spacing, matrix, output_spacing, check, c))
        return nullptr;
    if (check) {
        if (c.rq.mode == linear) {
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
                         PyObject *tile)
{
    return transform_run(image, spacing, matrix, out, workers, output_shape, output_spacing, cval, interpolation,
                         tile, false);
}

PyObject *transform_check(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                          PyObject *output_spacing, PyObject *cval, PyObject *interpolation)
{
    return transform_run(image, spacing, matrix, Py_None, Py_None, output_shape, output_spacing, cval,
                         interpolation, Py_None, true);
}
