# Set-up, build, demo and tests. `make demo` and `make test` do everything on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src sim -type f) CMakeLists.txt pyproject.toml
DEB_PACKAGES := libpng-dev libeigen3-dev zlib1g-dev

.PHONY: all demo test bench fuzz clean

all: $(STAMP)

# Debian packages the stand-in SDK builds with (installed only when missing).
.deps-ok:
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

bench: $(STAMP)
	$(PY) bench/bench.py

clean:
	rm -rf build $(VENV) .deps-ok out

fuzz: $(STAMP)
	FUZZ_EXAMPLES=$${FUZZ_EXAMPLES:-200} $(PY) -m pytest -q tests/test_fuzz.py
