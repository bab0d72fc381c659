#include "player_fixtures.h"
#include "player_home.h"
#include "players/netease_history.h"
#include "players/netease_music_detector.h"

#include <QDir>
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
