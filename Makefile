# Every supported CPython that this machine can run gets a virtual environment
# of its own, .venv-<version>, made from that interpreter. An interpreter is
# found as python<version>, through pyenv when it is there (PYENV_VERSION
# selects the version behind pyenv's shims; without pyenv the variable is
# ignored), or else inside the root of newer CPythons that `make pythons`
# brings to a machine whose distribution lacks them. The root lives in a
# machine-wide cache, PYTHONS_DIR, shared by every clone of the project; its
# environments are used through tools/in-root, which the recipes put in front
# of their commands (RUN_<version>).
# A free-threaded version (3.13t: no GIL) is python<version> on the path, or
# else the build that `make pythons` leaves in the same cache, which runs here
# directly. Each is one more version to the targets below.
# `make test PYTHON_VERSIONS=3.12` limits a run to the versions named.
SUPPORTED_VERSIONS := 3.10 3.11 3.12 3.13 3.14 3.15
FREE_THREADED_VERSIONS := 3.13t 3.14t 3.15t
PYTHONS_DIR ?= /var/cache/korvalinden/pythons
export KORVALINDEN_PYTHONS := $(PYTHONS_DIR)
IN_ROOT := $(CURDIR)/tools/in-root

# $(call locate,KEY,COMMAND,VERSION): PYTHON_KEY is the interpreter COMMAND of
# VERSION as its environment sees it, RUN_KEY what runs a command there.
on_host = $(shell PYENV_VERSION=$(2) $(1) -c 'import sys; print(sys.executable)' 2>/dev/null)
in_root = $(if $(wildcard $(PYTHONS_DIR)/sid/usr/bin/$(1)),$(shell $(IN_ROOT) $(1) -c 'import sys; print(sys.executable)' 2>/dev/null))
define locate
PYTHON_$(1) := $(call on_host,$(2),$(3))
RUN_$(1) :=
ifeq ($$(PYTHON_$(1)),)
PYTHON_$(1) := $(call in_root,$(2))
RUN_$(1) := $$(if $$(PYTHON_$(1)),$(IN_ROOT))
endif
endef
in_cache = $(wildcard $(PYTHONS_DIR)/cpython-$(1)/bin/python$(1))
define locate_free_threaded
PYTHON_$(1) := $$(or $(call on_host,python$(1),$(1)),$(call in_cache,$(1)))
RUN_$(1) :=
endef
# Each version, and its debug build (python<version>d, for the leak hunt).
$(foreach version,$(SUPPORTED_VERSIONS),$(eval $(call locate,$(version),python$(version),$(version))))
$(foreach version,$(SUPPORTED_VERSIONS),$(eval $(call locate,dbg-$(version),python$(version)d,$(version))))
$(foreach version,$(FREE_THREADED_VERSIONS),$(eval $(call locate_free_threaded,$(version))))

ALL_VERSIONS := $(SUPPORTED_VERSIONS) $(FREE_THREADED_VERSIONS)
PYTHON_VERSIONS ?= $(strip $(foreach version,$(ALL_VERSIONS),$(if $(PYTHON_$(version)),$(version))))
MISSING_VERSIONS := $(filter-out $(PYTHON_VERSIONS),$(ALL_VERSIONS))
# The sanitizers, the leak hunt, .venv and the longer fuzzing take versions
# with the GIL.
free_threaded = $(filter %t,$(1))
GIL_VERSIONS := $(filter-out $(call free_threaded,$(PYTHON_VERSIONS)),$(PYTHON_VERSIONS))
DEBUG_VERSIONS ?= $(strip $(foreach version,$(GIL_VERSIONS),$(if $(PYTHON_dbg-$(version)),$(version))))
OLDEST := $(firstword $(GIL_VERSIONS))
NEWEST := $(lastword $(GIL_VERSIONS))
# The sanitizer run covers the two ends of the range.
ASAN_VERSIONS := $(sort $(OLDEST) $(NEWEST))

# .venv is the environment for the demo, the benchmarks and trying the tool
# by hand: the newest version that runs on this machine without the root.
DIRECT_VERSIONS := $(strip $(foreach version,$(GIL_VERSIONS),$(if $(RUN_$(version)),,$(version))))
ROOT_VERSIONS := $(strip $(foreach version,$(PYTHON_VERSIONS),$(if $(RUN_$(version)),$(version))))
VENV_VERSION := $(or $(lastword $(DIRECT_VERSIONS)),$(NEWEST))
VENV := .venv
PY   := $(RUN_$(VENV_VERSION)) $(VENV)/bin/python
PIP_FLAGS := --disable-pip-version-check -q

