#include "transform.h"

#include <numpy/arrayobject.h>  // this unit's own C-API table

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "convert.h"
#include "fpmode.h"
#include "resample.h"
#include "resample_paths.h"
#include "workers.h"

static_assert(std::is_same_v<npy_intp, std::int64_t>, "the kernel takes dims as npy_intp");

namespace {

// The output buffer's byte count must fit a signed 32-bit integer.
constexpr std::int64_t max_elements = (std::int64_t(1) << 29) - 1;

bool numpy_ready()
{
    if (_import_array() >= 0)
        return true;
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    return false;
}

// Arguments arrive from Python untested; anything but an ndarray is refused
// before it is read as one.
bool is_array(PyObject *a, const char *name)
{
    if (PyArray_Check(a))
        return true;
    PyErr_Format(PyExc_TypeError, "transform: %s must be a numpy.ndarray, not %.200s", name,
                 Py_TYPE(a)->tp_name);
    return false;
}

// The kernel reads `need` values along the first axis whatever the length.
bool long_enough(PyArrayObject *a, const char *name, npy_intp need)
{
    if (PyArray_NDIM(a) == 0) {
        PyErr_Format(PyExc_ValueError,
                     "transform: %s needs at least %zd values along its first axis, got a 0-d array",
                     name, need);
        return false;
    }
    // Values along axis 0 exist only if every other axis has some: a
    // (3, 0) array has none to read.
    if (PyArray_DIMS(a)[0] >= need && PyArray_SIZE(a) == 0) {
        PyErr_Format(PyExc_ValueError,
                     "transform: %s needs at least %zd values along its first axis, got an empty array",
                     name, need);
        return false;
    }
    if (PyArray_DIMS(a)[0] < need) {
        PyErr_Format(PyExc_ValueError,
                     "transform: %s needs at least %zd values along its first axis, got %zd", name,
                     need, PyArray_DIMS(a)[0]);
        return false;
    }
    return true;
}

// NumPy holds an array only while its nonzero extents times the item size
// fit an npy_intp, even when another extent is 0.
bool float32_shape_fits(const npy_intp d[4])
{
    npy_intp bytes = 4;
    for (int k = 0; k < 4; ++k) {
        if (d[k] == 0)
            continue;
        if (bytes > NPY_MAX_INTP / d[k])
            return false;
        bytes *= d[k];
    }
    return true;
}

float *read_vector(PyObject *a, const char *name, npy_intp need)
{
    if (!is_array(a, name))
        return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    if (!long_enough(arr, name, need))
        return nullptr;
    return array2float(arr);
}

// The image's checks before its reader's: an array of 3 or 4 dimensions,
// whose result NumPy can hold and whose output buffer can exist. Fills
// nd, the extents N, Z, Y, X (N = 1 for 3-D) and the element count.
struct image_shape {
    int nd;
    npy_intp dims[4];
    std::int64_t count;
};

bool check_image(PyObject *obj, image_shape &im)
{
    if (!is_array(obj, "image"))
        return false;
    auto *image = reinterpret_cast<PyArrayObject *>(obj);
    im.nd = PyArray_NDIM(image);
    if (im.nd != 3 && im.nd != 4) {
        PyErr_Format(PyExc_ValueError, "transform: image must have 3 or 4 dimensions, got %d", im.nd);
        return false;
    }
    // Whole extents: an empty image keeps its own shape even where an
    // extent is out of the readers' range.
    for (int k = 0; k < 4; ++k)
        im.dims[k] = 1;
    std::memcpy(im.dims + 4 - im.nd, PyArray_DIMS(image), im.nd * sizeof(npy_intp));
    im.count = block_count(im.dims, image3d_limit);
    if (im.count == 0 && !float32_shape_fits(im.dims)) {  // the reader's refusal of huge extents
        PyErr_SetString(PyExc_MemoryError, im.nd == 4 ? "Failed to allocate memory in array2float4d"
                                                      : "Failed to allocate memory in array2float3d");
        return false;
    }
    // A 3-D image the reader would take but the output buffer cannot hold is
    // refused before a buffer of up to 8 GiB is read only to be dropped.
    if (im.nd == 3 && im.count > max_elements && accepted(PyArray_TYPE(image), false)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
        return false;
    }
    return true;
}

} // namespace

