#include "app/tracker_rules.h"

#include "core/key_notation.h"

#include <QList>
#include <algorithm>

namespace tracker_rules {

const QStringList& allKeys()
{
    static const QStringList keys = [] {
        QStringList out;
        for (int s = 0; s < 12; ++s) {
            out.append(key_notation::displayName(s) + QStringLiteral(" 大调"));
            out.append(key_notation::displayName(s) + QStringLiteral(" 小调"));
        }
        return out;
    }();
    return keys;
}

std::optional<int> keySemitone(const QString& keyText)
{
    const qsizetype space = keyText.indexOf(QLatin1Char(' '));
    return key_notation::noteSemitone(space < 0 ? keyText : keyText.left(space));
}

int scaleIndexFor(const QString& shownKeyText, std::optional<int> manualScaleIndex)
{
    if (manualScaleIndex)
        return *manualScaleIndex;
    return shownKeyText.contains(QStringLiteral("小调")) ? 2 : 1;
}

bool hasMode(const QString& keyText)
{
    return keyText.contains(QStringLiteral("大调")) || keyText.contains(QStringLiteral("小调"));
}

QString libraryKeyDetail(const LookupResult& result)
{
    const QString review = result.review_status.value_or(QString());
    const QString matched = result.matched_by.value_or(QStringLiteral("exact"));
    if (review == QLatin1String("fallback") || review == QLatin1String("disputed"))
        return QStringLiteral("先唱，我听准了就改～");
    if (matched == QLatin1String("variant") || matched == QLatin1String("variant_cross"))
        return QStringLiteral("先唱着，我再确认下～");
    if (matched == QLatin1String("cloud"))
        return QStringLiteral("放心唱吧～ ");
    return QStringLiteral("放心唱吧～");
}

namespace {

QList<qint64> versionNumbers(const QString& text)
{
    QList<qint64> out;
    for (const QString& piece : text.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        bool ok = false;
        // An optional sign and decimal digits: no blanks, no other base.
        const bool signed_ = piece.startsWith(QLatin1Char('+')) || piece.startsWith(QLatin1Char('-'));
        const bool digits = piece.size() > (signed_ ? 1 : 0) &&
                            std::all_of(piece.cbegin() + (signed_ ? 1 : 0), piece.cend(), [](QChar c) {
                                return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                            });
        const qint64 n = digits ? piece.toLongLong(&ok) : 0;
        if (ok)
            out.append(n);
    }
    return out;
}

} // namespace

bool isNewerVersion(const QString& a, const QString& than)
{
    const QList<qint64> x = versionNumbers(a);
    const QList<qint64> y = versionNumbers(than);
    for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
        const qint64 p = x.value(i, 0);
        const qint64 q = y.value(i, 0);
        if (p != q)
            return p > q;
    }
    return false;
}

QString songId(const QString& artist, const QString& title)
{
    return artist + QLatin1Char('|') + title;
}

} // namespace tracker_rules
