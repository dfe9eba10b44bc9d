# Set-up, build and tests from a clean clone:
#   make demo   — .venv, dependencies, build and install, run examples/quickstart.py
#   make test   — .venv, test dependencies (GoogleTest and SIMDe via apt-get, mypy and dask[distributed]
#                 via pip), build, CTest, pytest, mypy --strict on examples/ and a check of the stub
#                 against the built module
#   make fuzz   — clang and libFuzzer via apt-get, then FUZZ_SECONDS (600) of fuzzing the index
#                 file loader under AddressSanitizer and UndefinedBehaviorSanitizer
#   make fuzz-args — the same for the extension's argument conversions, through an embedded
#                 interpreter
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test test-heavy test-sanitize test-tsan build venv test-deps system-deps bench bench-quick bench-deps fuzz fuzz-args fuzz-deps clean

venv: $(VENV)/.ready

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "numpy>=2" pytest "scikit-build-core>=0.11" "cmake>=3.25" ninja
	touch $@

# Python test tools beyond pytest, kept apart so that an existing .venv gets them too; the
# stamp depends on this Makefile, so a tool added here is installed into an existing .venv.
# dask[distributed] runs examples/sharded_dask.py (pytest) and types it (mypy);
# hypothesis drives python/tests/test_state_machine.py.
# pytest-timeout fails a test that hangs (a deadlock) instead of the whole run.
TEST_TOOLS := "mypy>=1.10" "dask[distributed]" "hypothesis>=6.100" "pytest-timeout>=2.1"

test-deps: $(VENV)/.test-ready

$(VENV)/.test-ready: $(VENV)/.ready Makefile
	$(VPY) -m pip install -q $(TEST_TOOLS)
	touch $@

# GoogleTest for the C++ tests; SIMDe runs the AVX-512 kernel on CPUs without AVX-512.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/simde/x86/avx512.h ]; then \
	  echo "installing libgtest-dev libsimde-dev"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libgtest-dev libsimde-dev >/dev/null; \
	fi

build: venv system-deps
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DKORVANE_BUILD_TESTS=ON -DKORVANE_BUILD_PYTHON=ON -DKORVANE_BUILD_BENCH=ON \
	  -DKORVANE_WERROR=ON
	$(VENV)/bin/cmake --build $(BUILD)

# mypy finds the package python/korvane (stub and korvane.dask) through mypy_path in
# pyproject.toml and checks the examples and what the stub accepts and refuses
# (typing_cases.py); stubtest compares it with the package just built (SearchHit exists
# for type checkers only).
#
# CTest prints its summary only, or everything when a test fails. The tests that need
# gigabytes of memory (marked heavy) run in make test-heavy. Afterwards the module just
# built is what .venv imports (a .pth file naming the build folder, in place of any
# korvane installed there before).
test: build test-deps
	@cd $(BUILD) && if ../$(VENV)/bin/ctest --output-on-failure --no-tests=error > ctest.log 2>&1; \
	  then tail -n 3 ctest.log; else cat ctest.log; exit 1; fi
	PYTHONPATH=$(BUILD)/python $(VPY) -m pytest python/tests -q -m "not heavy"
	$(VPY) -m mypy --strict examples/ python/tests/typing_cases.py
	PYTHONPATH=$(BUILD)/python $(VPY) -m mypy.stubtest korvane --mypy-config-file pyproject.toml \
	  --allowlist python/stubtest-allowlist.txt
	@$(VPY) -m pip uninstall -q -y korvane 2>/dev/null || true
	@$(VPY) -c "import os, sysconfig; open(os.path.join(sysconfig.get_paths()['purelib'], 'korvane-build.pth'), 'w')\
	  .write(os.path.abspath('$(BUILD)/python') + '\n')"
	@cd / && $(abspath $(VPY)) -c "import korvane; print('korvane', korvane.__version__, 'importable from $(VENV):', \
	  korvane.__file__)"

# The tests that need gigabytes of memory (a one-gigabyte index pickled under memory limits).
test-heavy: build test-deps
	PYTHONPATH=$(BUILD)/python $(VPY) -m pytest python/tests -q -m heavy

