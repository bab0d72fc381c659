#include "player_fixtures.h"
#include "players/kugou_detector.h"
#include "players/kugou_playlist.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString kListUnreadable = QStringLiteral("列表文件读不出（格式变了/空文件？）→ 试数据库");

class KugouTest : public ::testing::Test {
protected:
    // A Kugou library database whose newest play started `age` before now.
    bool writeDatabase(const QString& path, const QString& musicname, std::chrono::seconds age)
    {
        const double started = file_times::toSeconds(now - age);
        return runSql(path,
                      {QStringLiteral("CREATE TABLE Allmusic (musicname TEXT, singer TEXT, hash TEXT)"),
                       QStringLiteral("CREATE TABLE RecentPlay (songid INTEGER, LastPlayTime REAL)"),
                       QStringLiteral("CREATE TABLE Decoy (musicname TEXT)"),
                       QStringLiteral("INSERT INTO Decoy VALUES ('Decoy - Song')"),
                       QStringLiteral("INSERT INTO Allmusic VALUES ('Old - Song', 'x', 'h')"),
                       QStringLiteral("INSERT INTO Allmusic VALUES ('%1', 'Singer', 'h')").arg(musicname),
                       QStringLiteral("INSERT INTO RecentPlay VALUES (1, %1)").arg(started - 7200, 0, 'f', 3),
                       QStringLiteral("INSERT INTO RecentPlay VALUES (2, %1)").arg(started, 0, 'f', 3)});
    }

    TempHome home;
    TimeStamp now = file_times::fromSeconds(1750000000);
    KuGouDetector kugou{home.path(), [this] { return now; }};
};

} // namespace

TEST(KugouName, SplitsArtistAndTitleAsKugouShowsThem)
{
    auto check = [](const QString& name, const QString& singer, const QString& artist, const QString& title) {
        const auto song = kugou_playlist::parse(name, singer);
        ASSERT_TRUE(song) << name.toStdString();
        EXPECT_EQ(song->artist, artist);
        EXPECT_EQ(song->title, title);
    };
    check(QStringLiteral("Jay - Sunny Day"), QStringLiteral("X"), QStringLiteral("Jay"),
          QStringLiteral("Sunny Day"));
    check(QStringLiteral(" - Sunny Day"), QStringLiteral("Jay"), QStringLiteral("Jay"),
          QStringLiteral("Sunny Day"));
    check(QStringLiteral("Sunny Day"), QStringLiteral("Jay"), QStringLiteral("Jay"),
          QStringLiteral("Sunny Day"));
    check(QStringLiteral("Jay-Sunny Day"), QString(), QStringLiteral("Jay"), QStringLiteral("Sunny Day"));
    EXPECT_FALSE(kugou_playlist::parse(QStringLiteral("Sunny Day"), QString()));
    EXPECT_FALSE(
        kugou_playlist::parse(QStringLiteral("Jay - ") + QString(10000, QLatin1Char('t')), QString()));
}

TEST_F(KugouTest, PlayingEntryOfTheFirstListThatParses)
{
    const std::vector<std::vector<KugouEntry>> lists = {
        {{QStringLiteral("Idle - Song"), {}, {}, 0.0},
         {QString(), QStringLiteral("Jay - Skipped Empty Title"), {}, 3.0}, // empty musictitle: next entry
         {QStringLiteral("NoArtistHere"), {}, {}, 2.0},                     // does not parse: next list
         {QStringLiteral("Never - Reached"), {}, {}, 9.0}},
        {{{}, QStringLiteral("Jay - Sunny Day"), QStringLiteral("ignored"), 12.5}},
    };
    for (bool binary : {true, false}) {
        KuGouDetector reader(home.path());
        ASSERT_TRUE(writeFile(reader.playlistPath(), kugouPlaylist(lists, binary)));
        const auto song = reader.current();
        ASSERT_TRUE(song);
        EXPECT_EQ(song->title, QStringLiteral("Sunny Day"));
        EXPECT_EQ(song->artist, QStringLiteral("Jay"));
        EXPECT_EQ(reader.diag(), QStringLiteral("读到"));
    }
}

TEST_F(KugouTest, ReadableListWithoutPlayingEntryIsFinal)
{
    ASSERT_TRUE(writeDatabase(kugou.dbCandidates().at(0), QStringLiteral("Db - Song"), 60s));
    ASSERT_TRUE(writeFile(kugou.playlistPath(), kugouPlaylist({{{QStringLiteral("A - B"), {}, {}, 0.0}}})));
    EXPECT_FALSE(kugou.current());
    EXPECT_EQ(kugou.diag(), QStringLiteral("列表里没有正在播放的歌"));
    EXPECT_EQ(kugou.dbDiag(), StatusText::kUnchecked);
}

