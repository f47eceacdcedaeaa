// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/warp.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "edge/call.h"
#include "edge/checks.h"
#include "edge/driver.h"
#include "vocab/fpmode.h"
#include "kernels/table.h"
#include "kernels/label.h"
#include "engine/plan.h"
#include "edge/pyref.h"
#include "vocab/rules.h"
#include "engine/spline.h"
#include "vocab/texts.h"
#include "kernels/points.h"
#include "kernels/warp_kernel.h"
#include "engine/workers.h"

namespace {

// One step of the chain, as plain numbers and raw memory.
struct step {
    bool field = false;
    fbuf maps;                   // affine: 12 floats, or 12 per volume
    bool per_volume = false;
    warp_field f;                // field
};

struct pts {
    float x[warp_block], y[warp_block], z[warp_block];
};

void affine_step(const float *m, pts &p, int n)
{
    for (int i = 0; i < n; ++i) {
        const float x = p.x[i], y = p.y[i], z = p.z[i];
        p.x[i] = ((m[0] * x + m[1] * y) + m[2] * z) + m[3];
        p.y[i] = ((m[4] * x + m[5] * y) + m[6] * z) + m[7];
        p.z[i] = ((m[8] * x + m[9] * y) + m[10] * z) + m[11];
    }
}

// The continuous source indices of output voxels (z, y, x0 + i), i < n, of
// volume v, the whole grid's indices: the output point through the steps,
// divided by the source's spacing.
void row_points(const std::vector<step> &steps, const float *o, const float *s, std::int64_t v, std::int64_t z,
                std::int64_t y, std::int64_t x0, int n, pts &p)
{
    row_positions(o, z, y, x0, n, p.x, p.y, p.z);
    const warp_field_fn field = best_table().field;
    for (const step &st : steps) {
        if (st.field)
            field(st.f, v, p.x, p.y, p.z, n);
        else
            affine_step(st.maps.get() + (st.per_volume ? 12 * v : 0), p, n);
    }
    for (int i = 0; i < n; ++i)
        p.x[i] = p.x[i] / s[0], p.y[i] = p.y[i] / s[1], p.z[i] = p.z[i] / s[2];
}

// Output row q of the call (volume, then Z, then Y).
void warp_row(const std::vector<step> &steps, const warp_job &w, std::int64_t q)
{
    const std::int64_t v = q / (w.OZ * w.OY), r = q % (w.OZ * w.OY);
    char *o = w.out + q * w.OX * w.size;
    const warp_reads_fn reads = best_table().reads;
    pts p;
    for (std::int64_t x0 = 0; x0 < w.OX; x0 += warp_block) {
        const int n = int(std::min<std::int64_t>(warp_block, w.OX - x0));
        row_points(steps, w.o, w.s, v, w.wz + r / w.OY, w.wy + r % w.OY, w.wx + x0, n, p);
        reads(w, v, p.x, p.y, p.z, n, o + x0 * w.size);
    }
}

// ---- The checks ------------------------------------------------------------

std::string shape_text(PyArrayObject *a)
{
    std::string s = "(";
    for (int k = 0; k < PyArray_NDIM(a); ++k)
        s += (k ? ", " : "") + std::to_string(PyArray_DIMS(a)[k]);
    return s + (PyArray_NDIM(a) == 1 ? ",)" : ")");
}

// A field as the package hands it over (see warp.h); TypeError for anything
// else, ValueError for a displacement whose shape does not fit the image.
bool read_field(PyObject *item, Py_ssize_t k, const image_shape &im, step &st)
{
    PyObject *d = PyTuple_GET_ITEM(item, 0), *inv = PyTuple_GET_ITEM(item, 1);
    auto *da = reinterpret_cast<PyArrayObject *>(d), *ia = reinterpret_cast<PyArrayObject *>(inv);
    if (!PyArray_Check(d) || PyArray_TYPE(da) != NPY_FLOAT || !PyArray_ISNBO(PyArray_DESCR(da)->byteorder) ||
        !PyArray_Check(inv) || PyArray_TYPE(ia) != NPY_FLOAT || !PyArray_ISNBO(PyArray_DESCR(ia)->byteorder) ||
        !PyArray_IS_C_CONTIGUOUS(ia) || !PyArray_ISALIGNED(ia) || PyArray_SIZE(ia) != 12) {
        PyErr_Format(PyExc_TypeError, text::warp_step, k, Py_TYPE(item)->tp_name);
        return false;
    }
    const int nd = PyArray_NDIM(da);
    const npy_intp *dims = PyArray_DIMS(da), *s = PyArray_STRIDES(da);
    warp_field &f = st.f;
    f.per_volume = nd == 5;
    bool ok = (nd == 4 || (nd == 5 && im.nd == 4 && dims[0] == im.dims[0])) && dims[nd - 1] == 3;
    for (int a = nd - 4; ok && a < nd - 1; ++a)
        ok = dims[a] < extent_limit;
    if (!ok) {
        const std::string image =
            im.nd == 4 ? "a 4-D image of " + std::to_string(im.dims[0]) + " volumes" : "a 3-D image";
        PyErr_Format(PyExc_ValueError, text::warp_field_shape, k, shape_text(da).c_str(), image.c_str());
        return false;
    }
    st.field = true;
    const char *lo;
    span_of(da, lo, f.end);
    f.data = PyArray_BYTES(da);
    f.s[0] = f.per_volume ? s[0] : 0;
    for (int a = 1; a < 5; ++a)
        f.s[a] = s[nd - 5 + a];
    f.Z = dims[nd - 4], f.Y = dims[nd - 3], f.X = dims[nd - 2];
    std::memcpy(f.inv, PyArray_DATA(ia), sizeof f.inv);
    return true;
}

// The steps in order: affine maps read by transform's checks of a matrix,
// fields by read_field. False with the exception set.
bool read_steps(PyObject *image, PyObject *spacing, PyObject *steps, const call &c, std::vector<step> &out)
{
    if (!PyList_Check(steps)) {
        PyErr_Format(PyExc_TypeError, text::warp_steps, Py_TYPE(steps)->tp_name);
        return false;
    }
    try {
        out.resize(std::size_t(PyList_GET_SIZE(steps)));
    } catch (const std::bad_alloc &) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps); ++k) {
        PyObject *item = PyList_GET_ITEM(steps, k);
        step &st = out[std::size_t(k)];
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
            if (!read_field(item, k, c.im, st))
                return false;
            continue;
        }
        if (!PyArray_Check(item)) {
            PyErr_Format(PyExc_TypeError, text::warp_step, k, Py_TYPE(item)->tp_name);
            return false;
        }
        call m;  // the matrix as transform reads it, one map or one per volume
        m.rq = c.rq;
        if (!check_call(image, spacing, item, Py_None, false, m))
            return false;
        st.maps = std::move(m.maps);
        st.per_volume = m.per_volume;
    }
    return true;
}