PyObject *transform(PyArrayObject *image, PyArrayObject *spacing, PyArrayObject *matrix)
{
    if (!numpy_ready())
        return nullptr;
    const fp_scope mode;  // the readers' rounding too
    image_shape im;
    if (!check_image(reinterpret_cast<PyObject *>(image), im))
        return nullptr;
    const int nd = im.nd;
    npy_intp *dims = im.dims;
    // From here on the readers' limits hold: count is below 2^29.
    fbuf img(nd == 4 ? array2float4d(image) : array2float3d(image));
    if (!img)
        return nullptr;
    // calloc: fresh pages come zeroed without a pass over them.
    fbuf out(alloc_floats(im.count, true));  // an empty image may get NULL: not a failure
    if (!out && im.count > 0) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
        return nullptr;
    }

    fbuf sp(read_vector(reinterpret_cast<PyObject *>(spacing), "spacing", 3));
    if (!sp)
        return nullptr;
    fbuf mx(read_vector(reinterpret_cast<PyObject *>(matrix), "matrix", 12));
    if (!mx)
        return nullptr;

    resample_trilinear(img.get(), dims, sp.get(), mx.get(), out.get());

    PyObject *res = PyArray_New(&PyArray_Type, nd, dims + 4 - nd, NPY_FLOAT, nullptr, nullptr, 0, 0,
                                nullptr);
    if (!res)
        return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(res);
    // The array is new and float32: the writer cannot refuse it.
    if (nd == 4)
        float2array4d(out.get(), arr);
    else
        float2array3d(out.get(), arr);
    return PyArray_Return(arr);
}

// ---- The package's entry ---------------------------------------------------

