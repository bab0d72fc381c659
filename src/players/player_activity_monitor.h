#pragma once

#include "core/cancellation.h"
#include "core/song.h"
#include "players/file_times.h"
#include "players/player_source.h"

#include <QString>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class KuGouDetector;
class NeteaseMusicDetector;
class NowPlaying;
class QQMusicDetector;
namespace platform {
class RunningApplications;
}

// Which of the three desktop players the user listens to, and the song it shows. One poll
// runs the readers of the running players (QQ Music's always), lays the now-playing
// information over them and elects one player.
//
// Thread safety: the monitor's state (update, activeSong, active) belongs to the main thread.
// readAll() walks caches, copies databases and may wait on SQLite locks, so the loop calls
// pollAsync(), which runs it on the monitor's serial executor and applies the result on the
// calling thread. readAll() and poll() directly are for tests and tools, one call at a time.
class PlayerActivityMonitor {
public:
    // What one poll saw of one player.
    struct Snapshot {
        std::optional<Song> song;
        // Changes when the song changes: "artist|title", NetEase's play-time text, or the
        // now-playing identity.
        std::optional<QString> identity;
        // When the reader's evidence for this song was last written.
        std::optional<TimeStamp> activity;
        bool isRunning = false;
        bool isPlaying = false;
        // The player runs as its Windows client under Wine.
        bool underWine = false;
        // How the song was read, for support ("网易云（Wine）", "网易云 1.2.1"); empty
        // stands for the player's raw value.
        QString form = {};
    };
    using States = std::map<PlayerSource, Snapshot>;
    using Clock = std::function<TimeStamp()>;

    struct Readers {
        KuGouDetector& kugou;
        QQMusicDetector& qqmusic;
        NeteaseMusicDetector& netease;
        NowPlaying& nowPlaying;
        std::shared_ptr<const platform::RunningApplications> applications;
        // Whether a playing MPRIS player that is none of the three may be the source (the
        // "otherPlayers" setting); empty means yes. Asked on the main thread.
        std::function<bool()> otherPlayers = {};
    };

    // A playing MPRIS player that is none of the three, with a title and an artist.
    struct OtherPlayer {
        Song song;
        // Its Identity: the source label.
        QString name;
    };

    // The readers must outlive the monitor.
    explicit PlayerActivityMonitor(Readers readers, Clock clock = std::chrono::system_clock::now);
    // Waits for a read still running on the executor.
    ~PlayerActivityMonitor();
    PlayerActivityMonitor(const PlayerActivityMonitor&) = delete;
    PlayerActivityMonitor& operator=(const PlayerActivityMonitor&) = delete;

    // Reads all players; always one entry for each of the three.
    States readAll();
    // Moves the per-player memory forward and elects `active`.
    void update(const States& states);
    // The other MPRIS player now playing, from the now-playing cache (never waits).
    std::optional<OtherPlayer> readOther();
    void updateOther(std::optional<OtherPlayer> other) { m_other = std::move(other); }
    void poll()
    {
        update(readAll());
        updateOther(readOther());
    }
    // readAll() on the serial executor, then update() here. False when stopped first or
    // when the previous read is still running (nothing is applied then).
    QCoro::Task<bool> pollAsync(std::stop_token token);

    // Runs `job` on the executor the reads run on, one at a time with them, so that it may
    // use the readers (the diagnostic report reads their locations and status).
    template <typename Job> auto runWithReaders(Job job)
    {
        return QtConcurrent::run(&m_readExecutor, std::move(job));
    }

    // The elected player's song; when it has none, the other MPRIS player's (if allowed).
    std::optional<Song> activeSong() const;
    std::optional<PlayerSource> active() const { return m_active; }
    // The label of activeSong(): the elected player's raw value, the other player's Identity,
    // or the elected player's raw value without a song, or empty.
    QString sourceLabel() const;
    // How the song was found, for support: "网易云（Wine）", "网易云 1.2.1", "MPRIS：Spotify",
    // or the player's raw value; empty without a song.
    QString sourceForm() const;

    // "Linux 6.1 酷狗:… QQ:… 网易云:… 系统:…" over this monitor's readers, and " 来源:" with
    // sourceForm() when there is a song.
    QString localReadDiag() const;
    static QString formatLocalReadDiag(const QString& osVersion, const QString& kugou, const QString& qq,
                                       const QString& netease, const QString& system);
    // "Linux " and the kernel's major.minor.
    static QString osVersionText();

private:
    Snapshot readQQMusic(bool running);
    std::optional<Song> electedSong() const;
    bool otherPlayersAllowed() const { return !m_readers.otherPlayers || m_readers.otherPlayers(); }

    Readers m_readers;
    Clock m_clock;
    std::map<PlayerSource, Snapshot> m_last;
    std::map<PlayerSource, Song> m_lastGood;
    std::map<PlayerSource, TimeStamp> m_lastStart;
    std::optional<PlayerSource> m_active;
    std::optional<OtherPlayer> m_other;
    // Whether NetEase ran at the previous read (read thread only).
    bool m_neteaseWasRunning = false;
    QThreadPool m_readExecutor;
    bool m_reading = false;
    // Expires with the monitor: a poll resumed after the monitor is gone sees it.
    std::shared_ptr<void> m_lifetime = std::make_shared<int>(0);
};
