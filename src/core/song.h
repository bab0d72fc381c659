#pragma once

#include <QString>

// The song a player is playing, as the player shows it. There is deliberately no
// equality operator: two readings are compared only through isSameSong, which
// tolerates punctuation, width, accents, featured artists and OCR noise.
//
// Thread safety: plain value; the static rules are pure and callable from any thread.
struct Song {
    QString title;
    QString artist;

    // Whether a title/artist pair read from a player is plausible enough to act on.
    static bool isValid(const QString& artist, const QString& title);
    // Whether two readings name the same song; strict about version markers ("live", "升调").
    static bool isSameSong(const Song& x, const Song& y);
};

namespace song_rules {
// Exposed for the tests and for the callers that share the same folding.
QString compactForm(const QString& text);
bool looksClean(const QString& text);
int graphemeCount(const QString& text);
} // namespace song_rules
