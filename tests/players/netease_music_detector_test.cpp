#include "player_fixtures.h"
#include "player_home.h"
#include "players/netease_history.h"
#include "players/netease_music_detector.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace std::chrono_literals;

namespace {

class NeteaseTest : public ::testing::Test {
protected:
    QString first() const { return netease.sqliteCandidates().at(0); }

    // The history table with an older decoy row and the given newest row.
    bool writeHistory(const QString& path, const QString& playtime, const QString& jsonExpression)
    {
        return runSql(
            path,
            {QStringLiteral("CREATE TABLE historyTracks (id TEXT, playtime INTEGER, jsonStr TEXT)"),
             QStringLiteral("CREATE TABLE tracks (jsonStr TEXT)"),
             QStringLiteral("INSERT INTO tracks VALUES ('{\"name\":\"Decoy\"}')"),
             QStringLiteral("INSERT INTO historyTracks VALUES ('1', 1600000000000, "
                            "'{\"name\":\"Older\",\"artists\":[{\"name\":\"O\"}]}')"),
             QStringLiteral("INSERT INTO historyTracks VALUES ('2', %1, %2)").arg(playtime, jsonExpression)});
    }

    PlayerHome home;
    NeteaseMusicDetector netease{home.path(), home.tempDir()};
};

} // namespace

TEST_F(NeteaseTest, NewestHistoryRowFromAPrivateCopy)
{
    ASSERT_TRUE(writeHistory(first(), QStringLiteral("1700000000000"),
                             QStringLiteral("'{\"name\":\"Song A\",\"artists\":[{\"name\":\"X\"},{\"id\":3},"
                                            "{\"name\":\"Y\"}]}' || char(10)")));
    const auto current = netease.currentWithID();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->first.title, QStringLiteral("Song A"));
    EXPECT_EQ(current->first.artist, QStringLiteral("X、Y"));
    EXPECT_EQ(current->second, QStringLiteral("1700000000000"));
    EXPECT_EQ(netease.diag(), QStringLiteral("读到"));
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

TEST(NeteaseTrack, JsonShapes)
{
    EXPECT_FALSE(netease_history::parseTrack(QStringLiteral("{\"name\":\"\",\"artists\":[]}")));
    EXPECT_EQ(netease_history::parseTrack(QStringLiteral("{\"name\":\"T\"}"))->artist, QString());
    EXPECT_EQ(netease_history::parseTrack(QStringLiteral("{\"name\":\"T\",\"artists\":\"X\"}"))->artist,
              QString());
    EXPECT_FALSE(netease_history::parseTrack(QStringLiteral("[{\"name\":\"T\"}]")));
    EXPECT_FALSE(netease_history::parseTrack(QStringLiteral("{\"name\":7}")));
    EXPECT_FALSE(netease_history::parseTrack(QStringLiteral("{\"name\":\"T\"")));
    EXPECT_FALSE(netease_history::parseTrack(QString(100000, QLatin1Char('['))));
}

TEST_F(NeteaseTest, SecondLocationServesWhenTheFirstIsMissing)
{
    EXPECT_FALSE(netease.currentWithID());
    EXPECT_EQ(netease.diag(), QStringLiteral("未安装/无数据库"));
    EXPECT_EQ(netease.sqlitePath(), first());

    const QString second = netease.sqliteCandidates().at(1);
    ASSERT_TRUE(writeHistory(second, QStringLiteral("1700000000001"), QStringLiteral("'{\"name\":\"B\"}'")));
    EXPECT_EQ(netease.sqlitePath(), second);
    EXPECT_EQ(netease.currentWithID()->second, QStringLiteral("1700000000001"));
}

TEST_F(NeteaseTest, FailureIsKeptWhileTheDatabaseDateStands)
{
    ASSERT_TRUE(writeHistory(first(), QStringLiteral("1700000000000"), QStringLiteral("'{\"name\":\"\"}'")));
    const auto date = std::chrono::system_clock::now() - 1min;
    setModificationTime(first(), date);
    EXPECT_FALSE(netease.currentWithID());
    EXPECT_EQ(netease.diag(), QStringLiteral("没有播放记录"));

    ASSERT_TRUE(runSql(first(), {QStringLiteral("UPDATE historyTracks SET jsonStr = '{\"name\":\"Now\"}'")}));
    setModificationTime(first(), date);
    EXPECT_FALSE(netease.currentWithID());
    setModificationTime(first(), date + 1s);
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Now"));
}

