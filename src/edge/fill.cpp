#define PY_ARRAY_UNIQUE_SYMBOL vx_array_api
#define NO_IMPORT_ARRAY
#include "edge/fill.h"

#include <numpy/arrayobject.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/label.h"
#include "edge/pyref.h"
#include "vocab/rules.h"
#include "vocab/texts.h"

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


namespace {

constexpr double two64 = 18446744073709551616.0;

// cval as a float element (e_f32 or the double kind): whether it is exact.
bool float_fill(const request &rq, int e, unsigned char fill[8])
{
    double d = rq.cval;
    bool ok = true;
    if (rq.cint) {  // an integer: exact in double when it comes back unchanged
        d = double(rq.cmag);
        ok = !rq.huge && d < two64 && static_cast<unsigned long long>(d) == rq.cmag;
        d = rq.cneg ? -d : d;
    }
    if (e != e_f32) {
        std::memcpy(fill, &d, 8);
        return ok;
    }
    const bool fits = std::isnan(d) || std::isinf(d) || std::fabs(d) <= double(FLT_MAX);
    ok = ok && fits && (std::isnan(d) || double(float(d)) == d);
    const float f = ok ? float(d) : 0.0f;
    std::memcpy(fill, &f, 4);
    return ok;
}

// cval as an integer element of kind e (bool: 0 or 1), in two's complement.
bool int_fill(const request &rq, int e, int type, unsigned char fill[8])
{
    const int bits = 8 * elem_size(e);
    const bool is_signed = elems[e].kind == 'i';
    bool neg = rq.cneg, ok = !rq.huge;
    unsigned long long mag = rq.cmag;
    if (!rq.cint) {
        const double d = rq.cval;
        ok = d == std::floor(d) && d > -two64 && d < two64;
        neg = d < 0;
        mag = ok ? static_cast<unsigned long long>(neg ? -d : d) : 0;
    }
    const unsigned long long top = is_signed ? (1ull << (bits - 1)) - 1
                                   : type == NPY_BOOL ? 1ull
                                   : bits == 64 ? ~0ull : (1ull << bits) - 1;
    ok = ok && (neg ? is_signed && mag <= top + 1 : mag <= top);
    const unsigned long long u = neg ? 0 - mag : mag;  // modulo 2^64
    const std::uint8_t u8 = std::uint8_t(u);
    const std::uint16_t u16 = std::uint16_t(u);
    const std::uint32_t u32 = std::uint32_t(u);
    const std::uint64_t u64 = u;
    if (bits == 8) std::memcpy(fill, &u8, 1);
    if (bits == 16) std::memcpy(fill, &u16, 2);
    if (bits == 32) std::memcpy(fill, &u32, 4);
    if (bits == 64) std::memcpy(fill, &u64, 8);
    return ok;
}

// The ValueError of a cval that an element of NumPy type `type` cannot hold.
void fill_error(const request &rq, int type)
{
    ref name(reinterpret_cast<PyObject *>(PyArray_DescrFromType(type)));
    if (!rq.inexact.empty())
        PyErr_Format(PyExc_ValueError, text::cval_inexact, rq.inexact.c_str(), name.get());
    else if (rq.cint && rq.huge)
        PyErr_Format(PyExc_ValueError, text::cval_huge, name.get());
    else if (rq.cint)
        PyErr_Format(PyExc_ValueError, text::cval_int, rq.cneg ? "-" : "", rq.cmag, name.get());
    else
        PyErr_Format(PyExc_ValueError, text::cval_real, ref(PyFloat_FromDouble(rq.cval)).get(),
                     name.get());
}

} // namespace

bool fill_of(const request &rq, int e, int type, unsigned char fill[8])
{
    const bool exact = elems[e].kind == 'f' ? float_fill(rq, e, fill) : int_fill(rq, e, type, fill);
    if (exact && rq.inexact.empty())
        return true;
    fill_error(rq, type);
    return false;
}
