#pragma once

#include "core/song.h"

#include <QImage>
#include <optional>

// What the shared state needs from the system's now-playing information: the song and
// its cover. The real source lives with the players; the state only sees this.
struct NowPlayingReading {
    std::optional<Song> song;
    std::optional<QImage> artwork;
};

class NowPlayingReader {
public:
    virtual ~NowPlayingReader() = default;
    // Thread safety: called from a background thread; must not block for long.
    virtual NowPlayingReading read() = 0;
};