namespace {

struct decref {
    void operator()(PyObject *o) const noexcept { Py_DECREF(o); }
};
using ref = std::unique_ptr<PyObject, decref>;

std::string shape_text(const npy_intp *d, int nd)
{
    std::string s = "(";
    for (int k = 0; k < nd; ++k)
        s += (k ? ", " : "") + std::to_string(d[k]);
    return s + (nd == 1 ? ",)" : ")");
}

std::string shape_text(PyArrayObject *a) { return shape_text(PyArray_DIMS(a), PyArray_NDIM(a)); }

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
        PyErr_Format(PyExc_ValueError,
                     "transform: a matrix of shape %s does not fit %s; a matrix is 12 or more values "
                     "along one axis, a (3, 4) or (4, 4) array, or for a 4-D image of N volumes an "
                     "(N, 12), (N, 16), (N, 3, 4) or (N, 4, 4) array",
                     shape_text(m).c_str(), image.c_str());
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
bool check_out(PyObject *obj, const image_shape &im, PyObject *const inputs[3])
{
    if (!is_array(obj, "out"))
        return false;
    auto *out = reinterpret_cast<PyArrayObject *>(obj);
    PyArray_Descr *type = PyArray_DESCR(out);
    if (PyArray_TYPE(out) != NPY_FLOAT || !PyArray_ISNBO(type->byteorder)) {
        PyErr_Format(PyExc_ValueError, "transform: out must be float32 in the machine's byte order, not %R",
                     reinterpret_cast<PyObject *>(type));
        return false;
    }
    const char *fault = !PyArray_IS_C_CONTIGUOUS(out) ? "C-contiguous"
                        : !PyArray_ISALIGNED(out)     ? "aligned"
                        : !PyArray_ISWRITEABLE(out)   ? "writeable"
                                                      : nullptr;
    if (fault) {
        PyErr_Format(PyExc_ValueError, "transform: out must be %s", fault);
        return false;
    }
    if (PyArray_NDIM(out) != im.nd ||
        std::memcmp(PyArray_DIMS(out), im.dims + 4 - im.nd, im.nd * sizeof(npy_intp)) != 0) {
        PyErr_Format(PyExc_ValueError, "transform: out must have the image's shape %s, not %s",
                     shape_text(im.dims + 4 - im.nd, im.nd).c_str(), shape_text(out).c_str());
        return false;
    }
    static const char *const names[3] = {"image", "spacing", "matrix"};
    for (int k = 0; k < 3; ++k)
        if (!apart(out, reinterpret_cast<PyArrayObject *>(inputs[k]))) {
            PyErr_Format(PyExc_ValueError, "transform: out must not share memory with %s", names[k]);
            return false;
        }
    return true;
}

// The source as the kernel reads it: sample (n, z, y, x) at
// data[n * volume + z * slice + y * row + x].
struct source {
    const float *data;
    std::int64_t volume, slice, row;
};

// A native float32 image with dense, aligned rows and non-negative slice and
// row strides is read where it lies, when its furthest sample within a
// volume is one the kernel's 32-bit offsets reach.
bool in_place(const block &b, source &src)
{
    if (b.type != NPY_FLOAT || b.swapped || reinterpret_cast<std::uintptr_t>(b.data) % alignof(float))
        return false;
    std::int64_t st[4], reach = 0;
    for (int k = 0; k < 4; ++k) {
        st[k] = b.d[k] > 1 ? b.s[k] : 0;  // an axis of extent 1 never steps
        if (st[k] % 4)
            return false;
        st[k] /= 4;
    }
    if (st[1] < 0 || st[2] < 0 || (b.d[3] > 1 && st[3] != 1))
        return false;
    constexpr std::int64_t far = std::int64_t(1) << 31;
    for (int k = 1; k < 4; ++k) {
        if (st[k] >= far)  // extents are below 2^31: the product below fits
            return false;
        reach += (b.d[k] - 1) * st[k];
        if (reach >= far)
            return false;
    }
    src = {reinterpret_cast<const float *>(b.data), st[0], st[1], st[2]};
    return true;
}

// Every volume's rows, cut into jobs of whole rows. Each row is computed as
// on one thread, so the bits never depend on the cut.
struct plan {
    source src;
    float *out;
    int N, Z, Y, X;
    const float *spacing, *maps;
    bool per_volume;
};

const float *map_of(const plan &p, std::int64_t v) { return p.maps + (p.per_volume ? 12 * v : 0); }

part volume_part(const plan &p, std::int64_t v, std::int64_t first, std::int64_t last)
{
    const std::ptrdiff_t volume = std::ptrdiff_t(p.Z) * p.Y * p.X;
    part q = whole_volume(p.src.data + v * p.src.volume, p.out + v * volume, p.X, p.Y, p.Z, p.spacing,
                          map_of(p, v));
    q.slice = p.src.slice, q.row = p.src.row;
    q.first = int(first), q.last = int(last), q.fill = true;
    return q;
}

// Rows per job, within one volume: enough jobs for the threads to even out
// (and for a lone thread to look for interrupts between them), each worth
// taking, and where there are enough, whole multiples of the
// kernel's own unit (its tiles of slices).
std::int64_t rows_per_job(const plan &p, int threads)
{
    const std::int64_t rows = std::int64_t(p.Z) * p.Y;
    const std::int64_t want = std::max<std::int64_t>(
        (std::int64_t(1) << 14) / p.X + 1, p.N * rows / (std::int64_t(threads) * 8));
    const std::int64_t unit = rows_per_chunk(volume_part(p, 0, 0, rows));
    if (p.N * ((rows + unit - 1) / unit) >= 4 * threads)
        return unit * std::max<std::int64_t>(1, want / unit);
    return std::min(rows, want);
}

// Converts the image into the dense buffer `dst`, some slices a job.
void convert(const block &b, float *dst, int threads)
{
    const std::int64_t slices = b.d[0] * b.d[1], plane = b.d[2] * b.d[3];
    const std::int64_t per = threads == 1 ? slices : std::max<std::int64_t>(1, (std::int64_t(1) << 16) / std::max<std::int64_t>(plane, 1));
    parallel(threads, (slices + per - 1) / per, [&](std::int64_t i) {
        for (std::int64_t q = i * per; q < std::min(slices, (i + 1) * per); ++q) {
            const std::int64_t n = q / b.d[1], z = q % b.d[1];
            const std::int64_t d[4] = {1, 1, b.d[2], b.d[3]}, s[4] = {0, 0, b.s[2], b.s[3]};
            read_block(b.data + n * b.s[0] + z * b.s[1], d, s, b.type, b.swapped, false, dst + q * plane);
        }
    });
}

// Signals reach Python only through the main thread with the lock held:
// every 50 ms of its own jobs the calling thread takes the lock back to let
// them run. False, with the handler's exception (KeyboardInterrupt) set,
// when one raised.
bool no_interrupt(PyThreadState *&state, std::chrono::steady_clock::time_point &next)
{
    const auto now = std::chrono::steady_clock::now();
    if (!state || now < next)
        return true;
    PyEval_RestoreThread(state);
    const bool ok = PyErr_CheckSignals() == 0;
    state = PyEval_SaveThread();
    next = now + std::chrono::milliseconds(50);
    return ok;
}

} // namespace

