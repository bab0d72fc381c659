#include "keydetect/v5/windows.h"

#include "keydetect/v5/cqt_layout.h"

#include <algorithm>
#include <cmath>

namespace v5_windows {

long long windowLength(double sampleRate_Hz)
{
    // A rate that is not a positive finite number has no windows (and would make the
    // conversion undefined).
    if (!(sampleRate_Hz > 0) || !std::isfinite(sampleRate_Hz))
        return 0;
    return static_cast<long long>(sampleRate_Hz * kWindowSeconds);
}

std::vector<double> windowStarts(long long sampleCount, double sampleRate_Hz)
{
    if (!(sampleRate_Hz > 0) || !std::isfinite(sampleRate_Hz))
        return {};
    const double duration = static_cast<double>(sampleCount) / sampleRate_Hz;
    if (duration < kWindowSeconds)
        return {};
    const double step = (duration - kWindowSeconds) / 2.0;
    return {0.0, step, 2.0 * step};
}

std::vector<float> resampleWindow(std::span<const float> window, double sampleRate_Hz)
{
    if (window.empty() || !(sampleRate_Hz > 0) || !std::isfinite(sampleRate_Hz))
        return {};
    const double ratio = cqt_layout::kSampleRate / sampleRate_Hz;
    const auto last = static_cast<double>(window.size() - 1);
    std::vector<float> out(cqt_layout::kWindowSamples);
    for (std::size_t j = 0; j < out.size(); ++j) {
        const double p = std::min(static_cast<double>(j) / ratio, last);
        const auto k = static_cast<std::size_t>(p);
        const std::size_t k2 = std::min(k + 1, window.size() - 1);
        const auto fraction = static_cast<float>(p - static_cast<double>(k));
        out[j] = window[k] + (window[k2] - window[k]) * fraction;
    }
    return out;
}

} // namespace v5_windows
