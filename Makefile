# The two commands of the README: `make demo` and `make test`. Both build first.
# PYTHON selects the interpreter (CPython 3.8 through pyenv by default); each
# interpreter gets its own virtual environment under .venv/.

pyenv_python = $(shell pyenv prefix $$(pyenv latest $(1)) 2>/dev/null)/bin/python
PYTHON ?= $(call pyenv_python,3.8)
VERSIONS ?= 3.8 3.9 3.10 3.11 3.12 3.13

PY_VERSION := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV ?= .venv/$(PY_VERSION)
VPY := $(VENV)/bin/python
ASAN_VENV := .venv/asan-$(PY_VERSION)
ASAN_PY := $(ASAN_VENV)/bin/python
TOOLS := scikit-build-core pytest mypy hypothesis==6.113.0

.PHONY: all build demo test test-all sanitize bench clean
all: test

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(TOOLS)

build: $(VPY)
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

demo: build
	@for example in examples/*.py; do echo "== $$example"; $(VPY) $$example || exit 1; done

test: build
	$(VPY) -m pytest -q tests
	cd /tmp && $(abspath $(VPY)) -m mypy.stubtest vortan.async_.synchronize vortan.async_.tandrel vortan.async_.exceptions vortan.log

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

bench:
	@for v in $(VERSIONS); do \
	  $(MAKE) --no-print-directory build PYTHON="$$(pyenv prefix $$(pyenv latest $$v))/bin/python" >/dev/null || exit 1; \
	done
	$(VPY) benchmarks/run_all.py $(foreach v,$(VERSIONS),.venv/$(v)/bin/python)

clean:
	rm -rf build .venv