PyObject *transform_into(PyObject *image_obj, PyObject *spacing, PyObject *matrix, PyObject *out_obj,
                         PyObject *workers)
{
    // The table is this unit's own; once filled it stays valid.
    if (!PyArray_API && !numpy_ready())
        return nullptr;
    // workers' __index__ is user code that may change any argument: it runs
    // before the first check, and no Python code runs after the last one.
    const int cap = thread_cap(workers);
    if (cap == 0)
        return nullptr;
    const fp_scope mode;
    // The checks of the module's transform, in its order, then out.
    image_shape im;
    if (!check_image(image_obj, im))
        return nullptr;
    auto *image = reinterpret_cast<PyArrayObject *>(image_obj);
    if (check_read(image, im.nd) < 0)
        return nullptr;
    const block b = block_of(image, im.nd);
    source src{};
    fbuf dense;
    if (im.count > 0 && !in_place(b, src)) {
        dense.reset(alloc_floats(im.count, false));
        if (!dense) {
            PyErr_SetString(PyExc_MemoryError, im.nd == 4 ? "Failed to allocate memory in array2float4d"
                                                          : "Failed to allocate memory in array2float3d");
            return nullptr;
        }
        src = {dense.get(), b.d[1] * b.d[2] * b.d[3], b.d[2] * b.d[3], b.d[3]};
    }
    ref result;
    if (out_obj == Py_None) {
        result.reset(PyArray_New(&PyArray_Type, im.nd, im.dims + 4 - im.nd, NPY_FLOAT, nullptr, nullptr,
                                 0, 0, nullptr));
        if (!result) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
            }
            return nullptr;
        }
    }
    fbuf sp(read_vector(spacing, "spacing", 3));
    if (!sp)
        return nullptr;
    bool per_volume = false;
    fbuf maps;
    if (PyArray_Check(matrix) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(matrix)) >= 2)
        maps.reset(read_maps(reinterpret_cast<PyArrayObject *>(matrix), im, per_volume));
    else
        maps.reset(read_vector(matrix, "matrix", 12));
    if (!maps)
        return nullptr;
    PyObject *const inputs[3] = {image_obj, spacing, matrix};
    if (out_obj != Py_None) {
        if (!check_out(out_obj, im, inputs))
            return nullptr;
        Py_INCREF(out_obj);
        result.reset(out_obj);
    }
    if (im.count == 0)
        return result.release();

    const int threads = thread_count(cap, im.count);
    const plan p{src,
                 static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result.get()))),
                 int(im.dims[0]), int(im.dims[1]), int(im.dims[2]), int(im.dims[3]),
                 sp.get(), maps.get(), per_volume};
    const std::int64_t rows = std::int64_t(p.Z) * p.Y, per = rows_per_job(p, threads);
    const std::int64_t jobs = (rows + per - 1) / per;  // in each volume
    const part_fn kernel = best_part();
    // Nothing may own a Python object across the release: a daemon thread
    // that takes the lock back during finalization is ended by unwinding
    // its stack, and a destructor run then would touch the interpreter
    // without a thread state. The reference is held bare until the lock is
    // back. Small calls keep the lock: taking it back can cost more than
    // they do.
    PyObject *const res = result.release();
    PyThreadState *state = im.count >= 4096 ? PyEval_SaveThread() : nullptr;
    if (dense)
        convert(b, dense.get(), threads);
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    const bool whole = parallel(
        threads, p.N * jobs,
        [&](std::int64_t i) {
            const std::int64_t v = i / jobs, first = i % jobs * per;
            kernel(volume_part(p, v, first, std::min(rows, first + per)));
        },
        [&] { return no_interrupt(state, next); });
    if (state)
        PyEval_RestoreThread(state);
    if (!whole) {  // a part-written result is never handed out as one
        Py_DECREF(res);
        return nullptr;
    }
    return res;
}
