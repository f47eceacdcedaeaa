// The C-API table that checks.cpp fills (numpy_ready), named before any
// NumPy header.
#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "driver.h"

#include <numpy/arrayobject.h>

#include <chrono>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "checks.h"
#include "convert.h"
#include "fpmode.h"
#include "label.h"
#include "rules.h"
#include "resample_paths.h"
#include "texts.h"
#include "workers.h"

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

// ---- The arguments that can run a caller's code, converted first ----------

// Everything of a call that Python code could still change, as plain
// numbers: after this, no Python code runs until the work is done.
struct request {
    int cap;          // thread cap (thread_cap)
    int mode;         // interpolation: a rule (rules.h)
    double cval;
    // nearest and label: a cval with __index__ as the exact integer it is
    // (sign and magnitude; `huge` past 64 bits), else the double above.
    bool cint = false, cneg = false, huge = false;
    unsigned long long cmag = 0;
    std::string inexact;  // a cval no double holds, as its repr shows it
    int shape_n = 0;  // 0: the image's grid; else 3 or 4 extents
    npy_intp shape[4];
    bool tiled = false;
    npy_intp tile[9];
};

// Our TypeError in place of one from a conversion; anything else a
// caller's __index__, __float__ or __iter__ raised passes through unchanged.
bool retype(const char *format, PyObject *obj)
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, format, Py_TYPE(obj)->tp_name);
    return false;
}

// The first `most` integers of a sequence into v, their count into n. Values
// beyond the int64 range saturate (the checks refuse them). The items are
// read from a tuple of the sequence: an item's __index__ may change a list
// it sits in, never the tuple.
bool read_ints(PyObject *obj, const char *format, npy_intp *v, int most, int &n)
{
    ref seq(PySequence_Tuple(obj));
    if (!seq)
        return retype(format, obj);
    n = int(std::min<Py_ssize_t>(PyTuple_GET_SIZE(seq.get()), INT_MAX));
    for (int k = 0; k < n && k < most; ++k) {
        PyObject *item = PyTuple_GET_ITEM(seq.get(), k);
        ref index(PyNumber_Index(item));
        if (!index)
            return retype(format, item);
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        v[k] = overflow > 0 ? NPY_MAX_INTP : overflow < 0 ? NPY_MIN_INTP : npy_intp(x);
    }
    return true;
}

// An integer cval, exactly: sign and magnitude, `huge` past 64 bits.
void exact_int(PyObject *index, request &rq)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    rq.cint = true;
    rq.cneg = overflow < 0 || (overflow == 0 && v < 0);
    rq.cmag = v < 0 ? 0 - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    if (overflow > 0) {
        rq.cmag = PyLong_AsUnsignedLongLong(index);
        rq.huge = rq.cmag == static_cast<unsigned long long>(-1) && PyErr_Occurred();
    }
    rq.huge = rq.huge || overflow < 0;
    PyErr_Clear();
}