# The core, its C++ tests and the extension under AddressSanitizer and
# UndefinedBehaviorSanitizer; the Python tests run against that extension with the
# sanitizer runtime preloaded and the interpreter's own allocator off, so every block is
# checked. Leaks are not reported there: the interpreter keeps memory until exit.
# libstdc++ is preloaded too, so the sanitizer finds the C++ runtime's exception entry
# points at start-up (the interpreter itself does not link it).
SAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
test-sanitize: venv system-deps test-deps
	$(VENV)/bin/cmake -S . -B $(BUILD)-sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=ON -DKORVANE_WERROR=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DKORVANE_BUILD_TESTS=ON -DKORVANE_BUILD_PYTHON=ON -DKORVANE_BUILD_BENCH=OFF
	$(VENV)/bin/cmake --build $(BUILD)-sanitize
	cd $(BUILD)-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ../$(VENV)/bin/ctest --output-on-failure --no-tests=error
	LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc KORVANE_SANITIZED=1 \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(BUILD)-sanitize/python \
	  $(VPY) -m pytest python/tests -q -p no:cacheprovider

# The extension under ThreadSanitizer, and the tests that use one index from several threads
# (searches during long writes, the writer-and-readers hammer, batches on threads) with its
# runtime preloaded. Not part of CI: it takes a build of its own.
TSAN_RUNTIME = $(shell $(CXX) -print-file-name=libtsan.so)
test-tsan: venv system-deps test-deps
	$(VENV)/bin/cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_TSAN=ON -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_PYTHON=ON -DKORVANE_BUILD_BENCH=OFF
	$(VENV)/bin/cmake --build $(BUILD)-tsan
	LD_PRELOAD="$(TSAN_RUNTIME)" TSAN_OPTIONS="halt_on_error=1 suppressions=$(abspath python/tests/tsan.supp)" \
	  PYTHONPATH=$(BUILD)-tsan/python $(VPY) -m pytest python/tests/test_threads.py -q -p no:cacheprovider \
	  -k "searches_go_on or one_writer or waits_for or progress_counts or batch_rows or concurrent"

# clang and its libFuzzer runtime, for the fuzz target only; the rest builds with g++.
fuzz-deps:
	@command -v clang++ >/dev/null 2>&1 || { echo "installing clang"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq clang >/dev/null; }
	@if ! find "$$(clang++ -print-resource-dir)" -name 'libclang_rt.fuzzer*.a' 2>/dev/null | grep -q .; then \
	  v=$$(clang++ -dumpversion | cut -d. -f1); echo "installing libclang-rt-$$v-dev"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libclang-rt-$$v-dev >/dev/null; \
	fi

# Fuzzes the index file loader (core/tests/fuzz) from the committed seed corpus and past
# findings. New corpus entries go to $(FUZZ_BUILD)/corpus, findings to
# $(FUZZ_BUILD)/artifacts, the log to $(FUZZ_BUILD)/fuzz.log. The fork mode keeps going
# after a crash, timeout or out-of-memory, so one run collects every finding it meets; it
# exits non-zero when it met any.
# A single allocation over 64 MB for an input of a few kilobytes is a finding; the
# process as a whole may grow to 4 GB (the sanitizer keeps freed memory for a while).
FUZZ_SECONDS ?= 600
FUZZ_BUILD   := $(BUILD)-fuzz
FUZZ_FLAGS   ?= -fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 -timeout=30 \
                -malloc_limit_mb=64 -rss_limit_mb=4096
FUZZ_SEEDS   := core/tests/fuzz/corpus $(wildcard core/tests/fuzz/regressions)

fuzz: venv fuzz-deps
	$(VENV)/bin/cmake -S core/tests/fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=clang++
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j2
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	scratch=$$(mktemp -d -p /dev/shm korvane-fuzz.XXXXXX 2>/dev/null || mktemp -d); \
	  { KORVANE_FUZZ_SCRATCH=$$scratch $(FUZZ_BUILD)/korvane_loader_fuzz $(FUZZ_BUILD)/corpus $(FUZZ_SEEDS) \
	      -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(FUZZ_BUILD)/artifacts/ -print_final_stats=1 $(FUZZ_FLAGS); \
	    echo $$? > $(FUZZ_BUILD)/fuzz.rc; } 2>&1 | tee $(FUZZ_BUILD)/fuzz.log; \
	  rm -rf "$$scratch"; \
	  echo "findings: $$(ls $(FUZZ_BUILD)/artifacts | wc -l) files in $(FUZZ_BUILD)/artifacts"; \
	  exit $$(cat $(FUZZ_BUILD)/fuzz.rc)

