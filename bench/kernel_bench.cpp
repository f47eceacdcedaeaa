// The kernel alone, per path, on warm buffers: ns per output voxel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "resample_paths.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

struct free_deleter {
    void operator()(float *p) const { std::free(p); }
};
using buffer = std::unique_ptr<float[], free_deleter>;

// Zeroed buffers on huge pages where the system offers them, as the module
// advises its own large buffers: the kernel's time, not the page walks'.
buffer huge_buffer(std::size_t count)
{
    constexpr std::size_t huge = std::size_t(1) << 21;
    const std::size_t bytes = (count * 4 + huge - 1) / huge * huge;
    float *p = static_cast<float *>(std::aligned_alloc(huge, bytes));
    if (!p)
        throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    std::memset(p, 0, bytes);
    return buffer(p);
}

// Rotation by `deg` about the Z axis through the volume's centre (unit
// spacing), or for deg = 0 a sub-voxel shift.
std::vector<float> mapping(int n, double deg)
{
    const double c = (n - 1) / 2.0, a = deg * M_PI / 180.0;
    if (deg == 0)
        return {1, 0, 0, 0.3f, 0, 1, 0, 0.2f, 0, 0, 1, 0.1f};
    const double co = std::cos(a), si = std::sin(a);
    return {float(co), float(-si), 0, float(c - co * c + si * c),
            float(si), float(co), 0, float(c - si * c - co * c),
            0, 0, 1, 0};
}

void run(benchmark::State &st)
{
    const int path = int(st.range(0)), n = int(st.range(1));
    if (!path_usable(path)) {
        st.SkipWithError("path not usable on this CPU or build");
        return;
    }
    const std::int64_t dims[4] = {1, n, n, n};
    const std::size_t count = std::size_t(n) * n * n;
    const buffer img = huge_buffer(count), out = huge_buffer(count);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0, 1000);
    for (std::size_t i = 0; i < count; ++i)
        img[i] = u(rng);
    const float sp[3] = {1, 1, 1};
    const std::vector<float> m = mapping(n, double(st.range(2)));
    const kernel_fn k = path_kernel(path);
    for (auto _ : st) {
        k(img.get(), dims, sp, m.data(), out.get());
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
    }
    st.SetLabel(path_name(path));
    st.counters["ns_per_voxel"] =
        benchmark::Counter(double(count), benchmark::Counter::kIsIterationInvariantRate |
                                              benchmark::Counter::kInvert);
}

} // namespace

// Arguments: path, edge, rotation in degrees (0: shift).
BENCHMARK(run)
    ->ArgNames({"path", "n", "deg"})
    ->ArgsProduct({{path_scalar, path_avx2, path_avx512}, {8, 64, 256}, {0, 15}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("kernel_path", path_name(best_path()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
