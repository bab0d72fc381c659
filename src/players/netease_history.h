#pragma once

#include "core/song.h"

#include <QString>
#include <optional>

namespace netease_history {

// The song of one history row's JSON text: "name" (non-empty) is the title, the "name"
// texts of the "artists" objects joined with "、" the artist (possibly empty). Trailing
// line breaks are ignored; anything that is not such an object gives none. Pure; any thread.
std::optional<Song> parseTrack(const QString& json);

} // namespace netease_history
