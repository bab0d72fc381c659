#pragma once

#include "core/song.h"
#include "platform/folder_activity_watch.h"
#include "players/file_times.h"
#include "players/qq_play_list.h"
#include "players/status_text.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

// Works out QQ Music's current song from the files it keeps under the home directory:
// the play-list archive, the lyric cache database, the audio cache and the song
// metadata database. Never writes into QQ Music's files.
//
// Thread safety: one thread at a time (the monitor's poll); diag() from any thread.
class QQMusicDetector {
public:
    using Reading = std::pair<qint64, TimeStamp>; // song id, time
    using Candidate = std::pair<Song, TimeStamp>;

    static constexpr std::chrono::milliseconds kLyricRecheck{1000};
    static constexpr std::chrono::milliseconds kAccessMoveMin{500};
    static constexpr int kMetaCacheLimit = 201;

    // The files are looked up below home; copies of the metadata database go to tempDir.
    explicit QQMusicDetector(const QString& home, QString tempDir);
    // The process-wide reader over the user's home and temporary folders.

    // The song at the archive's last-playing index, with "id|title".
    std::optional<std::pair<Song, QString>> currentWithID();
    // The most recently accessed lyric file of the lyric cache; queried at most once a second,
    // and only when the database has changed since the last query.
    std::optional<Reading> lyricCacheRead();
    // The audio cache file whose access time moved most recently since the last scan.
    std::optional<Reading> lastCacheRead();
    // A song id looked up in the play list, then in the metadata database.
    std::optional<Song> song(qint64 songId);
    // The newest candidate, unless a newer play whose song is unknown is in progress.
    static std::optional<Candidate> newest(const std::vector<std::optional<Candidate>>& candidates,
                                           std::optional<TimeStamp> unresolvedAt);

    const QString& archivePath() const { return m_archivePath; }
    const QString& cacheDir() const { return m_cacheDir; }
    const QString& lyricDbPath() const { return m_lyricDbPath; }
    const QString& metaDbPath() const { return m_metaDbPath; }
    QString diag() const { return m_diag.get(); }

private:
    std::optional<QQPlayList> decodeArchive();
    std::optional<QQPlayList> parseList();
    std::optional<Reading> queryLyricCache() const;
    std::optional<Song> queryMeta(qint64 songId) const;
    std::optional<Song> songFromMeta(qint64 songId);

    QString m_archivePath;
    QString m_cacheDir;
    QString m_lyricDbPath;
    QString m_metaDbPath;
    QString m_tempDir;

    StatusText m_diag;
    std::optional<std::pair<std::optional<TimeStamp>, std::optional<QQPlayList>>> m_parsedList;
    std::optional<std::pair<std::optional<TimeStamp>, std::optional<std::pair<Song, QString>>>>
        m_archiveCache;
    struct LyricCache {
        std::chrono::steady_clock::time_point checkedAt;
        std::optional<TimeStamp> databaseDate;
        std::optional<Reading> reading;
    };
    std::optional<LyricCache> m_lyricCache;
    platform::FolderActivityWatch m_cacheWatch;
    QHash<QByteArray, TimeStamp> m_cacheAtimes; // by path below cacheDir
    QHash<qint64, Song> m_metaCache;
    // Ids the metadata database did not know, while its file stays unchanged.
    QSet<qint64> m_metaMisses;
    std::optional<TimeStamp> m_metaMissesDate;
};
