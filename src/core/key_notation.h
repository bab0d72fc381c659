#pragma once

#include "core/semitone.h"

#include <QString>
#include <optional>

// Key texts are a note name, one space and 大调 (major) or 小调 (minor). Detectors
// produce sharp names; the display uses "C#/Db" style names. Pure and thread-safe.
namespace key_notation {

// The display name of a semitone 0..11 ("C", "C#/Db", ... "B").
QString displayName(int semitone);
// The sharp note name of a semitone 0..11 ("C", "C#", ... "B"), as detectors write it.
QString sharpName(int semitone);

// Semitone of one of the 17 accepted note names (case-sensitive); the text is split on
// "/" first so that display names such as "C#/Db" read back. Nothing is trimmed.
std::optional<int> noteSemitone(const QString& name);

// "Db 大调" -> "C#/Db 大调"; texts that do not start with a note name pass unchanged.
QString normalizeKeyNotation(const QString& text);

// The key line as shown: shifted by the transposition, "（本体手动）" when the scale
// came from the plug-in (its mode word is then hidden).
QString displayKey(const QString& keyText, bool hasManualScaleIndex, int transpose);

} // namespace key_notation
