# Everyday commands. `make demo` runs the example, `make test` the tests;
# both first set up .venv and build the module into it.
# PYTHON names the interpreter for the virtual environment (CPython 3.12 by default).

PYENV_312 := $(shell pyenv prefix 3.12.1 2>/dev/null || echo $(HOME)/.pyenv/versions/3.12.1)
PYTHON ?= $(firstword $(wildcard $(PYENV_312)/bin/python3.12) $(shell command -v python3.12) python3)
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: venv install demo test clean ctest bench

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
	$(PIP) install -q --no-build-isolation '.[test]'

demo: install
	$(PY) examples/demo.py

test: install ctest
	$(PY) -m pytest -q tests

# C++ tests of every kernel path, through CTest. GoogleTest comes from the
# system (libgtest-dev), installed here when CMake cannot find it.
CTEST_CMAKE = cmake -S . -B build/ctest -DVX_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
ctest: venv
	$(CTEST_CMAKE) > /dev/null || { apt-get update -q && apt-get install -y -q libgtest-dev && $(CTEST_CMAKE) > /dev/null; }
	cmake --build build/ctest --target vx_kernel_tests -j2
	cd build/ctest && ctest --output-on-failure

# Timings against peers (never part of `make test`): the kernel alone per
# path, then the full call. Writes bench/results.json and bench/results.png.
BENCH_CMAKE = cmake -S . -B build/bench -DVX_BENCH=ON -DPython_EXECUTABLE=$(abspath $(PY))
bench: install
	$(PIP) install -q -r bench/requirements.txt
	$(BENCH_CMAKE) > /dev/null || { apt-get update -q && apt-get install -y -q libbenchmark-dev && $(BENCH_CMAKE) > /dev/null; }
	cmake --build build/bench --target vx_kernel_bench -j2
	build/bench/vx_kernel_bench --benchmark_filter='n:256' --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true --benchmark_out=bench/kernel.json
	$(PY) bench/bench.py

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis dist .venv-checks .venv-3.11 .venv-3.13

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
# pip spec and expected import route of `make numpy-check`.
NUMPY ?= numpy
ROUTE ?= first
QPIP = -m pip --disable-pip-version-check -q

.PHONY: dist wheel-test reference numpy-check compat matrix real-data dask-batch

dist: venv
	$(PIP) install -q build
	rm -rf $(DIST)
	$(PY) -m build --outdir $(DIST) .

wheel-test: dist
	rm -rf $(CHECKS)/wheel
	$(PYTHON) -m venv $(CHECKS)/wheel
	$(CHECKS)/wheel/bin/python $(QPIP) install "$$(ls $(DIST)/*.whl)[test]"
	mkdir -p $(CHECKS)/wheel/run
	cd $(CHECKS)/wheel/run && VX_INSTALLED_WHEEL=1 ../bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests

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

dask-batch: install
	$(PY) examples/dask_batch.py
