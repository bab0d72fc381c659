#pragma once

#include <span>
#include <vector>

// How the neural detector cuts and resamples its 30-second windows. Pure and
// thread-safe.
namespace v5_windows {

inline constexpr double kWindowSeconds = 30.0;

// Samples per window at `sampleRate_Hz`: the integer part of rate x 30; 0 for a rate
// that is not a positive finite number.
long long windowLength(double sampleRate_Hz);

// Start times in seconds of the windows for `sampleCount` samples: at the start, the
// middle and the end of the audio (three equal starts for exactly 30 s), none when the
// audio is shorter than 30 s or the rate is not a positive finite number.
std::vector<double> windowStarts(long long sampleCount, double sampleRate_Hz);

// Linear interpolation of `window` to exactly 661500 samples at 22050 Hz; a window
// shorter than 30 s is stretched and its last sample held. Empty when the window is
// empty or the rate is not a positive finite number.
std::vector<float> resampleWindow(std::span<const float> window, double sampleRate_Hz);

} // namespace v5_windows
