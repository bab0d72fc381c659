#pragma once

#include "core/song.h"
#include "players/window_player.h"

#include <QString>
#include <optional>

// The song in a player window's title (_NET_WM_NAME), read before any screenshot. NetEase's
// clients (the Linux 1.2.1 client and the Windows client under Wine) and QQ Music's Windows
// client title their window "title - artist" while a song plays; Kugou's Windows client
// scrolls "artist - title - 酷狗音乐" through its title, so any rotation of that text may be
// read. QQ Music's Electron app keeps the static "qqmusic", which never parses.
//
// Thread safety: pure, any thread.
namespace window_title {

// The song, or none when the title holds no "a - b" pair that passes Song::isValid, or is
// only the player's own name.
std::optional<Song> parse(window_player::Player player, const QString& title);

// Spotify's window: "artist - title" while a song plays; "Spotify", "Spotify Premium" or
// "Spotify Free" otherwise, and an advert's name during adverts (never a song).
bool isSpotify(const QString& executable, const QString& processName);
std::optional<Song> parseSpotify(const QString& title);

// QQ Music's separate lyric window ("歌词"), which shows lines of the lyric, never the song.
bool isLyricWindow(const QString& title);

} // namespace window_title
