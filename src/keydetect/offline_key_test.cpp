#include "keydetect/offline_key_test.h"

#include "core/settings_store.h"
#include "keydetect/audio_file_decoder.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/offline_neural_test.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>
#include <utility>

namespace {

constexpr double kTestStartSeconds = 8.0;
constexpr double kTestSeconds = 45.0;

} // namespace

void printTestLine(std::FILE* out, const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), out);
    std::fflush(out);
}

QStringList offlineOperands(OfflineMode mode, const QStringList& arguments)
{
    const qsizetype at = arguments.indexOf(switchName(mode));
    return at < 0 ? QStringList{} : arguments.mid(at + 1);
}

std::optional<std::vector<float>> loadTestAudio(const QString& path)
{
    auto loaded = KeyDetectorV2::loadForTest(path, kTestStartSeconds, kTestSeconds);
    if (!loaded)
        return std::nullopt;
    return std::move(loaded->samples);
}

bool writeFloatDump(const QString& path, std::span<const float> values, std::FILE* out)
{
    static_assert(sizeof(float) == 4);
    QByteArray bytes(static_cast<qsizetype>(values.size() * sizeof(float)), Qt::Uninitialized);
    qToLittleEndian<float>(values.data(), static_cast<qsizetype>(values.size()), bytes.data());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    printTestLine(out, QStringLiteral("wrote %1 floats to %2").arg(values.size()).arg(path));
    return true;
}

int runKeyTest(const QStringList& files, std::FILE* out)
{
    for (const QString& path : files) {
        const QString name = QFileInfo(path).fileName();
        const auto samples = loadTestAudio(path);
        if (!samples)
            printTestLine(out, name + QStringLiteral("\t读不了"));
        else
            printTestLine(out, name + QLatin1Char('\t') + KeyDetectorV2::describe(*samples, kDecodeRateHz));
    }
    return 0;
}

int runPcmDump(const QStringList& operands, std::FILE* out)
{
    if (operands.size() < 2)
        return 2;
    const auto samples = loadTestAudio(operands.at(0));
    if (!samples)
        return 1;
    return writeFloatDump(operands.at(1), *samples, out) ? 0 : 1;
}

namespace {

// What a mode cannot run without, named as its usage line names it. The file-list modes run
// on no files as on an empty list.
std::optional<std::pair<qsizetype, const char*>> requiredOperands(OfflineMode mode)
{
    switch (mode) {
    case OfflineMode::v5PcmDump:
    case OfflineMode::v5ResampledDump:
        return std::pair<qsizetype, const char*>{2, "AUDIO OUTPUT"};
    case OfflineMode::v5CqtDump:
        return std::pair<qsizetype, const char*>{2, "AUDIO OUTPUT [START_SECONDS]"};
    case OfflineMode::v5Features:
        return std::pair<qsizetype, const char*>{1, "FEATURES"};
    case OfflineMode::keytest:
    case OfflineMode::keytestV5:
    case OfflineMode::keytestDecide:
        break;
    }
    return std::nullopt;
}

} // namespace

int runOfflineKeyTest(OfflineMode mode, const QStringList& arguments)
{
    const QStringList operands = offlineOperands(mode, arguments);
    if (const auto required = requiredOperands(mode); required && operands.size() < required->first) {
        // The operands follow the switch; a file before it is not one of them.
        std::fprintf(stderr, "usage: tonivox %s %s\n", qPrintable(switchName(mode)), required->second);
        return 2;
    }
    switch (mode) {
    case OfflineMode::keytest:
        return runKeyTest(operands, stdout);
    case OfflineMode::v5PcmDump:
        return runPcmDump(operands, stdout);
    case OfflineMode::keytestV5:
        return runKeyTestV5(operands, stdout);
    case OfflineMode::v5CqtDump:
        return runCqtDump(operands, stdout);
    case OfflineMode::v5ResampledDump:
        return runResampledDump(operands, stdout);
    case OfflineMode::v5Features:
        return runFeatures(operands, stdout);
    case OfflineMode::keytestDecide:
        return runKeyTestDecide(operands, SettingsStore::shared().keyDecisionEngine(), stdout);
    }
    return 1;
}
