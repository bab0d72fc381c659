#pragma once

#include "core/now_playing_reader.h"

class NowPlaying;

// Serves the shared state's artwork timer from the now-playing cache.
// Thread safety: any thread; read() never waits for the service.
class NowPlayingArtworkReader : public NowPlayingReader {
public:
    explicit NowPlayingArtworkReader(NowPlaying& nowPlaying) : m_nowPlaying(nowPlaying) {}
    NowPlayingReading read() override;

private:
    NowPlaying& m_nowPlaying;
};
