#include "core/key_notation.h"

#include <QStringList>
#include <array>

namespace key_notation {
namespace {

constexpr std::array<const char*, 12> kDisplayNames = {"C",     "C#/Db", "D",     "D#/Eb", "E",     "F",
                                                       "F#/Gb", "G",     "G#/Ab", "A",     "A#/Bb", "B"};
constexpr std::array<const char*, 12> kSharpNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                     "F#", "G",  "G#", "A",  "A#", "B"};

struct AcceptedName {
    const char* name;
    int semitone;
};
constexpr std::array<AcceptedName, 17> kAcceptedNames = {{
    {"C", 0},
    {"C#", 1},
    {"Db", 1},
    {"D", 2},
    {"D#", 3},
    {"Eb", 3},
    {"E", 4},
    {"F", 5},
    {"F#", 6},
    {"Gb", 6},
    {"G", 7},
    {"G#", 8},
    {"Ab", 8},
    {"A", 9},
    {"A#", 10},
    {"Bb", 10},
    {"B", 11},
}};

} // namespace

QString displayName(int semitone)
{
    return QString::fromLatin1(kDisplayNames[static_cast<size_t>(::reduceSemitone(semitone))]);
}

QString sharpName(int semitone)
{
    return QString::fromLatin1(kSharpNames[static_cast<size_t>(::reduceSemitone(semitone))]);
}

std::optional<int> noteSemitone(const QString& name)
{
    const QString first = name.section(QLatin1Char('/'), 0, 0);
    for (const AcceptedName& accepted : kAcceptedNames) {
        if (first == QLatin1String(accepted.name))
            return accepted.semitone;
    }
    return std::nullopt;
}

QString normalizeKeyNotation(const QString& text)
{
    const QStringList pieces = text.split(QLatin1Char(' '));
    const auto semitone = noteSemitone(pieces.first());
    if (!semitone)
        return text;
    const QString rest = pieces.mid(1).join(QLatin1Char(' '));
    return rest.isEmpty() ? displayName(*semitone) : displayName(*semitone) + QLatin1Char(' ') + rest;
}

QString displayKey(const QString& keyText, bool hasManualScaleIndex, int transpose)
{
    const QStringList pieces = keyText.split(QLatin1Char(' '));
    const auto semitone = noteSemitone(pieces.first());
    if (!semitone)
        return normalizeKeyNotation(keyText);

    const QString modeSuffix =
        (pieces.size() >= 2 && !hasManualScaleIndex) ? QLatin1Char(' ') + pieces.at(1) : QString();
    if (transpose == 0) {
        return displayName(*semitone) + modeSuffix +
               (hasManualScaleIndex ? QStringLiteral("（本体手动）") : QString());
    }
    const QString shift =
        transpose > 0 ? QLatin1Char('+') + QString::number(transpose) : QString::number(transpose);
    const QString marker = hasManualScaleIndex ? QStringLiteral("（本体手动 ") + shift + QStringLiteral("）")
                                               : QStringLiteral("（") + shift + QStringLiteral("）");
    return displayName(*semitone + transpose) + modeSuffix + marker;
}

} // namespace key_notation