// A real cval that is not a float (a Fraction, a Decimal, NumPy's wider
// floats) may hold a value no double holds: an integral one is read as the
// integer it is; any other must equal its double, else no element type
// holds it exactly (`inexact`, with its repr for the message).
bool exact_real(PyObject *cval, request &rq)
{
    if (std::isnan(rq.cval))
        return true;
    ref d(PyFloat_FromDouble(rq.cval));
    const int same = d ? PyObject_RichCompareBool(cval, d.get(), Py_EQ) : -1;
    if (same != 0)
        return same > 0;
    ref whole(PyNumber_Long(cval));  // truncates toward zero
    const int integral = whole ? PyObject_RichCompareBool(cval, whole.get(), Py_EQ) : 0;
    if (!whole && !PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    if (integral < 0)
        return false;
    if (integral) {
        exact_int(whole.get(), rq);
        return true;
    }
    ref shown(PyObject_Repr(cval));
    const char *text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (!text)
        return false;
    rq.inexact = text;
    return true;
}

bool read_request(PyObject *workers, PyObject *interpolation, PyObject *cval, PyObject *output_shape,
                  PyObject *tile, request &rq)
{
    rq.cap = thread_cap(workers);
    if (rq.cap == 0)
        return false;
    rq.mode = -1;
    for (int k = 0; k < rule_count && PyUnicode_Check(interpolation); ++k)
        if (PyUnicode_CompareWithASCIIString(interpolation, rule_names[k]) == 0)
            rq.mode = k;
    if (rq.mode < 0) {
        PyErr_Format(PyExc_ValueError, text::interpolation, interpolation);
        return false;
    }
    if (rq.mode != linear && PyIndex_Check(cval)) {
        ref index(PyNumber_Index(cval));
        if (index) {
            exact_int(index.get(), rq);
        } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();  // an __index__ that refuses (NumPy's bool): read as a number below
        } else {
            return false;
        }
    }
    rq.cval = rq.cint ? 0.0 : PyFloat_AsDouble(cval);
    if (rq.cval == -1.0 && PyErr_Occurred())
        return retype(text::cval_type, cval);
    if (rq.mode != linear && !rq.cint && !PyFloat_Check(cval) && !exact_real(cval, rq))
        return false;
    if (output_shape != Py_None) {
        if (!read_ints(output_shape, text::shape_type, rq.shape, 4, rq.shape_n))
            return false;
        if (rq.shape_n < 3 || rq.shape_n > 4) {
            PyErr_Format(PyExc_ValueError, text::shape_count, rq.shape_n);
            return false;
        }
    }
    if (tile != Py_None) {
        int n = 0;
        if (!read_ints(tile, text::tile_type, rq.tile, 9, n))
            return false;
        if (n != 9) {
            PyErr_SetString(PyExc_ValueError, text::tile_count);
            return false;
        }
        rq.tiled = true;
    }
    return true;
}

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

// The element kind nearest or label reads and writes: the image's own,
// or -1 with ValueError set.
int elem_of(PyArrayObject *image, int mode)
{
    const npy_intp size = PyArray_ITEMSIZE(image);
    int e = size <= 8 ? elem_find(PyArray_DESCR(image)->kind, int(size)) : -1;
    if (e >= 0 && elems[e].kind == 'f' && mode != nearest)  // label compares labels, not floats
        e = -1;
    if (e < 0)
        PyErr_Format(PyExc_ValueError,
                     mode == label ? text::label_type : text::nearest_type,
                     reinterpret_cast<PyObject *>(PyArray_DESCR(image)));
    return e;
}

// cval as one element of kind e (bool: 0 or 1) into fill, or false with
// ValueError set when that element cannot hold it exactly.
bool fill_of(const request &rq, int e, int type, unsigned char fill[8])
{
    constexpr double two64 = 18446744073709551616.0;
    bool ok = false;
    if (elems[e].kind == 'f') {
        double d = rq.cval;
        if (rq.cint) {  // an integer: exact in double when it comes back unchanged
            d = double(rq.cmag);
            ok = !rq.huge && d < two64 && static_cast<unsigned long long>(d) == rq.cmag;
            d = rq.cneg ? -d : d;
        } else {
            ok = true;
        }
        if (e == e_f32) {
            const bool fits = std::isnan(d) || std::isinf(d) || std::fabs(d) <= double(FLT_MAX);
            ok = ok && fits && (std::isnan(d) || double(float(d)) == d);
            const float f = ok ? float(d) : 0.0f;
            std::memcpy(fill, &f, 4);
        } else {
            std::memcpy(fill, &d, 8);
        }
    } else {
        const int bits = 8 * elem_size(e);
        const bool is_signed = elems[e].kind == 'i';
        bool neg = rq.cneg;
        unsigned long long mag = rq.cmag;
        if (rq.cint) {
            ok = !rq.huge;
        } else {
            const double d = rq.cval;
            ok = d == std::floor(d) && d > -two64 && d < two64;
            neg = d < 0;
            mag = ok ? static_cast<unsigned long long>(neg ? -d : d) : 0;
        }
        const unsigned long long top = is_signed ? (1ull << (bits - 1)) - 1
                                       : type == NPY_BOOL ? 1ull
                                       : bits == 64 ? ~0ull : (1ull << bits) - 1;
        ok = ok && (neg ? is_signed && mag <= top + 1 : mag <= top);
        const unsigned long long u = neg ? 0 - mag : mag;  // two's complement, modulo 2^64
        const std::uint8_t u8 = std::uint8_t(u);
        const std::uint16_t u16 = std::uint16_t(u);
        const std::uint32_t u32 = std::uint32_t(u);
        const std::uint64_t u64 = u;
        if (bits == 8) std::memcpy(fill, &u8, 1);
        if (bits == 16) std::memcpy(fill, &u16, 2);
        if (bits == 32) std::memcpy(fill, &u32, 4);
        if (bits == 64) std::memcpy(fill, &u64, 8);
    }
    ok = ok && rq.inexact.empty();
    if (!ok) {
        ref name(reinterpret_cast<PyObject *>(PyArray_DescrFromType(type)));
        if (!rq.inexact.empty())
            PyErr_Format(PyExc_ValueError, text::cval_inexact, rq.inexact.c_str(),
                         name.get());
        else if (rq.cint && rq.huge)
            PyErr_Format(PyExc_ValueError, text::cval_huge,
                         name.get());
        else if (rq.cint)
            PyErr_Format(PyExc_ValueError, text::cval_int, rq.cneg ? "-" : "",
                         rq.cmag, name.get());
        else
            PyErr_Format(PyExc_ValueError, text::cval_real,
                         ref(PyFloat_FromDouble(rq.cval)).get(), name.get());
    }
    return ok;
}

