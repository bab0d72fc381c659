#include "player_fixtures.h"
#include "players/kugou_detector.h"
#include "players/kugou_playlist.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

class KugouTest : public ::testing::Test {
protected:
    // A Kugou library database whose newest play started `age` before now.
    bool writeDatabase(const QString& path, const QString& musicname, std::chrono::seconds age)
    {
        const double started = file_times::toSeconds(now - age);
        return runSql(path, {u"CREATE TABLE Allmusic (musicname TEXT, singer TEXT, hash TEXT)"_s,
                             u"CREATE TABLE RecentPlay (songid INTEGER, LastPlayTime REAL)"_s,
                             u"CREATE TABLE Decoy (musicname TEXT)"_s,
                             u"INSERT INTO Decoy VALUES ('Decoy - Song')"_s,
                             u"INSERT INTO Allmusic VALUES ('Old - Song', 'x', 'h')"_s,
                             u"INSERT INTO Allmusic VALUES ('%1', 'Singer', 'h')"_s.arg(musicname),
                             u"INSERT INTO RecentPlay VALUES (1, %1)"_s.arg(started - 7200, 0, 'f', 3),
                             u"INSERT INTO RecentPlay VALUES (2, %1)"_s.arg(started, 0, 'f', 3)});
    }
    KuGouDetector reader()
    {
        return KuGouDetector(home.path(), [this] { return now; });
    }

    TempHome home;
    TimeStamp now = file_times::fromSeconds(1750000000);
    KuGouDetector kugou{home.path(), [this] { return now; }};
};

} // namespace

