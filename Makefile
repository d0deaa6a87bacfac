# The project's commands. `make test` and `make demo` do all set-up on a fresh
# Debian 12 machine: missing Debian packages are installed when run as root.

PRESET ?= release
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PYTHON ?= /usr/bin/python3

DEBIAN_PACKAGES := cmake make g++ binutils libeigen3-dev libgtest-dev libgmock-dev libbenchmark-dev \
	python3-numpy python3-scipy python3-pytest python3-matplotlib python3-tqdm \
	python3-tifffile pkg-config valgrind

.PHONY: all deps build test demo bench clean

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

# Renders, finds and fits a synthetic field; prints the report, writes out/demo.png.
demo: build
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so PYTHONPATH=$(CURDIR)/python \
	  $(PYTHON) -m gauss2_fitter.demo --out out

# Benchmarks print figures; none asserts a time. The side-by-side script
# reports fits/s (1 and all threads), a levmar-style baseline, scipy, and
# instructions per fit under callgrind.
bench: build
	$(BUILD_DIR)/bench/bench_kernels --benchmark_min_time=0.2
	GAUSS2_FITTER_LIB=$(CURDIR)/$(BUILD_DIR)/libgauss2_fitter.so $(PYTHON) bench/compare.py --build $(BUILD_DIR)

clean:
	rm -rf build