// ---- The work --------------------------------------------------------------

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
    constexpr std::int64_t far = extent_limit;
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
    return {p.src.data ? p.src.data + v * p.src.volume : nullptr, p.src.slice, p.src.row,
            p.X, p.Y, p.Z, p.bx, p.by, p.bz, p.bnx, p.bny, p.bnz,
            p.out ? p.out + v * window : nullptr, std::int64_t(p.wny) * p.wnx, p.wnx,
            p.wx, p.wy, p.wz, p.wnx, p.wny, p.wnz, int(first), int(last), true, p.value,
            p.spacing, p.out_spacing, map_of(p, v)};
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

// nearest and label read a native image with dense, aligned rows (bool
// aside: its bytes are made 0 or 1) where it lies, within the same 32-bit
// reach as in_place; strides into src in elements.
bool typed_in_place(const block &b, int size, source &src)
{
    if (b.type == NPY_BOOL || b.swapped || reinterpret_cast<std::uintptr_t>(b.data) % size)
        return false;
    std::int64_t st[4], reach = 0;
    for (int k = 0; k < 4; ++k) {
        st[k] = b.d[k] > 1 ? b.s[k] : 0;
        if (st[k] % size)
            return false;
        st[k] /= size;
    }
    if (st[1] < 0 || st[2] < 0 || (b.d[3] > 1 && st[3] != 1))
        return false;
    constexpr std::int64_t far = extent_limit;
    for (int k = 1; k < 4; ++k) {
        if (st[k] >= far)
            return false;
        reach += (b.d[k] - 1) * st[k];
        if (reach >= far)
            return false;
    }
    src = {nullptr, st[0], st[1], st[2]};
    return true;
}

// Calls copy(first element, d, s, q) for every slice q of the image (its
// volumes' slices in order), as one 1 x 1 x Y x X block, some slices a job.
template <class F> void each_slice(const block &b, int threads, F &&copy)
{
    const std::int64_t slices = b.d[0] * b.d[1], plane = b.d[2] * b.d[3];
    const std::int64_t per = threads == 1 ? slices : std::max<std::int64_t>(1, (std::int64_t(1) << 16) / std::max<std::int64_t>(plane, 1));
    const std::int64_t d[4] = {1, 1, b.d[2], b.d[3]}, s[4] = {0, 0, b.s[2], b.s[3]};
    parallel(threads, (slices + per - 1) / per, [&](std::int64_t i) {
        for (std::int64_t q = i * per; q < std::min(slices, (i + 1) * per); ++q)
            copy(b.data + q / b.d[1] * b.s[0] + q % b.d[1] * b.s[1], d, s, q);
    });
}

