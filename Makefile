# Set-up, build, demo and tests. `make demo` and `make test` do everything on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src sim stubs python -type f) CMakeLists.txt pyproject.toml
DEB_PACKAGES := libpng-dev libeigen3-dev zlib1g-dev libtbb-dev libembree-dev libassimp-dev libtomlplusplus-dev \
  nlohmann-json3-dev patchelf

.PHONY: all demo test bench fuzz test-asan stubs docs clean

all: $(STAMP)

# Debian packages the stand-in SDK builds with (installed only when missing).
.deps-ok: Makefile
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@touch $@

$(VENV)/bin/python:
	@interp=$$(scripts/find_python.sh) && "$$interp" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt

$(STAMP): .deps-ok $(VENV)/bin/python requirements-dev.txt $(SOURCES)
	$(PY) -m pip install -q -r requirements-dev.txt
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	@touch $@

demo: $(STAMP)
	$(PY) examples/demo.py

test: $(STAMP)
	$(PY) -m pytest -q tests

# A bare pybind11 module for comparison, built beside the benchmark only (never installed).
BENCH_DIR := build/bench
$(BENCH_DIR)/.built: bench/bare.cpp $(STAMP)
	@mkdir -p $(BENCH_DIR)
	site=$$($(PY) -c 'import PyTUVO, os; print(os.path.dirname(PyTUVO.__file__))'); \
	suffix=$$($(PY) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))'); \
	g++ -O2 -shared -fPIC -std=c++17 -fvisibility=hidden $$($(PY) -m pybind11 --includes) -Isrc bench/bare.cpp \
	  -o $(BENCH_DIR)/bench_bare$$suffix "$$site/libTUVO.so.1" -Wl,-rpath,"$$site"
	@touch $@

bench: $(STAMP) $(BENCH_DIR)/.built
	PYTHONPATH=$(BENCH_DIR) $(PY) bench/bench.py

clean:
	rm -rf build $(VENV) .deps-ok out

fuzz: $(STAMP)
	FUZZ_EXAMPLES=$${FUZZ_EXAMPLES:-200} $(PY) -m pytest -q tests/test_fuzz.py

# The binding and the stand-in built with AddressSanitizer and UndefinedBehaviorSanitizer, installed
# apart from the venv's copy, and the whole suite run against them.
ASAN_SITE := build/asan-site
test-asan: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_SITE) \
	  -C cmake.define.TUVO_SANITIZE=ON -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo .
	@rm -rf build/asan-reports && mkdir -p build/asan-reports
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(CURDIR)/build/asan-reports/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/build/asan-reports/ubsan \
	PYTHONPATH=$(ASAN_SITE) $(PY) -m pytest -q -p no:cacheprovider tests; status=$$?; \
	if ls build/asan-reports/* >/dev/null 2>&1; then cat build/asan-reports/*; status=1; fi; exit $$status

# Regenerate the type stubs from the built module (a test checks they are in sync).
stubs: $(STAMP)
	$(PY) scripts/gen_stubs.py stubs/PyTUVO.pyi

# Regenerate the API reference from the built module (a test checks it is in sync).
docs: $(STAMP)
	$(PY) scripts/gen_docs.py docs/api.md
