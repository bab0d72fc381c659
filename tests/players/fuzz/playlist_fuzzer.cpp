// The Kugou play-list parser (and its display-name rule) over arbitrary bytes.
#include "players/kugou_playlist.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const KugouPlaylistReading reading = kugou_playlist::parsePlaylist(bytes);
    // Only a usable list can name a song, and a named song is always a valid one.
    if (reading.song && (!reading.usable || !Song::isValid(reading.song->artist, reading.song->title)))
        __builtin_trap();
    const QString text = QString::fromUtf8(bytes);
    kugou_playlist::parse(text, text.left(text.size() / 2));
    return 0;
}