TEST_F(NeteaseTest, RowsStillInTheWriteAheadLogAreSeen)
{
    ASSERT_TRUE(
        writeHistory(first(), QStringLiteral("1700000000000"), QStringLiteral("'{\"name\":\"Old\"}'")));
    ASSERT_TRUE(runSql(first(), {QStringLiteral("PRAGMA journal_mode=WAL")}));
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Old"));

    // The player keeps its connection open, so the new row stays in the log.
    sqlite3* player = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(first()).constData(), &player), SQLITE_OK);
    const auto mainDate = file_times::modificationDate(first());
    ASSERT_EQ(sqlite3_exec(player,
                           "PRAGMA wal_autocheckpoint=0; INSERT INTO historyTracks VALUES "
                           "('3', 1800000000000, '{\"name\":\"New\"}')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    setModificationTime(first(), *mainDate);
    setModificationTime(first() + QStringLiteral("-wal"), *mainDate + 1s);
    const auto current = netease.currentWithID();
    sqlite3_close(player);
    ASSERT_TRUE(current);
    EXPECT_EQ(current->first.title, QStringLiteral("New"));
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

TEST_F(NeteaseTest, HostileDatabasesGiveNoSong)
{
    struct Case {
        const char* what;
        QString json;
    };
    const QString big =
        QStringLiteral("'{\"name\":\"Big\",\"pad\":\"' || replace(hex(zeroblob(5000000)), '00', "
                       "'ab') || '\"}'");
    const std::vector<Case> cases = {
        {"not UTF-8", QStringLiteral("CAST(X'7B226E616D65223A22FFFE227D' AS TEXT)")},
        {"10 MB of junk", QStringLiteral("hex(zeroblob(5000000))")},
        {"NULL", QStringLiteral("NULL")},
    };
    int n = 0;
    for (const Case& c : cases) {
        QFile::remove(first());
        ASSERT_TRUE(writeHistory(first(), QStringLiteral("1700000000000"), c.json)) << c.what;
        setModificationTime(first(), std::chrono::system_clock::now() + std::chrono::seconds(++n));
        EXPECT_FALSE(netease.currentWithID()) << c.what;
        EXPECT_EQ(netease.diag(), QStringLiteral("没有播放记录")) << c.what;
    }
    QFile::remove(first());
    ASSERT_TRUE(writeHistory(first(), QStringLiteral("1700000000000"), big));
    setModificationTime(first(), std::chrono::system_clock::now() + 1h);
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Big"));

    ASSERT_TRUE(writeFile(first(), QByteArray(20000, '\xa5')));
    setModificationTime(first(), std::chrono::system_clock::now() + 2h);
    EXPECT_FALSE(netease.currentWithID());
    EXPECT_EQ(netease.diag(), QStringLiteral("没有播放记录"));

    // A location that cannot be copied (a folder in the file's place).
    QFile::remove(first());
    QDir().mkpath(first());
    NeteaseMusicDetector blocked(home.path(), home.tempDir());
    EXPECT_FALSE(blocked.currentWithID());
    EXPECT_EQ(blocked.diag(), QStringLiteral("数据库被占用读不了"));
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

namespace {

// One entry of the Linux client's history file.
QByteArray historyEntry(const QString& title, const QString& artist, qint64 time_ms)
{
    return QStringLiteral(
               R"({"track":{"name":"%1","id":1,"artists":[{"name":"%2"}],"album":{"name":"A"}},"time":%3})")
        .arg(title, artist)
        .arg(time_ms)
        .toUtf8();
}

// The Windows client's library in a deepin-wine bottle, its columns in another order than the
// macOS client's.
QString wineLibrary(const QString& home, const QString& bottle, const char* profilePath)
{
    return home + QStringLiteral("/.deepinwine/") + bottle + QStringLiteral("/drive_c/users/tester/") +
           QLatin1String(profilePath) + QStringLiteral("/NetEase/CloudMusic/Library/webdb.dat");
}

bool writeWineHistory(const QString& path, const QString& title, qint64 playtime)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return runSql(path,
                  {QStringLiteral("CREATE TABLE historyTracks (jsonStr TEXT, id TEXT, playtime INTEGER)"),
                   QStringLiteral("INSERT INTO historyTracks VALUES ('{\"name\":\"%1\",\"artists\":"
                                  "[{\"name\":\"W\"}]}', '9', %2)")
                       .arg(title)
                       .arg(playtime)});
}

} // namespace

TEST_F(NeteaseTest, LinuxClientHistoryFileNewestFreshEntry)
{
    const QString path = netease.historyJsonPath();
    // Newest first, as the client writes it, in a 50 MB history cut off mid-entry (the client
    // rewriting it): only the head is read, and an entry without a time is passed over.
    const QByteArray older =
        ("," + historyEntry(QStringLiteral("Older"), QStringLiteral("B"), 1700000000000)).repeated(1000);
    QByteArray history = "[" + QByteArray(R"({"track":{"name":"No time"}},)") +
                         historyEntry(QStringLiteral("Newest"), QStringLiteral("C"), 1700000005000) +
                         older.repeated((50 << 20) / older.size());
    history.chop(40);
    ASSERT_TRUE(writeFile(path, history));
    TimeStamp now = std::chrono::system_clock::now();
    NeteaseMusicDetector client(home.path(), home.tempDir(), [&] { return now; });
    auto current = client.currentWithID();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->first.title, QStringLiteral("Newest"));
    EXPECT_EQ(current->first.artist, QStringLiteral("C"));
    EXPECT_EQ(current->second, QStringLiteral("1700000005000"));
    EXPECT_EQ(client.lastForm(), NeteaseMusicDetector::Form::linuxClient);
    EXPECT_EQ(client.sourcePath(), path);
    // An hour on with nothing new played, the same file (its reading cached) names no song.
    now += 61min;
    EXPECT_FALSE(client.currentWithID());
    EXPECT_EQ(client.diag(), QStringLiteral("播放记录超过 60 分钟没更新（当没有）"));

    const QByteArray good =
        "[" + historyEntry(QStringLiteral("Song"), QStringLiteral("S"), 1700000000000) + "]";
    const std::vector<std::pair<const char*, QByteArray>> hostile = {
        {"broken JSON", "[{\"track\":{\"name\":\"Half"},
        {"half-written", good.left(good.size() / 2)},
        {"no time", R"([{"track":{"name":"T","artists":[]}}])"},
        {"not an array", R"({"track":{"name":"T"},"time":1})"},
        {"first entry beyond the head",
         "[" + historyEntry(QString(2 << 20, u'a'), QStringLiteral("S"), 1) + "]"},
        {"nested deep", "[{\"a\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}]"},
    };
    int n = 0;
    for (const auto& [what, bytes] : hostile) {
        ASSERT_TRUE(writeFile(path, bytes)) << what;
        // A date of its own for every case, so that the cache never answers.
        setModificationTime(path, std::chrono::system_clock::now() - std::chrono::milliseconds(++n));
        EXPECT_FALSE(netease.currentWithID()) << what;
        EXPECT_EQ(netease.diag(), QStringLiteral("没有播放记录")) << what;
    }

    // Control characters and a 10 000-character title are carried, never trusted: no crash,
    // and the song keeps its text for the later plausibility rules.
    ASSERT_TRUE(
        writeFile(path, "[" + historyEntry(QString(10000, u'x'), QStringLiteral("A\\u0007B"), 1) + "]"));
    const auto odd = netease.currentWithID();
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->first.title.size(), 10000);
    EXPECT_EQ(odd->first.artist, QStringLiteral("A\aB"));
}

