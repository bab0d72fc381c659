#include "players/sqlite_reader.h"

#include <QFile>
#include <QUrl>
#include <QUuid>
#include <array>
#include <memory>
#include <sqlite3.h>
#include <utility>

namespace {

constexpr std::array<const char*, 3> kSideFiles = {"-wal", "-shm", "-journal"};

} // namespace

bool createOwnerOnly(QFile& file)
{
    constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    // Created with mode 0600, so no other user can open it at any moment; the umask can
    // only take bits away, and setPermissions puts back what an odd umask took from us.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly))
        return false;
    if (!file.setPermissions(kOwnerOnly)) {
        file.remove();
        return false;
    }
    return true;
}

namespace {

// Copies into a new owner-only file; a partial copy is removed.
bool copyPrivately(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QFile out(target);
    if (!createOwnerOnly(out))
        return false;
    bool ok = true;
    constexpr qint64 kChunk = 1 << 20;
    while (ok && !in.atEnd()) {
        const QByteArray chunk = in.read(kChunk);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError)
            ok = false;
        else if (out.write(chunk) != chunk.size())
            ok = false;
    }
    out.close();
    if (!ok || in.error() != QFileDevice::NoError)
        ok = false;
    if (!ok)
        QFile::remove(target);
    return ok;
}

} // namespace

std::optional<SqliteDatabase> SqliteDatabase::open(const QByteArray& name, int flags)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(name.constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        return std::nullopt;
    }
    sqlite3_busy_timeout(db, kBusyWait_ms);
    return SqliteDatabase(db);
}

std::optional<SqliteDatabase> SqliteDatabase::openReadOnly(const QString& path)
{
    if (!QFile::exists(path))
        return std::nullopt;
    const QByteArray uri = "file:" + QUrl::toPercentEncoding(path, "/") + "?mode=ro";
    return open(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
}

std::optional<SqliteDatabase> SqliteDatabase::openCopy(const QString& path)
{
    if (!QFile::exists(path))
        return std::nullopt;
    return open(QFile::encodeName(path), SQLITE_OPEN_READWRITE);
}

SqliteDatabase::SqliteDatabase(SqliteDatabase&& other) noexcept : m_db(std::exchange(other.m_db, nullptr)) {}

SqliteDatabase& SqliteDatabase::operator=(SqliteDatabase&& other) noexcept
{
    if (this != &other) {
        sqlite3_close(m_db);
        m_db = std::exchange(other.m_db, nullptr);
    }
    return *this;
}

SqliteDatabase::~SqliteDatabase()
{
    sqlite3_close(m_db);
}

std::optional<QStringList> SqliteDatabase::firstRow(const QString& sql) const
{
    if (m_db == nullptr)
        return std::nullopt;
    sqlite3_stmt* raw = nullptr;
    const QByteArray text = sql.toUtf8();
    const int rc = sqlite3_prepare_v2(m_db, text.constData(), static_cast<int>(text.size()), &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    if (rc != SQLITE_OK || statement == nullptr || sqlite3_step(statement.get()) != SQLITE_ROW)
        return std::nullopt;
    QStringList columns;
    const int count = sqlite3_column_count(statement.get());
    for (int i = 0; i < count; ++i) {
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), i));
        const QByteArrayView bytes(value, value == nullptr ? 0 : sqlite3_column_bytes(statement.get(), i));
        // A text that is not UTF-8 reads as no answer, as the command-line tool would give.
        if (!bytes.isValidUtf8())
            return std::nullopt;
        columns.append(QString::fromUtf8(bytes));
    }
    return columns;
}

std::optional<PrivateDatabaseCopy> PrivateDatabaseCopy::make(const QString& source, const QString& tempDir,
                                                             const QString& prefix)
{
    const QString target = tempDir + QLatin1Char('/') + prefix +
                           QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".sqlite");
    if (!copyPrivately(source, target))
        return std::nullopt;
    PrivateDatabaseCopy copy(target);
    const QString wal = source + QStringLiteral("-wal");
    if (QFile::exists(wal) && !copyPrivately(wal, target + QStringLiteral("-wal")))
        return std::nullopt;
    return copy;
}

PrivateDatabaseCopy::PrivateDatabaseCopy(PrivateDatabaseCopy&& other) noexcept
    : m_path(std::exchange(other.m_path, QString()))
{}

PrivateDatabaseCopy::~PrivateDatabaseCopy()
{
    if (m_path.isEmpty())
        return;
    QFile::remove(m_path);
    for (const char* side : kSideFiles)
        QFile::remove(m_path + QLatin1String(side));
}
