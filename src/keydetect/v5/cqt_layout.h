#pragma once

#include <cmath>
#include <cstddef>

// The fixed geometry of the neural detector's constant-Q front end, shared by the
// build-time basis generator, the detector and the training tools (which read the
// generated basis file rather than re-deriving it).
namespace cqt_layout {

inline constexpr double kSampleRate = 22050.0;         // Hz, after resampling
inline constexpr int kWindowSamples = 661500;          // 30 s at kSampleRate
inline constexpr int kFftSize = 8192;                  // frame length, samples
inline constexpr int kSpectrumBins = kFftSize / 2 + 1; // one-sided bins 0..4096
inline constexpr int kHop = 2048;                      // samples between frame centres
inline constexpr int kFrames = 320;
inline constexpr int kBins = 72;                                                  // semitones, six octaves
inline constexpr int kFeatureCount = kBins * kFrames;                             // 23040
inline constexpr std::size_t kBasisWeights = std::size_t(kBins) * kSpectrumBins;  // 294984
inline constexpr std::size_t kBasisFileBytes = kBasisWeights * 2 * sizeof(float); // 2359872

// Bin 0 is C2 (MIDI 36, 65.41 Hz), so bin mod 12 is the pitch class in the model's class
// order. C2 is the lowest C whose semitone-resolution kernel (about 5700 samples) still
// fits one 8192-sample frame; the top bin, B7 (3951 Hz), keeps the fourth harmonic of
// most melodies and stays far below Nyquist.
inline constexpr int kLowestMidiNote = 36;

inline double binFrequencyHz(int bin)
{
    return 440.0 * std::pow(2.0, (kLowestMidiNote + bin - 69) / 12.0);
}

// Q of a semitone-spaced bank: each kernel spans Q periods of its centre frequency.
inline double qualityFactor()
{
    return 1.0 / (std::pow(2.0, 1.0 / 12.0) - 1.0);
}

} // namespace cqt_layout
