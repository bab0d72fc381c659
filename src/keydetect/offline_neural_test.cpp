#include "keydetect/offline_neural_test.h"

#include "core/resource_bundle.h"
#include "keydetect/audio_file_decoder.h"
#include "keydetect/key_decision.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/offline_key_test.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keydetect/v5/v5_mode_output.h"

#include <QFileInfo>

namespace {

// Each mode makes its own detector, loading from the resource folder.
std::unique_ptr<KeyDetectorV5> makeDetector()
{
    return std::make_unique<KeyDetectorV5>([] { return findResourceDir(); });
}

} // namespace

int runKeyTestV5(const QStringList& files, std::FILE* out)
{
    const auto detector = makeDetector();
    // The failure line of a file that cannot be decoded names the previous measurement's
    // error (nothing after a verdict, which prints as "unknown error").
    std::optional<QString> previousError;
    for (const QString& path : files) {
        const QString name = QFileInfo(path).fileName();
        std::optional<KeyDetectorV5::Measurement> measurement;
        if (auto samples = loadTestAudio(path)) {
            KeyDetectorV5::Outcome outcome = detector->measure(std::move(*samples), kDecodeRateHz).result();
            measurement = std::move(outcome.measurement);
            previousError = measurement ? std::nullopt : std::optional(outcome.error);
        }
        printTestLine(out, v5_mode_output::keytestV5Line(name, measurement, previousError));
    }
    return 0;
}

int runKeyTestDecide(const QStringList& files, KeyDecisionEngine engine, std::FILE* out)
{
    const auto detector = makeDetector();
    for (const QString& path : files) {
        const QString name = QFileInfo(path).fileName();
        std::optional<key_decision::Decision> decision;
        if (auto samples = loadTestAudio(path)) {
            // As the detection loop measures its newest 45 s: classic first, then neural.
            const KeyDetectorV2::Measurement m2 =
                KeyDetectorV2::measure(*samples, kDecodeRateHz, KeyDetectorV2::kSegmentSeconds);
            const KeyDetectorV5::Outcome m5 = detector->measure(std::move(*samples), kDecodeRateHz).result();
            decision = key_decision::decide(m2, m5.measurement ? &*m5.measurement : nullptr, engine);
        }
        printTestLine(out,
                      name + QLatin1Char('\t') +
                          (decision ? QStringLiteral("key=%1 engine=%2").arg(decision->key, decision->engine)
                                    : QStringLiteral("未决定")));
    }
    return 0;
}

int runCqtDump(const QStringList& operands, std::FILE* out)
{
    if (operands.size() < 2)
        return 2;
    const double start = v5_mode_output::startSecondsOperand(operands);
    auto samples = loadTestAudio(operands.at(0));
    if (!samples) {
        printTestLine(out, QStringLiteral("读不了 ") + operands.at(0));
        return 1;
    }
    const auto features = makeDetector()->cqtForTest(std::move(*samples), kDecodeRateHz, start).result();
    if (!features) {
        printTestLine(out, QStringLiteral("CQT 失败"));
        return 1;
    }
    return writeFloatDump(operands.at(1), *features, out) ? 0 : 1;
}

int runResampledDump(const QStringList& operands, std::FILE* out)
{
    if (operands.size() < 2)
        return 2;
    auto samples = loadTestAudio(operands.at(0));
    if (!samples)
        return 1;
    const auto resampled = makeDetector()->resampledForTest(std::move(*samples), kDecodeRateHz, 0.0).result();
    if (!resampled)
        return 1;
    return writeFloatDump(operands.at(1), *resampled, out) ? 0 : 1;
}

int runFeatures(const QStringList& operands, std::FILE* out)
{
    if (operands.isEmpty())
        return 2;
    auto features = v5_mode_output::readFloats(operands.at(0));
    if (!features) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(operands.at(0)));
        return 1;
    }
    const auto probabilities = makeDetector()->predictFeaturesForTest(std::move(*features)).result();
    const auto line = probabilities ? v5_mode_output::featuresLine(*probabilities) : std::nullopt;
    if (!line) {
        printTestLine(out, QStringLiteral("模型预测失败"));
        return 1;
    }
    printTestLine(out, *line);
    return 0;
}
