#pragma once

#include "core/song.h"
#include "players/file_times.h"
#include "players/status_text.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

// Works out NetEase Cloud Music's last played song from the play history in its local
// SQLite store. The player keeps the database open, so a private copy is queried; the
// result is kept while the database's date (file or write-ahead log) stands.
//
// Thread safety: one thread at a time (the monitor's poll); diag() from any thread.
class NeteaseMusicDetector {
public:
    // Files are looked up below home; the private copies go to tempDir.
    NeteaseMusicDetector(const QString& home, QString tempDir);

    // The newest history row's song and its play time (milliseconds since 1970, as stored).
    std::optional<std::pair<Song, QString>> currentWithID();

    // The first candidate that exists, else the first candidate.
    QString sqlitePath() const;
    const QStringList& sqliteCandidates() const { return m_candidates; }
    QString diag() const { return m_diag.get(); }

private:
    std::optional<std::pair<Song, QString>> readHistory(const QString& path);

    QStringList m_candidates;
    QString m_tempDir;
    StatusText m_diag;
    std::optional<std::pair<std::optional<TimeStamp>, std::optional<std::pair<Song, QString>>>> m_sqliteCache;
};
