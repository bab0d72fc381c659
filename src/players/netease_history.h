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
// {"track": {"name", "artists": [{"name"}], ...}, "time": milliseconds}. The entry with the
// latest "time" wins (the file lists newest first, but the order is not relied on); entries
// without a title or a numeric time are skipped. Returns the song and the time as a decimal
// text of whole milliseconds. Pure; any thread.
std::optional<std::pair<Song, QString>> newestHistoryEntry(const QByteArray& json);

} // namespace netease_history
