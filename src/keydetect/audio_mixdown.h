#pragma once

#include "platform/audio_input_service.h"

#include <optional>
#include <span>
#include <vector>

// Turns what an input device delivers into one mono stream.
//
// One buffer with data: its channels (0 counts as 1) are interleaved and each output frame
// is their mean; a channel count above the sample count is inconsistent (absent). Several
// buffers: every buffer contributes its channels, the output is as long as the shortest
// channel and each sample is the mean over all channels. Absent when nothing is usable.
// Allocates; may run on an audio callback thread.
std::optional<std::vector<float>> mixdownToMono(std::span<const AudioBufferRef> buffers);

// Linear interpolation from one rate to another (Hz), without low-pass filtering. The input
// comes back unchanged when it is empty, a rate is not positive, the rates differ by 1 Hz
// or less, or the output would hold fewer than 2 samples.
std::vector<float> resample(const std::vector<float>& samples, double fromHz, double toHz);
