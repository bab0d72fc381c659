#include "players/window_title.h"

#include "core/single_line.h"

#include <QStringList>

namespace window_title {
namespace {

const QString kSeparator = QStringLiteral(" - ");

// Titles longer than any song line are not parsed at all.
constexpr qsizetype kMaxTitleLength = 200;

// What the players append to, or show instead of, the song.
const QStringList& playerNames()
{
    static const QStringList names = {QStringLiteral("网易云音乐"), QStringLiteral("NetEase Cloud Music"),
                                      QStringLiteral("酷狗音乐"), QStringLiteral("QQ音乐"),
                                      QStringLiteral("qqmusic")};
    return names;
}

// Drops a trailing " - 酷狗音乐" (or another player name) the client may add.
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
    const QString text = withoutPlayerName(singleLine(title).simplified());
    QString songTitle;
    QString artist;
    switch (player) {
    case window_player::Player::netease:
    case window_player::Player::qq: {
        // "title - artist": a title may hold " - " ("Song - Live"), an artist seldom does.
        const qsizetype at = text.lastIndexOf(kSeparator);
        if (at < 0)
            return std::nullopt;
        songTitle = text.left(at).trimmed();
        artist = text.mid(at + kSeparator.size()).trimmed();
        break;
    }
    case window_player::Player::kugou: {
        const qsizetype at = text.indexOf(kSeparator);
        if (at < 0)
            return std::nullopt;
        artist = text.left(at).trimmed();
        songTitle = text.mid(at + kSeparator.size()).trimmed();
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

bool isLyricWindow(const QString& title)
{
    return title.trimmed() == QStringLiteral("歌词");
}

} // namespace window_title
