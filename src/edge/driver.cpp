// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/driver.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "engine/axis_filter.h"
#include "engine/boxes.h"
#include "edge/call.h"
#include "kernels/cubic.h"
#include "vocab/fpmode.h"
#include "kernels/label.h"
#include "kernels/modes_part.h"
#include "engine/plan.h"
#include "edge/pyref.h"
#include "kernels/table.h"
#include "vocab/rules.h"
#include "engine/smoothing.h"
#include "engine/spline.h"
#include "vocab/texts.h"
#include "engine/workers.h"

namespace {

// A window's jobs: its plan, its first job in the call's numbering, its
// jobs in each volume and their rows, its first volume.
struct span {
    plan q;
    std::int64_t first, jobs, per, v0;
};

// The spans of the windows that read where the call reads, their jobs
// numbered one after another; the windows that read copies of their boxes,
// and the largest such box. False with MemoryError set.
bool spans_of(const plan &p, const wins_t &wins, int threads, bool release, std::pmr::vector<span> &spans,
              std::pmr::vector<std::size_t> &copied, std::int64_t &most, std::int64_t &jobs)
{
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
    return true;
}

// antialias: each volume of the source smoothed into the float copy v by
// the Gaussian of its own map's factors, under the rule's mode ("mirror"
// for the constant modes and the linear rule's None), before the rows or
// the prefilter read it. False when a buffer cannot be had or go() stopped
// it. Needs no interpreter.
bool smooth(const call &c, float *v, int threads, const go_fn &go)
{
    const std::int64_t N = c.im.dims[0], Z = c.im.dims[1], Y = c.im.dims[2], X = c.im.dims[3];
    const mode given = c.rq.rule == cubic || c.rq.moded ? mode(c.rq.mode) : mirror;
    const mode m = given == constant || given == grid_constant ? mirror : given;
    axis_place at[3];
    places_of(c, at);
    try {
        for (std::int64_t k = 0; k < N; ++k) {
            double d[3];
            factors_of(c, k, d);
            const taps h[3] = {gaussian_taps(d[0]), gaussian_taps(d[1]), gaussian_taps(d[2])};
            const taps *const hs[3] = {&h[0], &h[1], &h[2]};
            block one = c.image;
            one.data += k * one.s[0], one.d[0] = 1;
            if (!smooth_volumes(one, v + k * Z * Y * X, at, hs, m, threads, go))
                return false;
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// Rows [first, last) of volume v of a window's plan q.
void run_rows(const call &c, part_fn kernel, const plan &q, std::int64_t v, std::int64_t first, std::int64_t last,
              int pad)
{
    const part one = tile_part(q, v, first, last);
    if (q.rule == cubic) {
        cubic_part(one, mode(c.rq.mode), pad);
        return;
    }
    if (floats_out(q.rule)) {
        if (q.moded)
            moded_part(one, mode(c.rq.mode), nullptr);
        else
            kernel(one);
        return;
    }
    typed t{q.typed ? q.typed + v * q.src.volume * q.size : nullptr, q.out + v * q.ovolume * q.size, c.e,
            c.rq.rule, {}};
    std::memcpy(t.fill, c.fill, sizeof c.fill);
    if (q.moded)
        moded_part(one, mode(c.rq.mode), &t);
    else
        label_part(one, t);
}

// cubic and antialias filter a copy of the source: of the box the output
// reads alone, a tile's box placed in the whole source, whose filters give
// the whole's bits where they are read.
void narrow(call &c)
{
    if ((c.rq.rule != cubic && !c.smooth) || c.rq.tiled || c.im.count == 0)
        return;
    const std::int64_t E[3] = {c.im.dims[1], c.im.dims[2], c.im.dims[3]}, out[3] = {c.od[1], c.od[2], c.od[3]};
    std::int64_t b[6];
    if (!output_box(E, out, c.sp.get(), c.osp ? c.osp.get() : c.sp.get(), c.maps.get(), c.per_volume ? c.od[0] : 1,
                    c.rq.rule, c.rq.moded, c.rq.mode, c.smooth, b))
        return;  // nothing read: the call reads as it stands
    const std::int64_t n[3] = {b[1] - b[0], b[3] - b[2], b[5] - b[4]};
    if (n[0] == E[0] && n[1] == E[1] && n[2] == E[2])
        return;
    const npy_intp tile[9] = {E[0], E[1], E[2], b[0], b[2], b[4], 0, 0, 0};
    std::copy(tile, tile + 9, c.rq.tile);
    c.rq.tiled = true;
    c.image.data += b[0] * c.image.s[1] + b[2] * c.image.s[2] + b[4] * c.image.s[3];
    for (int a = 0; a < 3; ++a)
        c.image.d[a + 1] = c.im.dims[a + 1] = n[a];
    c.im.count = c.im.dims[0] * n[0] * n[1] * n[2];
}

// Whether the call's rows read nothing (an empty source of a rule other
// than linear's None, whose rows fill themselves): every voxel is the fill.
bool empty_source(const call &c, const reading &r)
{
    if (c.rq.rule == cubic)
        return !r.dense;
    if (c.rq.rule == linear)
        return c.rq.moded && !r.src.data;
    return !r.typed_src;
}

// The source's copy, if the call reads one, smoothed and prefiltered where
// the call filters, and the fill of a call whose source is empty: the work
// before the rows. False when go() stopped it or a filter's buffer cannot
// be had.
bool prepare(const call &c, reading &r, spline &s, char *out, std::int64_t voxels, int size, int threads,
             float value, const go_fn &go)
{
    const bool read = !r.dense || (c.smooth ? smooth(c, r.dense.get(), threads, go)
                                            : convert(c.image, r.dense.get(), threads, go));
    if (!read)
        return false;
    if (r.copy && !copy_typed(c.image, size, r.copy.get(), threads, go))
        return false;
    const void *fill = floats_out(c.rq.rule) ? static_cast<const void *>(&value) : c.fill;
    if (empty_source(c, r))
        for (std::int64_t k = 0; k < voxels; ++k)
            std::memcpy(out + k * size, fill, size);
    return coefficients(c, r, s, value, threads, go);
}

// The windows that read copies of their boxes into `box`: each volume's
// box, then its rows. False once go() stops them.
bool run_copied(const call &c, const plan &p, const wins_t &wins, const std::pmr::vector<std::size_t> &copied,
                unsigned char *box, part_fn kernel, int threads, bool release, int pad, const go_fn &go)
{
    bool whole = true;
    for (std::size_t k = 0; whole && k < copied.size(); ++k) {
        const win &x = wins[copied[k]];
        const plan q = window_plan(p, x, box);
        const std::int64_t n = std::int64_t(q.wnz) * q.wny, each = rows_per_job(q, threads, release);
        for (std::int64_t v = x.v0; whole && v < x.v1; ++v) {
            copy_box(c, p, x, v, box, threads);
            whole = parallel(threads, (n + each - 1) / each, [&](std::int64_t i) {
                run_rows(c, kernel, q, v, i * each, std::min(n, (i + 1) * each), pad);
            }, go) && go();
        }
    }
    return whole;
}

// The work of a checked call into `out`, `voxels` of them, with the lock
// released for large calls; false with the exception set when it could not
// start or an interrupt stopped it (`out` then part-written).
bool run(const call &c, char *out, std::int64_t voxels)
{
    const int size = floats_out(c.rq.rule) ? 4 : elem_size(c.e);
    reading r;
    spline s;
    if (!read_source(c, size, r, s))
        return false;
    const plan p = plan_of(c, r, out, size);
    // cubic and antialias filter their box of the source first, whatever the output's size.
    const std::int64_t work = c.rq.rule == cubic || c.smooth ? std::max<std::int64_t>(voxels, c.im.count) : voxels;
    const int threads = thread_count(c.rq.cap, work);
    // Small calls keep the lock: taking it back can cost more than they do.
    const bool release = work >= 4096;
    // Room for a few windows and their spans without the heap; more take it.
    alignas(std::max_align_t) unsigned char room[2048];
    std::pmr::monotonic_buffer_resource arena(room, sizeof room);
    wins_t wins(&arena);
    std::pmr::vector<span> spans(&arena);
    std::pmr::vector<std::size_t> copied(&arena);
    std::int64_t most = 0, jobs = 0;
    if (!windows_of(p, r.bounded, wins)) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    if (!spans_of(p, wins, threads, release, spans, copied, most, jobs))
        return false;
    std::unique_ptr<unsigned char[], free_delete> box;
    if (most && !(box = decltype(box)(static_cast<unsigned char *>(std::malloc(std::size_t(most) * size))))) {
        PyErr_SetString(PyExc_MemoryError, text::nomem);
        return false;
    }
    const part_fn kernel = best_table().part;
    PyThreadState *state = release ? PyEval_SaveThread() : nullptr;
    auto next = release ? std::chrono::steady_clock::now() + std::chrono::milliseconds(50)
                        : std::chrono::steady_clock::time_point();
    auto go = [&] { return no_interrupt(state, next); };
    const bool empty = empty_source(c, r);
    const bool ready = prepare(c, r, s, out, voxels, size, threads, p.value, go);
    bool whole = ready && parallel(
        threads, empty ? 0 : jobs,
        [&](std::int64_t i) {
            const span &t = *(std::upper_bound(spans.begin(), spans.end(), i,
                                               [](std::int64_t j, const span &u) { return j < u.first; }) - 1);
            const std::int64_t j = i - t.first, first = j % t.jobs * t.per;
            run_rows(c, kernel, t.q, t.v0 + j / t.jobs, first, std::min(std::int64_t(t.q.wnz) * t.q.wny, first + t.per),
                     s.pad);
        },
        go);
    whole = whole && run_copied(c, p, wins, copied, box.get(), kernel, threads, release, s.pad, go);
    if (state)
        PyEval_RestoreThread(state);
    if (!ready && !PyErr_Occurred())  // not an interrupt: a filter's buffer
        PyErr_SetString(PyExc_MemoryError, text::nomem);
    return whole;
}

} // namespace

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

bool transform_work(const call &c, char *out)
{
    return run(c, out, c.od[0] * c.od[1] * c.od[2] * c.od[3]);
}

// The package's transform; with `check`, its checks alone (transform_check).
static PyObject *transform_run(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                               PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                               PyObject *antialias, PyObject *tile, PyObject *out, PyObject *workers, bool check)
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
        if (floats_out(c.rq.rule)) {
            const float value = static_cast<float>(c.rq.cval);
            std::memcpy(c.fill, &value, 4);
        }
        return checked(c.im.nd, c.od, c.rtype, c.fill, c.sp.get(), c.osp.get(), c.maps.get(), c.per_volume);
    }
    PyObject *const inputs[4] = {image, spacing, matrix, output_spacing};
    ref result(result_of(c, out, inputs));
    if (!result)
        return nullptr;
    // The result exists: its extents' product fits unless one is 0.
    const bool none = c.od[0] == 0 || c.od[1] == 0 || c.od[2] == 0 || c.od[3] == 0;
    const std::int64_t voxels = none ? 0 : c.od[0] * c.od[1] * c.od[2] * c.od[3];
    if (voxels == 0)
        return result.release();
    // Nothing may own a Python object across the release: a daemon thread
    // that takes the lock back during finalization is ended by unwinding
    // its stack, and a destructor run then would touch the interpreter
    // without a thread state. The reference is held bare until the lock is
    // back.
    PyObject *const res = result.release();
    narrow(c);
    if (!run(c, static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(res))), voxels)) {
        Py_DECREF(res);  // a part-written result is never handed out as one
        return nullptr;
    }
    return res;
}

PyObject *transform_into(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                         PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                         PyObject *antialias, PyObject *tile, PyObject *out, PyObject *workers)
{
    return transform_run(image, spacing, matrix, output_shape, output_spacing, cval, interpolation, mode, antialias,
                         tile, out, workers, false);
}

PyObject *transform_check(PyObject *image, PyObject *spacing, PyObject *matrix, PyObject *output_shape,
                          PyObject *output_spacing, PyObject *cval, PyObject *interpolation, PyObject *mode,
                          PyObject *antialias)
{
    return transform_run(image, spacing, matrix, output_shape, output_spacing, cval, interpolation, mode, antialias,
                         Py_None, Py_None, Py_None, true);
}
