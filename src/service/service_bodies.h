#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

// The JSON bodies the client builds itself (pure functions). Key reports are built by
// their callers and only framed by ServerAPI::postKeyReport.
namespace service_bodies {

// "artist" and "title" always; "key", "source" and "prev_key" only when given.
QJsonObject feedback(const QString& artist, const QString& title, const std::optional<QString>& key,
                     const std::optional<QString>& source, const std::optional<QString>& prevKey);

// Listening times outside 3 s ... 3600 s (both included) are not reported.
inline constexpr double kMinPlaySeconds = 3.0;
inline constexpr double kMaxPlaySeconds = 3600.0;

// One decimal place, halves away from zero.
double roundToTenth(double seconds);

// The listening-time body, or nothing when `seconds` is outside the reported range (or
// not a number). "player_diag" only when not empty.
std::optional<QJsonObject> playSeconds(const QString& artist, const QString& title, double seconds,
                                       const QString& source, const QString& playerDiag);

} // namespace service_bodies
