#include "pluginlink/plugin_files.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <charconv>
#include <cmath>
#include <limits>

namespace plugin_files {

std::optional<NameValue> splitLine(const QString& line)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0 || eq == line.size() - 1)
        return std::nullopt;
    return NameValue{line.left(eq), line.mid(eq + 1)};
}

QList<NameValue> nameValueLines(const QString& text)
{
    QList<NameValue> out;
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (auto nv = splitLine(line.toString()))
            out.append(*nv);
    }
    return out;
}

std::optional<double> parseNumber(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    if (bytes.isEmpty() || bytes.size() > 400)
        return std::nullopt;
    const char* begin = bytes.constData();
    const char* end = begin + bytes.size();
    // from_chars takes no "+" sign; accept one, but not "+-1" or "++1".
    if (*begin == '+') {
        ++begin;
        if (begin == end || *begin == '+' || *begin == '-')
            return std::nullopt;
    }
    double value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

qint64 parseSeq(const QString& text)
{
    bool ok = false;
    const qint64 asInt = text.toLongLong(&ok);
    // toLongLong tolerates blanks; the rules do not.
    if (ok && !text.isEmpty() && !text.front().isSpace() && !text.back().isSpace())
        return asInt;
    const auto asNumber = parseNumber(text);
    if (!asNumber)
        return 0;
    const double truncated = std::trunc(*asNumber);
    // A finite number outside the 64-bit range has no meaning as a seq.
    if (truncated >= 9.2233720368547758e18 || truncated < -9.2233720368547758e18)
        return 0;
    return static_cast<qint64>(truncated);
}

ParamsBack parseParamsBack(const QString& text)
{
    ParamsBack out;
    for (const NameValue& nv : nameValueLines(text)) {
        if (nv.name == QLatin1String("seq")) {
            const qint64 seq = parseSeq(nv.value);
            if (!out.firstSeq)
                out.firstSeq = seq;
            out.lastSeq = seq;
            continue;
        }
        if (const auto value = parseNumber(nv.value))
            out.params.insert(nv.name, *value);
    }
    return out;
}

QStringList variantValues(const QString& text)
{
    QStringList out;
    for (const NameValue& nv : nameValueLines(text)) {
        if (nv.name != QLatin1String("variant"))
            continue;
        qsizetype b = 0;
        qsizetype e = nv.value.size();
        const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
        while (b < e && blank(nv.value.at(b)))
            ++b;
        while (e > b && blank(nv.value.at(e - 1)))
            --e;
        out.append(nv.value.mid(b, e - b));
    }
    return out;
}

std::optional<QString> readUtf8File(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = f.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes)
        return std::nullopt;
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decode(bytes);
    if (decode.hasError())
        return std::nullopt;
    return text;
}

std::optional<std::chrono::milliseconds> fileAge(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    const QDateTime modified = info.lastModified();
    if (!modified.isValid())
        return std::nullopt;
    return std::chrono::milliseconds(modified.msecsTo(QDateTime::currentDateTime()));
}

bool isFresh(std::chrono::milliseconds age)
{
    return age < kFreshWindow;
}

} // namespace plugin_files