// transform's checks with the identity for its matrix (the steps are read
// apart), then the steps; eye keeps that matrix for result_of's inputs.
bool check_warp(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_spacing, bool graph, call &c,
                ref &eye, std::vector<step> &chain)
{
    static const float identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    npy_intp twelve = 12;
    eye.reset(PyArray_SimpleNewFromData(1, &twelve, NPY_FLOAT, const_cast<float *>(identity)));
    return eye && check_call(image, spacing, eye.get(), output_spacing, graph, c) &&
           read_steps(image, spacing, steps, c, chain);
}

// Fields are read while the result is written: `out` must hold none of them.
bool out_apart(PyObject *out, PyObject *steps)
{
    if (out == Py_None)
        return true;
    const char *olo, *ohi;
    span_of(reinterpret_cast<PyArrayObject *>(out), olo, ohi);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps); ++k) {
        PyObject *item = PyList_GET_ITEM(steps, k);
        PyObject *a = PyTuple_Check(item) ? PyTuple_GET_ITEM(item, 0) : item;
        const char *lo, *hi;
        span_of(reinterpret_cast<PyArrayObject *>(a), lo, hi);
        if (olo != ohi && lo != hi && lo < ohi && olo < hi) {
            PyErr_Format(PyExc_ValueError, text::warp_shares, k);
            return false;
        }
    }
    return true;
}

// ---- The run -----------------------------------------------------------------

// The warp's job as raw memory: the source as r reads it (a tile's box
// placed in the whole), the output grid, the rule, mode and fill.
warp_job job_of(const call &c, const reading &r, const spline &s, char *out, int size)
{
    warp_job w{};
    w.src = r.src.data, w.typed = r.typed_src;
    w.volume = r.src.volume, w.slice = r.src.slice, w.row = r.src.row;
    w.X = w.bnx = int(c.im.dims[3]), w.Y = w.bny = int(c.im.dims[2]), w.Z = w.bnz = int(c.im.dims[1]);
    w.empty = c.im.count == 0;
    if ((w.tiled = c.rq.tiled)) {
        const npy_intp *t = c.rq.tile;
        w.Z = int(t[0]), w.Y = int(t[1]), w.X = int(t[2]);
        w.bz = int(t[3]), w.by = int(t[4]), w.bx = int(t[5]);
        w.origin = w.empty ? 0 : t[3] * r.src.slice + t[4] * r.src.row + t[5];
        w.wz = t[6], w.wy = t[7], w.wx = t[8];
    }
    w.reached = !w.empty && (w.bnz - 1) * r.src.slice + (w.bny - 1) * r.src.row + (w.bnx - 1) < extent_limit;
    w.out = out, w.size = size;
    w.OZ = c.od[1], w.OY = c.od[2], w.OX = c.od[3];
    w.s = c.sp.get(), w.o = c.osp ? c.osp.get() : c.sp.get();
    w.rule = c.rq.rule, w.e = c.e;
    w.moded = c.rq.moded && c.rq.rule != cubic, w.mode = mode(c.rq.mode), w.pad = s.pad;
    w.value = static_cast<float>(c.rq.cval);
    std::memcpy(w.fill, c.fill, sizeof w.fill);
    return w;
}

