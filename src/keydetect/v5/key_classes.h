#pragma once

#include <QString>
#include <array>
#include <optional>
#include <span>

// The neural model's 24 classes and the key texts built from them. Class i: tonic
// i mod 12 (C = 0), major for i < 12, minor otherwise. Pure and thread-safe.
namespace key_classes {

inline constexpr int kClassCount = 24;

// The sharp note names detectors write, C = 0.
extern const std::array<QString, 12> notes;

// notes[index mod 12] + " " + "大调" / "小调"; index must be 0..23.
QString keyName(int index);

// The two most probable classes: a stable ordering, so that on equal probability the
// lower index ranks first. Needs at least two probabilities.
struct Ranking {
    int best = 0;
    int second = 1;
};
Ranking rankClasses(std::span<const double> probabilities);

// A key text split on blanks (empty parts dropped): the first part must be one of
// `notes`; the key is minor when the whole text contains "小调".
struct ParsedKey {
    int root = 0;
    bool minor = false;
};
std::optional<ParsedKey> parseKey(const QString& key);

// True for the same key, and for a relative pair, whose major and minor keys share one
// scale (C 大调 / A 小调: the minor tonic a minor third below the major one). False
// when either text does not parse.
bool sameScale(const QString& a, const QString& b);

} // namespace key_classes