# The sanitizer variant: the same sources built with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed into a venv and a build directory of
# their own so that the two builds never overwrite each other. The interpreter
# itself is not instrumented, so the sanitizer runtimes that the module links
# against have to be in the process before the interpreter starts
# (tools/run-sanitized). Only the module's allocations are checked: the
# interpreter keeps its own objects until exit, so leak reports would be noise.
# PYTHONMALLOC=malloc sends every object allocation through the sanitizer's
# allocator instead of pymalloc's arenas, where overruns would go unseen.
SANITIZER_OPTIONS = PYTHONMALLOC=malloc \
                    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1 \
                    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Fuzzing: every fuzzed test draws FUZZ_EXAMPLES examples, and on
# FUZZ_LONG_VERSION (which the sanitizers do not slow down) FUZZ_LONG_EXAMPLES.
# FUZZ_SEED fixes what is drawn (CI gives the commit); without it each run
# draws anew. A failing fuzzed test names its seed.
FUZZ_EXAMPLES      ?= 150
FUZZ_LONG_VERSION  ?= $(VENV_VERSION)
FUZZ_LONG_EXAMPLES ?= $(FUZZ_EXAMPLES)
FUZZ_SEED          ?=
fuzz_settings = FUZZ_EXAMPLES=$(if $(filter $(1),$(FUZZ_LONG_VERSION)),$(FUZZ_LONG_EXAMPLES),$(FUZZ_EXAMPLES)) \
                FUZZ_SEED=$(FUZZ_SEED)

# The leak hunt on debug builds (make leaks): each test of LEAK_HUNT_TESTS runs
# again after warm-ups, and one after which sys.gettotalrefcount() or the
# allocated blocks grew every time fails (tests/conftest.py, --hunt-leaks).
LEAK_HUNT := 3:3
LEAK_HUNT_TESTS := tests/test_refleaks.py tests/test_filter.py tests/test_function.py

# Wheels: one per interpreter, repaired to a manylinux tag no newer than
# MANYLINUX, each proved in a fresh environment that may install nothing but
# binary wheels from disk, with and without the rehearsal's extra, whose
# dependencies are fetched beside them. A wheel made in the root is compiled by this
# machine's g++ against this machine's C library (tools/host-g++), as the root's
# are newer; the version's headers are copied to where both sides see them.
WHEELHOUSE   := wheelhouse
WHEEL_BUILD  := build/wheels
WHEEL_DEPS   := build/wheel-deps
MANYLINUX    := manylinux_2_24_x86_64
# The wheel's Python and ABI tags: cp313-cp313, cp313-cp313t.
wheel_tags   = cp$(subst .,,$(1:t=))-cp$(subst .,,$(1))
# Copies the interpreter's headers, with the pyconfig.h of its multiarch
# directory, below the directory given, at their own paths.
COPY_HEADERS := import os, shutil, sys, sysconfig; \
	include = sysconfig.get_path("include"); \
	multiarch = os.path.join(os.path.dirname(include), sysconfig.get_config_var("MULTIARCH") or "-"); \
	[shutil.copytree(path, sys.argv[1] + path) for path in (include, os.path.join(multiarch, os.path.basename(include))) \
	 if os.path.isdir(path)]
host_compiler = -C build-dir=$(WHEEL_BUILD)/$(1)/cmake \
                -C cmake.define.CMAKE_CXX_COMPILER=$(CURDIR)/tools/host-g++ \
                -C cmake.define.Python_INCLUDE_DIR=$(CURDIR)/$(WHEEL_BUILD)/$(1)/headers/usr/include/python$(1) \
                -C cmake.define.CMAKE_CXX_FLAGS=-I$(CURDIR)/$(WHEEL_BUILD)/$(1)/headers/usr/include

.PHONY: all build test demo bench wheels clean versions pythons leaks mutants tsan build-tsan
.SECONDARY:

all: build

versions:
	@echo "supported: $(ALL_VERSIONS)"
	@echo "found:     $(PYTHON_VERSIONS)$(if $(ROOT_VERSIONS), ($(ROOT_VERSIONS) in $(PYTHONS_DIR)))"
	@$(foreach version,$(call free_threaded,$(PYTHON_VERSIONS)),echo "           $(version) is $(PYTHON_$(version))";)
	@echo "debug:     $(or $(DEBUG_VERSIONS),none)"
	@echo "missing:   $(or $(MISSING_VERSIONS),none)"