bool run(const call &c, const std::vector<step> &steps, char *out)
{
    const int size = floats_out(c.rq.rule) ? 4 : elem_size(c.e);
    reading r;
    spline s;
    if (!reading_of(c, size, r) || !spline_of(c, r, s))
        return false;
    const warp_job w = job_of(c, r, s, out, size);
    const std::int64_t rows = c.od[0] * w.OZ * w.OY, voxels = rows * w.OX;
    const std::int64_t work_size = std::max<std::int64_t>(voxels, r.dense || r.copy ? c.im.count : 0);
    const int threads = thread_count(c.rq.cap, work_size);
    const bool release = work_size >= 4096;
    // Jobs of whole rows, enough for the threads to even out, each worth
    // taking and short enough for an interrupt to be seen soon.
    const std::int64_t width = std::max<std::int64_t>(w.OX, 1), least = (std::int64_t(1) << 14) / width + 1;
    const std::int64_t per = threads == 1 && !release ? rows
                                                      : std::clamp(rows / (std::int64_t(threads) * 8), least,
                                                                   std::max(least, warp_job_points / width));
    PyThreadState *state = release ? PyEval_SaveThread() : nullptr;
    if (r.dense)
        convert(c.image, r.dense.get(), threads);
    if (r.copy)
        copy_typed(c.image, size, r.copy.get(), threads);
    // The coefficients as transform forms them, before any point reads them.
    if (!coefficients(c, r, s, w.value, threads)) {
        if (state)
            PyEval_RestoreThread(state);
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    const bool whole = parallel(
        threads, (rows + per - 1) / per,
        [&](std::int64_t i) {
            for (std::int64_t q = i * per; q < std::min(rows, (i + 1) * per); ++q)
                warp_row(steps, w, q);
        },
        [&] { return no_interrupt(state, next); });
    if (state)
        PyEval_RestoreThread(state);
    return whole;
}

} // namespace

PyObject *warp_into(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                    PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                    PyObject *tile, PyObject *out, PyObject *workers)
{
    if (!numpy_ready())
        return nullptr;
    // Every conversion that can run a caller's code first, then the checks.
    call c;
    if (!read_request(workers, interpolation, mode, Py_False, cval, output_shape, tile, c.rq))
        return nullptr;
    const fp_scope fp;
    ref eye;
    std::vector<step> chain;
    if (!check_warp(image, spacing, steps, output_spacing, false, c, eye, chain))
        return nullptr;
    PyObject *const inputs[4] = {image, spacing, eye.get(), output_spacing};
    ref result(result_of(c, out, inputs));
    if (!result || !out_apart(out, steps))
        return nullptr;
    const bool none = c.od[0] == 0 || c.od[1] == 0 || c.od[2] == 0 || c.od[3] == 0;
    if (none)
        return result.release();
    // No Python object is owned across the release (see transform_into).
    PyObject *const res = result.release();
    char *const data = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(res)));
    // No field, at most one map: transform's call itself, its row kernels.
    const bool affine = chain.empty() || (chain.size() == 1 && !chain[0].field);
    if (affine && !chain.empty())
        c.maps = std::move(chain[0].maps), c.per_volume = chain[0].per_volume;
    if (affine ? !transform_work(c, data) : !run(c, chain, data)) {
        Py_DECREF(res);
        return nullptr;
    }
    return res;
}

struct warp_chain {
    call c;
    std::vector<step> steps;
};

void chain_free::operator()(warp_chain *c) const { delete c; }

chain_ptr warp_chain_of(PyObject *image, PyObject *spacing, PyObject *steps, PyObject *output_shape,
                        PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode)
{
    if (!numpy_ready())
        return nullptr;
    chain_ptr w(new (std::nothrow) warp_chain);
    if (!w) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return nullptr;
    }
    call &c = w->c;
    if (!read_request(Py_None, interpolation, mode, Py_False, cval, output_shape, Py_None, c.rq))
        return nullptr;
    const fp_scope fp;
    ref eye;
    if (!check_warp(image, spacing, steps, output_spacing, true, c, eye, w->steps))
        return nullptr;
    return w;
}

int chain_rule(const warp_chain &c) { return c.c.rq.rule; }

int chain_mode(const warp_chain &c, bool &given)
{
    given = c.c.rq.moded && c.c.rq.rule != cubic;
    return c.c.rq.mode;
}

void chain_grid(const warp_chain &c, std::int64_t out[4], std::int64_t src[3])
{
    for (int k = 0; k < 4; ++k)
        out[k] = c.c.od[k];
    for (int k = 0; k < 3; ++k)
        src[k] = c.c.im.dims[1 + k];
}

void chain_points(const warp_chain &c, std::int64_t v, std::int64_t z, std::int64_t y, std::int64_t x0, int n,
                  float *cx, float *cy, float *cz)
{
    pts p;
    const float *s = c.c.sp.get();
    row_points(c.steps, c.c.osp ? c.c.osp.get() : s, s, v, z, y, x0, n, p);
    std::memcpy(cx, p.x, sizeof(float) * std::size_t(n));
    std::memcpy(cy, p.y, sizeof(float) * std::size_t(n));
    std::memcpy(cz, p.z, sizeof(float) * std::size_t(n));
}
