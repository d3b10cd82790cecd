# Set-up, build, demo and tests. `make demo` and `make test` do everything on a fresh machine.
SHELL := /bin/bash
DEB_PACKAGES := libpng-dev libeigen3-dev zlib1g-dev libtbb-dev libembree-dev libassimp-dev libtomlplusplus-dev \
  nlohmann-json3-dev cmake patchelf locales chromium

# What a minimal Debian or Ubuntu system lacks to build at all: the compiler and make, and the
# system's CPython with its headers and venv.
DEB_PACKAGES += build-essential python3-dev python3-venv

# Debian packages the stand-in SDK builds with, patchelf for auditwheel, chromium for the viewer's
# browser tests and the above (installed only when missing).
.deps-ok: Makefile
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@touch $@

# The CPython version to build and test: PYVER when named (make test PYVER=3.12), else that of
# PYTHON (an interpreter), else 3.9, or when no 3.9 is found the newest supported version found
# (as python3.X on the PATH or through pyenv; the choice is said). 3.9 lives in .venv, any other
# in .venv-X.Y.
PY_VERSIONS := 3.9 3.10 3.11 3.12 3.13
ifeq ($(origin PYVER),undefined)
  ifneq ($(strip $(PYTHON)),)
    PYVER := $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
    $(if $(PYVER),,$(error PYTHON=$(PYTHON) does not run))
  else
    reverse = $(if $(1),$(call reverse,$(wordlist 2,$(words $(1)),$(1))) $(firstword $(1)))
    PYVER := $(shell scripts/find_python.sh --default 3.9 $(filter-out 3.9,$(call reverse,$(PY_VERSIONS))))
  endif
endif
ifeq ($(PYVER),)
  # No supported CPython, as on a fresh system: the Debian packages (the system's python3 among
  # them) first, then the same goals again in a make that finds it.
  $(if $(TUVO_DEPS_DONE),$(error no supported CPython ($(PY_VERSIONS)) found, even after installing python3))
  GOALS := $(or $(MAKECMDGOALS),all)
  .PHONY: $(GOALS)
  $(GOALS): .deps-ok
	@$(MAKE) --no-print-directory $@ TUVO_DEPS_DONE=1
else ifeq ($(filter $(PY_VERSIONS),$(PYVER)),)
  $(error PYVER=$(PYVER) (PYTHON=$(PYTHON)) is none of the supported CPython versions $(PY_VERSIONS))
else
VENV := $(if $(filter 3.9,$(PYVER)),.venv,.venv-$(PYVER))
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src sim stubs python -type f) CMakeLists.txt pyproject.toml

# The stand-in SDK does not depend on Python: built once here, linked and installed by every version.
SDK_DIR := build/sdk
SDK_STAMP := $(SDK_DIR)/.built
SDK_LIB := $(CURDIR)/$(SDK_DIR)/sim/libTUVO.so.1

.PHONY: all demo test test-asan-ci test-smoke test-versions wheels wheel bench fuzz test-asan stubs docs clean

all: $(STAMP)

$(SDK_STAMP): $(shell find sim src/sdk -type f) CMakeLists.txt | .deps-ok
	@echo "== building the virtual camera SDK (libTUVO.so.1) in $(SDK_DIR)"
	@cmake -S . -B $(SDK_DIR) -DTUVO_SDK_ONLY=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(SDK_DIR) --parallel $$(nproc)
	@touch $@

$(VENV)/bin/python: | .deps-ok
	@echo "== creating $(VENV) for CPython $(PYVER)"
	@interp=$$(scripts/find_python.sh $(PYVER)) && "$$interp" -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip

# The development requirements, installed once per venv and again only when the list changes.
REQUIREMENTS := $(VENV)/.requirements
$(REQUIREMENTS): requirements-dev.txt $(VENV)/bin/python
	@echo "== installing the development requirements into $(VENV)"
	@$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# The extension's build shows CMake's progress lines; its whole output goes to the log, whose end is
# shown when it fails.
INSTALL_LOG := build/install-$(PYVER).log
$(STAMP): $(SDK_STAMP) $(REQUIREMENTS) $(SOURCES) | .deps-ok
	@echo "== building and installing PyTUVO into $(VENV) (full output: $(INSTALL_LOG))"
	@mkdir -p build; set -o pipefail; \
	$(PY) -m pip install -v --no-build-isolation --no-deps -C cmake.define.TUVO_SDK_LIBRARY=$(SDK_LIB) . 2>&1 \
	  | tee $(INSTALL_LOG) | { grep --line-buffered -E '^ *\[ *[0-9]+(%|/[0-9]+)\] ' || true; } \
	  || { echo "== the build failed; the end of $(INSTALL_LOG):"; tail -n 40 $(INSTALL_LOG); exit 1; }
	@touch $@

