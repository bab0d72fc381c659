#include "keydetect/v5/key_classes.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <numeric>
#include <vector>

namespace key_classes {

const std::array<QString, 12> notes = {
    QStringLiteral("C"),  QStringLiteral("C#"), QStringLiteral("D"),  QStringLiteral("D#"),
    QStringLiteral("E"),  QStringLiteral("F"),  QStringLiteral("F#"), QStringLiteral("G"),
    QStringLiteral("G#"), QStringLiteral("A"),  QStringLiteral("A#"), QStringLiteral("B"),
};

QString keyName(int index)
{
    return notes[index % 12] + QLatin1Char(' ') +
           (index < 12 ? QStringLiteral("大调") : QStringLiteral("小调"));
}

Ranking rankClasses(std::span<const double> probabilities)
{
    std::vector<int> order(probabilities.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return probabilities[a] > probabilities[b]; });
    return {order[0], order[1]};
}

std::optional<ParsedKey> parseKey(const QString& key)
{
    const QStringList parts = key.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return std::nullopt;
    const auto found = std::find(notes.begin(), notes.end(), parts.first());
    if (found == notes.end())
        return std::nullopt;
    return ParsedKey{static_cast<int>(found - notes.begin()), key.contains(QStringLiteral("小调"))};
}

bool sameScale(const QString& a, const QString& b)
{
    const auto x = parseKey(a);
    const auto y = parseKey(b);
    if (!x || !y)
        return false;
    if (x->root == y->root && x->minor == y->minor)
        return true;
    if (x->minor == y->minor)
        return false;
    // Relative keys share one scale: the minor tonic lies a minor third below the major
    // one. A minor third above (C major / D# minor) shares only three notes, so it is
    // not the same scale even though the roots are also three semitones apart.
    const ParsedKey& major = x->minor ? *y : *x;
    const ParsedKey& minor = x->minor ? *x : *y;
    return (major.root + 9) % 12 == minor.root;
}

} // namespace key_classes
