// KeyDetectorV5 end to end on its serial executor: failure texts, window starts, load
// retries with hostile resource folders, the test entry points, and the shipped model
// on cadences in all 24 keys.
#include "core/resource_bundle.h"
#include "keydetect/v5/key_classes.h"
#include "keydetect/v5/key_detector_v5.h"
#include "test_signals.h"

#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr double kRate = 44100.0;

QString shippedDir()
{
    return findResourceDir().value_or(QString());
}

KeyDetectorV5::Outcome measureNow(KeyDetectorV5& detector, std::vector<float> samples)
{
    return detector.measure(std::move(samples), kRate).result();
}

// A detector of the shipped resources, as the owner of the run makes it.
class ShippedDetector : public ::testing::Test {
protected:
    KeyDetectorV5 detector{[] { return findResourceDir(); }};
};

// A resource folder holding copies of the shipped files, the basis cut to `basisBytes`.
void copyResources(const QTemporaryDir& dir, qint64 basisBytes)
{
    QFile::remove(dir.filePath(KeyDetectorV5::kModelFile));
    ASSERT_TRUE(QFile::copy(shippedDir() + QLatin1Char('/') + KeyDetectorV5::kModelFile,
                            dir.filePath(KeyDetectorV5::kModelFile)));
    QFile basis(shippedDir() + QLatin1Char('/') + KeyDetectorV5::kBasisFile);
    ASSERT_TRUE(basis.open(QIODevice::ReadOnly));
    QFile out(dir.filePath(KeyDetectorV5::kBasisFile));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(basis.read(basisBytes));
}

} // namespace

TEST_F(ShippedDetector, EachMeasurementCarriesItsOwnError)
{
    // Queued back to back, so the second finishes before anyone reads the first.
    auto tooShort =
        detector.measure(std::vector<float>(static_cast<std::size_t>(29.99 * kRate), 0.1f), kRate);
    auto noRate = detector.measure(std::vector<float>(1000, 0.1f), std::nan(""));
    auto good = detector.measure(test_signals::cadence(0, false, 30.0, kRate), kRate);
    good.waitForFinished();
    EXPECT_FALSE(tooShort.result().measurement);
    EXPECT_EQ(tooShort.result().error, QStringLiteral("audio too short"));
    EXPECT_FALSE(noRate.result().measurement);
    EXPECT_EQ(noRate.result().error, QStringLiteral("no complete 30-second window"));
    ASSERT_TRUE(good.result().measurement) << good.result().error.toStdString();
    EXPECT_TRUE(good.result().error.isEmpty());
}

