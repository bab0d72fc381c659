#pragma once

#include "core/song.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <utility>

namespace netease_history {

// The song of one history row's JSON text: "name" (non-empty) is the title, the "name"
// texts of the "artists" objects joined with "、" the artist (possibly empty). Trailing
// line breaks are ignored; anything that is not such an object gives none. Pure; any thread.
std::optional<Song> parseTrack(const QString& json);

// The newest entry of the Linux client's play-history file: a JSON array of
// {"track": {"name", "artists": [{"name"}], ...}, "time": milliseconds}, newest first.
// Reads from the start of the file (`head` may be only its first part): the first entry
// with a title and a time in milliseconds wins, the entries before it that lack one are
// skipped, and the rest of the file is never parsed. None when the text is not such an
// array or breaks off before a usable entry. Returns the song and the time as a decimal text
// of whole milliseconds. Pure; any thread.
std::optional<std::pair<Song, QString>> newestHistoryEntry(const QByteArray& head);

} // namespace netease_history
