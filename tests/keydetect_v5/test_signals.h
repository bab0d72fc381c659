#pragma once

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

// Signals whose key or pitch is known, for the neural detector's tests.
namespace test_signals {

inline double midiToHz(double note)
{
    return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

// Cadential chord progression in one key, one chord every 2 s: I IV V I in major,
// i iv V i (harmonic minor's major dominant) in minor. Each chord is a bass root plus
// a close triad of tones with four decaying harmonics, with a small noise floor.
inline std::vector<float> cadence(int tonic, bool minor, double seconds, double sampleRate_Hz)
{
    const int third = minor ? 3 : 4;
    const int chords[4][3] = {{0, third, 7}, {5, 5 + third, 12}, {7, 11, 14}, {0, third, 7}};
    std::vector<float> out(static_cast<std::size_t>(seconds * sampleRate_Hz));
    std::mt19937 noise(42);
    std::normal_distribution<float> gauss(0.0f, 0.002f);
    const auto chordSamples = static_cast<std::size_t>(2.0 * sampleRate_Hz);
    for (std::size_t n = 0; n < out.size(); ++n) {
        const auto& chord = chords[(n / chordSamples) % 4];
        const double t = static_cast<double>(n) / sampleRate_Hz;
        const double local = static_cast<double>(n % chordSamples) / sampleRate_Hz;
        const double envelope = std::min(1.0, local / 0.02) * std::exp(-local * 0.6);
        double v = 0;
        const double bass = midiToHz(36 + tonic + chord[0] % 12);
        for (int h = 1; h <= 4; ++h)
            v += 0.3 / h * std::sin(2 * std::numbers::pi * bass * h * t);
        for (const int interval : chord) {
            const double f = midiToHz(60 + tonic + interval);
            for (int h = 1; h <= 4; ++h)
                v += 0.15 / h * std::sin(2 * std::numbers::pi * f * h * t);
        }
        out[n] = static_cast<float>(v * envelope) + gauss(noise);
    }
    return out;
}

} // namespace test_signals
