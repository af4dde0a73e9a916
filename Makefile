# Set-up, tests, demo and benchmarks. `make build` is idempotent and is what
# every other target runs first, so each works on a fresh machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
# python3-venv: Debian's python3 cannot make a venv without it; python3-dev:
# the headers the extension modules compile against.
DEB_PACKAGES := g++ cmake ninja-build pkg-config python3 python3-venv python3-dev \
                libexpat1-dev zlib1g-dev libfmt-dev libgtest-dev libgmock-dev iproute2
BUILD_DIR := build/py
# The checked-in stub of the core module is what this nanobind's stubgen
# writes; tests/python/test_stubs.py reads the pin from here.
NANOBIND_VERSION := 3.1.0

.PHONY: build deps venv test test-cpp test-python demo bench stubs sanitize clean

build: deps venv
	$(VPY) -m pip install --no-build-isolation --quiet \
	    -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.OCULANE_TESTS=ON '.[test]'

# Installs only the Debian packages that are missing; a fresh machine has no
# package lists, so they are fetched once first.
deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing Debian packages: $$missing"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind==$(NANOBIND_VERSION)" cmake ninja "pytest>=7" "numpy>=1.24"
	touch $@

test: build test-cpp test-python

# Like pytest's exit 5 below: a build that registered no C++ tests is a failure.
test-cpp:
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j2

# pytest exits 5 when it collects nothing; that is a failure here, not a pass.
test-python:
	@cd tests/python && { ../../$(VPY) -m pytest -q . ; rc=$$?; \
	  if [ $$rc = 5 ]; then echo "no Python tests were collected"; exit 1; fi; exit $$rc; }

# The demo extra (an imaging library for the PNG it saves) is installed on
# top of the build; the package itself is already built, so this is quick.
demo: build
	$(VPY) -c 'import PIL' 2>/dev/null || $(VPY) -m pip install --no-build-isolation --quiet \
	    -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.OCULANE_TESTS=ON '.[test,demo]'
	$(VPY) scripts/demo.py

bench: build
	$(VPY) bench/run.py

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer, in a
# build tree of their own: parsers fed random datagrams must not read past
# them, and only a sanitizer sees a read that lands in the allocator's slack.
# The stream assembler's fuzz test feeds it a million datagrams here
# (OCULANE_FUZZ_ITERATIONS; the ordinary test run uses 50,000).
ASAN_DIR := build/asan
sanitize: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOCULANE_PYTHON=OFF -DOCULANE_TESTS=ON \
	    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
	cmake --build $(ASAN_DIR) --target oculane_cpp_tests
	OCULANE_FUZZ_ITERATIONS=1000000 ctest --test-dir $(ASAN_DIR) --output-on-failure --no-tests=error -j2

# Regenerates the checked-in type stub of the core module from the built one;
# tests/python/test_stubs.py fails until a changed binding is followed by this.
stubs: build
	$(VPY) -m nanobind.stubgen -q -m oculane._oculane_core -o python/oculane/_oculane_core.pyi

clean:
	rm -rf build $(VENV)