# The root of the CPythons this machine's distribution lacks; seconds when it
# is there already.
pythons:
	tools/pythons

# ---- environments --------------------------------------------------------------

# A free-threaded version's environment lacks what the package index has no
# free-threaded wheel of, which building would take a Rust toolchain and
# crates this machine cannot fetch for: trustme (its cryptography), greenlet and
# gevent, whose tests skip there; and hypothesis past 6.155.7, the newest
# release of pure Python, which it takes instead.
FREE_THREADED_REQUIREMENTS = $$(grep -vE '^(\#|hypothesis==|trustme==|greenlet==|gevent==)' requirements-dev.txt) \
                             hypothesis==6.155.7
dev_requirements = $(if $(call free_threaded,$(1)),$(FREE_THREADED_REQUIREMENTS),-r requirements-dev.txt)

# $(call make_venv,directory,key): a new environment of the interpreter
# PYTHON_key with the project's development packages.
define make_venv
	@test -n "$(PYTHON_$(2))" || { echo "CPython $(2) not found (python$(2), pyenv or make pythons)" >&2; exit 1; }
	rm -rf $(1)
	$(RUN_$(2)) $(PYTHON_$(2)) -m venv $(1)
	$(RUN_$(2)) $(1)/bin/python -m pip $(PIP_FLAGS) install --upgrade pip
	$(RUN_$(2)) $(1)/bin/python -m pip $(PIP_FLAGS) install $(call dev_requirements,$(2))
	touch $(1)/.ready
endef

.venv-%/.ready: requirements-dev.txt
	$(call make_venv,.venv-$*,$*)

.venv-asan-%/.ready: requirements-dev.txt
	$(call make_venv,.venv-asan-$*,$*)

.venv-dbg-%/.ready: requirements-dev.txt
	$(call make_venv,.venv-dbg-$*,dbg-$*)

# ---- build ---------------------------------------------------------------------

# Builds the extension module for one version and installs the package into
# that version's environment.
build-%: .venv-%/.ready
	$(RUN_$*) .venv-$*/bin/python -m pip $(PIP_FLAGS) install --no-build-isolation --no-deps --force-reinstall .

build-asan-%: .venv-asan-%/.ready
	KORVALINDEN_SANITIZE=ON $(RUN_$*) .venv-asan-$*/bin/python -m pip $(PIP_FLAGS) install --no-build-isolation \
		--no-deps --force-reinstall -C build-dir=build/asan-$* .

# For the debug interpreter's ABI.
build-dbg-%: .venv-dbg-%/.ready
	$(RUN_dbg-$*) .venv-dbg-$*/bin/python -m pip $(PIP_FLAGS) install --no-build-isolation --no-deps \
		--force-reinstall -C build-dir=build/dbg-$* .

build: build-$(VENV_VERSION)
	@if [ -d $(VENV) ] && [ ! -L $(VENV) ]; then rm -rf $(VENV); fi
	ln -sfn .venv-$(VENV_VERSION) $(VENV)

# ---- tests ---------------------------------------------------------------------

test-%: build-%
	@echo "== tests on CPython $*"
	$(call fuzz_settings,$*) $(RUN_$*) .venv-$*/bin/python -m pytest -q

# A sanitizer report aborts the interpreter, so it fails the run.
test-asan-%: build-asan-%
	@echo "== tests on CPython $* under AddressSanitizer and UBSan"
	$(SANITIZER_OPTIONS) $(call fuzz_settings,asan) $(RUN_$*) tools/run-sanitized .venv-asan-$*/bin/python -m pytest -q

# A module built with the release pyconfig.h would count none of its references
# in the interpreter's total, so the hunt would see none of its leaks.
leaks-%: build-dbg-%
	@echo "== leak hunt on the debug build of CPython $*"
	@module=$$(find .venv-dbg-$*/lib -name 'korvalinden.cpython-*.so'); \
	nm -D $$module | grep -q _Py_INCREF_IncRefTotal || { echo "$$module does not count its references" >&2; exit 1; }
	$(RUN_dbg-$*) .venv-dbg-$*/bin/python -m pytest -q --hunt-leaks=$(LEAK_HUNT) $(LEAK_HUNT_TESTS)

