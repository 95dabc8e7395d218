# `make build` sets up .venv with CPython 3.13 and installs rilo into it;
# `make test` runs every test; `make demo` welds a built-in mesh.
VENV := .venv
PY := $(VENV)/bin/python
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null)
# PYTHON=... wins; else a working python3.13 on PATH; else pyenv's newest 3.13.
FOUND_PYTHON := $(or $(PYTHON),\
  $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null),\
  $(lastword $(sort $(wildcard $(PYENV_ROOT_DIR)/versions/3.13*/bin/python3.13))))
SOURCES := CMakeLists.txt pyproject.toml $(wildcard module/* tolerant_sort/* projection_sweep/* stubs/rilo-stubs/*)
CPP_TEST_BUILD := build/cpp-tests

.PHONY: build test test-cpp test-python demo clean

build: $(VENV)/.installed

$(VENV)/.created:
	@test -n "$(FOUND_PYTHON)" || { echo "error: no CPython 3.13 found: install python3.13, or run 'make PYTHON=/path/to/python3.13'"; exit 1; }
	@"$(FOUND_PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' || { echo "error: $(FOUND_PYTHON) is not CPython 3.13"; exit 1; }
	"$(FOUND_PYTHON)" -m venv $(VENV)
	touch $@

$(VENV)/.requirements: requirements-dev.txt $(VENV)/.created
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(SOURCES) $(VENV)/.requirements
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

test: test-cpp test-python

test-cpp: $(VENV)/.requirements
	$(VENV)/bin/cmake -S tests/cpp -B $(CPP_TEST_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) > /dev/null
	$(VENV)/bin/cmake --build $(CPP_TEST_BUILD)
	$(CPP_TEST_BUILD)/rilo_cpp_tests

test-python: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) examples/weld_mesh.py $(ARGS)

clean:
	rm -rf build $(VENV)
