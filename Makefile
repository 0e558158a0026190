# make demo   runs the quickstart example
# make test   builds everything and runs the core (CTest) and Python (pytest) suites
# make bench  builds and runs the benchmarks
SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD := build/core
JOBS ?= $(shell nproc)

.PHONY: all bootstrap core python test test-core test-python demo bench clean

all: core python

bootstrap:
	@bash scripts/bootstrap.sh

core: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARINE_BUILD_TESTS=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Builds the extension with scikit-build-core (incrementally, in build/python-*)
# and installs the package into the venv.
python: bootstrap
	@$(PYTHON) -m pip install -q --no-build-isolation .

test-core: core
	@ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

test-python: python
	@$(PYTHON) -m pytest tests/python -q

test: test-core test-python

demo: python
	@$(PYTHON) examples/quickstart.py

bench: bootstrap python
	@cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARINE_BUILD_TESTS=OFF -DTESSARINE_BUILD_BENCH=ON > /dev/null
	@cmake --build build/bench -j $(JOBS)
	@bash bench/run_all.sh build/bench $(PYTHON)

clean:
	rm -rf build
