#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

// Readers of the files the host plug-in writes. The parsers are pure and tolerate any
// bytes: a malformed line is skipped and the rest still counts.
namespace plugin_files {

// Files larger than this are not the plug-in's and are read as unreadable.
inline constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
// The plug-in (and the application) count as alive while their file is younger than this.
inline constexpr std::chrono::milliseconds kFreshWindow{8000};

// One "name=value" line split at its first "=", or nothing when either side is empty.
struct NameValue {
    QString name;
    QString value;
};
std::optional<NameValue> splitLine(const QString& line);

// Lines at LF, empty ones skipped, each split by splitLine.
QList<NameValue> nameValueLines(const QString& text);

// A decimal number without surrounding blanks; non-finite values are refused.
std::optional<double> parseNumber(const QString& text);
// Decimal integer, else a decimal number truncated toward zero, else 0.
qint64 parseSeq(const QString& text);

struct ParamsBack {
    std::optional<qint64> firstSeq;
    std::optional<qint64> lastSeq;
    QMap<QString, double> params; // repeated names keep the last value
};
ParamsBack parseParamsBack(const QString& text);

// The trimmed values of every "variant" line, in file order.
QStringList variantValues(const QString& text);

// The whole file as UTF-8 text; nothing when missing, unreadable, too large or not UTF-8.
std::optional<QString> readUtf8File(const QString& path);

// Age of the file's modification time; nothing when it cannot be read.
std::optional<std::chrono::milliseconds> fileAge(const QString& path);
bool isFresh(std::chrono::milliseconds age);

} // namespace plugin_files
