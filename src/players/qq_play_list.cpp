#include "players/qq_play_list.h"

#include "players/plist_node.h"

#include <QStringList>

namespace qq_play_list {
namespace {

// An archive reference in either form: a UID node (binary archives) or a dictionary
// {"CF$UID": n} (what an XML round trip makes of it).
std::optional<qint64> uidValue(plist_t value)
{
    if (value == nullptr)
        return std::nullopt;
    if (plist_get_node_type(value) == PLIST_UID) {
        uint64_t uid = 0;
        plist_get_uid_val(value, &uid);
        return static_cast<qint64>(uid);
    }
    return plist_node::integer(plist_node::item(value, "CF$UID"));
}

class Archive {
public:
    explicit Archive(plist_t objects) : m_objects(objects) {}

    // A reference with a valid index becomes its object; anything else is used unchanged.
    plist_t deref(plist_t value) const
    {
        const auto uid = uidValue(value);
        if (uid && *uid >= 0 && *uid < plist_node::size(m_objects))
            return plist_node::at(m_objects, static_cast<uint32_t>(*uid));
        return value;
    }
    plist_t item(plist_t dict, const char* key) const { return deref(plist_node::item(dict, key)); }

private:
    plist_t m_objects;
};

std::optional<QString> nonEmptyText(plist_t node)
{
    auto value = plist_node::text(node);
    if (!value || value->isEmpty())
        return std::nullopt;
    return value;
}

QString artistOf(const Archive& archive, plist_t entry)
{
    const plist_t singers = archive.item(archive.item(entry, "singerList"), "NS.objects");
    QStringList names;
    for (uint32_t i = 0; i < plist_node::size(singers); ++i) {
        const plist_t singer = archive.deref(plist_node::at(singers, i));
        if (!plist_node::isDict(singer))
            continue;
        if (auto name = nonEmptyText(archive.item(singer, "singerName")))
            names.append(*name);
        else if (auto fallback = nonEmptyText(archive.item(singer, "name")))
            names.append(*fallback);
    }
    return names.join(QStringLiteral("、"));
}

} // namespace

QQArchiveDecoding decode(const QByteArray& bytes)
{
    const plist_node::Document document = plist_node::parse(bytes);
    const plist_t objects = plist_node::item(document.get(), "$objects");
    const plist_t top = plist_node::item(document.get(), "$top");
    if (!plist_node::isDict(document.get()) || !plist_node::isArray(objects) || !plist_node::isDict(top))
        return {std::nullopt, QStringLiteral("存档结构变了")};

    const Archive archive(objects);
    QQPlayList list;
    list.index = plist_node::integer(archive.item(top, "LastPlayingIndex")).value_or(0);

    const plist_t playing = archive.item(top, "PlayingList");
    const plist_t listData = plist_node::isDict(playing) ? archive.item(playing, "ListData") : nullptr;
    const plist_t entries = plist_node::isDict(listData) ? archive.item(listData, "NS.objects") : nullptr;
    if (plist_node::size(entries) == 0)
        return {std::nullopt, QStringLiteral("存档里没有正在播放的歌")};

    for (uint32_t i = 0; i < plist_node::size(entries); ++i) {
        const plist_t entry = archive.deref(plist_node::at(entries, i));
        if (!plist_node::isDict(entry))
            continue;
        const auto title = nonEmptyText(archive.item(entry, "songName"));
        if (!title)
            continue;
        list.songs.append(Song{*title, artistOf(archive, entry)});
        list.ids.append(plist_node::integer(archive.item(entry, "songId")).value_or(0));
    }
    if (list.songs.isEmpty())
        return {std::nullopt, QStringLiteral("存档里没读到歌名")};
    return {std::move(list), QString()};
}

} // namespace qq_play_list
