#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QFile;
struct sqlite3;

// A small in-process SQLite reader for the players' databases.
//
// Thread safety: one object per thread; the functions keep no shared state.
class SqliteDatabase {
public:
    // Opens through a "file:…?mode=ro" URI, so the player's live file is never opened for
    // writing. None when the file cannot be opened.
    static std::optional<SqliteDatabase> openReadOnly(const QString& path);
    // Opens a private copy for reading and writing (a copy may need its journal replayed).
    static std::optional<SqliteDatabase> openCopy(const QString& path);

    SqliteDatabase(SqliteDatabase&& other) noexcept;
    SqliteDatabase& operator=(SqliteDatabase&& other) noexcept;
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;
    ~SqliteDatabase();

    // The first row's columns as texts (NULL reads as the empty text); none when the
    // statement fails (corrupt file, missing table, lock held past the busy wait) or
    // yields no row.
    std::optional<QStringList> firstRow(const QString& sql) const;

    // How long a statement waits for a writer's lock before it gives up.
    static constexpr int kBusyWait_ms = 100;

private:
    explicit SqliteDatabase(sqlite3* db) : m_db(db) {}
    static std::optional<SqliteDatabase> open(const QByteArray& name, int flags);
    sqlite3* m_db = nullptr;
};

// Creates the file, which must not exist yet, for writing with owner-only permissions
// (0600) from its first moment, whatever the umask; false when it exists or cannot be made.
bool createOwnerOnly(QFile& file);

// A copy of a database in a private temporary file (owner-only permissions), removed
// with its side files when the object goes, also on every error path. A write-ahead log
// beside the source travels with the copy, so rows not yet checkpointed are seen.
class PrivateDatabaseCopy {
public:
    // prefix + a fresh UUID + ".sqlite" in tempDir; none when the copy fails.
    static std::optional<PrivateDatabaseCopy> make(const QString& source, const QString& tempDir,
                                                   const QString& prefix);
    PrivateDatabaseCopy(PrivateDatabaseCopy&& other) noexcept;
    PrivateDatabaseCopy& operator=(PrivateDatabaseCopy&&) = delete;
    PrivateDatabaseCopy(const PrivateDatabaseCopy&) = delete;
    PrivateDatabaseCopy& operator=(const PrivateDatabaseCopy&) = delete;
    ~PrivateDatabaseCopy();

    const QString& path() const { return m_path; }

private:
    explicit PrivateDatabaseCopy(QString path) : m_path(std::move(path)) {}
    QString m_path;
};
