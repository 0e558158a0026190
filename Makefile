# make demo   runs the quickstart example
# make test   builds everything and runs the core (CTest) and Python (pytest) suites
# make bench  builds and runs the benchmarks (BENCH_QUICK=1 make bench: small sizes, quick)
# make wheel-check  builds the self-contained wheel into build/wheel/ and tries it in a fresh venv
SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD := build/core
JOBS ?= $(shell nproc)

.PHONY: all bootstrap core python test test-core test-python demo bench clean format check-format \
	wheel-check

all: core python

bootstrap:
	@bash scripts/bootstrap.sh

core: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARINE_BUILD_TESTS=ON \
		-DTESSARINE_WERROR=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Builds the extension with scikit-build-core (incrementally, in build/python-*)
# and installs the package into the venv. It links the system's shared
# libraries; the wheel build (pyproject.toml's defaults, make wheel-check)
# links some statically, in a build directory of its own.
python: bootstrap
	@$(PYTHON) -m pip install -q --no-build-isolation -C cmake.define.TESSARINE_WERROR=ON \
		-C cmake.define.TESSARINE_STATIC_DEPS=OFF -C 'build-dir=build/python-{wheel_tag}' .

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

# --- The wheel ----------------------------------------------------------------
# make wheel-check: `pip wheel .` (isolated, as a user's build runs), repaired by
# auditwheel into build/wheel/; auditwheel show must find no shared library
# outside the manylinux policy that the wheel does not carry. Then a fresh venv
# without build tools installs the wheel with numpy and the test tools from
# binaries only (so nothing can compile) and, from a directory outside the
# source tree (so that `import tessarine` finds only the installed wheel), runs
# the quickstart, a smoke test (scripts/wheel_smoke.py) and the pytest suite.
WHEEL := build/wheel
wheel-check: bootstrap
	@rm -rf $(WHEEL)/raw $(WHEEL)/venv $(WHEEL)/*.whl
	@CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip wheel -q . -w $(WHEEL)/raw --no-deps
	@PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEEL) \
		$(WHEEL)/raw/tessarine-*.whl > $(WHEEL)/repair.log 2>&1 || { cat $(WHEEL)/repair.log; exit 1; }
	@PATH="$(abspath $(VENV))/bin:$$PATH" $(PYTHON) scripts/check_wheel.py $(WHEEL)/tessarine-*.whl
	@$(PYTHON) -m venv $(WHEEL)/venv
	@wheel=$$(ls $(WHEEL)/tessarine-*.whl) && $(WHEEL)/venv/bin/python -m pip install -q \
		--no-build-isolation --only-binary=:all: "$$wheel[test]"
	@run=$$(mktemp -d) && trap 'rm -rf "$$run"' EXIT && mkdir "$$run/tests" && \
		cp examples/quickstart.py scripts/wheel_smoke.py pyproject.toml "$$run"/ && \
		cp -r tests/python "$$run/tests/" && cd "$$run" && \
		$(abspath $(WHEEL))/venv/bin/python -I quickstart.py && \
		$(abspath $(WHEEL))/venv/bin/python -I wheel_smoke.py && \
		$(abspath $(WHEEL))/venv/bin/python -I -m pytest -q -p no:cacheprovider

# Every C++ file of the project, formatted with the root .clang-format.
CXX_SOURCES = $(shell git ls-files --cached --others --exclude-standard '*.cc' '*.h')
format: bootstrap
	@clang-format-14 -i $(CXX_SOURCES)

check-format: bootstrap
	@clang-format-14 --dry-run --Werror $(CXX_SOURCES)
	@echo "check-format: $(words $(CXX_SOURCES)) files formatted"

# --- Sanitizers and fuzzing -------------------------------------------------
# make test-sanitize  core tests and the whole pytest suite under AddressSanitizer
#                     + UndefinedBehaviorSanitizer (the extension is built into
#                     build/sanitize and loaded from a copy of the package there;
#                     the .venv install is left alone)
# make test-tsan      core tests under ThreadSanitizer
# make fuzz           every fuzz target for FUZZ_SECONDS (default 30) seconds
.PHONY: test-sanitize test-tsan fuzz
SANITIZE_BUILD := build/sanitize
TSAN_BUILD := build/tsan
# -O1 with assertions on: quicker to build than -O3, and what the sanitizers are tuned for.
SANITIZE_BUILD_TYPE := -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" -DTESSARINE_WERROR=ON
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 TESSARINE_SANITIZED=1

test-sanitize: bootstrap
	@cmake -S . -B $(SANITIZE_BUILD) -G Ninja $(SANITIZE_BUILD_TYPE) \
		-DTESSARINE_SANITIZE=address,undefined -DTESSARINE_BUILD_TESTS=ON \
		-DTESSARINE_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(PYTHON)) > /dev/null
	@cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	@$(SANITIZER_ENV) ctest --test-dir $(SANITIZE_BUILD) --output-on-failure --no-tests=error -j $(JOBS)
	@rm -rf $(SANITIZE_BUILD)/package && mkdir -p $(SANITIZE_BUILD)/package
	@cp -r python/tessarine $(SANITIZE_BUILD)/package/
	@cp $(SANITIZE_BUILD)/src/python/_tessarine*.so $(SANITIZE_BUILD)/package/tessarine/
	@# CPython leaks by design; pymalloc is bypassed so ASan sees every object.
	@$(SANITIZER_ENV) PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE_BUILD)/package) \
		LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
		$(PYTHON) -c 'import sys, tessarine; sys.exit("tessarine not loaded from the sanitized build: " + tessarine.__file__) if "$(SANITIZE_BUILD)/package" not in tessarine.__file__ else None'
	@$(SANITIZER_ENV) PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE_BUILD)/package) \
		LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
		$(PYTHON) -m pytest tests/python -q -p no:cacheprovider

# GCC 12 reports bounds errors inside std::vector's growth that are not
# there once ThreadSanitizer instruments the code; those warnings stay
# errors in every other build.
TSAN_BUILD_TYPE := -DCMAKE_BUILD_TYPE=Debug \
	"-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g -Wno-array-bounds -Wno-restrict -Wno-stringop-overflow" -DTESSARINE_WERROR=ON

test-tsan: bootstrap
	@cmake -S . -B $(TSAN_BUILD) -G Ninja $(TSAN_BUILD_TYPE) \
		-DTESSARINE_SANITIZE=thread -DTESSARINE_BUILD_TESTS=ON > /dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --test-dir $(TSAN_BUILD) --output-on-failure --no-tests=error -j $(JOBS)

fuzz: bootstrap
	@JOBS=$(JOBS) bash fuzz/run_fuzzers.sh
