#pragma once

#include "core/song.h"
#include "players/window_player.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// Picking the song out of the text recognised in a player's bottom bar. Pure functions over
// plain values, so that every rule can be tested without a display.
//
// Thread safety: pure, any thread.
namespace window_text {

// One recognised line, in points of the cropped strip (origin at its top-left corner).
struct OcrLine {
    QString text;
    double x = 0;
    double yTop = 0;
    double height = 0;
};

// The texts that mark a line as the player's own interface rather than a song.
const QStringList& junkWords();
bool containsJunk(const QString& text);
// Trims spaces and tabs (not line breaks), drops every "…" and "...", trims again.
QString clean(const QString& text);
// Between `min` and 40 characters and no junk word.
bool ok(const QString& text, int min);

// One-line layout "title - artist", split at the last hyphen; the longest title wins.
std::optional<Song> parseSingleLine(const QStringList& lines);
// Rebuilds a scrolling line from fragments seen in different passes.
QStringList mergeScrolling(const QStringList& lines);
// Two-line layout (title above artist) of one pass; lines sorted by yTop.
std::optional<Song> parseTwoLines(const std::vector<OcrLine>& lines);

// The song at least two of the kept passes agree on, for the player's layout.
std::optional<Song> agreedSong(window_player::Player player, const std::vector<std::vector<OcrLine>>& passes);

} // namespace window_text
