#pragma once

#include "players/now_playing.h"

#include <QString>
#include <chrono>
#include <functional>
#include <memory>

// The now-playing provider over MPRIS: lists the org.mpris.MediaPlayer2.* names on the
// bus, prefers the one whose PlaybackStatus is "Playing" and answers its metadata in the
// provider keys. All D-Bus round trips of one answer share one bounded wait; players that
// have not answered by then are left out.
//
// Thread safety: adapterInfo() from one thread at a time (the refresh executor).
class MprisProvider : public NowPlayingProvider {
public:
    static constexpr std::chrono::milliseconds kTimeout{3000};
    // Covers larger than this are not read.
    static constexpr qint64 kMaxArtworkBytes = 10 << 20;

    // An empty address means the session bus.
    explicit MprisProvider(QString busAddress = QString(), std::chrono::milliseconds timeout = kTimeout);
    ~MprisProvider() override;
    std::optional<QVariantMap> adapterInfo() override;
    // Listens to PropertiesChanged of every player's object and to players coming and
    // going on the bus. Call from a thread with an event loop (the main thread).
    void watchChanges(std::function<void()> onChange) override;

    class ChangeWatcher;

private:
    QString m_busAddress;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<ChangeWatcher> m_watcher;
};
