#include "player_fixtures.h"
#include "players/netease_history.h"
#include "players/netease_music_detector.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

class NeteaseTest : public ::testing::Test {
protected:
    QString first() const { return netease.sqliteCandidates().at(0); }
    QString read() { return songText(netease.currentWithID()); }
    // Gives the file a date of its own, so that no cached answer stands.
    void touch(const QString& path)
    {
        setModificationTime(path, std::chrono::system_clock::now() + ++m_bump * 1s);
    }

    // The history table with an older decoy row and the given newest row.
    bool writeHistory(const QString& path, const QString& playtime, const QString& jsonExpression)
    {
        return runSql(path,
                      {u"CREATE TABLE historyTracks (id TEXT, playtime INTEGER, jsonStr TEXT)"_s,
                       u"CREATE TABLE tracks (jsonStr TEXT)"_s,
                       u"INSERT INTO tracks VALUES ('{\"name\":\"Decoy\"}')"_s,
                       u"INSERT INTO historyTracks VALUES ('1', 1600000000000, "
                       "'{\"name\":\"Older\",\"artists\":[{\"name\":\"O\"}]}')"_s,
                       u"INSERT INTO historyTracks VALUES ('2', %1, %2)"_s.arg(playtime, jsonExpression)});
    }

    PlayerHome home;
    NeteaseMusicDetector netease{home.path(), home.tempDir()};
    int m_bump = 0;
};

// The Windows client's library in a deepin-wine bottle, its columns in another order than the
// macOS client's.
QString wineLibrary(const QString& home, const QString& bottle)
{
    return home + u"/.deepinwine/"_s + bottle +
           u"/drive_c/users/tester/AppData/Local/NetEase/CloudMusic/Library/webdb.dat"_s;
}

bool writeWineHistory(const QString& path, const QString& title, qint64 playtime)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return runSql(
        path,
        {u"CREATE TABLE historyTracks (jsonStr TEXT, id TEXT, playtime INTEGER)"_s,
         u"INSERT INTO historyTracks VALUES ('{\"name\":\"%1\",\"artists\":[{\"name\":\"W\"}]}', '9', %2)"_s
             .arg(title)
             .arg(playtime)});
}

// One entry of the Linux client's history file.
QByteArray historyEntry(const QString& title, const QString& artist, qint64 time_ms)
{
    return uR"({"track":{"name":"%1","id":1,"artists":[{"name":"%2"}],"album":{"name":"A"}},"time":%3})"_s
        .arg(title, artist)
        .arg(time_ms)
        .toUtf8();
}

} // namespace

// The track JSON of the databases and the head of the Linux client's history file.
TEST(NeteaseHistory, TrackJsonAndTheNewestEntryOfAHistoryHead)
{
    using netease_history::parseTrack;
    EXPECT_EQ(songText(parseTrack(u"{\"name\":\"T\",\"artists\":\"X\"}"_s)), u"T|"_s);
    // Artists without a name are passed over; the others join with "、".
    EXPECT_EQ(songText(parseTrack(uR"({"name":"T","artists":[{"name":"X"},{"id":3},{"name":"Y"}]})"_s)),
              u"T|X、Y"_s);
    for (const QString& hostile : {u"{\"name\":\"\",\"artists\":[]}"_s, u"[{\"name\":\"T\"}]"_s,
                                   u"{\"name\":7}"_s, u"{\"name\":\"T\""_s, QString(100000, u'[')})
        EXPECT_FALSE(parseTrack(hostile)) << hostile.left(20).toStdString();

    // Newest first, as the client writes it; an entry without a time is passed over. Control
    // characters and a 10 000-character title are carried, never trusted: the song keeps its
    // text for the later plausibility rules.
    const QByteArray good = "[" + historyEntry(u"Song"_s, u"S"_s, 1700000000000) + "]";
    const std::pair<QByteArray, QString> heads[] = {
        {"\xEF\xBB\xBF [ " + QByteArray(R"({"track":{"name":"No time"}}, )") +
             historyEntry(u"Newest"_s, u"C"_s, 1700000005000) + "," + good.mid(1),
         u"Newest|C|1700000005000"_s},
        {"[" + historyEntry(QString(10000, u'x'), u"A\\u0007B"_s, 1) + "]",
         QString(10000, u'x') + u"|A\aB|1"_s},
        {"[{\"track\":{\"name\":\"Half", {}},
        {good.left(good.size() / 2), {}},
        {R"([{"track":{"name":"T","artists":[]}}])", {}},
        {R"({"track":{"name":"T"},"time":1})", {}},
        {"[{\"a\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}]", {}},
    };
    for (const auto& [head, song] : heads)
        EXPECT_EQ(songText(netease_history::newestHistoryEntry(head)), song) << head.left(30).constData();
}

