// The kernel alone, per path, on warm buffers: ns per output voxel. The maps
// come from bench/maps.py, their one definition:
//   python bench/maps.py 256 64 8 > maps.txt
//   vx_kernel_bench --maps=maps.txt [benchmark flags]
// Each map runs on a volume of its edge, and edge-64 maps also on a batch of
// eight volumes; a sub-voxel shift (identity-like) runs at every edge too.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/table.h"
#include "kernels/dispatch.h"

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

struct map {
    int edge;
    std::string name;
    float m[12];
};

std::vector<map> read_maps(const char *file)
{
    std::ifstream in(file);
    if (!in) {
        std::fprintf(stderr, "vx_kernel_bench: cannot read %s\n", file);
        std::exit(2);
    }
    std::vector<map> maps;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        map m;
        if (!(s >> m.edge >> m.name))
            continue;
        for (float &v : m.m)
            s >> v;
        if (!s) {
            std::fprintf(stderr, "vx_kernel_bench: bad line in %s: %s\n", file, line.c_str());
            std::exit(2);
        }
        maps.push_back(m);
    }
    return maps;
}

void run(benchmark::State &st, int path, int count, int n, const float *m)
{
    if (!target_usable(path)) {
        st.SkipWithError("path not usable on this CPU or build");
        return;
    }
    const std::int64_t dims[4] = {count, n, n, n};
    const std::size_t voxels = std::size_t(count) * n * n * n;
    const buffer img = huge_buffer(voxels), out = huge_buffer(voxels);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0, 1000);
    for (std::size_t i = 0; i < voxels; ++i)
        img[i] = u(rng);
    const float sp[3] = {1, 1, 1};
    const kernel_fn k = target_table(path)->kernel;
    for (auto _ : st) {
        k(img.get(), dims, sp, m, out.get());
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
    }
    st.SetLabel(target_name(path));
    st.counters["ns_per_voxel"] = benchmark::Counter(
        double(voxels), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

} // namespace

// Names read path/map/shape, e.g. avx512/rotY15/256^3 or scalar/shift/8x64^3.
int main(int argc, char **argv)
{
    const char *file = nullptr;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--maps=", 7) == 0)
            file = argv[i] + 7;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    std::vector<map> maps = file ? read_maps(file) : std::vector<map>{};
    std::vector<int> edges;
    for (const map &m : maps)
        if (edges.empty() || edges.back() != m.edge)
            edges.push_back(m.edge);
    for (int n : edges)
        maps.push_back({n, "shift", {1, 0, 0, 0.3f, 0, 1, 0, 0.2f, 0, 0, 1, 0.1f}});
    for (int path = 0; path < target_count; ++path)
        for (const map &m : maps) {
            const std::string base = std::string(target_name(path)) + "/" + m.name + "/";
            const std::string e = std::to_string(m.edge) + "^3";
            benchmark::RegisterBenchmark((base + e).c_str(), run, path, 1, m.edge, m.m)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            if (m.edge == 64)
                benchmark::RegisterBenchmark((base + "8x" + e).c_str(), run, path, 8, m.edge, m.m)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("kernel_path", target_name(best_target()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
