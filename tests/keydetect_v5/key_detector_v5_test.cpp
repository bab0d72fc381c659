#include "core/resource_bundle.h"
#include "keydetect/v5/key_classes.h"
#include "keydetect/v5/key_detector_v5.h"
#include "test_signals.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr double kRate = 44100.0;

class ShippedDetector : public ::testing::Test {
protected:
    KeyDetectorV5 detector{[] { return findResourceDir(); }};
};

} // namespace

TEST(KeyDetectorV5, BrokenResourcesFailAsModelLoadAndAreRetried)
{
    QTemporaryDir dir;
    bool haveFolder = true;
    KeyDetectorV5 detector(
        [&]() -> std::optional<QString> { return haveFolder ? std::optional(dir.path()) : std::nullopt; });
    const auto audio = test_signals::cadence(7, false, 31.0, kRate);
    const auto measure = [&] { return detector.measure(audio, kRate).result(); };
    // Copies of the shipped files, the basis cut to `basisBytes`, the model replaced by `model`.
    const auto resources = [&](qint64 basisBytes, const QByteArray& model) {
        const QString shipped = requireResourceDir() + QLatin1Char('/');
        QFile basis(shipped + KeyDetectorV5::kBasisFile), modelFile(shipped + KeyDetectorV5::kModelFile);
        ASSERT_TRUE(basis.open(QIODevice::ReadOnly) && modelFile.open(QIODevice::ReadOnly));
        for (const auto& [name, bytes] :
             {std::pair{KeyDetectorV5::kBasisFile, basis.read(basisBytes)},
              std::pair{KeyDetectorV5::kModelFile, model.isNull() ? modelFile.readAll() : model}}) {
            QFile out(dir.filePath(name));
            ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(bytes);
        }
    };

    const auto missing = measure(); // nothing there yet
    EXPECT_FALSE(missing.measurement);
    EXPECT_TRUE(missing.error.startsWith(QStringLiteral("model load: ")) &&
                missing.error.contains(KeyDetectorV5::kModelFile))
        << missing.error.toStdString();
    resources(2359872 - 4, {}); // the basis one float short
    EXPECT_TRUE(measure().error.startsWith(QStringLiteral("model load: ")));
    EXPECT_TRUE(measure().error.contains(QStringLiteral("correct format")));
    resources(2359872, "not a network");
    EXPECT_FALSE(detector.predictFeaturesForTest(std::vector<float>(23040, 0.5f)).result());
    EXPECT_TRUE(measure().error.startsWith(QStringLiteral("model load: ")));
    haveFolder = false;
    EXPECT_EQ(measure().error, QStringLiteral("model load: no resource folder found"));

    // Repaired: the next call loads and measures.
    haveFolder = true;
    resources(2359872, {});
    const auto repaired = measure();
    ASSERT_TRUE(repaired.measurement) << repaired.error.toStdString();
    EXPECT_TRUE(repaired.error.isEmpty());
}

TEST_F(ShippedDetector, TestEntryPointsRejectWindowsPastTheEndAndMisshapedFeatures)
{
    const auto audio = test_signals::cadence(2, true, 45.0, kRate);
    const auto resampled = detector.resampledForTest(audio, kRate, 0.0).result();
    ASSERT_TRUE(resampled && resampled->size() == 661500u);
    EXPECT_EQ((*resampled)[10], audio[20]);
    for (const double start : {15.0, 15.01, -1.0, std::nan("")})
        EXPECT_EQ(detector.resampledForTest(audio, kRate, start).result().has_value(), start == 15.0)
            << start;
    EXPECT_TRUE(detector.resampledForTest(audio, 0.0, 0.0).result()->empty());
    const auto features = detector.cqtForTest(audio, kRate, 7.5).result();
    ASSERT_TRUE(features);
    EXPECT_EQ(detector.predictFeaturesForTest(*features).result().value_or(std::vector<double>{}).size(),
              24u);
    EXPECT_FALSE(detector.cqtForTest(audio, kRate, 20.0).result());
    // The model input is exactly one [1, 1, 72, 320] tensor.
    EXPECT_FALSE(detector.predictFeaturesForTest(std::vector<float>(23041, 0.5f)).result());
}

// Each measurement carries its own error: two bad ones queued before the first good one
// finish before anyone reads them.
TEST_F(ShippedDetector, ShippedModelNamesTheKeyOfCadencesInAll24Keys)
{
    auto tooShort = detector.measure(std::vector<float>(std::size_t(29.99 * kRate), 0.1f), kRate);
    auto noRate = detector.measure(std::vector<float>(1000, 0.1f), std::nan(""));
    for (int index = 0; index < 24; ++index) {
        const auto m =
            detector.measure(test_signals::cadence(index % 12, index >= 12, 30.0, kRate), kRate).result();
        ASSERT_TRUE(m.measurement) << m.error.toStdString();
        EXPECT_TRUE(m.error.isEmpty());
        EXPECT_EQ(m.measurement->key, key_classes::keyName(index))
            << "confidence " << m.measurement->confidence;
    }
    EXPECT_FALSE(tooShort.result().measurement || noRate.result().measurement);
    EXPECT_EQ(tooShort.result().error, QStringLiteral("audio too short"));
    EXPECT_EQ(noRate.result().error, QStringLiteral("no complete 30-second window"));
}
