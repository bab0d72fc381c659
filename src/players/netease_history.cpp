#include "players/netease_history.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace netease_history {

namespace {

std::optional<Song> trackSong(const QJsonObject& track)
{
    const QString title = track.value(QLatin1String("name")).toString();
    if (title.isEmpty())
        return std::nullopt;
    QStringList artists;
    for (const QJsonValue& artist : track.value(QLatin1String("artists")).toArray()) {
        const QJsonValue name = artist.toObject().value(QLatin1String("name"));
        if (name.isString())
            artists.append(name.toString());
    }
    return Song{title, artists.join(QStringLiteral("、"))};
}

} // namespace

std::optional<Song> parseTrack(const QString& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    return trackSong(document.object());
}

std::optional<std::pair<Song, QString>> newestHistoryEntry(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    // Whole milliseconds within what a double holds exactly, and after 1970.
    constexpr double kMaxTime_ms = 9007199254740992.0;
    std::optional<std::pair<Song, double>> newest;
    for (const QJsonValue& entry : document.array()) {
        const QJsonObject object = entry.toObject();
        const QJsonValue time = object.value(QLatin1String("time"));
        if (!time.isDouble() || !(time.toDouble() > 0) || time.toDouble() > kMaxTime_ms)
            continue;
        const auto song = trackSong(object.value(QLatin1String("track")).toObject());
        if (song && (!newest || time.toDouble() > newest->second))
            newest.emplace(*song, time.toDouble());
    }
    if (!newest)
        return std::nullopt;
    return std::pair{newest->first, QString::number(static_cast<qint64>(newest->second))};
}

} // namespace netease_history
