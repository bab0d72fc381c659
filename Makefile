# Thin wrapper over CMake presets; see README.md.
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test bench model model-export clean

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

# Retrains the neural key model from scratch: renders the generated songs (features are
# cached under build/keynet) and trains on one thread. Not part of `make test`.
KEYNET_DIR := build/keynet
model: configure
	@cmake --build $(BUILD_DIR) --target tonivox_cqt_basis keynet_onnx_check
	/usr/bin/python3 tools/keynet/render.py --split heldout --count 480 --out $(KEYNET_DIR)
	/usr/bin/python3 tools/keynet/render.py --split train --count 1920 --out $(KEYNET_DIR)
	/usr/bin/python3 tools/keynet/render.py --split train --first 1920 --count 3600 --name train_free --out $(KEYNET_DIR)
	/usr/bin/python3 tools/keynet/train.py --data $(KEYNET_DIR)

# Exports the trained model to resources/KeyNetV5.onnx and checks OpenCV against PyTorch.
model-export: configure
	@cmake --build $(BUILD_DIR) --target keynet_onnx_check
	/usr/bin/python3 tools/keynet/export.py --checkpoint $(KEYNET_DIR)/keynet.pt

clean:
	rm -rf build