TEST_F(NeteaseTest, WineBottlesAreSearchedBoundedAndTheNewestPlayWins)
{
    const QString older = wineLibrary(home.path(), QStringLiteral("Deepin-CloudMusic"), "AppData/Local");
    ASSERT_TRUE(writeWineHistory(older, QStringLiteral("Older"), 1700000000000));
    // Where support is pointed before any song is read.
    netease.searchWinePrefixes();
    EXPECT_EQ(netease.sourcePath(), older);
    auto current = netease.currentWithID();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->first.title, QStringLiteral("Older"));
    EXPECT_EQ(current->first.artist, QStringLiteral("W"));
    EXPECT_EQ(netease.lastForm(), NeteaseMusicDetector::Form::wine);
    EXPECT_EQ(netease.diag(), QStringLiteral("读到"));
    EXPECT_TRUE(home.leftInTemp().isEmpty());

    // A bottle made later is seen only after a new search (the player starting), and a plain
    // ~/.wine prefix with the XP-style profile counts too.
    const QString plain =
        home.path() + QStringLiteral("/.wine/drive_c/users/tester/Local Settings/Application Data/"
                                     "NetEase/CloudMusic/Library/webdb.dat");
    ASSERT_TRUE(writeWineHistory(plain, QStringLiteral("Newer"), 1700000009000));
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Older"));
    netease.searchWinePrefixes();
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Newer"));

    // A database another process holds locked is still read through the private copy; a
    // half-written one gives no song and no crash.
    sqlite3* player = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(plain).constData(), &player), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(
            player,
            "BEGIN EXCLUSIVE; INSERT INTO historyTracks VALUES ('{\"name\":\"Locked\"}', '1', 1800000000000)",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    setModificationTime(plain, std::chrono::system_clock::now() + 1min);
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Newer"));
    sqlite3_exec(player, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(player);
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.resize(file.size() / 3));
    file.close();
    setModificationTime(plain, std::chrono::system_clock::now() + 2min);
    EXPECT_EQ(netease.currentWithID()->first.title, QStringLiteral("Older"));
    EXPECT_TRUE(home.leftInTemp().isEmpty());

    // The search looks at no more than kMaxBottles bottles (in name order).
    PlayerHome crowded;
    for (int i = 0; i < NeteaseMusicDetector::kMaxBottles; ++i)
        QDir().mkpath(crowded.path() +
                      QStringLiteral("/.deepinwine/a%1/drive_c/users").arg(i, 3, 10, QLatin1Char('0')));
    ASSERT_TRUE(writeWineHistory(wineLibrary(crowded.path(), QStringLiteral("z-last"), "AppData/Local"),
                                 QStringLiteral("Beyond"), 1700000000000));
    NeteaseMusicDetector bounded(crowded.path(), crowded.tempDir());
    EXPECT_FALSE(bounded.currentWithID());
    EXPECT_TRUE(bounded.wineDatabases().isEmpty());
}
