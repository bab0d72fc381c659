#include "service/service_bodies.h"

#include <cmath>

namespace service_bodies {

QJsonObject feedback(const QString& artist, const QString& title, const std::optional<QString>& key,
                     const std::optional<QString>& source, const std::optional<QString>& prevKey)
{
    QJsonObject body{{QStringLiteral("artist"), artist}, {QStringLiteral("title"), title}};
    if (key)
        body.insert(QStringLiteral("key"), *key);
    if (source)
        body.insert(QStringLiteral("source"), *source);
    if (prevKey)
        body.insert(QStringLiteral("prev_key"), *prevKey);
    return body;
}

double roundToTenth(double seconds)
{
    // std::round rounds halves away from zero.
    return std::round(seconds * 10.0) / 10.0;
}

std::optional<QJsonObject> playSeconds(const QString& artist, const QString& title, double seconds,
                                       const QString& source, const QString& playerDiag)
{
    // Written so that NaN falls outside the range too.
    if (!(seconds >= kMinPlaySeconds && seconds <= kMaxPlaySeconds))
        return std::nullopt;
    QJsonObject body{{QStringLiteral("artist"), artist},
                     {QStringLiteral("title"), title},
                     {QStringLiteral("seconds"), roundToTenth(seconds)},
                     {QStringLiteral("source"), source}};
    if (!playerDiag.isEmpty())
        body.insert(QStringLiteral("player_diag"), playerDiag);
    return body;
}

} // namespace service_bodies
