#include "engine/workers.h"

#include <cerrno>
#include <climits>

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

#include "vocab/texts.h"

int cpu_count()
{
#if defined(__linux__)
    // The set grows until it holds every CPU the kernel knows of.
    for (int n = 1024; n <= (1 << 20); n *= 2) {
        cpu_set_t *set = CPU_ALLOC(n);
        if (!set)
            break;
        const std::size_t size = CPU_ALLOC_SIZE(n);
        const bool ok = sched_getaffinity(0, size, set) == 0;
        const int count = ok ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (ok)
            return std::max(count, 1);
        if (errno != EINVAL)
            break;
    }
#elif defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process) {
        int count = 0;
        for (; process; process &= process - 1)
            ++count;
        return count;
    }
#endif
    return std::max(1, int(std::thread::hardware_concurrency()));
}

int thread_cap(PyObject *workers)
{
    if (workers == Py_None)
        return every_cpu;
    PyObject *index = PyNumber_Index(workers);
    if (!index) {
        // Only "not an integer" becomes ours; an interrupt, MemoryError or
        // RecursionError from a user's __index__ passes through unchanged.
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return 0;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, text::workers_type,
                     Py_TYPE(workers)->tp_name);
        return 0;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow > 0 || (!overflow && n > INT_MAX))
        return INT_MAX;
    if (n == 0 && !overflow) {
        PyErr_SetString(PyExc_ValueError, text::workers_zero);
        return 0;
    }
    if (n > 0)
        return int(n);
    const int cpus = cpu_count();
    if (overflow < 0 || n < -cpus) {
        PyErr_Format(PyExc_ValueError, text::workers_range, workers, cpus, -cpus);
        return 0;
    }
    return int(cpus + 1 + n);
}

int thread_count(int cap, std::int64_t voxels)
{
    // Enough kernel work a thread to outweigh starting it many times over.
    constexpr std::int64_t grain = std::int64_t(1) << 16;
    const std::int64_t most = std::max<std::int64_t>(1, voxels / grain);
    if (most == 1 || cap == 1)
        return 1;
    // More threads than CPUs only share them, at the cost of their starts.
    const int cpus = cpu_count();
    return int(std::min<std::int64_t>(most, cap == every_cpu ? cpus : std::min(cap, cpus)));
}
