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

demo: build
	@echo "demo: not yet available"

clean:
	rm -rf build build-asan build-tsan
