#include "players/sqlite_reader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A permissive umask for one test, so that a file created with the defaults would be readable
// and writable by everyone.
struct PermissiveUmask {
    mode_t previous = ::umask(0);
    ~PermissiveUmask() { ::umask(previous); }
};

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// A running player's database in WAL mode with rows not yet checkpointed; the connection
// stays open so that the log is not folded in.
struct PlayerDatabase {
    explicit PlayerDatabase(const QString& path)
    {
        sqlite3_open(QFile::encodeName(path).constData(), &db);
        ok = sqlite3_exec(db,
                          "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                          "CREATE TABLE song(title TEXT); INSERT INTO song VALUES('晴天');",
                          nullptr, nullptr, nullptr) == SQLITE_OK &&
             QFile::exists(path + QStringLiteral("-wal"));
    }
    ~PlayerDatabase() { sqlite3_close(db); }
    sqlite3* db = nullptr;
    bool ok = false;
};

} // namespace

// The copy reads the player's uncheckpointed rows, every file of it is owner-only, and all
// of them go with the object. The kernel holds every open of a file in the copies folder
// until the test has looked at the new file's mode, so the moment right after creation is
// seen, not raced.
TEST(PrivateDatabaseCopy, OwnerOnlyFromTheFirstMomentAndGoneWithTheObject)
{
    PermissiveUmask umask;
    QTemporaryDir dir;
    QFile taken(dir.filePath(QStringLiteral("taken.sqlite")));
    ASSERT_TRUE(createOwnerOnly(taken));
    QFile again(taken.fileName());
    EXPECT_FALSE(createOwnerOnly(again)); // never writes into a file someone else put there

    const QString source = dir.filePath(QStringLiteral("player.db"));
    const PlayerDatabase player(source);
    ASSERT_TRUE(player.ok);
    const QString copies = dir.filePath(QStringLiteral("copies"));
    ASSERT_TRUE(QDir().mkpath(copies));
    // Permission events need CAP_SYS_ADMIN; without them (watch -1) only the final modes are seen.
    const int watch = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    ASSERT_TRUE(watch < 0 || fanotify_mark(watch, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD,
                                           QFile::encodeName(copies).constData()) == 0);

    std::atomic<bool> done = false;
    std::optional<PrivateDatabaseCopy> copy;
    std::thread copier([&] {
        if (auto made = PrivateDatabaseCopy::make(source, copies, QStringLiteral("qq-")))
            copy.emplace(std::move(*made));
        done = true;
    });
    QList<mode_t> modes;
    while (!done) {
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        alignas(fanotify_event_metadata) char buffer[4096];
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
        auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
        for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
            if (event->fd < 0)
                continue;
            struct stat st {};
            if (::fstat(event->fd, &st) == 0 && S_ISREG(st.st_mode))
                modes.append(st.st_mode & 07777);
            const fanotify_response allow{event->fd, FAN_ALLOW};
            EXPECT_EQ(::write(watch, &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
            ::close(event->fd);
        }
    }
    ::close(watch); // lets any open still held go on
    copier.join();
    ASSERT_TRUE(copy.has_value());
    if (watch >= 0) {
        EXPECT_EQ(modes, QList<mode_t>({0600, 0600})) << "the copy and its write-ahead log";
    }
    {
        auto db = SqliteDatabase::openCopy(copy->path());
        ASSERT_TRUE(db.has_value());
        EXPECT_EQ(db->firstRow(QStringLiteral("SELECT title FROM song")),
                  QStringList({QStringLiteral("晴天")}));
        // The side files SQLite makes for the copy follow the copy's mode.
        for (const QString& name : QDir(copies).entryList(QDir::Files | QDir::Hidden))
            EXPECT_EQ(modeOf(copies + QLatin1Char('/') + name), 0600) << name.toStdString();
    }
    copy.reset();
    EXPECT_TRUE(QDir(copies).isEmpty(QDir::Files | QDir::Hidden));
}