demo: $(STAMP)
	$(PY) examples/demo.py

test: $(STAMP)
	$(PY) -m pytest -q tests

# The part of the suite every version runs: the module frame, a capture on each kind of device and
# camera, the tools and the packaging.
test-smoke: $(STAMP)
	$(PY) -m pytest -q -m smoke tests

# Build and smoke-test every supported version but 3.9 (whose whole suite `make test` runs).
test-versions:
	@set -e; for v in $(filter-out 3.9,$(PY_VERSIONS)); do \
	  echo "== CPython $$v"; env -u PYTHON $(MAKE) --no-print-directory test-smoke PYVER=$$v; done

# One manylinux wheel per version in dist/ (make wheel: PYVER's alone): built, repaired by auditwheel
# into the oldest manylinux tag the machine allows (the libraries libTUVO.so.1 links outside that
# tag's set are vendored) and checked in a fresh venv of its version outside the source tree.
wheels:
	@set -e; rm -rf dist build/wheels; for v in $(PY_VERSIONS); do \
	  echo "== CPython $$v"; env -u PYTHON $(MAKE) --no-print-directory wheel PYVER=$$v; done; ls -l dist

wheel: $(STAMP)
	@rm -rf build/wheels/$(PYVER) dist/*-cp$(subst .,,$(PYVER))-*.whl && mkdir -p dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C cmake.define.TUVO_SDK_LIBRARY=$(SDK_LIB) \
	  -w build/wheels/$(PYVER) .
	$(PY) scripts/repair_wheel.py -w dist build/wheels/$(PYVER)/*.whl
	$(PY) scripts/check_wheel.py dist/*-cp$(subst .,,$(PYVER))-*.whl

# A bare pybind11 module for comparison, built beside the benchmark only (never installed).
BENCH_DIR := build/bench
$(BENCH_DIR)/.built: bench/bare.cpp $(STAMP)
	@mkdir -p $(BENCH_DIR)
	site=$$($(PY) -c 'import PyTUVO, os; print(os.path.dirname(PyTUVO.__file__))'); \
	suffix=$$($(PY) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))'); \
	g++ -O2 -shared -fPIC -std=c++17 -fvisibility=hidden $$($(PY) -m pybind11 --includes) -Isrc bench/bare.cpp \
	  -o $(BENCH_DIR)/bench_bare$$suffix "$$site/libTUVO.so.1" -Wl,-rpath,"$$site"
	@touch $@

# The benchmarks' own requirements (Open3D, the reference ray caster), installed once per venv and again
# only when the list changes.
BENCH_REQUIREMENTS := $(VENV)/.bench-requirements
$(BENCH_REQUIREMENTS): bench/requirements.txt $(VENV)/bin/python
	@echo "== installing the benchmarks' requirements into $(VENV)"
	@$(PY) -m pip install -q -r bench/requirements.txt
	@touch $@

bench: $(STAMP) $(BENCH_DIR)/.built $(BENCH_REQUIREMENTS)
	PYTHONPATH=$(BENCH_DIR) $(PY) bench/bench.py

clean:
	rm -rf build dist .venv $(addprefix .venv-,$(PY_VERSIONS)) .deps-ok out

fuzz: $(STAMP)
	FUZZ_EXAMPLES=$${FUZZ_EXAMPLES:-200} $(PY) -m pytest -q tests/test_fuzz.py

# The binding and the stand-in built with AddressSanitizer and UndefinedBehaviorSanitizer, installed
# apart from the venv's copy, and the suite (ASAN_TESTS: all of it unless named) run against them;
# any sanitizer report fails the run. CI runs the reliability, fuzz and stress tests this way.
ASAN_SITE := build/asan-site
ASAN_TESTS ?= tests
ASAN_CI_TESTS := tests/test_reliability_data.py tests/test_reliability_devices.py tests/test_fuzz.py tests/test_stress.py
test-asan: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_SITE) \
	  -C cmake.define.TUVO_SANITIZE=ON -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" .
	@rm -rf build/asan-reports && mkdir -p build/asan-reports
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(CURDIR)/build/asan-reports/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/build/asan-reports/ubsan \
	PYTHONPATH=$(ASAN_SITE) $(PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS); status=$$?; \
	if ls build/asan-reports/* >/dev/null 2>&1; then cat build/asan-reports/*; status=1; fi; exit $$status

test-asan-ci:
	$(MAKE) --no-print-directory test-asan ASAN_TESTS="$(ASAN_CI_TESTS)"

# Regenerate the type stubs from the built module (a test checks they are in sync).
stubs: $(STAMP)
	$(PY) scripts/gen_stubs.py stubs/PyTUVO.pyi

# Regenerate the API reference from the built module (a test checks it is in sync).
docs: $(STAMP)
	$(PY) scripts/gen_docs.py docs/api.md

endif
