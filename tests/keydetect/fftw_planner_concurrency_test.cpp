// The classic and the neural detector measuring at the same time on two threads, each
// making and destroying FFT plans over and over (new objects every round), as the
// library-key check and the shadow measurement will. FFTW's planner is one
// process-wide state; without one lock around it this corrupts the heap (run it under
// the asan preset). TONIVOX_STRESS_SECONDS=60 keeps both threads going for 60 s
// instead of a few rounds.
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

namespace {

constexpr double kRate = 44100.0;
constexpr int kDefaultRounds = 3;
// Plans made between two whole measurements on each side.
constexpr int kBurst = 64;

// The length of a stress run, when the environment asks for one.
std::optional<std::chrono::seconds> stressDuration()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("TONIVOX_STRESS_SECONDS", &ok);
    if (!ok || seconds <= 0)
        return std::nullopt;
    return std::chrono::seconds(seconds);
}

// Runs `round` `rounds` times, or until the deadline when there is one; stops early when
// `round` returns false. Returns the rounds run.
template <typename Round>
int repeat(const std::optional<std::chrono::steady_clock::time_point>& deadline, int rounds, Round round)
{
    int done = 0;
    while (deadline ? std::chrono::steady_clock::now() < *deadline : done < rounds) {
        if (!round())
            break;
        ++done;
    }
    return done;
}

} // namespace

TEST(FftwPlanner, ClassicAndNeuralDetectorsPlanConcurrently)
{
    const auto duration = stressDuration();
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (duration)
        deadline = std::chrono::steady_clock::now() + *duration;

    // Two whole segments of A major for the classic detector (a plan each), and one frame
    // of it for its first stage alone (a plan for one FFT), many times between two.
    const std::vector<float> classicAudio = synth::progression(9, synth::majorCadence(), 10.0, kRate);
    const KeyDetectorV2::Measurement classicExpected = KeyDetectorV2::measure(classicAudio, kRate, 5.0);
    ASSERT_EQ(classicExpected.key, QStringLiteral("A 大调"));
    const auto oneFrame = std::span(classicAudio).first(KeyDetectorV2::kFrameLength);
    const auto chromaExpected = KeyDetectorV2::frameChromas(oneFrame, kRate);
    ASSERT_EQ(chromaExpected.size(), 1u);

    // Fresh front ends (a plan each) on a tenth of a second of audio, and fresh detectors
    // (model, basis, front end and its plan) running the model on those features.
    QString error;
    const auto basis =
        CqtBasis::load(requireResourceDir() + QLatin1Char('/') + KeyDetectorV5::kBasisFile, &error);
    ASSERT_TRUE(basis) << error.toStdString();
    const std::vector<float> snippet22k = test_signals::cadence(9, true, 0.1, 22050.0);
    const std::vector<float> features = CqtFrontEnd().features(snippet22k, *basis);
    ASSERT_EQ(features.size(), 23040u);
    std::vector<double> neuralExpected;
    {
        KeyDetectorV5 detector([] { return findResourceDir(); });
        const auto probabilities = detector.predictFeaturesForTest(features).result();
        ASSERT_TRUE(probabilities);
        neuralExpected = *probabilities;
    }

    std::atomic<bool> neuralFinished = false;
    auto classic = QtConcurrent::run([&] {
        // The classic side keeps going while the neural side has rounds left.
        int mismatches = 0;
        const int rounds = repeat(deadline, kDefaultRounds, [&] {
            if (!(KeyDetectorV2::measure(classicAudio, kRate, 5.0) == classicExpected))
                ++mismatches;
            for (int i = 0; i < kBurst; ++i) {
                if (KeyDetectorV2::frameChromas(oneFrame, kRate) != chromaExpected)
                    ++mismatches;
            }
            return deadline || !neuralFinished.load();
        });
        return std::pair(rounds, mismatches);
    });
    auto neural = QtConcurrent::run([&] {
        int mismatches = 0;
        const int rounds = repeat(deadline, kDefaultRounds, [&] {
            KeyDetectorV5 detector([] { return findResourceDir(); });
            if (detector.predictFeaturesForTest(features).result() != neuralExpected)
                ++mismatches;
            for (int i = 0; i < kBurst; ++i) {
                if (CqtFrontEnd().features(snippet22k, *basis) != features)
                    ++mismatches;
            }
            return true;
        });
        // One whole measurement (resampling, front end, model) at the end of the run.
        KeyDetectorV5 detector([] { return findResourceDir(); });
        const auto outcome = detector.measure(test_signals::cadence(9, true, 30.0, kRate), kRate).result();
        if (!outcome.measurement || outcome.measurement->key != QStringLiteral("A 小调"))
            ++mismatches;
        neuralFinished = true;
        return std::pair(rounds, mismatches);
    });

    const auto [neuralRounds, neuralMismatches] = neural.result();
    const auto [classicRounds, classicMismatches] = classic.result();
    EXPECT_GE(neuralRounds, kDefaultRounds);
    EXPECT_GE(classicRounds, 1);
    EXPECT_EQ(neuralMismatches, 0);
    EXPECT_EQ(classicMismatches, 0);
    std::printf("neural rounds %d, classic rounds %d\n", neuralRounds, classicRounds);
}
