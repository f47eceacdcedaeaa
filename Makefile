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
	rm -rf build $(VENV) .pytest_cache .hypothesis
