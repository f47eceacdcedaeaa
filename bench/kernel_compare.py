"""Two or more builds of the kernel benchmark, compared in one run: each
round runs every binary once (in alternating order, so drift reaches them
alike), and the table gives per case the median ns per output voxel with
the minimum and maximum, and each build's median over the first's.

    python bench/kernel_compare.py --rounds 5 BEFORE/vx_kernel_bench \\
        build/bench/vx_kernel_bench [--filter REGEX] [--maps build/bench/maps.txt]
"""
import argparse
import json
import statistics
import subprocess

PATHS = ["scalar", "avx2", "avx512"]


def run(binary, maps, pattern, min_time):
    out = subprocess.run([binary, "--maps=" + maps, "--benchmark_filter=" + pattern,
                          "--benchmark_min_time=" + min_time, "--benchmark_format=json",
                          "--benchmark_enable_random_interleaving=true"],
                         capture_output=True, text=True, check=True).stdout
    return {b["name"].replace("/real_time", ""): b["ns_per_voxel"] * 1e9 for b in json.loads(out)["benchmarks"]}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("binaries", nargs="+")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--filter", default="/(256\\^3|8x64\\^3)")
    ap.add_argument("--maps", default="build/bench/maps.txt")
    ap.add_argument("--min-time", default="0.3")
    a = ap.parse_args()
    times = {}
    for r in range(a.rounds):
        for b in a.binaries if r % 2 == 0 else a.binaries[::-1]:
            for case, ns in run(b, a.maps, a.filter, a.min_time).items():
                times.setdefault(case, {}).setdefault(b, []).append(ns)

    def order(case):  # path, then shape, then map
        path, name, shape = case.split("/")
        return PATHS.index(path) if path in PATHS else len(PATHS), shape, name

    print("| case | " + " | ".join(a.binaries) + " | ratio |")
    print("|---" * (len(a.binaries) + 2) + "|")
    for case in sorted(times, key=order):
        cells, medians = [], []
        for b in a.binaries:
            v = times[case][b]
            medians.append(statistics.median(v))
            cells.append("%.2f (%.2f-%.2f)" % (medians[-1], min(v), max(v)))
        ratio = " / ".join("%.2f" % (m / medians[0]) for m in medians[1:])
        print("| %s | %s | %s |" % (case, " | ".join(cells), ratio))


if __name__ == "__main__":
    main()
