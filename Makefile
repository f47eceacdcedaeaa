# Everyday commands. `make demo` runs the example, `make test` the tests;
# both first set up .venv and build the module into it.
# PYTHON names the interpreter for the virtual environment (CPython 3.12 by default).

PYENV_312 := $(shell pyenv prefix 3.12.1 2>/dev/null || echo $(HOME)/.pyenv/versions/3.12.1)
PYTHON ?= $(firstword $(wildcard $(PYENV_312)/bin/python3.12) $(shell command -v python3.12) python3)
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: venv install demo test clean

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

test: install
	$(PY) -m pytest -q tests

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
