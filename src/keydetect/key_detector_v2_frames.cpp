// The classic detector's front end: the chroma of each analysis frame from its spectral peaks.
#include "keydetect/key_detector_v2.h"

#include "keydetect/power_spectrum.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kLog2Frame = 14;
constexpr double kMiddleC_Hz = 261.6255653005986;
constexpr double kMinPeak_Hz = 60.0;
constexpr double kMaxPeak_Hz = 6000.0;
constexpr size_t kMaxPeaks = 20;
constexpr float kSilenceEnergy = 1e-6f;
constexpr float kPeakFloor = 0.0001f;

using Chroma = KeyDetectorV2::Chroma;

// Independent partial sums and maxima let the loops vectorise instead of waiting on one
// running value; the lanes are combined at the end.
constexpr size_t kLanes = 8;

float sumOfSquares(std::span<const float> values)
{
    std::array<float, kLanes> partial{};
    size_t i = 0;
    for (; i + kLanes <= values.size(); i += kLanes) {
        for (size_t lane = 0; lane < kLanes; ++lane)
            partial[lane] += values[i + lane] * values[i + lane];
    }
    float sum = 0;
    for (; i < values.size(); ++i)
        sum += values[i] * values[i];
    for (float p : partial)
        sum += p;
    return sum;
}

// The largest value, at least 0.
float largest(std::span<const float> values)
{
    std::array<float, kLanes> partial{};
    size_t i = 0;
    for (; i + kLanes <= values.size(); i += kLanes) {
        for (size_t lane = 0; lane < kLanes; ++lane)
            partial[lane] = std::max(partial[lane], values[i + lane]);
    }
    float best = 0;
    for (; i < values.size(); ++i)
        best = std::max(best, values[i]);
    for (float p : partial)
        best = std::max(best, p);
    return best;
}

int pitchClass(double frequency_Hz)
{
    const long nearest = std::lround(12.0 * std::log2(frequency_Hz / kMiddleC_Hz));
    const int pc = static_cast<int>(nearest % 12);
    return pc < 0 ? pc + 12 : pc;
}

struct Peak {
    double frequency_Hz;
    float power;
};

} // namespace

bool KeyDetectorV2::normalizeToUnitSum(Chroma& chroma)
{
    double total = 0;
    for (double v : chroma)
        total += v;
    if (!(total > 0))
        return false;
    for (double& v : chroma)
        v /= total;
    return true;
}

std::vector<Chroma> KeyDetectorV2::frameChromas(std::span<const float> samples, double sampleRateHz)
{
    if (samples.size() < static_cast<size_t>(kFrameLength))
        return {};
    PowerSpectrum fft(kLog2Frame);
    if (!fft.isValid())
        return {};
    const std::span<const float> window = normalizedHannWindow(kLog2Frame);
    const std::span<float> input = fft.input();
    std::vector<float> powers;
    std::vector<Peak> peaks;
    std::vector<Chroma> frames;
    constexpr size_t kHalf = kFrameLength / 2;

    for (size_t start = 0; start + kFrameLength <= samples.size(); start += kHop) {
        for (size_t n = 0; n < static_cast<size_t>(kFrameLength); ++n)
            input[n] = samples[start + n] * window[n];
        if (!(sumOfSquares(input) > kSilenceEnergy))
            continue;
        fft.compute(powers);

        const float strongest = largest(std::span(powers).subspan(1, kHalf - 1));
        const float floor = strongest * kPeakFloor;
        peaks.clear();
        for (size_t k = 1; k + 1 < kHalf; ++k) {
            const float p = powers[k];
            if (!(p > floor) || powers[k - 1] > p || powers[k + 1] > p)
                continue;
            const double f = sampleRateHz * static_cast<double>(k) / kFrameLength;
            if (f >= kMinPeak_Hz && f <= kMaxPeak_Hz)
                peaks.push_back({f, p});
        }
        std::stable_sort(peaks.begin(), peaks.end(),
                         [](const Peak& a, const Peak& b) { return a.power > b.power; });
        if (peaks.size() > kMaxPeaks)
            peaks.resize(kMaxPeaks);

        Chroma chroma{};
        for (const Peak& peak : peaks)
            chroma[static_cast<size_t>(pitchClass(peak.frequency_Hz))] += peak.power;
        if (normalizeToUnitSum(chroma))
            frames.push_back(chroma);
    }
    return frames;
}

std::vector<Chroma> KeyDetectorV2::smooth(const std::vector<Chroma>& frames, int k)
{
    const auto n = static_cast<long>(frames.size());
    const long half = k / 2;
    std::vector<Chroma> out(frames.size());
    for (long i = 0; i < n; ++i) {
        Chroma sum{};
        for (long j = std::max(0L, i - half); j <= std::min(n - 1, i + half); ++j) {
            for (size_t c = 0; c < 12; ++c)
                sum[c] += frames[static_cast<size_t>(j)][c];
        }
        normalizeToUnitSum(sum);
        out[static_cast<size_t>(i)] = sum;
    }
    return out;
}
