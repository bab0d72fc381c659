#include "players/player_activity_monitor.h"

#include "platform/running_applications.h"
#include "players/kugou_detector.h"
#include "players/netease_music_detector.h"
#include "players/now_playing.h"
#include "players/number_text.h"
#include "players/qq_music_detector.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QtConcurrent/QtConcurrentRun>
#include <set>

namespace {

QString artistTitle(const Song& song)
{
    return song.artist + QLatin1Char('|') + song.title;
}

PlayerActivityMonitor::Snapshot songSnapshot(const Song& song, QString identity,
                                             std::optional<TimeStamp> activity)
{
    return {song, std::move(identity), activity, true, false};
}

QString neteaseForm(std::optional<NeteaseMusicDetector::Form> form)
{
    if (!form)
        return {};
    switch (*form) {
    case NeteaseMusicDetector::Form::mac:
        return {};
    case NeteaseMusicDetector::Form::linuxClient:
        return QStringLiteral("网易云 1.2.1");
    case NeteaseMusicDetector::Form::wine:
        return QStringLiteral("网易云（Wine）");
    }
    return {};
}

} // namespace

PlayerActivityMonitor::PlayerActivityMonitor(Readers readers, Clock clock)
    : m_readers(std::move(readers)), m_clock(std::move(clock))
{
    m_readExecutor.setMaxThreadCount(1);
    m_readExecutor.setExpiryTimeout(-1);
    m_readExecutor.setObjectName(QStringLiteral("com.tonivox.player-poll"));
}

PlayerActivityMonitor::~PlayerActivityMonitor()
{
    m_readExecutor.waitForDone();
}

QCoro::Task<bool> PlayerActivityMonitor::pollAsync(std::stop_token token)
{
    // One read at a time: a poll that finds a read still running waits for the next tick.
    if (m_reading)
        co_return false;
    m_reading = true;
    const std::weak_ptr<void> alive = m_lifetime;
    QFuture<States> read = QtConcurrent::run(&m_readExecutor, [this] { return readAll(); });
    const std::optional<States> states = co_await cancellation::awaitFuture(read, token);
    // A cancelled await resumes from the event loop, possibly after the owner destroyed the
    // monitor (its destructor waited for the read itself).
    if (alive.expired())
        co_return false;
    m_reading = false;
    if (!states)
        co_return false;
    update(*states);
    updateOther(readOther());
    co_return true;
}

PlayerActivityMonitor::States PlayerActivityMonitor::readAll()
{
    // 1. Running players: the first application that maps to a player marks it running.
    std::set<PlayerSource> running;
    std::set<PlayerSource> underWine;
    if (m_readers.applications) {
        for (const platform::RunningApplication& app : m_readers.applications->list()) {
            const auto found =
                player_source::fromProcess(app.bundleIdentifier, app.localizedName, app.windowsProgram);
            if (!found)
                continue;
            running.insert(found->source);
            if (found->form == player_source::Form::wine)
                underWine.insert(found->source);
        }
    }

    States states;
    for (PlayerSource source : player_source::allCases)
        states[source].isRunning = running.contains(source);
    // A NetEase that starts may be a Wine bottle installed since the last search.
    const bool neteaseRuns = running.contains(PlayerSource::netease);
    if (neteaseRuns && !m_neteaseWasRunning)
        m_readers.netease.searchWinePrefixes();
    m_neteaseWasRunning = neteaseRuns;

    // 2. Kugou, asked only while it runs.
    if (running.contains(PlayerSource::kugou)) {
        if (const auto song = m_readers.kugou.current())
            states[PlayerSource::kugou] = songSnapshot(
                *song, artistTitle(*song), file_times::modificationDate(m_readers.kugou.playlistPath()));
    }

    // 3. QQ Music, asked on every poll so that its status text stays current.
    states[PlayerSource::qqmusic] = readQQMusic(running.contains(PlayerSource::qqmusic));

    // 4. NetEase, asked only while it runs; the play time (ms) is its activity.
    if (running.contains(PlayerSource::netease)) {
        if (const auto current = m_readers.netease.currentWithID()) {
            const double playTime_ms = number_text::decimalNumber(current->second).value_or(0.0);
            states[PlayerSource::netease] =
                songSnapshot(current->first, current->second, file_times::fromSeconds(playTime_ms / 1000.0));
            states[PlayerSource::netease].form = neteaseForm(m_readers.netease.lastForm());
        }
    }
    for (PlayerSource source : underWine) {
        Snapshot& entry = states[source];
        entry.underWine = true;
        if (entry.form.isEmpty())
            entry.form = player_source::rawValue(source) + QStringLiteral("（Wine）");
    }

    // 5. Now-playing overlay, for a running player only.
    if (!running.empty()) {
        const NowPlaying::Info info = m_readers.nowPlaying.info();
        if (info.isPlaying && info.source && running.contains(*info.source)) {
            Snapshot& entry = states[*info.source];
            if (info.song)
                entry.song = info.song;
            if (info.identity)
                entry.identity = info.identity;
            entry.activity = m_clock();
            entry.isPlaying = true;
        }
    }
    return states;
}

