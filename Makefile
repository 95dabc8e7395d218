# `make build` sets up .venv with CPython 3.13 and installs rilo into it;
# `make test` runs every test; `make demo` welds a built-in mesh.
VENV := .venv
PY := $(VENV)/bin/python
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null)
# PYTHON=... wins; else a working python3.13 on PATH; else pyenv's newest 3.13.
FOUND_PYTHON := $(or $(PYTHON),\
  $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null),\
  $(lastword $(sort $(wildcard $(PYENV_ROOT_DIR)/versions/3.13*/bin/python3.13))))
SOURCES := CMakeLists.txt pyproject.toml $(wildcard base/* module/* tolerant_sort/* projection_sweep/* stubs/rilo-stubs/*)
CPP_TEST_BUILD := build/cpp-tests

.PHONY: build test test-cpp test-python demo bench clean

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

test: test-cpp test-python fuzz-short asan

test-cpp: $(VENV)/.requirements
	$(VENV)/bin/cmake -S tests/cpp -B $(CPP_TEST_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) > /dev/null
	$(VENV)/bin/cmake --build $(CPP_TEST_BUILD)
	$(CPP_TEST_BUILD)/rilo_cpp_tests

test-python: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) examples/weld_mesh.py $(ARGS)

# `make bench`: rilo against its peers and the sort floors; writes bench/results/. The peers
# live in their own venv, which sees .venv's packages (rilo, numpy) through a .pth file, so
# that nothing of theirs reaches `make test`. BENCH_ARGS=--huge adds 1e7 rows, --quick is a
# smoke run.
BENCH_VENV := .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python

$(BENCH_VENV)/.requirements: bench/requirements.txt $(VENV)/.created
	"$(FOUND_PYTHON)" -m venv $(BENCH_VENV)
	$(BENCH_PY) -c 'import site, sys; open(site.getsitepackages()[0] + "/rilo-main-venv.pth", "w").write(sys.argv[1] + "\n")' \
	  "$$($(PY) -c 'import site; print(site.getsitepackages()[0])')"
	$(BENCH_PY) -m pip install --quiet -r bench/requirements.txt
	sh bench/ensure_system_libs.sh $(BENCH_PY)
	touch $@

bench: build $(BENCH_VENV)/.requirements
	$(BENCH_PY) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(BENCH_VENV)

# `make asan` (part of `make test`; about two minutes): the C++ tests and the whole pytest
# suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the extension in
# build/asan, which never touches the .venv install: PYTHONPATH puts build/asan ahead of
# site-packages. The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it (ASan must come first in the library list). -fno-sanitize-recover and
# halt_on_error make the first report fatal. No sanitizer suppressions are needed. Leak
# detection is on for the C++ tests; in the interpreter it is off, because CPython and NumPy
# deliberately keep objects alive until exit and every run would report them;
# tests/test_leaks.py measures the extension's own leaks there instead.
ASAN_BUILD := build/asan
# Left out: the tests that cap the address space (one at 3 GiB, the memory-pressure ones a few
# MiB above the process's size), below the shadow memory that AddressSanitizer reserves at start
# (the sanitized interpreter cannot even start there), and the wheel tests, which build and install their own unsanitized copy of the extension.
ASAN_DESELECT := -k "not allocates_nothing_per_column" -m "not wheel and not address_space"
ASAN_CPP_TEST_BUILD := build/asan-cpp-tests
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1
SANITIZER_RUNTIMES := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=0:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
PROJECT_VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
CMAKE_NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: asan asan-build asan-cpp

asan-build: $(VENV)/.requirements
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) $(CMAKE_NINJA) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" -DSKBUILD_PROJECT_NAME=rilo \
	  -DSKBUILD_PROJECT_VERSION=$(PROJECT_VERSION) -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) > /dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)

asan-cpp: $(VENV)/.requirements
	$(VENV)/bin/cmake -S tests/cpp -B $(ASAN_CPP_TEST_BUILD) $(CMAKE_NINJA) \
	  -DRILO_TEST_FLAGS="$(subst $() ,;,$(SANITIZE_FLAGS))" > /dev/null
	$(VENV)/bin/cmake --build $(ASAN_CPP_TEST_BUILD)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_CPP_TEST_BUILD)/rilo_cpp_tests

asan: asan-cpp asan-build
	env $(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_RUNTIMES)" PYTHONPATH=$(abspath $(ASAN_BUILD)) \
	  $(PY) -c 'import rilo, sys; sys.exit(not rilo.__file__.startswith("$(abspath $(ASAN_BUILD))"))'
	env $(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_RUNTIMES)" PYTHONPATH=$(abspath $(ASAN_BUILD)) \
	  $(PY) -m pytest -q -p no:cacheprovider tests $(ASAN_DESELECT)

# `make libcxx`: the C++ tests and the pytest suite (wheel tests left out) against clang++-14
# with libc++ (Debian packages clang-14, libc++-14-dev, libc++abi-14-dev), the extension built
# into build/libcxx and put ahead of site-packages by PYTHONPATH. The golden-result test then
# shows that this toolchain gives the very bytes the GCC build gives.
LIBCXX_CXX := clang++-14
LIBCXX_FLAGS := -stdlib=libc++
LIBCXX_BUILD := build/libcxx

.PHONY: libcxx

libcxx: $(VENV)/.requirements
	$(VENV)/bin/cmake -S . -B $(LIBCXX_BUILD) $(CMAKE_NINJA) -DCMAKE_CXX_COMPILER=$(LIBCXX_CXX) \
	  -DCMAKE_CXX_FLAGS="$(LIBCXX_FLAGS)" -DSKBUILD_PROJECT_NAME=rilo \
	  -DSKBUILD_PROJECT_VERSION=$(PROJECT_VERSION) -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) > /dev/null
	$(VENV)/bin/cmake --build $(LIBCXX_BUILD)
	$(VENV)/bin/cmake -S tests/cpp -B $(LIBCXX_BUILD)-cpp-tests $(CMAKE_NINJA) \
	  -DCMAKE_CXX_COMPILER=$(LIBCXX_CXX) -DRILO_TEST_FLAGS="$(LIBCXX_FLAGS)" > /dev/null
	$(VENV)/bin/cmake --build $(LIBCXX_BUILD)-cpp-tests
	$(LIBCXX_BUILD)-cpp-tests/rilo_cpp_tests
	PYTHONPATH=$(abspath $(LIBCXX_BUILD)) $(PY) -c 'import rilo, sys; sys.exit(not rilo.__file__.startswith("$(abspath $(LIBCXX_BUILD))"))'
	PYTHONPATH=$(abspath $(LIBCXX_BUILD)) $(PY) -m pytest -q -p no:cacheprovider tests -m "not wheel"

# `make fuzz`: coverage-guided fuzzing of unique_rows with atheris (fuzz/fuzz_unique_rows.py)
# for FUZZ_SECONDS, against a clang build of the extension in build/fuzz/ext instrumented for
# coverage, AddressSanitizer and UndefinedBehaviorSanitizer. atheris ships one runtime holding
# libFuzzer, ASan and UBSan's C handlers, which is preloaded into the interpreter; UBSan's C++
# type checks (vptr, function) need a runtime it lacks and are left out of this build (they
# stay on in `make asan`). The corpus in fuzz/corpus is replayed first and read only; new
# inputs go to build/fuzz/corpus, and `make fuzz-merge` folds those that reach new edges into
# fuzz/corpus (libFuzzer reruns the harness as a command, hence the venv first on PATH). `make fuzz-short` (part of `make test`) runs FUZZ_SHORT_SECONDS.
FUZZ_SECONDS ?= 300
FUZZ_SHORT_SECONDS ?= 40
FUZZ_BUILD := build/fuzz/ext
FUZZ_CXX := clang++-14
FUZZ_FLAGS := -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function \
  -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1
# A short allocation-stack context keeps ASan's stack store (which grows with every distinct
# interpreter stack that allocates) small and triples the execution rate; reports still show
# the full stack of the faulting access.
FUZZ_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=0:malloc_context_size=2 PYTHONMALLOC=malloc \
  LD_PRELOAD=$$($(PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
  PYTHONPATH=$(abspath $(FUZZ_BUILD)) PATH=$(abspath $(VENV)/bin):$$PATH
# Inputs up to 4 KiB cover the largest arrays the decoder builds; a low len_control lets
# libFuzzer reach that length early in a short run.
FUZZ_ARGS := -max_len=4096 -len_control=10 -artifact_prefix=build/fuzz/ -print_final_stats=1

.PHONY: fuzz fuzz-short fuzz-build fuzz-merge fuzz-compiler

fuzz-compiler:
	command -v $(FUZZ_CXX) > /dev/null || { apt-get update -qq && apt-get install -y -qq clang-14; }

fuzz-build: $(VENV)/.requirements fuzz-compiler
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) $(CMAKE_NINJA) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" -DSKBUILD_PROJECT_NAME=rilo \
	  -DSKBUILD_PROJECT_VERSION=$(PROJECT_VERSION) -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) > /dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)
	mkdir -p build/fuzz/corpus

fuzz: fuzz-build
	env $(FUZZ_ENV) $(PY) fuzz/fuzz_unique_rows.py build/fuzz/corpus fuzz/corpus \
	  -max_total_time=$(FUZZ_SECONDS) $(FUZZ_ARGS)

fuzz-short: fuzz-build
	env $(FUZZ_ENV) $(PY) fuzz/fuzz_unique_rows.py build/fuzz/corpus fuzz/corpus \
	  -max_total_time=$(FUZZ_SHORT_SECONDS) $(FUZZ_ARGS)

fuzz-merge: fuzz-build
	env $(FUZZ_ENV) $(PY) fuzz/fuzz_unique_rows.py -merge=1 -use_counters=0 fuzz/corpus build/fuzz/corpus \
	  $(FUZZ_ARGS)
