# Everything runs in a project-local virtual environment made from CPython 3.10,
# the one interpreter the extension module is built for.
PYTHON310 ?= PYENV_VERSION=3.10 python3.10
VENV      ?= .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip --disable-pip-version-check -q

# The sanitizer variant: the same sources built with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed into a venv and a build directory of
# their own so that the two builds never overwrite each other.
ASAN_VENV      ?= .venv-asan
ASAN_BUILD_DIR ?= build/asan
ASAN_PY        := $(ASAN_VENV)/bin/python
ASAN_PIP       := $(ASAN_PY) -m pip --disable-pip-version-check -q
# The interpreter itself is not instrumented, so the sanitizer runtimes that the
# module links against have to be in the process before the interpreter starts.
# Only the module's allocations are checked: the interpreter keeps its own
# objects until exit, so leak reports would be noise. PYTHONMALLOC=malloc sends
# every object allocation through the sanitizer's allocator instead of
# pymalloc's arenas, where overruns would go unseen.
ASAN_MODULE     = $(shell find $(ASAN_VENV)/lib -name 'korvalinden.cpython-*.so' 2>/dev/null)
ASAN_RUNTIMES   = $(shell ldd $(ASAN_MODULE) 2>/dev/null | awk '/lib(asan|ubsan)\.so/ {print $$3}')
SANITIZER_ENV   = LD_PRELOAD="$(ASAN_RUNTIMES)" \
                  PYTHONMALLOC=malloc \
                  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1 \
                  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all build build-asan test test-asan demo bench clean

all: build

$(VENV)/.ready: requirements-dev.txt
	rm -rf $(VENV)
	$(PYTHON310) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install -r requirements-dev.txt
	touch $@

$(ASAN_VENV)/.ready: requirements-dev.txt
	rm -rf $(ASAN_VENV)
	$(PYTHON310) -m venv $(ASAN_VENV)
	$(ASAN_PIP) install --upgrade pip
	$(ASAN_PIP) install -r requirements-dev.txt
	touch $@

# Builds the extension module and installs the package into the venv.
build: $(VENV)/.ready
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

build-asan: $(ASAN_VENV)/.ready
	KORVALINDEN_SANITIZE=ON $(ASAN_PIP) install --no-build-isolation --no-deps --force-reinstall \
		-C build-dir=$(ASAN_BUILD_DIR) .

# The normal suite first, then the same suite against the sanitizer build; a
# sanitizer report aborts the interpreter, so it fails the run.
test: build
	$(PY) -m pytest -q
	$(MAKE) --no-print-directory test-asan

test-asan: build-asan
	@case "$(ASAN_RUNTIMES)" in *libasan*libubsan*|*libubsan*libasan*) ;; \
	  *) echo "$(ASAN_VENV) holds no module built with the sanitizers" >&2; exit 1;; esac
	$(SANITIZER_ENV) $(ASAN_PY) -m pytest -q

# The tool against the simulated controller, with its default configuration.
demo: build
	$(PY) tools/demo.py

# Every benchmark in bench/, one after the other.
bench: build
	@for script in bench/bench_*.py; do [ -e "$$script" ] || continue; echo "== $$script"; $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .pytest_cache .hypothesis