PlayerActivityMonitor::Snapshot PlayerActivityMonitor::readQQMusic(bool running)
{
    QQMusicDetector& qq = m_readers.qqmusic;
    std::optional<QQMusicDetector::Candidate> archive;
    if (const auto current = qq.currentWithID())
        archive.emplace(current->first,
                        file_times::modificationDate(qq.archivePath()).value_or(file_times::kDistantPast));

    std::optional<TimeStamp> unresolvedAt;
    auto resolve = [&](const std::optional<QQMusicDetector::Reading>& reading)
        -> std::optional<QQMusicDetector::Candidate> {
        if (!reading)
            return std::nullopt;
        if (auto song = qq.song(reading->first))
            return QQMusicDetector::Candidate{*song, reading->second};
        if (!unresolvedAt || reading->second > *unresolvedAt)
            unresolvedAt = reading->second;
        return std::nullopt;
    };
    const auto lyric = resolve(qq.lyricCacheRead());
    const auto audio = resolve(qq.lastCacheRead());

    Snapshot snapshot;
    snapshot.isRunning = running;
    if (!running)
        return snapshot;
    if (const auto chosen = QQMusicDetector::newest({archive, lyric, audio}, unresolvedAt))
        snapshot = songSnapshot(chosen->first, artistTitle(chosen->first), chosen->second);
    return snapshot;
}

void PlayerActivityMonitor::update(const States& states)
{
    const TimeStamp now = m_clock();
    for (const auto& [player, s] : states) {
        const auto previous = m_last.find(player);
        const Snapshot* prev = previous == m_last.end() ? nullptr : &previous->second;

        // 1. Last good song.
        if (s.song)
            m_lastGood.insert_or_assign(player, *s.song);
        else if (!s.isRunning)
            m_lastGood.erase(player);

        // 2. Start time.
        if (s.isPlaying && (prev == nullptr || !prev->isPlaying))
            m_lastStart.insert_or_assign(player, now);
        else if (s.identity && prev != nullptr && prev->isRunning && prev->identity != s.identity)
            m_lastStart.insert_or_assign(player, now);
        else if (prev == nullptr && s.activity)
            m_lastStart.insert_or_assign(player, *s.activity);

        // 3.
        m_last.insert_or_assign(player, s);
    }

    // Election.
    if (m_active) {
        const auto entry = states.find(*m_active);
        if (entry == states.end() || !entry->second.isRunning)
            m_active.reset();
    }
    for (const auto& [player, s] : states) {
        if (s.isPlaying) {
            m_active = player;
            return;
        }
    }
    std::optional<std::pair<PlayerSource, TimeStamp>> best;
    for (const auto& [player, s] : states) {
        const auto start = m_lastStart.find(player);
        if (!s.song || start == m_lastStart.end())
            continue;
        if (!best || start->second > best->second)
            best.emplace(player, start->second);
    }
    if (best)
        m_active = best->first;
}

std::optional<PlayerActivityMonitor::OtherPlayer> PlayerActivityMonitor::readOther()
{
    // Turned off, the bridge is not even asked (it would refresh every two seconds for nothing).
    if (!otherPlayersAllowed())
        return std::nullopt;
    const NowPlaying::Info info = m_readers.nowPlaying.info();
    if (!info.isPlaying || info.source || !info.song || info.song->artist.trimmed().isEmpty() ||
        info.playerName.isEmpty())
        return std::nullopt;
    return OtherPlayer{*info.song, info.playerName};
}

std::optional<Song> PlayerActivityMonitor::activeSong() const
{
    if (auto song = electedSong())
        return song;
    if (m_other && otherPlayersAllowed())
        return m_other->song;
    return std::nullopt;
}

QString PlayerActivityMonitor::sourceLabel() const
{
    if (!electedSong() && m_other && otherPlayersAllowed())
        return m_other->name;
    return m_active ? player_source::rawValue(*m_active) : QString();
}

QString PlayerActivityMonitor::sourceForm() const
{
    if (electedSong()) {
        const auto entry = m_last.find(*m_active);
        const QString form = entry != m_last.end() ? entry->second.form : QString();
        return form.isEmpty() ? player_source::rawValue(*m_active) : form;
    }
    if (m_other && otherPlayersAllowed())
        return QStringLiteral("MPRIS：") + m_other->name;
    return {};
}

std::optional<Song> PlayerActivityMonitor::electedSong() const
{
    if (!m_active)
        return std::nullopt;
    const auto entry = m_last.find(*m_active);
    if (entry == m_last.end() || !entry->second.isRunning)
        return std::nullopt;
    if (entry->second.song)
        return entry->second.song;
    const auto good = m_lastGood.find(*m_active);
    if (good != m_lastGood.end())
        return good->second;
    return std::nullopt;
}

QString PlayerActivityMonitor::osVersionText()
{
    static const QRegularExpression majorMinor(QStringLiteral(R"(^(\d+)\.(\d+))"));
    const auto match = majorMinor.match(QSysInfo::kernelVersion());
    const QString version = match.hasMatch()
                                ? QString::number(match.captured(1).toLongLong()) + QLatin1Char('.') +
                                      QString::number(match.captured(2).toLongLong())
                                : QStringLiteral("0.0");
    return QStringLiteral("Linux ") + version;
}

QString PlayerActivityMonitor::formatLocalReadDiag(const QString& osVersion, const QString& kugou,
                                                   const QString& qq, const QString& netease,
                                                   const QString& system)
{
    return osVersion + QStringLiteral(" 酷狗:") + kugou + QStringLiteral(" QQ:") + qq +
           QStringLiteral(" 网易云:") + netease + QStringLiteral(" 系统:") + system;
}

QString PlayerActivityMonitor::localReadDiag() const
{
    QString line = formatLocalReadDiag(osVersionText(), m_readers.kugou.diag(), m_readers.qqmusic.diag(),
                                       m_readers.netease.diag(), m_readers.nowPlaying.diag());
    const QString form = sourceForm();
    if (!form.isEmpty())
        line += QStringLiteral(" 来源:") + form;
    return line;
}
