# Every supported CPython that this machine has gets a virtual environment of
# its own, .venv-<version>, made from that interpreter. An interpreter is found
# as python<version>, through pyenv when it is there (PYENV_VERSION selects the
# version behind pyenv's shims; without pyenv the variable is ignored).
# `make test PYTHON_VERSIONS=3.12` limits a run to the versions named.
SUPPORTED_VERSIONS := 3.10 3.11 3.12 3.13
interpreter = $(shell PYENV_VERSION=$(1) python$(1) -c 'import sys; print(sys.executable)' 2>/dev/null)
PYTHON_VERSIONS ?= $(foreach version,$(SUPPORTED_VERSIONS),$(if $(call interpreter,$(version)),$(version)))
MISSING_VERSIONS := $(filter-out $(PYTHON_VERSIONS),$(SUPPORTED_VERSIONS))
OLDEST := $(firstword $(PYTHON_VERSIONS))
NEWEST := $(lastword $(PYTHON_VERSIONS))
# The sanitizer run covers the two ends of the range.
ASAN_VERSIONS := $(sort $(OLDEST) $(NEWEST))

# .venv is the newest interpreter's environment: the one for the demo, the
# benchmarks and trying the tool by hand.
VENV := .venv
PY   := $(VENV)/bin/python
PIP_FLAGS := --disable-pip-version-check -q

# The sanitizer variant: the same sources built with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed into a venv and a build directory of
# their own so that the two builds never overwrite each other. The interpreter
# itself is not instrumented, so the sanitizer runtimes that the module links
# against have to be in the process before the interpreter starts. Only the
# module's allocations are checked: the interpreter keeps its own objects until
# exit, so leak reports would be noise. PYTHONMALLOC=malloc sends every object
# allocation through the sanitizer's allocator instead of pymalloc's arenas,
# where overruns would go unseen.
SANITIZER_OPTIONS = PYTHONMALLOC=malloc \
                    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1 \
                    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Wheels: one per interpreter, repaired to a manylinux tag, each proved in a
# fresh environment that may install nothing but binary wheels from disk, with
# and without the rehearsal's extra, whose dependencies are fetched beside them.
WHEELHOUSE   := wheelhouse
WHEEL_BUILD  := build/wheels
WHEEL_DEPS   := build/wheel-deps

.PHONY: all build test demo bench wheels clean versions
.SECONDARY:

all: build

versions:
	@echo "supported: $(SUPPORTED_VERSIONS)"
	@echo "found:     $(PYTHON_VERSIONS)"
	@echo "missing:   $(or $(MISSING_VERSIONS),none)"

# ---- environments --------------------------------------------------------------

# $(call make_venv,directory,version): a new environment of that version with
# the project's development packages.
define make_venv
	@test -n "$(call interpreter,$(2))" || { echo "CPython $(2) not found (python$(2) or pyenv)" >&2; exit 1; }
	rm -rf $(1)
	$(call interpreter,$(2)) -m venv $(1)
	$(1)/bin/python -m pip $(PIP_FLAGS) install --upgrade pip
	$(1)/bin/python -m pip $(PIP_FLAGS) install -r requirements-dev.txt
	touch $(1)/.ready
endef

.venv-%/.ready: requirements-dev.txt
	$(call make_venv,.venv-$*,$*)

.venv-asan-%/.ready: requirements-dev.txt
	$(call make_venv,.venv-asan-$*,$*)

# ---- build ---------------------------------------------------------------------

# Builds the extension module for one version and installs the package into
# that version's environment.
build-%: .venv-%/.ready
	.venv-$*/bin/python -m pip $(PIP_FLAGS) install --no-build-isolation --no-deps --force-reinstall .

build-asan-%: .venv-asan-%/.ready
	KORVALINDEN_SANITIZE=ON .venv-asan-$*/bin/python -m pip $(PIP_FLAGS) install --no-build-isolation \
		--no-deps --force-reinstall -C build-dir=build/asan-$* .

build: build-$(NEWEST)
	@if [ -d $(VENV) ] && [ ! -L $(VENV) ]; then rm -rf $(VENV); fi
	ln -sfn .venv-$(NEWEST) $(VENV)

# ---- tests ---------------------------------------------------------------------

test-%: build-%
	@echo "== tests on CPython $*"
	.venv-$*/bin/python -m pytest -q

# A sanitizer report aborts the interpreter, so it fails the run.
test-asan-%: build-asan-%
	@echo "== tests on CPython $* under AddressSanitizer and UBSan"
	@module=$$(find .venv-asan-$*/lib -name 'korvalinden.cpython-*.so'); \
	runtimes=$$(ldd $$module | awk '/lib(asan|ubsan)\.so/ {print $$3}' | tr '\n' ' '); \
	case "$$runtimes" in *libasan*libubsan*|*libubsan*libasan*) ;; \
	  *) echo "$$module is not built with the sanitizers" >&2; exit 1;; esac; \
	LD_PRELOAD="$$runtimes" $(SANITIZER_OPTIONS) .venv-asan-$*/bin/python -m pytest -q

# The whole suite on every supported version the machine has, then again under
# the sanitizers on the oldest and the newest.
test: $(addprefix test-,$(PYTHON_VERSIONS)) $(addprefix test-asan-,$(ASAN_VERSIONS))
	@echo "== tested on CPython $(PYTHON_VERSIONS); sanitizers on $(ASAN_VERSIONS)"
	@if [ -n "$(MISSING_VERSIONS)" ]; then echo "== skipped (not on this machine): $(MISSING_VERSIONS)"; fi

# ---- the tool ------------------------------------------------------------------

# The tool against the simulated controller, with its default configuration.
demo: build
	$(PY) tools/demo.py

# Every benchmark in bench/, one after the other, the filter's two on every
# version; a missed goal fails the run once all have reported.
bench: build $(addprefix build-,$(PYTHON_VERSIONS))
	@status=0; for script in bench/bench_*.py; do [ -e "$$script" ] || continue; echo "== $$script"; \
	  case "$$script" in */bench_filter.py|*/bench_call_depth.py) $(PY) $$script --all-versions $(PYTHON_VERSIONS);; \
	  *) $(PY) $$script;; esac || status=1; done; exit $$status

# ---- wheels --------------------------------------------------------------------

wheel-%: build-%
	rm -rf $(WHEEL_BUILD)/$*
	.venv-$*/bin/python -m pip $(PIP_FLAGS) wheel --no-build-isolation --no-deps -w $(WHEEL_BUILD)/$* .
	PATH="$(CURDIR)/.venv-$*/bin:$$PATH" auditwheel repair -w $(WHEELHOUSE) $(WHEEL_BUILD)/$*/korvalinden-*.whl
	for wheel in $(WHEELHOUSE)/korvalinden-*-cp$(subst .,,$*)-*.whl; do \
	  .venv-$*/bin/python -m pip $(PIP_FLAGS) download --only-binary :all: -d $(WHEEL_DEPS) "$$wheel[rehearse]" \
	  || exit 1; done
	.venv-$*/bin/python tools/prove_wheel.py --python $(call interpreter,$*) \
		--find-links $(WHEELHOUSE) --find-links $(WHEEL_DEPS)

wheels: $(addprefix wheel-,$(PYTHON_VERSIONS))
	@ls -1 $(WHEELHOUSE)
	@if [ -n "$(MISSING_VERSIONS)" ]; then echo "== no wheel for (not on this machine): $(MISSING_VERSIONS)"; fi

clean:
	rm -rf build $(WHEELHOUSE) $(VENV) .venv-* .pytest_cache .hypothesis