TEST(KugouName, SplitsArtistAndTitleAsKugouShowsThem)
{
    struct Case {
        QString name, singer, artist;
    };
    const Case cases[] = {
        {u"Jay - Sunny Day"_s, u"X"_s, u"Jay"_s}, {u" - Sunny Day"_s, u"Jay"_s, u"Jay"_s},
        {u"Sunny Day"_s, u"Jay"_s, u"Jay"_s},     {u"Jay-Sunny Day"_s, QString(), u"Jay"_s},
        {u"Sunny Day"_s, QString(), QString()},   {u"Jay - "_s + QString(10000, u't'), QString(), QString()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(songText(kugou_playlist::parse(c.name, c.singer)),
                  c.artist.isEmpty() ? QString() : u"Sunny Day|"_s + c.artist)
            << c.name.left(20).toStdString();
}

TEST_F(KugouTest, PlayingEntryOfTheFirstListThatParses)
{
    const std::vector<std::vector<KugouEntry>> lists = {
        {{u"Idle - Song"_s, {}, {}, 0.0},
         {QString(), u"Jay - Skipped Empty Title"_s, {}, 3.0}, // empty musictitle: next entry
         {u"NoArtistHere"_s, {}, {}, 2.0},                     // does not parse: next list
         {u"Never - Reached"_s, {}, {}, 9.0}},
        {{{}, u"Jay - Sunny Day"_s, u"ignored"_s, 12.5}},
    };
    for (bool binary : {true, false}) {
        KuGouDetector fromList = reader();
        ASSERT_TRUE(writeFile(fromList.playlistPath(), kugouPlaylist(lists, binary)));
        EXPECT_EQ(songText(fromList.current()), u"Sunny Day|Jay"_s);
        EXPECT_EQ(fromList.diag(), u"读到"_s);
    }
    // A readable list without a playing entry is final: the database is not asked.
    ASSERT_TRUE(writeDatabase(kugou.dbCandidates().at(0), u"Db - Song"_s, 60s));
    ASSERT_TRUE(writeFile(kugou.playlistPath(), kugouPlaylist({{{u"A - B"_s, {}, {}, 0.0}}})));
    EXPECT_FALSE(kugou.current());
    EXPECT_EQ(kugou.diag(), u"列表里没有正在播放的歌"_s);
    EXPECT_EQ(kugou.dbDiag(), StatusText::kUnchecked);
}

TEST_F(KugouTest, MissingListFallsBackToTheDatabaseWithinAnHour)
{
    EXPECT_FALSE(kugou.current());
    EXPECT_EQ(kugou.diag(), u"未安装/没跑过"_s);
    EXPECT_EQ(kugou.dbDiag(), u"没有找到酷狗数据库"_s);

    QDir().mkpath(QFileInfo(kugou.playlistPath()).absolutePath());
    const QString db = kugou.dbCandidates().at(0);
    ASSERT_TRUE(writeDatabase(db, u"Jay - Sunny Day"_s, 59min + 30s));
    EXPECT_EQ(kugou.current()->title, u"Sunny Day"_s);
    // The missing list's answer is kept while its (absent) date stands.
    EXPECT_EQ(kugou.diag(), u"未安装/没跑过"_s);
    KuGouDetector fresh = reader();
    fresh.current();
    EXPECT_EQ(fresh.diag(), u"无播放列表文件"_s);
    EXPECT_EQ(kugou.dbDiag(), u"读到（59 分钟前开播，kugou3.sqlite）"_s);

    // The accepted answer stands while the file is unchanged, however old it gets.
    now += 3h;
    EXPECT_TRUE(kugou.current());
    QFile::remove(db);
    ASSERT_TRUE(writeDatabase(db, u"Jay - Sunny Day"_s, 61min + 10s));
    setModificationTime(db, std::chrono::system_clock::now() + 1min);
    EXPECT_FALSE(kugou.current());
    EXPECT_EQ(kugou.dbDiag(), u"库里最近播放是 61 分钟前（超过 60 分钟，当没有）"_s);
}

TEST_F(KugouTest, EqualDatesChooseTheFirstListedDatabase)
{
    const QString first = kugou.dbCandidates().at(0), third = kugou.dbCandidates().at(2);
    ASSERT_TRUE(writeDatabase(first, u"First - Song"_s, 10s));
    ASSERT_TRUE(writeDatabase(third, u"Third - Song"_s, 10s));
    const auto date = std::chrono::system_clock::now() - 1min;
    setModificationTime(first, date);
    setModificationTime(third, date);
    EXPECT_EQ(kugou.currentFromDB()->artist, u"First"_s);
    setModificationTime(third, date + 1s);
    EXPECT_EQ(kugou.currentFromDB()->artist, u"Third"_s);
    EXPECT_EQ(kugou.dbDiag(), u"读到（0 分钟前开播，playList.sqlite）"_s);
}

TEST_F(KugouTest, HostileFilesGiveStatusTextsNotSongs)
{
    const QString db = kugou.dbCandidates().at(1);
    ASSERT_TRUE(writeDatabase(db, u"Jay - Sunny Day"_s, 5min));
    // Unreadable lists: the database answers instead.
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("bplist00\xd1\x01\x02", 10), QByteArray(3000, '\xee'),
          QByteArray("<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>")}) {
        KuGouDetector unreadable = reader();
        ASSERT_TRUE(writeFile(unreadable.playlistPath(), bytes));
        EXPECT_EQ(unreadable.current()->title, u"Sunny Day"_s);
        EXPECT_EQ(unreadable.diag(), u"列表文件读不出（格式变了/空文件？）→ 试数据库"_s);
    }

    // Every type wrong inside a readable list: nothing plays.
    const QByteArray wrongTypes =
        "<?xml version=\"1.0\"?><plist><dict><key>userPlayList</key><array>"
        "<string>x</string><array><string>y</string><dict><key>currentProgress</key>"
        "<string>5</string><key>musictitle</key><string>A - B</string></dict>"
        "<dict><key>currentProgress</key><real>1</real><key>musictitle</key>"
        "<integer>3</integer><key>musicName</key><true/></dict></array></array>"
        "</dict></plist>";
    KuGouDetector typed = reader();
    ASSERT_TRUE(writeFile(typed.playlistPath(), wrongTypes));
    EXPECT_FALSE(typed.current());
    EXPECT_EQ(typed.diag(), u"列表里没有正在播放的歌"_s);

    // A corrupt database, and one whose play time is no number.
    QFile::remove(typed.playlistPath());
    ASSERT_TRUE(writeFile(db, QByteArray("SQLite format 3\0", 16) + QByteArray(4096, '\x07')));
    KuGouDetector corrupt = reader();
    EXPECT_FALSE(corrupt.current());
    EXPECT_EQ(corrupt.dbDiag(), u"库里没有最近播放记录（kugou3.sqlite）"_s);
    QFile::remove(db);
    ASSERT_TRUE(
        runSql(kugou.dbCandidates().at(0), {u"CREATE TABLE Allmusic (musicname TEXT, singer TEXT)"_s,
                                            u"CREATE TABLE RecentPlay (songid INTEGER, LastPlayTime TEXT)"_s,
                                            u"INSERT INTO Allmusic VALUES ('Jay - Sunny Day', '')"_s,
                                            u"INSERT INTO RecentPlay VALUES (1, 'yesterday')"_s}));
    EXPECT_FALSE(kugou.currentFromDB());
    EXPECT_EQ(kugou.dbDiag(), u"库里最近播放时间读不出来（kugou3.sqlite，当没有）"_s);
}
