#include "keydetect/v5/v5_mode_output.h"

#include "keydetect/v5/key_classes.h"

#include <QFile>
#include <QSaveFile>
#include <cmath>
#include <cstring>

namespace v5_mode_output {

namespace {

QString percent(double fraction)
{
    return QString::asprintf("%.1f", fraction * 100.0);
}

} // namespace

QString keytestV5Line(const QString& name, const std::optional<KeyDetectorV5::Measurement>& measurement,
                      const std::optional<QString>& error)
{
    if (!measurement)
        return name + QStringLiteral("\tV5 失败：") + error.value_or(QStringLiteral("unknown error"));
    QStringList windows;
    for (const double start : measurement->windowStarts)
        windows << QString::asprintf("%.1f", start);
    return name + QStringLiteral("\tkey=%1 confidence=%2% margin=%3% windows=%4")
                      .arg(measurement->key, percent(measurement->confidence), percent(measurement->margin),
                           windows.join(QLatin1Char(',')));
}

std::optional<QString> featuresLine(std::span<const double> probabilities)
{
    if (probabilities.size() != static_cast<std::size_t>(key_classes::kClassCount))
        return std::nullopt;
    const key_classes::Ranking r = key_classes::rankClasses(probabilities);
    return QStringLiteral("key=%1 confidence=%2% margin=%3%")
        .arg(key_classes::keyName(r.best), percent(probabilities[r.best]),
             percent(probabilities[r.best] - probabilities[r.second]));
}

double startSecondsOperand(const QStringList& operands)
{
    if (operands.size() < 3)
        return 0.0;
    // QString::toDouble parses in the C locale and rejects trailing text.
    bool ok = false;
    const double value = operands[2].toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

bool writeFloats(const QString& path, std::span<const float> values)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const auto bytes = static_cast<qint64>(values.size_bytes());
    if (file.write(reinterpret_cast<const char*>(values.data()), bytes) != bytes)
        return false;
    return file.commit();
}

std::optional<std::vector<float>> readFloats(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    std::vector<float> values(static_cast<std::size_t>(bytes.size()) / sizeof(float));
    std::memcpy(values.data(), bytes.constData(), values.size() * sizeof(float));
    return values;
}

} // namespace v5_mode_output
