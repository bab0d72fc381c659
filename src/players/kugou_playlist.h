#pragma once

#include "core/song.h"

#include <QByteArray>
#include <QString>
#include <optional>

struct KugouPlaylistReading {
    // The file was read and its answer is final (even when it names no song).
    bool usable = false;
    std::optional<Song> song;
    QString diag;
};

namespace kugou_playlist {

// Turns Kugou's display name "artist - title" (or a bare title with the singer field)
// into a song; none unless the pair passes Song::isValid.
std::optional<Song> parse(const QString& musicname, const QString& singer);

// Reads the current play-list property list (binary or XML): the first entry with a
// positive playback progress is the playing one. Pure; any thread.
KugouPlaylistReading parsePlaylist(const QByteArray& bytes);

} // namespace kugou_playlist
