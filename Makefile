# The project's commands. `make test` and `make demo` do all set-up on a fresh
# Debian 12 machine: missing Debian packages are installed when run as root.

PRESET ?= release
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PYTHON ?= /usr/bin/python3

DEBIAN_PACKAGES := cmake make g++ binutils libeigen3-dev libgtest-dev libgmock-dev libbenchmark-dev \
	python3-numpy python3-scipy python3-pytest python3-matplotlib python3-tqdm \
	python3-tifffile python3-pandas python3-h5py python3-yaml python3-setuptools python3-pip python3-venv \
	python3-dask python3-distributed python3-zarr python3-flake8 \
	pkg-config valgrind

.PHONY: all deps build test check lint test-sanitize fuzz demo bench format-check tidy clean

all: build

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else \
	    echo "missing Debian packages:$$missing"; echo "install them with: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

build: deps
	cmake --preset $(PRESET) -DGAUSS2_PYTHON=$(PYTHON)
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	ctest --preset $(PRESET)

# The quick lane (ctest label "quick", see tests/CMakeLists.txt): every test
# but the cluster's and the installs; under two minutes after the build.
check: build
	ctest --preset $(PRESET) -L quick

# The Python lint: flake8 (Debian's python3-flake8) with the settings of
# .flake8, over the package, its tests, the benchmarks and the scripts.
PY_LINT_PATHS := python tests bench setup.py $(wildcard fuzz/*.py) $(wildcard tools/*.py)
lint: deps
	$(PYTHON) -m flake8 $(PY_LINT_PATHS)

# The whole suite under the address and undefined-behaviour sanitizers (no
# recovery), then the concurrency tests (label "threads") under the thread
# sanitizer, which builds only what they need.
test-sanitize: deps
	cmake --preset asan -DGAUSS2_PYTHON=$(PYTHON)
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan
	cmake --preset tsan -DGAUSS2_PYTHON=$(PYTHON)
	cmake --build --preset tsan -j $(JOBS) --target thread_tests log_tests
	ctest --preset tsan -L threads

# libFuzzer (clang) searches each fuzz target for FUZZ_SECONDS from its
# committed corpus in fuzz/corpus; a crash fails. `make test` replays the
# corpus alone, with the ordinary build.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := fuzz_batch_fit fuzz_synth_image fuzz_tables_hash
fuzz:
	$(MAKE) deps DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) clang libclang-rt-14-dev"
	cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DGAUSS2_SANITIZE=address,undefined,fuzzer-no-link -DGAUSS2_LIBFUZZER=ON \
	  -DGAUSS2_PYTHON=$(PYTHON)
	cmake --build build/fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	fuzz/run_fuzzers.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Both demos: a synthetic field rendered, found and fitted (out/demo.png), then
# a blinking movie in camera counts localised into a table and a picture
# (out/movie_demo.tif, out/movie_demo.png). Only the library is built.
demo: deps
	cmake --preset $(PRESET) -DGAUSS2_PYTHON=$(PYTHON)
	cmake --build --preset $(PRESET) -j $(JOBS) --target gauss2_fitter
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so PYTHONPATH=$(CURDIR)/python \
	  $(PYTHON) -m gauss2_fitter.demo --out out
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so PYTHONPATH=$(CURDIR)/python \
	  $(PYTHON) -m gauss2_fitter.movie_demo --out out

# Benchmarks print figures; none asserts a time. The side-by-side script
# reports fits/s (1 and all threads), a levmar-style baseline, scipy, and
# instructions per fit under callgrind, with the Poisson MLE beside least
# squares; precision.py both estimators' precision and error calibration on
# photon-counting data against the exact Cramer-Rao bound, and their speed
# there; scale_range.py the range of pixel
# values within which fits agree with those of the unscaled image. The movie
# cases: a 2000-frame TIFF from file to table (frames/s, localisations/s,
# share of fitting) and the peak memory of a 100 MB and a 1 GB movie (needs
# 1.1 GB of temporary disk). The cluster case: the same 2000-frame movie on a
# local Dask cluster of 1 and of 2 worker processes (speed-up) and the cost of
# scheduling a task. post.py: drift correction, linking, NeNA and FRC against
# a simulated truth, and their time beside localising the same movie.
bench: build
	$(BUILD_DIR)/bench/bench_kernels --benchmark_min_time=0.2
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/compare.py --build $(BUILD_DIR)
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/precision.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/trust.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/scale_range.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/movie_bench.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/movie_memory.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/cluster_bench.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/post.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/peak_background.py
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/photometry.py

# The tracked C and C++ sources are as the repository's .clang-format lays
# them out.
format-check:
	$(MAKE) deps DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) clang-format"
	git ls-files -z '*.c' '*.h' '*.cpp' | xargs -0 clang-format --dry-run -Werror

# The checks of .clang-tidy over every C and C++ source of the build (the
# library, tests, fuzz targets and benchmarks, and the headers they include),
# by the compile commands of the configured build; a finding fails. Not the
# tests' heap counter, which defines the C library's malloc and free under
# glibc's declarations.
TIDY_FILES := '^$(CURDIR)/(run|tools|fuzz|bench)/' '^$(CURDIR)/tests/(?!heap_counter\.cpp)'
tidy: deps
	$(MAKE) deps DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) clang-tidy"
	cmake --preset $(PRESET) -DGAUSS2_PYTHON=$(PYTHON)
	run-clang-tidy -quiet -p $(BUILD_DIR) -j $(JOBS) $(TIDY_FILES)

clean:
	rm -rf build
