// The kernel alone, per path, on warm buffers: ns per output voxel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "resample_paths.h"

namespace {

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
    std::vector<float> img(count), out(count, 0.0f);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0, 1000);
    for (auto &v : img)
        v = u(rng);
    const float sp[3] = {1, 1, 1};
    const std::vector<float> m = mapping(n, double(st.range(2)));
    const kernel_fn k = path_kernel(path);
    for (auto _ : st) {
        k(img.data(), dims, sp, m.data(), out.data());
        benchmark::DoNotOptimize(out.data());
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
