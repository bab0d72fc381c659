#pragma once

#include "core/song.h"
#include "players/player_source.h"

#include <QImage>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <optional>

// What the system's now-playing service says is playing. The empty value has no song,
// no artwork, no source, isPlaying false and no identity.
struct NowPlayingInfo {
    // Present only when title and artist pass Song::isValid.
    std::optional<Song> song;
    std::optional<QImage> artwork;
    // The player the information comes from; absent for other applications.
    std::optional<PlayerSource> source;
    bool isPlaying = false;
    // Changes when the item changes.
    std::optional<QString> identity;
};

namespace now_playing {

// The localized name of a running application by process identifier.
using AppNameLookup = std::function<std::optional<QString>(qint64 processIdentifier)>;

// Keys of the provider's answer (all optional).
namespace keys {
inline const QString playing = QStringLiteral("playing");
inline const QString bundleIdentifier = QStringLiteral("bundleIdentifier");
inline const QString parentApplicationBundleIdentifier = QStringLiteral("parentApplicationBundleIdentifier");
inline const QString processIdentifier = QStringLiteral("processIdentifier");
inline const QString title = QStringLiteral("title");
inline const QString artist = QStringLiteral("artist");
inline const QString uniqueIdentifier = QStringLiteral("uniqueIdentifier");
inline const QString contentItemIdentifier = QStringLiteral("contentItemIdentifier");
inline const QString artworkData = QStringLiteral("artworkData");
// The player's own name for itself (MPRIS Identity): Electron players registered under a
// generic bus name are recognised by it.
inline const QString playerIdentity = QStringLiteral("playerIdentity");
} // namespace keys

// Turns one provider answer into an Info. Pure apart from the name lookup; any thread.
NowPlayingInfo parseAdapterInfo(const QVariantMap& d, const AppNameLookup& appName);

} // namespace now_playing
