#include "engine/workers.h"

#include <cerrno>

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif


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
