#include "players/now_playing.h"

#include "platform/running_applications.h"
#include "players/mpris_provider.h"

NowPlaying::NowPlaying(std::shared_ptr<NowPlayingProvider> provider,
                       std::shared_ptr<const platform::RunningApplications> applications,
                       std::chrono::milliseconds maxAge)
    : m_provider(std::move(provider)), m_applications(std::move(applications)), m_maxAge(maxAge)
{
    m_refreshQueue.setMaxThreadCount(1);
    m_refreshQueue.setObjectName(QStringLiteral("com.tonivox.now-playing"));
    m_provider->watchChanges([this] { refreshSoon(); });
}

NowPlaying::~NowPlaying()
{
    m_provider->watchChanges(nullptr);
    m_refreshQueue.waitForDone();
}

void NowPlaying::refreshSoon()
{
    std::unique_lock lock(m_lock);
    if (m_refreshing) {
        m_refreshAgain = true;
        return;
    }
    m_refreshing = true;
    lock.unlock();
    m_refreshQueue.start([this] { refresh(); });
}

NowPlaying::Info NowPlaying::info()
{
    std::unique_lock lock(m_lock);
    Info answer = m_cached ? m_cached->second : Info();
    const bool stale = !m_cached || std::chrono::steady_clock::now() - m_cached->first >= m_maxAge;
    if (stale && !m_refreshing) {
        m_refreshing = true;
        lock.unlock();
        m_refreshQueue.start([this] { refresh(); });
    }
    return answer;
}

void NowPlaying::refresh()
{
    for (;;) {
        Info value = readOnce();
        std::lock_guard lock(m_lock);
        m_cached.emplace(std::chrono::steady_clock::now(), std::move(value));
        // A change announced while this read ran may not be in it: read once more.
        if (!std::exchange(m_refreshAgain, false)) {
            m_refreshing = false;
            return;
        }
    }
}

NowPlaying::Info NowPlaying::readOnce()
{
    Info value;
    if (const auto answer = m_provider->adapterInfo()) {
        m_diag.set(kBridged);
        const auto applications = m_applications;
        value = now_playing::parseAdapterInfo(*answer, [applications](qint64 pid) -> std::optional<QString> {
            return applications ? applications->localizedName(pid) : std::nullopt;
        });
    } else {
        m_diag.set(kNoData);
    }
    return value;
}
