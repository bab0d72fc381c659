#pragma once

#include "core/song.h"
#include "players/file_times.h"
#include "players/status_text.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <utility>

// Works out NetEase Cloud Music's last played song from the player's local play history:
// the macOS client's SQLite store, the Linux 1.2.1 client's JSON history file, and the
// Windows client's "webdb.dat" in Wine prefixes. The newest play time of all wins. The
// players keep their databases open, so a private copy is queried; each result is kept
// while its file's date (file or write-ahead log) stands.
//
// Thread safety: one thread at a time (the monitor's poll); diag() from any thread.
class NeteaseMusicDetector {
public:
    // Where the song came from.
    enum class Form { mac, linuxClient, wine };
    using Reading = std::pair<Song, QString>;

    // A JSON history older than this names no song: the client has played nothing since.
    static constexpr std::chrono::minutes kHistoryFreshFor{60};
    // How much of the history file is read: its newest entries.
    static constexpr qint64 kHistoryHeadBytes = 1 << 20;
    // Bounds of the Wine prefix search.
    static constexpr int kMaxBottles = 64;
    static constexpr int kMaxUsers = 16;

    using Clock = std::function<TimeStamp()>;

    // Files are looked up below home; the private copies go to tempDir. `clock` tells the
    // history file's age.
    NeteaseMusicDetector(
        const QString& home, QString tempDir, Clock clock = [] { return std::chrono::system_clock::now(); });

    // The newest history entry's song and its play time (milliseconds since 1970, as stored).
    std::optional<Reading> currentWithID();
    // Which source the last song came from; none when the last read found none.
    std::optional<Form> lastForm() const { return m_lastForm; }

    // Looks for "webdb.dat" in the Wine prefixes (~/.deepinwine/<bottle>, ~/.wine), at most
    // kMaxBottles bottles of kMaxUsers users each. Done at the first read and when the
    // monitor sees the player start, never on every poll.
    void searchWinePrefixes();
    const QStringList& wineDatabases() const { return m_wineDatabases; }

    // The first candidate that exists, else the first candidate.
    QString sqlitePath() const;
    const QStringList& sqliteCandidates() const { return m_candidates; }
    QString historyJsonPath() const { return m_historyJson; }
    // The file the last song came from; else the first that exists of the Linux history and
    // the Wine databases found; else sqlitePath().
    QString sourcePath() const;
    QString diag() const { return m_diag.get(); }

private:
    struct Cached {
        std::optional<TimeStamp> date;
        std::optional<Reading> result;
        QString diag;
    };
    // One database read through the cache; none (and no cache entry) when the file is missing.
    std::optional<Cached> readDatabase(const QString& path);
    std::optional<Cached> readJsonHistory();
    Cached readHistory(const QString& path) const;

    QString m_home;
    QStringList m_candidates;
    QString m_historyJson;
    QString m_tempDir;
    Clock m_clock;
    QStringList m_wineDatabases;
    bool m_searched = false;
    StatusText m_diag;
    QHash<QString, Cached> m_cache;
    std::optional<Form> m_lastForm;
    QString m_lastPath;
};
