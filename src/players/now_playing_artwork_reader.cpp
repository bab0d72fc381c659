#include "players/now_playing_artwork_reader.h"

#include "players/now_playing.h"

NowPlayingReading NowPlayingArtworkReader::read()
{
    const NowPlaying::Info info = m_nowPlaying.info();
    return {info.song, info.artwork};
}
