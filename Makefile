# `make demo` and `make test` do all the set-up on a fresh machine: find a Python >= 3.12, make a
# virtual environment for it, build and install the package into it, then run.
# `make test PYTHON=/path/to/python3.13` picks the interpreter.

PYTHON ?= $(shell tools/find-python)
PY_VERSION := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV ?= .venv/$(PY_VERSION)
BUILD ?= build/$(PY_VERSION)
VPY := $(VENV)/bin/python
# Everything the build and the tests need inside the venv; cmake and ninja come from PyPI so the
# build does not depend on what the machine happens to have.
DEV_PACKAGES := scikit-build-core cmake ninja pytest mypy build

.PHONY: all demo test install cpp-test py-test clean stubtest wheel-check

all: test

# Depends on the Makefile so that a venv made before DEV_PACKAGES changed gets the new packages.
$(VENV)/.ready: Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(DEV_PACKAGES)
	touch $@

install: $(VENV)/.ready
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/wheel .

demo: install
	$(VPY) examples/decode_init.py

test: cpp-test py-test stubtest

cpp-test: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DKELDRIN_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build $(BUILD)/cpp -j2
	$(VENV)/bin/ctest --test-dir $(BUILD)/cpp --output-on-failure

py-test: install
	$(VPY) -m pytest -q tests/python

# The installed type stub against the installed module, object by object. No allowlist: the stub
# expresses every runtime object, so any difference is a fault of one or the other.
stubtest: install
	MYPY_CACHE_DIR=$(BUILD)/mypy-cache $(VPY) -m mypy.stubtest libkeldrin

# What a user of the sdist gets: the sdist builds a wheel (in an isolated build environment, so
# build-system.requires must be complete), which installs into a fresh venv and passes the Python
# tests and stubtest there.
DIST := $(BUILD)/dist
wheel-check: $(VENV)/.ready
	rm -rf $(DIST)
	$(VPY) -m build --sdist --outdir $(DIST) .
	$(VPY) -m pip wheel -q --no-deps --wheel-dir $(DIST) $(DIST)/libkeldrin-*.tar.gz
	$(PYTHON) -m venv $(DIST)/venv
	$(DIST)/venv/bin/python -m pip install -q $(DIST)/libkeldrin-*.whl pytest mypy
	cd $(DIST) && venv/bin/python -m pytest -q -p no:cacheprovider $(abspath tests/python)
	cd $(DIST) && venv/bin/python -m mypy.stubtest libkeldrin

clean:
	rm -rf build .venv
