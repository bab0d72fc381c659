// The neural key detector on 45 s of 44.1 kHz audio: a whole measurement (three
// windows), each stage of one window on its own, the FFTs alone against the
// constant-Q stage, and the peak memory of one measurement.
#include "core/resource_bundle.h"
#include "keydetect/v5/cqt.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keydetect/v5/key_model.h"
#include "keydetect/v5/windows.h"
#include "keydetect_v5/test_signals.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

namespace {

constexpr double kRate = 44100.0;

const std::vector<float>& audio45s()
{
    static const auto audio = test_signals::cadence(9, true, 45.0, kRate);
    return audio;
}

const std::vector<float>& window22k()
{
    static const auto window = v5_windows::resampleWindow(
        std::span(audio45s()).first(static_cast<std::size_t>(v5_windows::windowLength(kRate))), kRate);
    return window;
}

const CqtBasis& basis()
{
    static const CqtBasis b = [] {
        QString error;
        return *CqtBasis::load(requireResourceDir() + QLatin1Char('/') + KeyDetectorV5::kBasisFile, &error);
    }();
    return b;
}

long peakRss_kB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs first, in a fresh process, so the growth of the peak is one measurement's.
void BM_PeakMemoryOfOneMeasurement(benchmark::State& state)
{
    std::vector<float> samples = audio45s();
    const long before = peakRss_kB();
    for (auto _ : state) {
        KeyDetectorV5 detector([] { return findResourceDir(); });
        auto m = detector.measure(std::move(samples), kRate);
        m.waitForFinished();
        benchmark::DoNotOptimize(m.result());
    }
    state.counters["peak_growth_MiB"] = static_cast<double>(peakRss_kB() - before) / 1024.0;
    state.counters["peak_rss_MiB"] = static_cast<double>(peakRss_kB()) / 1024.0;
}
BENCHMARK(BM_PeakMemoryOfOneMeasurement)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Measure45s(benchmark::State& state)
{
    KeyDetectorV5 detector([] { return findResourceDir(); });
    detector.measure(audio45s(), kRate).waitForFinished(); // loads model and basis
    for (auto _ : state) {
        auto m = detector.measure(audio45s(), kRate);
        m.waitForFinished();
        benchmark::DoNotOptimize(m.result());
    }
}
BENCHMARK(BM_Measure45s)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ResampleOneWindow(benchmark::State& state)
{
    const auto window =
        std::span(audio45s()).first(static_cast<std::size_t>(v5_windows::windowLength(kRate)));
    for (auto _ : state)
        benchmark::DoNotOptimize(v5_windows::resampleWindow(window, kRate));
}
BENCHMARK(BM_ResampleOneWindow)->Unit(benchmark::kMillisecond);

void BM_FftsOnlyOneWindow(benchmark::State& state)
{
    CqtFrontEnd frontEnd;
    const auto& window = window22k();
    for (auto _ : state)
        frontEnd.transformsOnly(window);
}
BENCHMARK(BM_FftsOnlyOneWindow)->Unit(benchmark::kMillisecond);

void BM_CqtOneWindow(benchmark::State& state)
{
    CqtFrontEnd frontEnd;
    const auto support = state.range(0) ? KernelSupport::sparse : KernelSupport::dense;
    state.SetLabel(state.range(0) ? "sparse" : "dense");
    const auto& window = window22k();
    const auto& kernels = basis();
    for (auto _ : state)
        benchmark::DoNotOptimize(frontEnd.features(window, kernels, support));
}
BENCHMARK(BM_CqtOneWindow)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_ModelOneWindow(benchmark::State& state)
{
    QString error;
    auto model = KeyModel::load(requireResourceDir() + QLatin1Char('/') + KeyDetectorV5::kModelFile, &error);
    CqtFrontEnd frontEnd;
    const auto features = frontEnd.features(window22k(), basis());
    for (auto _ : state)
        benchmark::DoNotOptimize(model->predict(features));
}
BENCHMARK(BM_ModelOneWindow)->Unit(benchmark::kMillisecond);

} // namespace
