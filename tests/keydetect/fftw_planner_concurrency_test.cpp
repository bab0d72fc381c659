// Both detectors making and destroying FFT plans at once on two threads: FFTW's planner is
// process-wide; without one lock this corrupts the heap (asan preset; TONIVOX_STRESS_SECONDS=60
// runs for 60 s instead of a few rounds).
#include "core/resource_bundle.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/synth.h"
#include "keydetect/v5/cqt.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keydetect_v5/test_signals.h"

#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>

TEST(FftwPlanner, ClassicAndNeuralDetectorsPlanConcurrently)
{
    constexpr double kRate = 44100.0;
    constexpr int kRounds = 3, kBurst = 64; // plans made between two whole measurements
    const int stressSeconds = qEnvironmentVariableIntValue("TONIVOX_STRESS_SECONDS");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(stressSeconds);
    // Rounds until the deadline, or kRounds without one; stops early when `round` says so.
    const auto repeat = [&](auto round) {
        int done = 0;
        while ((stressSeconds > 0 ? std::chrono::steady_clock::now() < deadline : done < kRounds) && round())
            ++done;
        return done;
    };

    // Whole segments (a plan each) and one frame (a plan for one FFT) for the classic side.
    const std::vector<float> classicAudio = synth::progression(9, synth::majorCadence(), 10.0, kRate);
    const KeyDetectorV2::Measurement classicExpected = KeyDetectorV2::measure(classicAudio, kRate, 5.0);
    ASSERT_EQ(classicExpected.key, QStringLiteral("A 大调"));
    const auto oneFrame = std::span(classicAudio).first(KeyDetectorV2::kFrameLength);
    const auto chromaExpected = KeyDetectorV2::frameChromas(oneFrame, kRate);
    ASSERT_EQ(chromaExpected.size(), 1u);

    // Fresh front ends and fresh detectors (a plan each) for the neural side.
    QString error;
    const auto basis =
        CqtBasis::load(requireResourceDir() + QLatin1Char('/') + KeyDetectorV5::kBasisFile, &error);
    ASSERT_TRUE(basis) << error.toStdString();
    const std::vector<float> snippet = test_signals::cadence(9, true, 0.1, 22050.0);
    const std::vector<float> features = CqtFrontEnd().features(snippet, *basis);
    const auto neuralExpected =
        KeyDetectorV5([] { return findResourceDir(); }).predictFeaturesForTest(features).result();
    ASSERT_TRUE(neuralExpected);

    std::atomic<bool> neuralFinished = false;
    auto classic = QtConcurrent::run([&] {
        int mismatches = 0;
        const int rounds = repeat([&] {
            mismatches += !(KeyDetectorV2::measure(classicAudio, kRate, 5.0) == classicExpected);
            for (int i = 0; i < kBurst; ++i)
                mismatches += KeyDetectorV2::frameChromas(oneFrame, kRate) != chromaExpected;
            return stressSeconds > 0 || !neuralFinished.load(); // goes on while the neural side does
        });
        return std::pair(rounds, mismatches);
    });
    auto neural = QtConcurrent::run([&] {
        int mismatches = 0;
        const int rounds = repeat([&] {
            KeyDetectorV5 detector([] { return findResourceDir(); });
            mismatches += detector.predictFeaturesForTest(features).result() != neuralExpected;
            for (int i = 0; i < kBurst; ++i)
                mismatches += CqtFrontEnd().features(snippet, *basis) != features;
            return true;
        });
        // One whole measurement (resampling, front end, model) at the end of the run.
        KeyDetectorV5 detector([] { return findResourceDir(); });
        const auto outcome = detector.measure(test_signals::cadence(9, true, 30.0, kRate), kRate).result();
        mismatches += !outcome.measurement || outcome.measurement->key != QStringLiteral("A 小调");
        neuralFinished = true;
        return std::pair(rounds, mismatches);
    });

    const auto [neuralRounds, neuralMismatches] = neural.result();
    const auto [classicRounds, classicMismatches] = classic.result();
    EXPECT_GE(neuralRounds, kRounds);
    EXPECT_GE(classicRounds, 1);
    EXPECT_EQ(neuralMismatches + classicMismatches, 0);
}
