// The arithmetic is defined under round-to-nearest-even with IEEE
// subnormals. A caller's thread may run in another mode (a library built
// with fast-math can set flush-to-zero for the whole process when it is
// loaded): every call runs in the defined mode and hands the caller's back.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#else
#include <cfenv>
#endif

#if defined(__x86_64__) || defined(_M_X64)
// MXCSR alone: the kernels use SSE and wider, never the x87 unit. Its
// default masks every exception, rounds to nearest and keeps subnormals.
// The exception flags (the low six bits) only record what happened, so a
// mode that differs in them alone is left as it is: writing the register
// costs more than the rest of a small call's set-up.
using fp_mode = unsigned;
inline fp_mode fp_enter()
{
    const fp_mode saved = _mm_getcsr();
    if ((saved & ~0x3fu) != 0x1f80u)
        _mm_setcsr(0x1f80u);
    return saved;
}
inline void fp_leave(fp_mode saved)
{
    if ((saved & ~0x3fu) != 0x1f80u)
        _mm_setcsr(saved);
}
#else
using fp_mode = std::fenv_t;
inline fp_mode fp_enter()
{
    fp_mode saved;
    std::fegetenv(&saved);
    std::fesetenv(FE_DFL_ENV);
    return saved;
}
inline void fp_leave(const fp_mode &saved) { std::fesetenv(&saved); }
#endif

// The defined mode for one scope; the caller's comes back at its end.
struct fp_scope {
    fp_mode saved = fp_enter();
    fp_scope() = default;
    fp_scope(const fp_scope &) = delete;
    fp_scope &operator=(const fp_scope &) = delete;
    ~fp_scope() { fp_leave(saved); }
};