leaks: $(addprefix leaks-,$(DEBUG_VERSIONS))
	@echo "== leak hunt on the debug builds of CPython $(or $(DEBUG_VERSIONS),(none found))"

# The whole suite on every supported version the machine has, then again under
# the sanitizers on the oldest and the newest.
test: $(addprefix test-,$(PYTHON_VERSIONS)) $(addprefix test-asan-,$(ASAN_VERSIONS))
	@echo "== tested on CPython $(PYTHON_VERSIONS); sanitizers on $(ASAN_VERSIONS)"
	@if [ -n "$(MISSING_VERSIONS)" ]; then echo "== skipped (not on this machine): $(MISSING_VERSIONS)"; fi

# ---- ThreadSanitizer -------------------------------------------------------------

# make tsan: free-threaded 3.13 built with ThreadSanitizer (made once into the
# cache by tools/pythons tsan), the module built with it into an environment of
# its own, and the threads' stress test (tests/thread_stress.py) run there for
# TSAN_SECONDS without the GIL. tools/tsan_races.py counts the reports, and
# those with a frame of the module among the top five of either access, which
# fail the run. Not part of make test.
TSAN_PYTHON  := $(PYTHONS_DIR)/cpython-3.13t-tsan/bin/python3.13t
TSAN_VENV    := .venv-tsan-3.13t
TSAN_REPORTS := build/tsan
TSAN_SECONDS ?= 20
# Every report, into a file of the process's own, with the longest history of
# earlier accesses. Nothing is suppressed: the interpreter's own races (a new
# object's header written where another thread reads a freed one, a sort's
# moves) have, at the top, the very frames that a read of the module's through
# a borrowed reference races with, so a suppression would hide the module's
# too; tools/tsan_races.py tells them apart. A crash can leave the sanitizer's
# handler hanging.
TSAN_OPTIONS_RUN = TSAN_OPTIONS="log_path=$(CURDIR)/$(TSAN_REPORTS)/report halt_on_error=0 exitcode=0 history_size=7" \
                   timeout -s KILL $$(($(TSAN_SECONDS) + 120))

$(TSAN_PYTHON):
	tools/pythons tsan

# Only what building the module and importing it take: the stress test needs
# nothing else, and pip is slow under the sanitizer.
$(TSAN_VENV)/.ready: requirements-dev.txt | $(TSAN_PYTHON)
	rm -rf $(TSAN_VENV)
	$(TSAN_PYTHON) -m venv $(TSAN_VENV)
	$(TSAN_VENV)/bin/python -m pip $(PIP_FLAGS) install \
		$$(grep -E '^(scikit-build-core|cmake|ninja|requests)==' requirements-dev.txt)
	touch $@

build-tsan: $(TSAN_VENV)/.ready
	$(TSAN_VENV)/bin/python -m pip $(PIP_FLAGS) install --no-build-isolation --no-deps --force-reinstall \
		-C build-dir=build/tsan-3.13t -C cmake.define.KORVALINDEN_TSAN=ON -C install.strip=false .

tsan: build-tsan
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS)
	@echo "== the threads' stress test for $(TSAN_SECONDS) s under ThreadSanitizer, without the GIL"
	@$(TSAN_OPTIONS_RUN) $(TSAN_VENV)/bin/python -X gil=0 tests/thread_stress.py $(TSAN_SECONDS); status=$$?; \
	$(TSAN_VENV)/bin/python tools/tsan_races.py $$(ls $(TSAN_REPORTS)/report.* 2>/dev/null) || status=1; \
	echo "   the reports are in $(TSAN_REPORTS)/"; exit $$status

# ---- the tool ------------------------------------------------------------------

# The tool against the simulated controller, with its default configuration.
demo: build
	$(PY) tools/demo.py

# Every benchmark in bench/, one after the other, the filter's in each
# version's environment; a missed goal fails the run once all have reported.
bench: build $(addprefix build-,$(PYTHON_VERSIONS))
	@status=0; for script in bench/bench_*.py; do [ -e "$$script" ] || continue; case "$$script" in \
	  */bench_filter.py) $(foreach version,$(PYTHON_VERSIONS),echo "== $$script on CPython $(version)"; \
	    $(RUN_$(version)) .venv-$(version)/bin/python $$script || status=1;) ;; \
	  *) echo "== $$script"; $(PY) $$script || status=1;; esac; done; exit $$status

