# Thin wrapper over CMake presets; see README.md.
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test bench coverage package model model-tools model-export clean

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/src/app/tonivox $(ARGS)

# Everything on PulseAudio, then the sound tests (capture, chain, loop) once more on PipeWire's
# PulseAudio server, as most desktops run.
test: build
	tests/run-with-services ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -LE fuzz $(CTEST_ARGS)
	TONIVOX_TEST_SOUND_SERVER=pipewire tests/run-with-services ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -L pulse $(CTEST_ARGS)

# Line and branch coverage of src/ by the whole suite (both passes), on the coverage preset.
# Throw and unreachable branches are left out: they are the compiler's, not the code's.
coverage:
	find build/coverage -name '*.gcda' -delete 2>/dev/null || true
	$(MAKE) --no-print-directory test PRESET=coverage
	gcovr --root . --object-directory build/coverage --filter 'src/' -j $(JOBS) \
		--exclude-throw-branches --exclude-unreachable-branches \
		--txt build/coverage/coverage.txt --print-summary

bench: build
	tests/run-with-services sh -c 'for b in $(BUILD_DIR)/bench/bench_*; do "$$b" $(BENCH_ARGS) || exit 1; done'

# The Debian packages tonivox and tonivox-keylib-server, written into $(BUILD_DIR).
package: build
	cmake --build $(BUILD_DIR) --target package

# Retrains the neural key model: renders the generated songs that are missing or older
# than the generator (features are cached under build/keynet; `make -j2 model` renders two
# sets at once) and trains from scratch. Not part of `make test`.
KEYNET_DIR := build/keynet
KEYNET_SOURCES := tools/keynet/music.py tools/keynet/render.py tools/keynet/features.py tools/keynet/midi.py
RENDER := /usr/bin/python3 tools/keynet/render.py --out $(KEYNET_DIR)

model-tools: configure
	@cmake --build $(BUILD_DIR) --target tonivox_cqt_basis keynet_onnx_check

$(KEYNET_DIR)/heldout.npz: $(KEYNET_SOURCES) | model-tools
	$(RENDER) --split heldout --count 480
$(KEYNET_DIR)/train.npz: $(KEYNET_SOURCES) | model-tools
	$(RENDER) --split train --count 1920
$(KEYNET_DIR)/train_free.npz: $(KEYNET_SOURCES) | model-tools
	$(RENDER) --split train --first 1920 --count 4800 --name train_free
$(KEYNET_DIR)/train_free2.npz: $(KEYNET_SOURCES) | model-tools
	$(RENDER) --split train --first 4800 --count 7680 --name train_free2
$(KEYNET_DIR)/train_free3.npz: $(KEYNET_SOURCES) | model-tools
	$(RENDER) --split train --first 7680 --count 12480 --name train_free3

# The shipped model is the average of two members, each the last of three generations: two
# teachers train on the labels alone; two tutors also learn from the teachers' averaged answers;
# the members learn from the tutors' answers on the same songs and on 4800 songs more, which the
# tutors never heard, so that their answers there carry what the labels alone do not. Each
# generation trains two networks of about 35 minutes on one core each; `make -j2 model` runs
# two at once.
KEYNET_TEACHERS := $(patsubst %,$(KEYNET_DIR)/teacher_%.pt,7 8)
KEYNET_TUTORS := $(patsubst %,$(KEYNET_DIR)/tutor_%.pt,7 8)
.SECONDARY: $(KEYNET_TEACHERS) $(KEYNET_TUTORS)
KEYNET_MEMBERS := $(KEYNET_DIR)/keynet_7.pt $(KEYNET_DIR)/keynet_8.pt
KEYNET_DATA := $(addprefix $(KEYNET_DIR)/,heldout.npz train.npz train_free.npz train_free2.npz train_free3.npz)
TRAIN := /usr/bin/python3 tools/keynet/train.py --data $(KEYNET_DIR)

model: $(KEYNET_DATA) | model-tools
	rm -f $(KEYNET_TEACHERS) $(KEYNET_TUTORS) $(KEYNET_MEMBERS)
	$(MAKE) --no-print-directory $(KEYNET_MEMBERS)
	$(TRAIN) --evaluate $(KEYNET_MEMBERS)

$(KEYNET_DIR)/teacher_%.pt:
	$(TRAIN) --seed $* --checkpoint $@

$(KEYNET_DIR)/tutor_%.pt: $(KEYNET_TEACHERS)
	$(TRAIN) --seed $* --teacher $(KEYNET_TEACHERS) --checkpoint $@

# 15 epochs over 12480 songs take as long as 24 over the first 7680.
$(KEYNET_DIR)/keynet_%.pt: $(KEYNET_TUTORS)
	$(TRAIN) --seed $* --teacher $(KEYNET_TUTORS) --epochs 15 \
		--train train.npz train_free.npz train_free2.npz train_free3.npz --checkpoint $@

# Exports the trained model to resources/KeyNetV5.onnx and checks OpenCV against PyTorch.
model-export: configure
	@cmake --build $(BUILD_DIR) --target keynet_onnx_check
	/usr/bin/python3 tools/keynet/export.py --checkpoint $(KEYNET_MEMBERS)

clean:
	rm -rf build
