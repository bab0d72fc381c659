#include "players/window_title.h"

#include "core/single_line.h"

#include <QStringList>

namespace window_title {
namespace {

const QString kSeparator = QStringLiteral(" - ");
const QString kKugouName = QStringLiteral("酷狗音乐");

// Titles longer than any song line are not parsed at all.
constexpr qsizetype kMaxTitleLength = 200;

// What the players append to, or show instead of, the song.
const QStringList& playerNames()
{
    static const QStringList names = {QStringLiteral("网易云音乐"), QStringLiteral("NetEase Cloud Music"),
                                      kKugouName, QStringLiteral("QQ音乐"), QStringLiteral("qqmusic")};
    return names;
}

// Kugou scrolls "artist - title - 酷狗音乐" through its title as a marquee, so any rotation
// of it may be read ("还是他 - 酷狗音乐 陶喆 - 爱我"). What follows the name, wrapping round,
// is the song; a title without the name (the desktop lyric window) names none.
QString kugouSong(const QString& text)
{
    const QString twice = text + text;
    const qsizetype at = twice.indexOf(kKugouName);
    if (at < 0 || at >= text.size())
        return {};
    QString song = twice.mid(at + kKugouName.size(), text.size() - kKugouName.size()).trimmed();
    if (song.startsWith(QLatin1Char('-')))
        song.remove(0, 1);
    if (song.endsWith(QLatin1Char('-')))
        song.chop(1);
    return song.trimmed();
}

// Drops a trailing " - 网易云音乐" (or another player name) a client may add.
QString withoutPlayerName(QString text)
{
    for (const QString& name : playerNames()) {
        if (text.endsWith(kSeparator + name, Qt::CaseInsensitive))
            text.chop(kSeparator.size() + name.size());
    }
    return text;
}

} // namespace

std::optional<Song> parse(window_player::Player player, const QString& title)
{
    if (title.size() > kMaxTitleLength)
        return std::nullopt;
    const QString text = singleLine(title).simplified();
    QString songTitle;
    QString artist;
    switch (player) {
    case window_player::Player::netease:
    case window_player::Player::qq: {
        // "title - artist": a title may hold " - " ("Song - Live"), an artist seldom does.
        const QString song = withoutPlayerName(text);
        const qsizetype at = song.lastIndexOf(kSeparator);
        if (at < 0)
            return std::nullopt;
        songTitle = song.left(at).trimmed();
        artist = song.mid(at + kSeparator.size()).trimmed();
        break;
    }
    case window_player::Player::kugou: {
        const QString song = kugouSong(text);
        const qsizetype at = song.indexOf(kSeparator);
        if (at < 0)
            return std::nullopt;
        artist = song.left(at).trimmed();
        songTitle = song.mid(at + kSeparator.size()).trimmed();
        break;
    }
    }
    for (const QString& name : playerNames()) {
        if (songTitle.compare(name, Qt::CaseInsensitive) == 0 ||
            artist.compare(name, Qt::CaseInsensitive) == 0)
            return std::nullopt;
    }
    if (!Song::isValid(artist, songTitle))
        return std::nullopt;
    return Song{songTitle, artist};
}

bool isSpotify(const QString& executable, const QString& processName)
{
    const QString spotify = QStringLiteral("spotify");
    return executable.compare(spotify, Qt::CaseInsensitive) == 0 ||
           processName.compare(spotify, Qt::CaseInsensitive) == 0;
}

std::optional<Song> parseSpotify(const QString& title)
{
    if (title.size() > kMaxTitleLength)
        return std::nullopt;
    const QString text = singleLine(title).simplified();
    // "artist - title": a title may hold " - " ("Song - Remastered"), an artist seldom does.
    const qsizetype at = text.indexOf(kSeparator);
    if (at < 0)
        return std::nullopt;
    const QString artist = text.left(at).trimmed();
    const QString songTitle = text.mid(at + kSeparator.size()).trimmed();
    for (const QString& own : {QStringLiteral("Spotify"), QStringLiteral("Advertisement")}) {
        if (artist.startsWith(own, Qt::CaseInsensitive) || songTitle.startsWith(own, Qt::CaseInsensitive))
            return std::nullopt;
    }
    if (!Song::isValid(artist, songTitle))
        return std::nullopt;
    return Song{songTitle, artist};
}

bool isLyricWindow(const QString& title)
{
    return title.trimmed() == QStringLiteral("歌词");
}

} // namespace window_title
