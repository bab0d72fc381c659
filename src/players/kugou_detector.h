#pragma once

#include "core/song.h"
#include "players/file_times.h"
#include "players/kugou_playlist.h"
#include "players/status_text.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

// Works out Kugou's current song: the current play-list file first; only when that file
// is missing or unreadable, the newest play record of Kugou's library database, if it
// started no more than 60 minutes ago. Opens nothing of Kugou's for writing.
//
// Thread safety: one thread at a time (the monitor's poll); the status texts from any thread.
class KuGouDetector {
public:
    using Clock = std::function<TimeStamp()>;
    static constexpr int kMaxAge_min = 60;

    // Files are looked up below home; clock gives "now" for the database age rule.
    explicit KuGouDetector(const QString& home, Clock clock = std::chrono::system_clock::now);

    std::optional<Song> current();
    std::optional<Song> currentFromDB();

    const QString& playlistPath() const { return m_playlistPath; }
    const QStringList& dbCandidates() const { return m_dbCandidates; }
    QString diag() const { return m_diag.get(); }
    QString dbDiag() const { return m_dbDiag.get(); }

private:
    KugouPlaylistReading parsePlaylist() const;
    std::optional<Song> newestPlay(const QString& db);

    QString m_playlistPath;
    QStringList m_dbCandidates;
    Clock m_clock;
    StatusText m_diag;
    StatusText m_dbDiag;

    struct PlaylistCache {
        std::optional<TimeStamp> mtime;
        bool usable = false;
        std::optional<Song> song;
    };
    std::optional<PlaylistCache> m_playlistCache;
    std::optional<std::pair<TimeStamp, std::optional<Song>>> m_dbCache;
};
