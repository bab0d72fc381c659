#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <memory>
#include <mutex>
#include <optional>

struct sqlite3;

// One song the library knows a key for.
struct SongEntry {
    QString artist;
    QString title;
    QString key; // e.g. "A 小调"
    std::optional<QString> displayKey;
    std::optional<QString> reviewStatus;
    std::optional<double> confidence;
    std::optional<bool> lowConfidence;
};

struct LookupHit {
    SongEntry song;
    QString matchedBy; // "exact" or "variant"
};

// The server's SQLite store: songs, feedback, key reports and listening times.
//
// Thread safety: every member may be called from any thread (one lock guards the
// connection).
class KeyLibrary {
public:
    // Opens or creates the database (":memory:" for none); nullptr and `error` on failure.
    static std::unique_ptr<KeyLibrary> open(const QString& path, QString* error);
    ~KeyLibrary();
    KeyLibrary(const KeyLibrary&) = delete;
    KeyLibrary& operator=(const KeyLibrary&) = delete;

    // Adds or replaces the song with this exact artist and title.
    bool addSong(const SongEntry& song);
    // Loads a JSON list of songs (or {"songs": [...]}), all or nothing; the error text
    // names the first bad entry.
    std::optional<QString> seed(const QByteArray& json);

    // Exact artist and title first, then the first stored song that the client's
    // identity rule calls the same song.
    std::optional<LookupHit> lookup(const QString& artist, const QString& title);

    bool addFeedback(const QString& artist, const QString& title, const std::optional<QString>& key,
                     const std::optional<QString>& source, const std::optional<QString>& prevKey);
    bool addReport(const QString& artist, const QString& title, const QString& key, const QByteArray& body);
    bool addPlayDuration(const QString& artist, const QString& title, double seconds,
                         const std::optional<QString>& source, const std::optional<QString>& playerDiag);

    // Every row of "songs", "feedback", "key_reports" or "play_durations", oldest first;
    // empty for any other name.
    QList<QJsonObject> rows(const QString& table);

private:
    explicit KeyLibrary(sqlite3* db) : m_db(db) {}
    bool addSongLocked(const SongEntry& song);

    std::mutex m_mutex;
    sqlite3* m_db;
};
