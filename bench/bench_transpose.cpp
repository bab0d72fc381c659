// The transposer's engine: Rubber Band configurations on the render path in virtual time (a
// chord of three pure tones, 4 s per run): CPU per second of audio on the render thread, the
// stretcher's start delay, and the strongest spectral component that is not one of the
// shifted tones (sidebands), relative to the strongest tone.
#include "transpose/loop_capture.h"
#include "transpose/transpose_renderer.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <ctime>
#include <fftw3.h>
#include <numbers>
#include <rubberband/RubberBandStretcher.h>

namespace {

using RB = RubberBand::RubberBandStretcher;
constexpr double kRate = 48000.0;
constexpr double kChord_Hz[] = {261.63, 329.63, 392.00}; // C major, pure tones

int engineOptions(int config)
{
    const int base = RB::OptionProcessRealTime | RB::OptionChannelsTogether;
    switch (config) {
    case 0:
        return base | RB::OptionEngineFaster;
    case 1:
        return base | RB::OptionEngineFaster | RB::OptionPitchHighConsistency;
    case 2:
        return base | RB::OptionEngineFiner;
    case 3:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort;
    case 4:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort | RB::OptionPitchHighConsistency;
    case 5:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort | RB::OptionPitchHighQuality;
    default:
        return base | RB::OptionEngineFiner | RB::OptionPitchHighQuality;
    }
}
const char* engineName(int config)
{
    static const char* names[] = {"R2",
                                  "R2+HighConsistency",
                                  "R3",
                                  "R3+WindowShort",
                                  "R3+WindowShort+HighConsistency",
                                  "R3+WindowShort+HighQuality",
                                  "R3+HighQuality"};
    return names[config];
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Strongest component farther than 10 Hz from every expected tone, in dB below the
// strongest expected tone (Hann window, 65536 points, 50 Hz–6 kHz).
double sidebandDb(const std::vector<float>& samples, const std::vector<double>& expected_Hz)
{
    constexpr int n = 65536;
    std::vector<float> in(n);
    const size_t start = samples.size() - n;
    for (int i = 0; i < n; ++i)
        in[i] =
            samples[start + i] * static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (n - 1)));
    std::vector<fftwf_complex> out(n / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftwf_execute(plan);
    fftwf_destroy_plan(plan);
    const double binHz = kRate / n;
    double tone = 0, other = 0;
    for (int k = static_cast<int>(50 / binHz); k < static_cast<int>(6000 / binHz); ++k) {
        const double magnitude = std::hypot(out[k][0], out[k][1]);
        const double f = k * binHz;
        const bool near = std::any_of(expected_Hz.begin(), expected_Hz.end(),
                                      [&](double e) { return std::abs(f - e) <= 10.0; });
        (near ? tone : other) = std::max(near ? tone : other, magnitude);
    }
    return 20 * std::log10(other / tone);
}

void BM_Engine(benchmark::State& state)
{
    const int config = static_cast<int>(state.range(0));
    const int semitones = static_cast<int>(state.range(1));
    state.SetLabel(engineName(config));
    constexpr uint32_t kPeriod = 256;
    constexpr double kSeconds = 4.0;
    for (auto _ : state) {
        LoopCapture capture(1);
        TransposeRenderer::Config renderConfig;
        renderConfig.stretcherOptions = engineOptions(config);
        TransposeRenderer renderer(capture, renderConfig);
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
        std::vector<float> block(2 * kPeriod), left;
        left.reserve(static_cast<size_t>(kSeconds * kRate));
        int64_t frame = 0;
        double cpu = 0;
        for (int p = 0; p < static_cast<int>(kSeconds * kRate / kPeriod); ++p) {
            for (uint32_t i = 0; i < kPeriod; ++i, ++frame) {
                double s = 0;
                for (double f : kChord_Hz)
                    s += 0.2 * std::sin(2 * std::numbers::pi * f * static_cast<double>(frame) / kRate);
                block[2 * i] = block[2 * i + 1] = static_cast<float>(s);
            }
            const AudioBufferRef buffer{2, kPeriod * 8, block.data()};
            capture.append(std::span(&buffer, 1));
            const double before = threadCpuSeconds();
            renderer.render(block.data(), kPeriod);
            cpu += threadCpuSeconds() - before;
            for (uint32_t i = 0; i < kPeriod; ++i)
                left.push_back(block[2 * i]);
        }
        std::vector<double> expected;
        for (double f : kChord_Hz)
            expected.push_back(f * std::pow(2.0, semitones / 12.0));
        state.counters["cpu_ms_per_s"] = cpu * 1000 / kSeconds;
        state.counters["start_delay_ms"] = renderer.startDelayFrames(semitones).value_or(0) / kRate * 1000;
        state.counters["sideband_dB"] = sidebandDb(left, expected);
        state.counters["trimmed"] = static_cast<double>(renderer.trimmedFrames());
    }
}
void engineArgs(benchmark::internal::Benchmark* b)
{
    for (int config = 0; config < 7; ++config)
        for (int semitones : {-6, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 6})
            b->Args({config, semitones});
}
BENCHMARK(BM_Engine)->Apply(engineArgs)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
