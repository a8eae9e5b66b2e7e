# Everything runs in a project-local virtual environment made from CPython 3.10,
# the one interpreter the extension module is built for.
PYTHON310 ?= PYENV_VERSION=3.10 python3.10
VENV      ?= .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip --disable-pip-version-check -q

.PHONY: all build test demo bench clean

all: build

$(VENV)/.ready: requirements-dev.txt
	rm -rf $(VENV)
	$(PYTHON310) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install -r requirements-dev.txt
	touch $@

# Builds the extension module and installs the package into the venv.
build: $(VENV)/.ready
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

test: build
	$(PY) -m pytest -q

# The tool against the simulated controller, with its default configuration.
demo: build
	$(PY) tools/demo.py

# Every benchmark in bench/, one after the other.
bench: build
	@for script in bench/bench_*.py; do [ -e "$$script" ] || continue; echo "== $$script"; $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
