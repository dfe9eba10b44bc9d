# Set-up, build and tests from a clean clone:
#   make demo   — .venv, dependencies, build and install, run examples/quickstart.py
#   make test   — .venv, test dependencies (GoogleTest and SIMDe via apt-get), build, CTest, pytest
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test test-sanitize build venv system-deps bench bench-deps clean

venv: $(VENV)/.ready

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "numpy>=2" pytest "scikit-build-core>=0.10" "cmake>=3.25" ninja
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

test: build
	cd $(BUILD) && ../$(VENV)/bin/ctest --output-on-failure --no-tests=error
	PYTHONPATH=$(BUILD)/python $(VPY) -m pytest python/tests -q

# The core and its C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: venv system-deps
	$(VENV)/bin/cmake -S . -B $(BUILD)-sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=ON -DKORVANE_WERROR=ON \
	  -DKORVANE_BUILD_TESTS=ON -DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_BENCH=OFF
	$(VENV)/bin/cmake --build $(BUILD)-sanitize
	cd $(BUILD)-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ../$(VENV)/bin/ctest --output-on-failure --no-tests=error

demo: venv
	$(VPY) -m pip install -q --no-build-isolation .
	$(VPY) examples/quickstart.py

# The peer the benchmarks compare with; without it their faiss rows are left out.
bench-deps: venv
	@$(VPY) -c "import faiss" 2>/dev/null || $(VPY) -m pip install -q faiss-cpu || \
	  echo "faiss-cpu not installed: faiss rows will be omitted"

# Benchmarks print tables; they are never part of the test run.
bench: build bench-deps
	PYTHONPATH=$(BUILD)/python $(VPY) bench/bench_encode_kernels.py
	PYTHONPATH=$(BUILD)/python $(VPY) bench/bench_bruteforce.py
	PYTHONPATH=$(BUILD)/python $(VPY) bench/bench_add.py
	@$(VPY) -c "import hnswlib" 2>/dev/null || $(VPY) -m pip install -q hnswlib || \
	  echo "hnswlib not installed: its rows in bench_hnsw.py will be omitted"
	PYTHONPATH=$(BUILD)/python $(VPY) bench/bench_hnsw.py

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(VENV)