TEST_F(ShippedDetector, NonsenseSampleRatesGiveNoWindow)
{
    for (const double rate : {0.0, -44100.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        const auto outcome = detector.measure(std::vector<float>(1000, 0.1f), rate).result();
        EXPECT_FALSE(outcome.measurement) << rate;
        EXPECT_EQ(outcome.error, QStringLiteral("no complete 30-second window")) << rate;
    }
}

TEST_F(ShippedDetector, WindowStartsForThirtyAndFortyFiveSeconds)
{
    const auto exact = measureNow(detector, test_signals::cadence(0, false, 30.0, kRate));
    ASSERT_TRUE(exact.measurement) << exact.error.toStdString();
    EXPECT_EQ(exact.measurement->windowStarts, (std::vector<double>{0.0, 0.0, 0.0}));

    const auto longer = measureNow(detector, test_signals::cadence(0, false, 45.0, kRate));
    ASSERT_TRUE(longer.measurement) << longer.error.toStdString();
    EXPECT_EQ(longer.measurement->windowStarts, (std::vector<double>{0.0, 7.5, 15.0}));
    ASSERT_EQ(longer.measurement->probabilities.size(), 24u);
    double total = 0;
    for (const double p : longer.measurement->probabilities)
        total += p;
    EXPECT_NEAR(total, 1.0, 1e-5);
}

TEST(KeyDetectorV5, BrokenResourcesFailAsModelLoadAndAreRetried)
{
    QTemporaryDir dir;
    bool haveFolder = true;
    KeyDetectorV5 detector(
        [&]() -> std::optional<QString> { return haveFolder ? std::optional(dir.path()) : std::nullopt; });
    const auto audio = test_signals::cadence(7, false, 31.0, kRate);

    // Nothing there yet.
    const auto missing = measureNow(detector, audio);
    EXPECT_FALSE(missing.measurement);
    EXPECT_TRUE(missing.error.startsWith(QStringLiteral("model load: ")));
    EXPECT_TRUE(missing.error.contains(KeyDetectorV5::kModelFile)) << missing.error.toStdString();

    // The basis one float short of its size.
    copyResources(dir, 2359872 - 4);
    const auto shortBasis = measureNow(detector, audio);
    EXPECT_FALSE(shortBasis.measurement);
    EXPECT_TRUE(shortBasis.error.startsWith(QStringLiteral("model load: ")));
    EXPECT_TRUE(shortBasis.error.contains(QStringLiteral("correct format")));

    // A model file that is not a model.
    copyResources(dir, 2359872);
    {
        QFile model(dir.filePath(KeyDetectorV5::kModelFile));
        ASSERT_TRUE(model.open(QIODevice::WriteOnly | QIODevice::Truncate));
        model.write("not a network");
    }
    auto features = detector.predictFeaturesForTest(std::vector<float>(23040, 0.5f));
    features.waitForFinished();
    EXPECT_FALSE(features.result());
    const auto notAModel = measureNow(detector, audio);
    EXPECT_FALSE(notAModel.measurement);
    EXPECT_TRUE(notAModel.error.startsWith(QStringLiteral("model load: ")));

    // No resource folder at all.
    haveFolder = false;
    EXPECT_EQ(measureNow(detector, audio).error, QStringLiteral("model load: no resource folder found"));

    // Repaired: the next call loads and measures.
    haveFolder = true;
    copyResources(dir, 2359872);
    const auto repaired = measureNow(detector, audio);
    ASSERT_TRUE(repaired.measurement) << repaired.error.toStdString();
    EXPECT_TRUE(repaired.error.isEmpty());
}

TEST_F(ShippedDetector, TestEntryPoints)
{
    const auto audio = test_signals::cadence(2, true, 45.0, kRate);

    auto resampled = detector.resampledForTest(audio, kRate, 0.0);
    ASSERT_TRUE(resampled.result());
    ASSERT_EQ(resampled.result()->size(), 661500u);
    EXPECT_EQ((*resampled.result())[10], audio[20]);
    EXPECT_TRUE(detector.resampledForTest(audio, kRate, 15.0).result());
    EXPECT_FALSE(detector.resampledForTest(audio, kRate, 15.01).result()); // runs past the end
    EXPECT_FALSE(detector.resampledForTest(audio, kRate, -1.0).result());
    EXPECT_FALSE(detector.resampledForTest(audio, kRate, std::nan("")).result());
    EXPECT_TRUE(detector.resampledForTest(audio, 0.0, 0.0).result()->empty());

    const auto features = detector.cqtForTest(audio, kRate, 7.5).result();
    ASSERT_TRUE(features);
    ASSERT_EQ(features->size(), 23040u);
    const auto probabilities = detector.predictFeaturesForTest(*features).result();
    ASSERT_TRUE(probabilities);
    EXPECT_EQ(probabilities->size(), 24u);
    EXPECT_FALSE(detector.cqtForTest(audio, kRate, 20.0).result());

    // The model input is exactly one [1, 1, 72, 320] tensor.
    EXPECT_FALSE(detector.predictFeaturesForTest(std::vector<float>(23039, 0.5f)).result());
    EXPECT_FALSE(detector.predictFeaturesForTest(std::vector<float>(23041, 0.5f)).result());
    EXPECT_FALSE(detector.predictFeaturesForTest({}).result());
}

TEST_F(ShippedDetector, ShippedModelNamesTheKeyOfCadencesInAll24Keys)
{
    for (int index = 0; index < 24; ++index) {
        const auto m = measureNow(detector, test_signals::cadence(index % 12, index >= 12, 30.0, kRate));
        ASSERT_TRUE(m.measurement) << m.error.toStdString();
        EXPECT_EQ(m.measurement->key, key_classes::keyName(index))
            << "confidence " << m.measurement->confidence;
    }
}
