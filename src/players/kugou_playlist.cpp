#include "players/kugou_playlist.h"

#include "players/plist_node.h"

namespace kugou_playlist {
namespace {

// Only spaces and tabs: the display name keeps other white space as Kugou wrote it.
QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [&](qsizetype i) {
        return text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t');
    };
    while (begin < end && blank(begin))
        ++begin;
    while (end > begin && blank(end - 1))
        --end;
    return text.mid(begin, end - begin);
}

std::optional<Song> validSong(const QString& title, const QString& artist)
{
    if (!Song::isValid(artist, title))
        return std::nullopt;
    return Song{title, artist};
}

} // namespace

std::optional<Song> parse(const QString& musicname, const QString& singer)
{
    const QString spacedDash = QStringLiteral(" - ");
    if (const qsizetype at = musicname.indexOf(spacedDash); at >= 0) {
        QString artist = trimSpaces(musicname.left(at));
        const QString title = trimSpaces(musicname.mid(at + spacedDash.size()));
        if (artist.isEmpty())
            artist = trimSpaces(singer);
        return validSong(title, artist);
    }
    const QString name = trimSpaces(musicname);
    const QString trimmedSinger = trimSpaces(singer);
    if (!trimmedSinger.isEmpty())
        return validSong(name, trimmedSinger);
    if (const qsizetype at = name.indexOf(QLatin1Char('-')); at >= 0)
        return validSong(trimSpaces(name.mid(at + 1)), trimSpaces(name.left(at)));
    return std::nullopt;
}

KugouPlaylistReading parsePlaylist(const QByteArray& bytes)
{
    const plist_node::Document document = plist_node::parse(bytes);
    const plist_t lists = plist_node::item(document.get(), "userPlayList");
    if (!plist_node::isArray(lists))
        return {false, std::nullopt, QStringLiteral("列表文件读不出（格式变了/空文件？）→ 试数据库")};

    for (uint32_t l = 0; l < plist_node::size(lists); ++l) {
        const plist_t list = plist_node::at(lists, l);
        for (uint32_t e = 0; e < plist_node::size(list); ++e) {
            const plist_t entry = plist_node::at(list, e);
            const auto progress = plist_node::number(plist_node::item(entry, "currentProgress"));
            if (!progress || *progress <= 0)
                continue;
            const QString title =
                plist_node::text(plist_node::item(entry, "musictitle"))
                    .value_or(plist_node::text(plist_node::item(entry, "musicName")).value_or(QString()));
            if (title.isEmpty())
                continue;
            const QString singer =
                plist_node::text(plist_node::item(entry, "singerName")).value_or(QString());
            if (auto song = parse(title, singer))
                return {true, std::move(song), QStringLiteral("读到")};
            // A playing entry whose name does not parse ends this play list.
            break;
        }
    }
    return {true, std::nullopt, QStringLiteral("列表里没有正在播放的歌")};
}

} // namespace kugou_playlist
