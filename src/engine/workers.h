// Threads for one call: started by the call, joined before it returns, so
// none outlives it and a forked child starts clean.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "vocab/fpmode.h"

// The CPUs this process may run on (its affinity where the system has one).
int cpu_count();

// The thread cap of the `workers` argument None (request.h's thread_cap).
constexpr int every_cpu = -1;

// Threads worth running `voxels` of work under `cap`: each must have enough
// to pay for its start, so small calls run on the caller's thread alone,
// and never more than the CPUs this process may run on.
int thread_count(int cap, std::int64_t voxels);

// Calls job(i) for every i in [0, count) on up to `threads` threads, the
// calling one among them. Which thread takes which i is left to chance, so
// each job must stand alone. Where the system refuses a thread, the ones
// already running (or the caller alone) do all the work. The threads it
// starts run in the defined floating-point mode (fpmode.h); the caller
// sets its own. The calling thread runs go() between its jobs: once that
// returns false no job starts, and parallel returns false. Needs no
// interpreter; neither job nor go may throw.
template <class F, class G> bool parallel(int threads, std::int64_t count, F &&job, G &&go)
{
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false};
    auto work = [&] {
        for (std::int64_t i; !stop.load(std::memory_order_relaxed) &&
                             (i = next.fetch_add(1, std::memory_order_relaxed)) < count;)
            job(i);
    };
    // Joined on every way out: go() may take the interpreter lock back, and
    // a daemon thread that does so during finalization is ended by
    // unwinding its stack, through here.
    struct team_t {
        std::vector<std::thread> threads;
        std::atomic<bool> &stop;
        ~team_t()
        {
            stop.store(true, std::memory_order_relaxed);
            for (std::thread &t : threads)
                t.join();
        }
    } team{{}, stop};
    const std::int64_t extra = std::min<std::int64_t>(threads, count) - 1;
    for (std::int64_t t = 0; t < extra; ++t) {
        try {
            team.threads.emplace_back([&work] {
                fp_enter();  // the thread ends with the call: nothing to hand back
                work();
            });
        } catch (...) {
            break;
        }
    }
    for (std::int64_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
        job(i);
        if (!go())
            return false;  // the team stops after its current jobs
    }
    return true;
}

template <class F> void parallel(int threads, std::int64_t count, F &&job)
{
    parallel(threads, count, job, [] { return true; });
}
