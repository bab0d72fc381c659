#pragma once

#include <cmath>
#include <numbers>
#include <vector>

// Measurements of test tones by their spectrum.
namespace tone_measure {

// Magnitude of the Hann-windowed spectrum of `samples` at `frequency_Hz`.
inline double magnitudeAt(const std::vector<float>& samples, double rate_Hz, double frequency_Hz)
{
    const size_t n = samples.size();
    const double step = 2.0 * std::numbers::pi * frequency_Hz / rate_Hz;
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / (n - 1));
        re += window * samples[i] * std::cos(step * static_cast<double>(i));
        im -= window * samples[i] * std::sin(step * static_cast<double>(i));
    }
    return std::hypot(re, im) / (0.5 * static_cast<double>(n));
}

// The frequency of the strongest spectral peak between lo and hi: a coarse scan, then a
// golden-section search around the best bin.
inline double peakFrequency(const std::vector<float>& samples, double rate_Hz, double lo_Hz, double hi_Hz)
{
    const double binHz = rate_Hz / static_cast<double>(samples.size());
    double best = lo_Hz, bestMagnitude = -1;
    for (double f = lo_Hz; f <= hi_Hz; f += binHz / 2) {
        const double m = magnitudeAt(samples, rate_Hz, f);
        if (m > bestMagnitude) {
            bestMagnitude = m;
            best = f;
        }
    }
    double a = best - binHz, b = best + binHz;
    const double ratio = (std::sqrt(5.0) - 1) / 2;
    for (int i = 0; i < 40; ++i) {
        const double c = b - ratio * (b - a), d = a + ratio * (b - a);
        if (magnitudeAt(samples, rate_Hz, c) > magnitudeAt(samples, rate_Hz, d))
            b = d;
        else
            a = c;
    }
    return (a + b) / 2;
}

inline double rms(const std::vector<float>& samples)
{
    double sum = 0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

} // namespace tone_measure