TEST_F(KugouTest, MissingListFallsBackToTheDatabaseWithinAnHour)
{
    EXPECT_FALSE(kugou.current());
    EXPECT_EQ(kugou.diag(), QStringLiteral("未安装/没跑过"));
    EXPECT_EQ(kugou.dbDiag(), QStringLiteral("没有找到酷狗数据库"));

    QDir().mkpath(QFileInfo(kugou.playlistPath()).absolutePath());
    const QString db = kugou.dbCandidates().at(0);
    ASSERT_TRUE(writeDatabase(db, QStringLiteral("Jay - Sunny Day"), 59min + 30s));
    const auto song = kugou.current();
    ASSERT_TRUE(song);
    EXPECT_EQ(song->title, QStringLiteral("Sunny Day"));
    // The missing list's answer is kept while its (absent) date stands.
    EXPECT_EQ(kugou.diag(), QStringLiteral("未安装/没跑过"));
    KuGouDetector fresh(home.path());
    fresh.current();
    EXPECT_EQ(fresh.diag(), QStringLiteral("无播放列表文件"));
    EXPECT_EQ(kugou.dbDiag(), QStringLiteral("读到（59 分钟前开播，kugou3.sqlite）"));

    // The accepted answer stands while the file is unchanged, however old it gets.
    now += 3h;
    EXPECT_TRUE(kugou.current());

    QFile::remove(db);
    ASSERT_TRUE(writeDatabase(db, QStringLiteral("Jay - Sunny Day"), 61min + 10s));
    setModificationTime(db, std::chrono::system_clock::now() + 1min);
    EXPECT_FALSE(kugou.current());
    EXPECT_EQ(kugou.dbDiag(), QStringLiteral("库里最近播放是 61 分钟前（超过 60 分钟，当没有）"));
}

TEST_F(KugouTest, EqualDatesChooseTheFirstListedDatabase)
{
    const QString first = kugou.dbCandidates().at(0);
    const QString third = kugou.dbCandidates().at(2);
    ASSERT_TRUE(writeDatabase(first, QStringLiteral("First - Song"), 10s));
    ASSERT_TRUE(writeDatabase(third, QStringLiteral("Third - Song"), 10s));
    const auto date = std::chrono::system_clock::now() - 1min;
    setModificationTime(first, date);
    setModificationTime(third, date);
    EXPECT_EQ(kugou.currentFromDB()->artist, QStringLiteral("First"));
    setModificationTime(third, date + 1s);
    EXPECT_EQ(kugou.currentFromDB()->artist, QStringLiteral("Third"));
    EXPECT_EQ(kugou.dbDiag(), QStringLiteral("读到（0 分钟前开播，playList.sqlite）"));
}

TEST_F(KugouTest, HostileFilesGiveStatusTextsNotSongs)
{
    const QString db = kugou.dbCandidates().at(1);
    ASSERT_TRUE(writeDatabase(db, QStringLiteral("Jay - Sunny Day"), 5min));

    // Unreadable lists: the database answers instead.
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("bplist00\xd1\x01\x02", 10), QByteArray(3000, '\xee'),
          QByteArray("<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>")}) {
        KuGouDetector reader(home.path(), [this] { return now; });
        ASSERT_TRUE(writeFile(reader.playlistPath(), bytes));
        EXPECT_EQ(reader.current()->title, QStringLiteral("Sunny Day"));
        EXPECT_EQ(reader.diag(), kListUnreadable);
    }

    // Every type wrong inside a readable list: nothing plays.
    const QByteArray wrongTypes =
        "<?xml version=\"1.0\"?><plist><dict><key>userPlayList</key><array>"
        "<string>x</string><array><string>y</string><dict><key>currentProgress</key>"
        "<string>5</string><key>musictitle</key><string>A - B</string></dict>"
        "<dict><key>currentProgress</key><real>1</real><key>musictitle</key>"
        "<integer>3</integer><key>musicName</key><true/></dict></array></array>"
        "</dict></plist>";
    KuGouDetector typed(home.path(), [this] { return now; });
    ASSERT_TRUE(writeFile(typed.playlistPath(), wrongTypes));
    EXPECT_FALSE(typed.current());
    EXPECT_EQ(typed.diag(), QStringLiteral("列表里没有正在播放的歌"));

    // A corrupt database.
    QFile::remove(typed.playlistPath());
    ASSERT_TRUE(writeFile(db, QByteArray("SQLite format 3\0", 16) + QByteArray(4096, '\x07')));
    KuGouDetector corrupt(home.path(), [this] { return now; });
    EXPECT_FALSE(corrupt.current());
    EXPECT_EQ(corrupt.dbDiag(), QStringLiteral("库里没有最近播放记录（kugou3.sqlite）"));
}

TEST_F(KugouTest, NonNumericPlayTimeCountsAsTooOld)
{
    const QString db = kugou.dbCandidates().at(0);
    ASSERT_TRUE(runSql(db, {QStringLiteral("CREATE TABLE Allmusic (musicname TEXT, singer TEXT)"),
                            QStringLiteral("CREATE TABLE RecentPlay (songid INTEGER, LastPlayTime TEXT)"),
                            QStringLiteral("INSERT INTO Allmusic VALUES ('Jay - Sunny Day', '')"),
                            QStringLiteral("INSERT INTO RecentPlay VALUES (1, 'yesterday')")}));
    EXPECT_FALSE(kugou.currentFromDB());
    EXPECT_EQ(kugou.dbDiag(), QStringLiteral("库里最近播放时间读不出来（kugou3.sqlite，当没有）"));
}
