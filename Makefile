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

.PHONY: all setup configure build test demo clean

all: build

setup:
	@sh scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DLPP_SANITIZE=$(SANITIZE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Replays the byte-counter example: its log lines (standard output) with a
# summary of each sink payload (standard error), then the payloads in full.
DEMO = $(BUILD)/bin/vessix-replay --conf examples/vessix-lua.json -D example=app-bytes
demo: build
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
	rm -rf build build-asan build-tsan
