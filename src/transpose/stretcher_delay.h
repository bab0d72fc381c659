#pragma once

#include <cstdint>
#include <functional>
#include <optional>

// The delay a listener hears through a real-time Rubber Band stretcher whose output is played
// as it comes: where audio fed after silence comes out of it, plus the most output it owes at
// any moment (what a reader that never runs short must keep queued, since its output comes in
// uneven bursts). getStartDelay() counts neither: at +/-6 semitones with the "finer" engine's
// short window it reports 19-38 ms where 57-63 ms are heard.
//
// Runs a fresh stretcher over about 0.8 s of audio (tens of milliseconds of CPU): for a
// builder thread, never the render thread. Throws what Rubber Band throws.
namespace stretcher_delay {

// Asked before each block; false abandons the measurement (nothing is returned then).
using KeepGoing = std::function<bool()>;

std::optional<uint32_t> measureFrames(int options, double sampleRate_Hz, double pitchScale,
                                      uint32_t blockFrames = 256, const KeepGoing& keepGoing = {});

} // namespace stretcher_delay
