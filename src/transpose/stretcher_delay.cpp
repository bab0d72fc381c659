#include "transpose/stretcher_delay.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <rubberband/RubberBandStretcher.h>
#include <vector>

namespace stretcher_delay {
namespace {

constexpr double kSilence_s = 0.3; // long enough for the stretcher's output to settle
constexpr double kTone_s = 0.5;    // longer than any delay measured
constexpr double kTone_Hz = 440.0; // inside every shift's clean range
constexpr float kToneLevel = 0.5f;
constexpr float kOnsetLevel = 0.1f; // where the tone counts as arrived

} // namespace

std::optional<uint32_t> measureFrames(int options, double sampleRate_Hz, double pitchScale,
                                      uint32_t blockFrames, const KeepGoing& keepGoing)
{
    using RubberBand::RubberBandStretcher;
    RubberBandStretcher stretcher(static_cast<size_t>(sampleRate_Hz), 2,
                                  static_cast<RubberBandStretcher::Options>(options), 1.0, pitchScale);
    const auto pad = static_cast<int64_t>(stretcher.getPreferredStartPad());
    const int64_t onsetIn = pad + static_cast<int64_t>(kSilence_s * sampleRate_Hz);
    const int64_t total = onsetIn + static_cast<int64_t>(kTone_s * sampleRate_Hz);

    std::vector<float> inL(blockFrames), inR(blockFrames), outL(blockFrames), outR(blockFrames);
    int64_t fed = 0, retrieved = 0, mostOwed = 0;
    std::optional<int64_t> onsetOut;
    while (fed < total) {
        if (keepGoing && !keepGoing())
            return std::nullopt;
        const auto n = static_cast<size_t>(std::min<int64_t>(blockFrames, total - fed));
        for (size_t i = 0; i < n; ++i) {
            const int64_t at = fed + static_cast<int64_t>(i);
            inL[i] = inR[i] =
                at < onsetIn
                    ? 0.0f
                    : kToneLevel *
                          static_cast<float>(std::sin(2.0 * std::numbers::pi * kTone_Hz *
                                                      static_cast<double>(at - onsetIn) / sampleRate_Hz));
        }
        const float* input[2] = {inL.data(), inR.data()};
        stretcher.process(input, n, false);
        fed += static_cast<int64_t>(n);
        while (stretcher.available() > 0) {
            const auto m =
                static_cast<size_t>(std::min<int>(stretcher.available(), static_cast<int>(blockFrames)));
            float* output[2] = {outL.data(), outR.data()};
            stretcher.retrieve(output, m);
            for (size_t i = 0; i < m && !onsetOut; ++i) {
                if (std::abs(outL[i]) > kOnsetLevel)
                    onsetOut = retrieved + static_cast<int64_t>(i);
            }
            retrieved += static_cast<int64_t>(m);
        }
        // Owed once the start pad has gone through: what was fed and has not come out yet.
        if (fed > pad + blockFrames)
            mostOwed = std::max(mostOwed, fed - retrieved);
    }
    if (!onsetOut)
        return static_cast<uint32_t>(stretcher.getStartDelay());
    // Output sample k carries input sample k - (onsetOut - onsetIn); it plays once `mostOwed`
    // more input has been fed.
    return static_cast<uint32_t>(std::max<int64_t>(0, *onsetOut - onsetIn + mostOwed));
}

} // namespace stretcher_delay
