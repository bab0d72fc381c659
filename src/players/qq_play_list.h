#pragma once

#include "core/song.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// QQ Music's saved play list, decoded from its keyed archive.
struct QQPlayList {
    QList<Song> songs;
    // The numeric song id of each song, 0 when the entry has none; same length as songs.
    QList<qint64> ids;
    // The archive's last-playing index, 0 when absent.
    qint64 index = 0;
};

struct QQArchiveDecoding {
    std::optional<QQPlayList> list;
    // The status text on failure; empty on success.
    QString diag;
};

namespace qq_play_list {

// Decodes the archive bytes (binary or XML property list). References are followed one
// step at a time and only into "$objects", so cycles and out-of-range references cannot
// loop or read outside the archive. Pure; any thread.
QQArchiveDecoding decode(const QByteArray& archive);

} // namespace qq_play_list
