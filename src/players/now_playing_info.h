#pragma once

#include "core/song.h"
#include "platform/running_applications.h"
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
    // The player's own name (MPRIS Identity, else its desktop entry or bus name): the source
    // label of a player that is none of the three. Empty when unknown.
    QString playerName;
};

namespace now_playing {

// The running application with this process identifier.
using ApplicationLookup =
    std::function<std::optional<platform::RunningApplication>(qint64 processIdentifier)>;

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

// Turns one provider answer into an Info. The player is resolved by the answering process
// (executable, process name, Windows program), then by the bundle identifier (the desktop
// entry), then by the player's Identity. An item whose identifier contains "/ad/" or ":ad:"
// (an advert) carries no song. Pure apart from the lookup; any thread.
NowPlayingInfo parseAdapterInfo(const QVariantMap& d, const ApplicationLookup& application);

} // namespace now_playing
