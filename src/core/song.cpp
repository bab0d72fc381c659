#include "core/song.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <array>
#include <cstdint>

namespace {

// Version markers: a song carrying one of them is a different recording (transposed,
// re-timed, re-voiced, live or remixed) with its own key or tempo.
constexpr std::array<const char16_t*, 28> kChangeHints = {
    u"升调",  u"降调",  u"变调", u"移调", u"转调",   u"变速",  u"加速", u"减速", u"加快", u"放慢",
    u"慢速",  u"快速",  u"慢摇", u"半音", u"变声",   u"女声",  u"男声", u"童声", u"女版", u"男版",
    u"升key", u"降key", u"live", u"现场", u"演唱会", u"remix", u"dj",   u"混音"};

bool isMark(char32_t c)
{
    const QChar::Category cat = QChar::category(c);
    return cat == QChar::Mark_NonSpacing || cat == QChar::Mark_SpacingCombining ||
           cat == QChar::Mark_Enclosing;
}

const QStringList& changeHints()
{
    static const QStringList hints = [] {
        QStringList out;
        for (const char16_t* hint : kChangeHints)
            out.append(QString::fromUtf16(hint));
        return out;
    }();
    return hints;
}

// The markers found in the text, as a bit set over changeHints() (28 entries).
uint32_t changeTokens(const QString& text)
{
    const QString lower = text.toLower();
    const QStringList& hints = changeHints();
    uint32_t found = 0;
    for (qsizetype i = 0; i < hints.size(); ++i) {
        if (lower.contains(hints[i]))
            found |= 1u << i;
    }
    return found;
}

QSet<QString> tokens(const QString& text)
{
    QString s = text.toLower();
    s.replace(QStringLiteral("feat."), QStringLiteral("、"));
    s.replace(QStringLiteral("feat"), QStringLiteral("、"));
    s.replace(QStringLiteral("ft."), QStringLiteral("、"));
    static const QRegularExpression separators(QStringLiteral("[、,，/&+;；]"));
    QSet<QString> out;
    for (const QString& piece : s.split(separators, Qt::SkipEmptyParts)) {
        const QString compact = song_rules::compactForm(piece);
        if (!compact.isEmpty())
            out.insert(compact);
    }
    return out;
}

bool artistCompatible(const QString& a, const QString& b)
{
    const QString ca = song_rules::compactForm(a);
    const QString cb = song_rules::compactForm(b);
    if (ca.isEmpty() || cb.isEmpty())
        return true;
    if (ca.contains(cb) || cb.contains(ca))
        return true;
    return tokens(a).intersects(tokens(b));
}

} // namespace

namespace song_rules {

QString compactForm(const QString& text)
{
    // Diacritic and width folding: compatibility decomposition, drop the marks, then
    // recompose so that Hangul syllables count as one character again.
    const QString decomposed = text.toLower().normalized(QString::NormalizationForm_KD);
    QString kept;
    kept.reserve(decomposed.size());
    for (char32_t c : decomposed.toUcs4()) {
        if (isMark(c))
            continue;
        if (QChar::isLetterOrNumber(c))
            kept.append(QString::fromUcs4(&c, 1));
    }
    return kept.normalized(QString::NormalizationForm_C);
}

bool looksClean(const QString& text)
{
    // A clock or progress read-out standing alone is what a window scrape picks up
    // instead of a title.
    static const QRegularExpression clock(QStringLiteral(R"((^|[\s/])\d{1,2}:\d{2}(:\d{2})?([\s/]|$))"),
                                          QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression letters(QStringLiteral(R"([\p{L}]{2,})"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression han(QStringLiteral(R"(\p{Han})"),
                                        QRegularExpression::UseUnicodePropertiesOption);
    if (clock.match(text).hasMatch())
        return false;
    return letters.match(text).hasMatch() || han.match(text).hasMatch();
}

int graphemeCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

} // namespace song_rules

bool Song::isValid(const QString& artist, const QString& title)
{
    const QString a = artist.trimmed();
    const QString t = title.trimmed();
    if (a.isEmpty() || t.isEmpty())
        return false;
    constexpr int kMaxCharacters = 80;
    if (song_rules::graphemeCount(a) > kMaxCharacters || song_rules::graphemeCount(t) > kMaxCharacters)
        return false;
    return song_rules::looksClean(a) && song_rules::looksClean(t);
}

bool Song::isSameSong(const Song& x, const Song& y)
{
    if (changeTokens(x.title) != changeTokens(y.title))
        return false;
    if (!artistCompatible(x.artist, y.artist))
        return false;

    const QList<uint> cx = song_rules::compactForm(x.title).toUcs4();
    const QList<uint> cy = song_rules::compactForm(y.title).toUcs4();
    if (cx.isEmpty() || cy.isEmpty())
        return false;
    if (cx == cy)
        return true;

    // Ties count the first argument's title as the shorter.
    const bool xShorter = cx.size() <= cy.size();
    const QList<uint>& shorter = xShorter ? cx : cy;
    const QList<uint>& longer = xShorter ? cy : cx;
    if (shorter.size() < 3)
        return false;
    if (std::search(longer.begin(), longer.end(), shorter.begin(), shorter.end()) != longer.end())
        return true;

    const QSet<uint> inLonger(longer.begin(), longer.end());
    const QSet<uint> distinctShorter(shorter.begin(), shorter.end());
    qsizetype shared = 0;
    for (uint c : distinctShorter)
        shared += inLonger.contains(c) ? 1 : 0;
    return static_cast<double>(shared) / static_cast<double>(shorter.size()) >= 0.6;
}
