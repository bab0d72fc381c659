// Key detection speed: the classic detector on a 45 s measurement against FFTW's own time for
// the same transforms, the musicality score of a 4 s listening step, and decoding a 60 s MP3.
#include "keydetect/audio_channel_detector.h"
#include "keydetect/audio_file_decoder.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/synth.h"

#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cmath>
#include <fftw3.h>
#include <memory>

namespace {

constexpr double kRate = 44100.0;

const std::vector<float>& song45s()
{
    static const std::vector<float> audio = synth::progression(9, synth::minorCadence(), 45.0, kRate);
    return audio;
}

// Frames that measure() transforms: whole 16384-sample frames, hop 4096, per 15 s segment.
int64_t transformsPerMeasurement()
{
    const int64_t segment = static_cast<int64_t>(15.0 * kRate);
    return 3 * ((segment - KeyDetectorV2::kFrameLength) / KeyDetectorV2::kHop + 1);
}

void BM_Measure45s(benchmark::State& state)
{
    const auto& audio = song45s();
    for (auto _ : state)
        benchmark::DoNotOptimize(KeyDetectorV2::measure(audio, kRate, 15.0));
    state.counters["ffts"] = static_cast<double>(transformsPerMeasurement());
    state.SetLabel(KeyDetectorV2::describe(audio, kRate).toStdString());
}
BENCHMARK(BM_Measure45s)->Unit(benchmark::kMillisecond);

// FFTW alone: the same number of 16384-point real transforms with one plan.
void fftwTransforms(benchmark::State& state, unsigned flags)
{
    const int n = KeyDetectorV2::kFrameLength;
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, flags);
    const auto& audio = song45s();
    std::copy(audio.begin(), audio.begin() + n, in);
    const int64_t count = transformsPerMeasurement();
    for (auto _ : state) {
        for (int64_t i = 0; i < count; ++i)
            fftwf_execute(plan);
        benchmark::DoNotOptimize(out[1][0]);
    }
    state.counters["ffts"] = static_cast<double>(count);
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}
void BM_FftwOnlyEstimatePlan(benchmark::State& state)
{
    fftwTransforms(state, FFTW_ESTIMATE);
}
void BM_FftwOnlyMeasuredPlan(benchmark::State& state)
{
    fftwTransforms(state, FFTW_MEASURE);
}
BENCHMARK(BM_FftwOnlyEstimatePlan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FftwOnlyMeasuredPlan)->Unit(benchmark::kMillisecond);

// What the per-call set-up costs (measure() makes one per segment).
void BM_FftwEstimatePlanCreation(benchmark::State& state)
{
    const int n = KeyDetectorV2::kFrameLength;
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    for (auto _ : state) {
        fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
        benchmark::DoNotOptimize(plan);
        fftwf_destroy_plan(plan);
    }
    fftwf_free(out);
    fftwf_free(in);
}
BENCHMARK(BM_FftwEstimatePlanCreation)->Unit(benchmark::kMicrosecond);

void BM_Musicality4s(benchmark::State& state)
{
    const std::vector<float> audio(song45s().begin(), song45s().begin() + static_cast<long>(4 * kRate));
    for (auto _ : state)
        benchmark::DoNotOptimize(AudioChannelDetector::musicality(audio));
}
BENCHMARK(BM_Musicality4s)->Unit(benchmark::kMicrosecond);

void BM_DecodeMp3_60s(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("song.wav"));
    const QString mp3 = dir.filePath(QStringLiteral("song.mp3"));
    // 60 s stereo at 48 kHz, encoded by the ffmpeg tool: the decoder also mixes and resamples.
    if (!synth::writeWav(wav, synth::progression(9, synth::minorCadence(), 60.0, 48000), 48000, 2) ||
        QProcess::execute(QStringLiteral("ffmpeg"),
                          {"-loglevel", "error", "-y", "-i", wav, "-b:a", "192k", mp3}) != 0) {
        state.SkipWithError("could not make the MP3 (is ffmpeg installed?)");
        return;
    }
    size_t decoded = 0;
    for (auto _ : state) {
        const auto samples = decodeAudioFile(mp3);
        decoded = samples ? samples->size() : 0;
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["samples"] = static_cast<double>(decoded);
}
BENCHMARK(BM_DecodeMp3_60s)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