# Fuzzes the extension's argument conversions (python/tests/fuzz): the extension and the
# core compiled by clang with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# into one program that embeds the .venv's interpreter. Each input is a short program of
# calls with odd arguments; a crash, a sanitizer report, a NULL without an exception (or a
# result with one), a SystemError, a MemoryError or an "internal error" RuntimeError is
# a finding. Outputs as for `fuzz`, under $(FUZZ_ARGS_BUILD).
FUZZ_ARGS_BUILD := $(BUILD)-fuzz-args
FUZZ_ARGS_FLAGS ?= -fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 -timeout=30 -max_len=2048 \
                   -malloc_limit_mb=64 -rss_limit_mb=4096
FUZZ_ARGS_SEEDS := python/tests/fuzz/corpus $(wildcard python/tests/fuzz/regressions)

fuzz-args: venv fuzz-deps
	$(VENV)/bin/cmake -S python/tests/fuzz -B $(FUZZ_ARGS_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build $(FUZZ_ARGS_BUILD) -j2
	mkdir -p $(FUZZ_ARGS_BUILD)/corpus $(FUZZ_ARGS_BUILD)/artifacts
	scratch=$$(mktemp -d -p /dev/shm korvane-fuzz-args.XXXXXX 2>/dev/null || mktemp -d); \
	  { KORVANE_FUZZ_SCRATCH=$$scratch $(FUZZ_ARGS_BUILD)/korvane_args_fuzz $(FUZZ_ARGS_BUILD)/corpus $(FUZZ_ARGS_SEEDS) \
	      -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(FUZZ_ARGS_BUILD)/artifacts/ -print_final_stats=1 $(FUZZ_ARGS_FLAGS); \
	    echo $$? > $(FUZZ_ARGS_BUILD)/fuzz.rc; } 2>&1 | tee $(FUZZ_ARGS_BUILD)/fuzz.log; \
	  rm -rf "$$scratch"; \
	  echo "findings: $$(ls $(FUZZ_ARGS_BUILD)/artifacts | wc -l) files in $(FUZZ_ARGS_BUILD)/artifacts"; \
	  exit $$(cat $(FUZZ_ARGS_BUILD)/fuzz.rc)

demo: venv
	@rm -f "$$($(VPY) -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")/korvane-build.pth"
	$(VPY) -m pip install -q --no-build-isolation .
	$(VPY) examples/quickstart.py

# Bench-only dependencies, never installed by `make test`: the peers the results are set
# beside and matplotlib for the plots, and Debian's dataset-fashion-mnist (the full
# 60,000 images; without it `make bench` takes the data folder's 10,000-row part). A peer
# that cannot be installed is left out of the tables (the page says so); matplotlib is
# required.
BENCH_TOOLS := faiss:faiss-cpu hnswlib:hnswlib usearch:usearch matplotlib:matplotlib
bench-deps: venv
	@for pair in $(BENCH_TOOLS); do mod=$${pair%%:*}; pkg=$${pair#*:}; \
	  $(VPY) -c "import $$mod" 2>/dev/null || $(VPY) -m pip install -q $$pkg || \
	  echo "$$pkg not installed: its rows are left out"; \
	done
	@if [ ! -d /usr/share/datasets/fashion-mnist ]; then \
	  echo "installing dataset-fashion-mnist"; \
	  { $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq \
	      dataset-fashion-mnist >/dev/null; } || echo "dataset-fashion-mnist not installed: the 10,000-row part stands in"; \
	fi

# The results pages: docs/results/*.md, *.png and raw.json (every measurement) from
# bench/results.py (16 to 21 minutes on 2 cores; bench-quick: a minute or two, into
# docs/results/quick). The scripts it draws on (bench/bench_*.py) still run alone.
# Benchmarks are never part of the test run.
#
# The real data sets are read from the folder holding their load.py: KORVANE_DATA (from
# the environment or `make bench KORVANE_DATA=...`; a relative path is taken from here),
# or else the first shared/data beside this checkout or a folder above it, then beside the
# working directory or a folder above it. A set that cannot be found is replaced by a
# Gaussian stand-in, and the output and the pages say so at the top.
KORVANE_DATA ?=
BENCH_ENV = $(if $(KORVANE_DATA),KORVANE_DATA=$(abspath $(KORVANE_DATA))) PYTHONPATH=$(BUILD)/python

bench: build bench-deps
	$(BENCH_ENV) $(VPY) bench/results.py

bench-quick: build bench-deps
	$(BENCH_ENV) $(VPY) bench/results.py --quick

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(FUZZ_BUILD) $(FUZZ_ARGS_BUILD) $(VENV)