TEST_F(NeteaseTest, RowsStillInTheWriteAheadLogAreSeen)
{
    ASSERT_TRUE(writeHistory(first(), u"1700000000000"_s, u"'{\"name\":\"Old\"}'"_s));
    ASSERT_TRUE(runSql(first(), {u"PRAGMA journal_mode=WAL"_s}));
    EXPECT_EQ(read(), u"Old||1700000000000"_s);
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
    setModificationTime(first() + u"-wal"_s, *mainDate + 1s);
    const QString seen = read();
    sqlite3_close(player);
    EXPECT_EQ(seen, u"New||1800000000000"_s);
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

TEST_F(NeteaseTest, HostileDatabasesGiveNoSong)
{
    const std::pair<const char*, QString> cases[] = {
        {"not UTF-8", u"CAST(X'7B226E616D65223A22FFFE227D' AS TEXT)"_s},
        {"10 MB of junk", u"hex(zeroblob(5000000))"_s},
        {"NULL", u"NULL"_s},
    };
    for (const auto& [what, json] : cases) {
        QFile::remove(first());
        ASSERT_TRUE(writeHistory(first(), u"1700000000000"_s, json)) << what;
        touch(first());
        EXPECT_EQ(read(), QString()) << what;
        EXPECT_EQ(netease.diag(), u"没有播放记录"_s) << what;
    }
    QFile::remove(first());
    ASSERT_TRUE(writeHistory(
        first(), u"1700000000000"_s,
        u"'{\"name\":\"Big\",\"pad\":\"' || replace(hex(zeroblob(5000000)), '00', 'ab') || '\"}'"_s));
    touch(first());
    EXPECT_TRUE(read().startsWith(u"Big|"_s));

    ASSERT_TRUE(writeFile(first(), QByteArray(20000, '\xa5')));
    touch(first());
    EXPECT_EQ(read(), QString());
    EXPECT_EQ(netease.diag(), u"没有播放记录"_s);

    // A location that cannot be copied (a folder in the file's place).
    QFile::remove(first());
    QDir().mkpath(first());
    NeteaseMusicDetector blocked(home.path(), home.tempDir());
    EXPECT_FALSE(blocked.currentWithID());
    EXPECT_EQ(blocked.diag(), u"数据库被占用读不了"_s);
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

TEST_F(NeteaseTest, LinuxClientHistoryFileNewestFreshEntryOfItsHead)
{
    const QString path = netease.historyJsonPath();
    // A 50 MB history cut off mid-entry (the client rewriting it): only the head is read.
    const QByteArray older = ("," + historyEntry(u"Older"_s, u"B"_s, 1700000000000)).repeated(1000);
    QByteArray history =
        "[" + historyEntry(u"Newest"_s, u"C"_s, 1700000005000) + older.repeated((50 << 20) / older.size());
    history.chop(40);
    ASSERT_TRUE(writeFile(path, history));
    TimeStamp now = std::chrono::system_clock::now();
    NeteaseMusicDetector client(home.path(), home.tempDir(), [&] { return now; });
    EXPECT_EQ(songText(client.currentWithID()), u"Newest|C|1700000005000"_s);
    EXPECT_EQ(client.lastForm(), NeteaseMusicDetector::Form::linuxClient);
    EXPECT_EQ(client.sourcePath(), path);
    // An hour on with nothing new played, the same file (its reading cached) names no song.
    now += 61min;
    EXPECT_FALSE(client.currentWithID());
    EXPECT_EQ(client.diag(), u"播放记录超过 60 分钟没更新（当没有）"_s);
    // A first entry longer than the head is never read whole.
    ASSERT_TRUE(writeFile(path, "[" + historyEntry(QString(2 << 20, u'a'), u"S"_s, 1) + "]"));
    touch(path);
    EXPECT_EQ(read(), QString());
    EXPECT_EQ(netease.diag(), u"没有播放记录"_s);
}

TEST_F(NeteaseTest, WineBottlesAreSearchedBoundedAndTheNewestPlayWins)
{
    const QString older = wineLibrary(home.path(), u"Deepin-CloudMusic"_s);
    ASSERT_TRUE(writeWineHistory(older, u"Older"_s, 1700000000000));
    // Where support is pointed before any song is read.
    netease.searchWinePrefixes();
    EXPECT_EQ(netease.sourcePath(), older);
    EXPECT_EQ(read(), u"Older|W|1700000000000"_s);
    EXPECT_EQ(netease.lastForm(), NeteaseMusicDetector::Form::wine);
    EXPECT_EQ(netease.diag(), u"读到"_s);

    // A bottle made later is seen only after a new search (the player starting), and a plain
    // ~/.wine prefix with the XP-style profile counts too.
    const QString plain = home.path() + u"/.wine/drive_c/users/tester/Local Settings/Application Data/"
                                        "NetEase/CloudMusic/Library/webdb.dat"_s;
    ASSERT_TRUE(writeWineHistory(plain, u"Newer"_s, 1700000009000));
    EXPECT_EQ(read(), u"Older|W|1700000000000"_s);
    netease.searchWinePrefixes();
    EXPECT_EQ(read(), u"Newer|W|1700000009000"_s);

    // A database another process holds locked is still read through the private copy; a
    // half-written one gives no song and no crash.
    sqlite3* player = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(plain).constData(), &player), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(player,
                           "BEGIN EXCLUSIVE; INSERT INTO historyTracks VALUES ('{\"name\":\"Locked\"}', '1', "
                           "1800000000000)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    touch(plain);
    EXPECT_EQ(read(), u"Newer|W|1700000009000"_s);
    sqlite3_exec(player, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(player);
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.resize(file.size() / 3));
    file.close();
    touch(plain);
    EXPECT_EQ(read(), u"Older|W|1700000000000"_s);
    EXPECT_TRUE(home.leftInTemp().isEmpty());

    // The search looks at no more than kMaxBottles bottles (in name order).
    PlayerHome crowded;
    for (int i = 0; i < NeteaseMusicDetector::kMaxBottles; ++i)
        QDir().mkpath(crowded.path() + u"/.deepinwine/a%1/drive_c/users"_s.arg(i, 3, 10, QLatin1Char('0')));
    ASSERT_TRUE(writeWineHistory(wineLibrary(crowded.path(), u"z-last"_s), u"Beyond"_s, 1700000000000));
    NeteaseMusicDetector bounded(crowded.path(), crowded.tempDir());
    EXPECT_FALSE(bounded.currentWithID());
    EXPECT_TRUE(bounded.wineDatabases().isEmpty());
}
