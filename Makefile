# Thin wrappers around the CMake presets. `make help` lists the targets.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: help install deb test-package build test test-asan test-tsan mutants bench fuzz fuzz-run fuzz-long demo-build demo demo-interactive demo-stop format check-format clean

help:
	@echo "make demo             build, then run the scripted demo against simulated cameras"
	@echo "make demo-interactive build, start host and simulators, and leave them running"
	@echo "make demo-stop        stop what demo-interactive left running"
	@echo "make test             build (RelWithDebInfo) and run the test suite"
	@echo "make test-asan        the test suite under AddressSanitizer + UBSan"
	@echo "make test-tsan        the test suite under ThreadSanitizer"
	@echo "make mutants          apply each hand-written fault of tests/mutants/ and check that its tests fail"
	@echo "make bench            build and run the benchmarks"
	@echo "make fuzz             build the libFuzzer targets with clang (FUZZ_SECONDS=60 make fuzz-run runs them)"
	@echo "make fuzz-long        run every fuzz target for FUZZ_RUNS inputs (10^7), FUZZ_JOBS (1 or 2) at a time"
	@echo "make install          build (Release) and install under PREFIX (/usr/local), staged in DESTDIR"
	@echo "make deb              build the Debian package build/package/dist/k47ptz_*.deb"
	@echo "make test-package     as root: build, install, use and purge the package (scripts/test-package.sh)"
	@echo "make format           clang-format every source file (make check-format: check only,"
	@echo "                      and that no library file includes a Linux system header)"

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default $(CTEST_ARGS)

test-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --preset asan $(CTEST_ARGS)

test-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan $(CTEST_ARGS)

# Not part of the test target: every mutant rebuilds part of the tree (MUTANTS=... for a few).
mutants:
	JOBS=$(JOBS) scripts/mutants.sh $(MUTANTS)

bench: build
	scripts/run-bench.sh build/default

fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

FUZZ_SECONDS ?= 60
fuzz-run: fuzz
	scripts/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

# Hours: not for CI. FUZZ_RUNS=100000 (or FUZZ_MAX_TIME=180 seconds a target) for a shorter pass.
FUZZ_RUNS ?= 10000000
FUZZ_MAX_TIME ?= 0
FUZZ_JOBS ?= 1
fuzz-long: fuzz
	scripts/run-fuzz.sh --runs $(FUZZ_RUNS) --max-time $(FUZZ_MAX_TIME) --jobs $(FUZZ_JOBS) build/fuzz

# The demo needs the libraries, the host and the tools only, not the tests (a fraction of the build).
demo-build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target demo-programs

demo: demo-build
	scripts/demo.sh

demo-interactive: demo-build
	scripts/demo.sh --interactive

demo-stop:
	scripts/demo.sh --stop

# Release builds of the installed tree; the prefix is fixed at configuration (the unit and the
# package scripts name installed paths), so each PREFIX configures build/package again.
PREFIX ?= /usr/local
DESTDIR ?=
install:
	cmake --preset package -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build --preset package -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build/package

deb:
	cmake --preset package -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	cmake --build --preset package -j $(JOBS)
	cd build/package && cpack -G DEB

test-package: deb
	scripts/test-package.sh build/package/dist/k47ptz_*.deb

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	scripts/check-includes.sh

clean:
	rm -rf build
