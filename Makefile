# Set-up, build, tests and demo. `make test SANITIZE=asan` builds and runs
# the suite under AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/; SANITIZE=tsan uses ThreadSanitizer in build-tsan/.
SANITIZE ?=
BUILD_TYPE ?= RelWithDebInfo
ifeq ($(SANITIZE),)
BUILD ?= build
else
BUILD ?= build-$(SANITIZE)
endif
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Where `make install` puts things (CMake's GNU install folders under it:
# PREFIX=/usr gives Debian's multiarch LIBDIR and /etc), and DESTDIR, a root
# to stage the installation in.
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all setup configure build test demo clean configure-asan test-asan test-tsan fuzz install package

all: build

setup:
	@sh scripts/setup.sh

# Every build that make configures treats a compiler warning as an error.
CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DLPP_WARNINGS_AS_ERRORS=ON -DCMAKE_INSTALL_PREFIX=$(PREFIX)
CONFIGURE = cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DLPP_SANITIZE=$(SANITIZE)

configure: setup
	$(CONFIGURE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# `make test` (the CI run) runs the suite three times: as built above; under
# AddressSanitizer + UndefinedBehaviorSanitizer with leak checking, built with
# clang in build-asan/, followed by a short run of each fuzzer from the same
# build; and under ThreadSanitizer in build-tsan/ the tests labelled
# "threads" (every test program that does not declare NO_THREADS, see
# tests/CMakeLists.txt), with vessix-replay, which the end-to-end tests run.
# With SANITIZE set, only that build's suite runs.
ASAN_BUILD = build-asan
TSAN_BUILD = build-tsan
FUZZ_SECONDS ?= 60
FUZZ_LONG_SECONDS ?= 3600
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
ifeq ($(SANITIZE),)
	@$(MAKE) --no-print-directory test-asan test-tsan
endif

configure-asan: setup
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DLPP_SANITIZE=asan \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLPP_BUILD_FUZZERS=ON

test-asan: configure-asan
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	$(SANITIZER_ENV) sh fuzz/run-fuzzers.sh $(ASAN_BUILD)/bin fuzz/corpus $(ASAN_BUILD)/fuzz-work $(FUZZ_SECONDS)

test-tsan: setup
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DLPP_SANITIZE=tsan
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target lpp_threaded_tests
	$(SANITIZER_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L threads --no-tests=error -E '_NOT_BUILT$$'

# Installs into $(DESTDIR)$(PREFIX) what the packages hold: the plugin,
# vessix-replay with its stand-in and manual page, the example configuration,
# the documentation with the examples, and the luacheck configuration.
# Builds only what it installs; never runs the set-up step.
INSTALLED_TARGETS = vessix-proc-lua vessixd vessix-replay lpp_manpage lpp_luacheckrc
install:
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target $(INSTALLED_TARGETS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# The Debian packages vessix-proc-lua and vessix-replay (CPack), in
# $(PACKAGE_BUILD)/, a build of its own for the prefix /usr that Debian
# packages install in, without the tests. Never runs the set-up step.
PACKAGE_BUILD ?= build-package
package:
	cmake -S . -B $(PACKAGE_BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=/usr -DLPP_SANITIZE= \
		-DLPP_BUILD_TESTS=OFF
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target $(INSTALLED_TARGETS)
	cd $(PACKAGE_BUILD) && cpack --config CPackConfig.cmake

# Long fuzzing runs: FUZZ_LONG_SECONDS per fuzzer, new inputs kept in
# build-asan/fuzz-long/.
fuzz: configure-asan
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target fuzzers
	$(SANITIZER_ENV) sh fuzz/run-fuzzers.sh $(ASAN_BUILD)/bin fuzz/corpus $(ASAN_BUILD)/fuzz-long $(FUZZ_LONG_SECONDS)

# Replays the byte-counter example: its log lines (standard output) with a
# summary of each sink payload (standard error), then the payloads in full.
# Builds only what it runs: the plugin, the stand-in library and the tool.
DEMO = $(BUILD)/bin/vessix-replay --conf examples/vessix-lua.json -D example=app-bytes
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target vessix-proc-lua vessixd vessix-replay
	@echo "=== vessix-replay: examples/app-bytes.lua on examples/app-bytes.jsonl"
	@echo "=== log lines and sink summaries:"
	@$(DEMO) examples/app-bytes.jsonl 2>&1
	@echo "=== the sink payloads in full (--sinks -):"
	@$(DEMO) --sinks - examples/app-bytes.jsonl | grep '^{'

# Benchmarks in the build above (not under a sanitizer): Google Benchmark's
# table and a summary of the figures beside their bars on the terminal, its
# JSON in $(BUILD)/bench/results.json. BENCH_ARGS passes options through,
# e.g. BENCH_ARGS=--benchmark_filter=FlowTable.
BENCH_ARGS ?=
.PHONY: bench
bench: configure
	cmake --build $(BUILD) -j $(JOBS) --target lpp_bench
	$(BUILD)/bin/lpp_bench --benchmark_out=$(BUILD)/bench/results.json --benchmark_out_format=json \
		--benchmark_enable_random_interleaving=true $(BENCH_ARGS)

clean:
	rm -rf build build-asan build-tsan build-package
