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
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_refreshQueue.waitForDone();
}

bool SettleGate::admit(const QString& item, Clock::time_point now)
{
    if (item == m_published)
        return true;
    if (item != m_pending) {
        m_pending = item;
        m_pendingSince = now;
        return false;
    }
    if (now < m_pendingSince + kStill)
        return false;
    m_published = item;
    return true;
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

std::optional<NowPlaying::Info> NowPlaying::readSettled()
{
    // A track change arrives within a second; a player that changes for longer keeps its old answer.
    constexpr int kMaxReads = 6;
    for (int read = 0; read < kMaxReads; ++read) {
        Info value = readOnce();
        // Only a song can be looked up, so only a song has to hold still.
        if (!value.song || m_settle.admit(value.identity.value_or(QString()), SettleGate::Clock::now()))
            return value;
        std::unique_lock lock(m_lock);
        if (m_stopped.wait_until(lock, m_settle.readAgainAt(), [this] { return m_stopping; }))
            return std::nullopt;
    }
    return std::nullopt;
}

void NowPlaying::refresh()
{
    for (;;) {
        std::optional<Info> value = readSettled();
        std::lock_guard lock(m_lock);
        if (value)
            m_cached.emplace(std::chrono::steady_clock::now(), std::move(*value));
        else if (m_cached)
            m_cached->first = std::chrono::steady_clock::now();
        else
            m_cached.emplace(std::chrono::steady_clock::now(), Info());
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
        value = now_playing::parseAdapterInfo(
            *answer, [applications](qint64 pid) -> std::optional<platform::RunningApplication> {
                return applications ? applications->application(pid) : std::nullopt;
            });
    } else {
        m_diag.set(kNoData);
    }
    return value;
}
