# Thin wrapper over CMake presets; see README.md.
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test bench model clean

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/src/app/tonivox $(ARGS)

test: build
	tests/run-with-services ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -LE fuzz $(CTEST_ARGS)

bench: build
	tests/run-with-services sh -c 'for b in $(BUILD_DIR)/bench/bench_*; do "$$b" $(BENCH_ARGS) || exit 1; done'

clean:
	rm -rf build
