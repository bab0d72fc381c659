#pragma once

#include "players/now_playing_info.h"
#include "players/status_text.h"

#include <QThreadPool>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {
class RunningApplications;
}

// Where the now-playing information comes from: one answer with the provider keys of
// now_playing::keys, or none when the service has nothing (or did not answer in time).
// Thread safety: called on the refresh executor only, one call at a time.
class NowPlayingProvider {
public:
    virtual ~NowPlayingProvider() = default;
    virtual std::optional<QVariantMap> adapterInfo() = 0;
    // Calls `onChange` (from the thread this was called on, through its event loop) whenever
    // the service announces a change; nothing stops it. Providers without announcements
    // ignore it.
    virtual void watchChanges(std::function<void()> onChange) { (void)onChange; }
};

// Admits a now-playing item only once it has held still: players announce a new track in
// several half-filled updates (the new title beside the old artist), and such a reading must
// never be looked up. Pure; one thread at a time.
class SettleGate {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kStill{300};

    // Whether a reading of `item` at `now` may be published; when not, read again at readAgainAt().
    bool admit(const QString& item, Clock::time_point now);
    Clock::time_point readAgainAt() const { return m_pendingSince + kStill; }

private:
    std::optional<QString> m_published;
    std::optional<QString> m_pending;
    Clock::time_point m_pendingSince{};
};

// The system's now-playing information, cached. info() never waits for the service: it
// answers the last refresh at once and, when that is kMaxAge old or older, queues one
// refresh on the serial executor "com.tonivox.now-playing". A change the service announces
// queues a refresh at once, so a new song is in the cache before the next poll asks. A new
// item enters the cache only after it held still for SettleGate::kStill.
//
// Thread safety: info() and diag() from any thread.
class NowPlaying {
public:
    using Info = NowPlayingInfo;
    static constexpr std::chrono::milliseconds kMaxAge{2000};

    NowPlaying(std::shared_ptr<NowPlayingProvider> provider,
               std::shared_ptr<const platform::RunningApplications> applications,
               std::chrono::milliseconds maxAge = kMaxAge);
    // Waits for a running refresh.
    ~NowPlaying();
    NowPlaying(const NowPlaying&) = delete;
    NowPlaying& operator=(const NowPlaying&) = delete;

    Info info();
    // "MPRIS 桥接" when the last refresh had an answer, "MPRIS 无数据" when not; "未检查" before.
    QString diag() const { return m_diag.get(); }

    static inline const QString kBridged = QStringLiteral("MPRIS 桥接");
    static inline const QString kNoData = QStringLiteral("MPRIS 无数据");

private:
    void refresh();
    // Queues a refresh, or one more after the running one.
    void refreshSoon();
    Info readOnce();
    // Reads until the item held still; none when it kept changing or the object is going.
    std::optional<Info> readSettled();

    std::shared_ptr<NowPlayingProvider> m_provider;
    std::shared_ptr<const platform::RunningApplications> m_applications;
    std::chrono::milliseconds m_maxAge;
    StatusText m_diag;

    std::mutex m_lock; // guards m_cached and m_refreshing
    std::optional<std::pair<std::chrono::steady_clock::time_point, Info>> m_cached;
    bool m_refreshing = false;
    bool m_refreshAgain = false;
    bool m_stopping = false;
    std::condition_variable m_stopped;
    SettleGate m_settle; // refresh executor only
    QThreadPool m_refreshQueue;
};
