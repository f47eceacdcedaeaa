# Every job is a nox session (noxfile.py; `make sessions` lists them). These
# targets set up .venv-nox, a small venv holding nox, once, and run one
# session each: `make demo` runs the example, `make test` the tests.
# Variables given here reach the sessions: PYTHON (CPython 3.12 by default),
# PYTHON311, PYTHON313, FUZZ_SECONDS, FUZZ_CXX, TSAN_SECONDS, GIB.

PYENV_312 := $(shell pyenv prefix 3.12.1 2>/dev/null || echo $(HOME)/.pyenv/versions/3.12.1)
NOX_PYTHON := $(firstword $(PYTHON) $(wildcard $(PYENV_312)/bin/python3.12) $(shell command -v python3.12) python3)
NOX := .venv-nox/bin/nox

.PHONY: sessions demo test augment elastic real-data reslice dask-batch big-volume bench bench-dask \
	reference dist wheel-test wheel-repair matrix compat sanitize tsan fuzz valgrind cross-check targets clean

$(NOX):
	$(NOX_PYTHON) -m venv .venv-nox
	.venv-nox/bin/python -m pip --disable-pip-version-check install -q nox==2026.10.20

sessions: $(NOX)
	$(NOX) -l

test: $(NOX)
	$(NOX) -s tests

demo augment elastic real-data reslice dask-batch big-volume bench bench-dask reference dist \
wheel-repair sanitize tsan fuzz valgrind targets: $(NOX)
	$(NOX) -s $@

wheel-test: $(NOX)
	$(NOX) -s "wheel(3.12)"

# Every Python's wheel with the suite, then 3.11's and 3.13's under their oldest NumPy.
matrix: $(NOX)
	$(NOX) -s wheel "numpy(3.11)" "numpy(3.13)"

# The 3.12 wheel under NumPy 1.26, the newest NumPy and no NumPy.
compat: $(NOX)
	$(NOX) -s "numpy(3.12)"

cross-check: $(NOX)
	$(NOX) -s cross

clean:
	rm -rf build .nox .venv-nox .pytest_cache .hypothesis dist .venv-checks