# ---- wheels --------------------------------------------------------------------

# A free-threaded wheel goes without the rehearsal's extra, whose cryptography
# has no wheel there, and is proved from the .venv's interpreter, where the
# simulated controller can make its certificate.
prover = $(if $(call free_threaded,$(1)),$(PY),$(RUN_$(1)) .venv-$(1)/bin/python)

.SECONDEXPANSION:
wheel-%: build-% $$(if $$(call free_threaded,$$*),build)
	rm -rf $(WHEEL_BUILD)/$*
	$(if $(RUN_$*),$(RUN_$*) .venv-$*/bin/python -c '$(COPY_HEADERS)' $(WHEEL_BUILD)/$*/headers)
	$(RUN_$*) .venv-$*/bin/python -m pip $(PIP_FLAGS) wheel --no-build-isolation --no-deps \
		$(if $(RUN_$*),$(call host_compiler,$*)) -w $(WHEEL_BUILD)/$* .
	$(RUN_$*) /usr/bin/env PATH="$(CURDIR)/.venv-$*/bin:$$PATH" auditwheel repair --plat $(MANYLINUX) \
		-w $(WHEELHOUSE) $(WHEEL_BUILD)/$*/korvalinden-*.whl
	for wheel in $(WHEELHOUSE)/korvalinden-*-$(call wheel_tags,$*)-*.whl; do \
	  $(RUN_$*) .venv-$*/bin/python -m pip $(PIP_FLAGS) download --only-binary :all: -d $(WHEEL_DEPS) \
	    "$$wheel$(if $(call free_threaded,$*),,[rehearse])" || exit 1; done
	$(call prover,$*) tools/prove_wheel.py --python $(PYTHON_$*) $(if $(call free_threaded,$*),--without-extra) \
		--find-links $(WHEELHOUSE) --find-links $(WHEEL_DEPS)

wheels: $(addprefix wheel-,$(PYTHON_VERSIONS))
	@ls -1 $(WHEELHOUSE)
	@if [ -n "$(MISSING_VERSIONS)" ]; then echo "== no wheel for (not on this machine): $(MISSING_VERSIONS)"; fi

# ---- mutation runs -------------------------------------------------------------

# A sampled mutation run on one version (tools/mutants/run.py): mutants drawn
# until CPP_MUTANTS C++ ones compiled to a changed object, then PY_MUTANTS per
# Python module; SEED repeats a draw, MUTANT_FILES=a.cpp,b.py limits it,
# RERUN=<report> runs that report's survivors again once judged (a C++ one
# also under the sanitizers, as make test-asan runs the suite). The
# mutation tools live in an environment of their own. Not part of make test.
MUTANTS_VERSION ?= 3.13
CPP_MUTANTS     ?= 100
PY_MUTANTS      ?= 10
MUTANT_FILES    ?=
SEED            ?=
RERUN           ?=
MUTANT_TOOLS    := build/mutants/tools

$(MUTANT_TOOLS)/.ready: tools/mutants/requirements.txt
	rm -rf $(MUTANT_TOOLS)
	$(RUN_$(VENV_VERSION)) $(PYTHON_$(VENV_VERSION)) -m venv $(MUTANT_TOOLS)
	$(RUN_$(VENV_VERSION)) $(MUTANT_TOOLS)/bin/python -m pip $(PIP_FLAGS) install -r tools/mutants/requirements.txt
	touch $@

mutants: $(MUTANT_TOOLS)/.ready
	@test -n "$(PYTHON_$(MUTANTS_VERSION))" || { echo "CPython $(MUTANTS_VERSION) not found" >&2; exit 1; }
	$(RUN_$(VENV_VERSION)) $(MUTANT_TOOLS)/bin/python tools/mutants/run.py --version $(MUTANTS_VERSION) \
		--python $(PYTHON_$(MUTANTS_VERSION)) --prefix "$(RUN_$(MUTANTS_VERSION))" $(if $(SEED),--seed $(SEED)) \
		--cpp $(CPP_MUTANTS) --python-per-module $(PY_MUTANTS) $(if $(MUTANT_FILES),--files $(MUTANT_FILES)) \
		$(if $(RERUN),--rerun $(RERUN) --sanitizer-env "$(SANITIZER_OPTIONS)")

clean:
	rm -rf build $(WHEELHOUSE) $(VENV) .venv-* .pytest_cache .hypothesis
