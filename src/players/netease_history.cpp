#include "players/netease_history.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace netease_history {

std::optional<Song> parseTrack(const QString& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject track = document.object();
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

} // namespace netease_history