// Copies the image, as elements, into the dense buffer `dst`.
void copy_typed(const block &b, int size, unsigned char *dst, int threads)
{
    const std::int64_t plane = b.d[2] * b.d[3];
    each_slice(b, threads, [&](const char *p, const std::int64_t *d, const std::int64_t *s, std::int64_t q) {
        copy_elems(p, d, s, size, b.swapped, b.type == NPY_BOOL, dst + q * plane * size);
    });
}

// Converts the image into the dense float buffer `dst`.
void convert(const block &b, float *dst, int threads)
{
    const std::int64_t plane = b.d[2] * b.d[3];
    each_slice(b, threads, [&](const char *p, const std::int64_t *d, const std::int64_t *s, std::int64_t q) {
        read_block(p, d, s, b.type, b.swapped, package_types, dst + q * plane);
    });
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

} // namespace

// The package's transform; with `check`, its checks alone (transform_check).
static PyObject *transform_run(PyObject *image_obj, PyObject *spacing, PyObject *matrix, PyObject *out_obj,
                               PyObject *workers, PyObject *output_shape, PyObject *output_spacing, PyObject *cval,
                               PyObject *interpolation, PyObject *tile, bool check)
{
    if (!numpy_ready())
        return nullptr;
    // Conversions run callers' code (__index__, __float__, __iter__) that may
    // change any argument: all of them first, and no Python code after the
    // last check.
    request rq;
    if (!read_request(workers, interpolation, cval, output_shape, tile, rq))
        return nullptr;
    const fp_scope mode;
    // The checks of the module's transform, in its order, then the output
    // grid's, the tile's and out's.
    image_shape im;
    if (!check_image(image_obj, im, rq.shape_n == 0 && !check, package_types))
        return nullptr;
    auto *image = reinterpret_cast<PyArrayObject *>(image_obj);
    if (!check_source(image, im, check))
        return nullptr;
    // nearest and label: the image's element type, in and out, and cval as one.
    int e = -1;
    const int rtype = rq.mode == linear ? NPY_FLOAT : PyArray_TYPE(image);
    unsigned char fill[8] = {};
    if (rq.mode != linear && ((e = elem_of(image, rq.mode)) < 0 || !fill_of(rq, e, rtype, fill)))
        return nullptr;
    npy_intp od[4];
    if (!output_grid(rq, im, od, check))
        return nullptr;
    fbuf sp(read_first(spacing, "spacing", 3));
    if (!sp)
        return nullptr;
    bool per_volume = false;
    fbuf maps;
    if (PyArray_Check(matrix) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(matrix)) >= 2)
        maps.reset(read_maps(reinterpret_cast<PyArrayObject *>(matrix), im, per_volume));
    else
        maps.reset(read_first(matrix, "matrix", 12));
    if (!maps)
        return nullptr;
    fbuf osp;
    if (output_spacing != Py_None && !(osp = fbuf(read_output_spacing(output_spacing))))
        return nullptr;
    if (rq.tiled && !check_tile(rq, im, od))
        return nullptr;
    if (check) {
        if (rq.mode == linear) {
            const float value = static_cast<float>(rq.cval);
            std::memcpy(fill, &value, 4);
        }
        return checked(im.nd, od, rtype, fill, sp.get(), osp.get(), maps.get(), per_volume);
    }
    ref result;
    if (out_obj != Py_None) {
        PyObject *const inputs[4] = {image_obj, spacing, matrix, output_spacing};
        if (!check_out(out_obj, im.nd, od, rq.shape_n == 0, inputs, rtype))
            return nullptr;
        Py_INCREF(out_obj);
        result.reset(out_obj);
    } else {
        result.reset(PyArray_New(&PyArray_Type, im.nd, od + 4 - im.nd, rtype, nullptr, nullptr, 0, 0,
                                 nullptr));
        if (!result) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_MemoryError, text::nomem);
            }
            return nullptr;
        }
    }
    const std::int64_t voxels = od[0] * od[1] * od[2] * od[3];
    if (voxels == 0)
        return result.release();

    // The source: read in place, or converted once into a dense buffer.
    const block b = block_of(image, im.nd);
    source src{};
    fbuf dense;
    // nearest and label: the image's elements where they lie, or one dense copy.
    const int size = rq.mode == linear ? 4 : elem_size(e);
    const char *tsrc = nullptr;
    std::unique_ptr<unsigned char[], free_delete> tcopy;
    if (rq.mode != linear && im.count > 0) {
        if (typed_in_place(b, size, src)) {
            tsrc = b.data;
        } else {
            tcopy.reset(static_cast<unsigned char *>(std::malloc(std::size_t(im.count) * size)));
            if (!tcopy) {
                PyErr_SetString(PyExc_MemoryError, reader_nomem(im.nd));
                return nullptr;
            }
            tsrc = reinterpret_cast<const char *>(tcopy.get());
            src = {nullptr, b.d[1] * b.d[2] * b.d[3], b.d[2] * b.d[3], b.d[3]};
        }
    } else if (rq.mode == linear && im.count > 0 && !in_place(b, src)) {
        dense.reset(alloc_floats(im.count, false));
        if (!dense) {
            PyErr_SetString(PyExc_MemoryError, reader_nomem(im.nd));
            return nullptr;
        }
        src = {dense.get(), b.d[1] * b.d[2] * b.d[3], b.d[2] * b.d[3], b.d[3]};
    }
    const npy_intp *t = rq.tile;
    const int threads = thread_count(rq.cap, voxels);
    plan p{};
    p.src = src;
    p.bnz = int(im.dims[1]), p.bny = int(im.dims[2]), p.bnx = int(im.dims[3]);
    if (rq.tiled) {
        p.Z = int(t[0]), p.Y = int(t[1]), p.X = int(t[2]);
        p.bz = int(t[3]), p.by = int(t[4]), p.bx = int(t[5]);
        p.wz = int(t[6]), p.wy = int(t[7]), p.wx = int(t[8]);
    } else {
        p.Z = p.bnz, p.Y = p.bny, p.X = p.bnx;
    }
    char *const tout = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result.get())));
    p.out = rq.mode == linear ? reinterpret_cast<float *>(tout) : nullptr;
    p.N = int(od[0]), p.wnz = int(od[1]), p.wny = int(od[2]), p.wnx = int(od[3]);
    p.spacing = sp.get(), p.out_spacing = osp ? osp.get() : sp.get(), p.maps = maps.get();
    p.per_volume = per_volume;
    p.value = static_cast<float>(rq.cval);
    // Small calls keep the lock: taking it back can cost more than they do.
    const bool release = voxels >= 4096;
    const std::int64_t rows = std::int64_t(p.wnz) * p.wny, per = rows_per_job(p, threads, release);
    const std::int64_t jobs = (rows + per - 1) / per;  // in each volume
    const part_fn kernel = best_part();
    // Nothing may own a Python object across the release: a daemon thread
    // that takes the lock back during finalization is ended by unwinding
    // its stack, and a destructor run then would touch the interpreter
    // without a thread state. The reference is held bare until the lock is
    // back.
    PyObject *const res = result.release();
    PyThreadState *state = release ? PyEval_SaveThread() : nullptr;
    if (dense)
        convert(b, dense.get(), threads);
    if (tcopy)
        copy_typed(b, size, tcopy.get(), threads);
    typed tp{nullptr, nullptr, e, rq.mode, {}};
    std::memcpy(tp.fill, fill, sizeof fill);
    const std::int64_t window = std::int64_t(p.wnz) * p.wny * p.wnx;
    if (rq.mode != linear && !tsrc)  // an empty source: nothing maps
        for (std::int64_t k = 0; k < voxels; ++k)
            std::memcpy(tout + k * size, fill, size);
    auto next = release ? std::chrono::steady_clock::now() + std::chrono::milliseconds(50)
                        : std::chrono::steady_clock::time_point();
    const bool whole = parallel(
        threads, rq.mode != linear && !tsrc ? 0 : p.N * jobs,
        [&](std::int64_t i) {
            const std::int64_t v = i / jobs, first = i % jobs * per;
            const part q = volume_part(p, v, first, std::min(rows, first + per));
            if (rq.mode == linear) {
                kernel(q);
                return;
            }
            typed t = tp;
            t.src = tsrc + v * src.volume * size;
            t.out = tout + v * window * size;
            label_part(q, t);
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
