#include "player_fixtures.h"
#include "player_home.h"
#include "players/qq_music_detector.h"
#include "players/qq_play_list.h"

#include <QDir>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

using namespace std::chrono_literals;

namespace {

class QQMusicTest : public ::testing::Test {
protected:
    bool writeArchive(const QByteArray& bytes) { return writeFile(qq.archivePath(), bytes); }

    PlayerHome home;
    QQMusicDetector qq{home.path(), home.tempDir()};
};

const std::vector<QQEntry> kThreeSongs = {
    {QStringLiteral("First"), {{QString(), QStringLiteral("A")}}, 7},
    {QStringLiteral("Second"),
     {{QString(), QStringLiteral("A")}, {QStringLiteral("B"), QStringLiteral("ignored")}},
     42},
    {QStringLiteral("Third"), {{QStringLiteral("C"), QString()}}, std::nullopt},
};

} // namespace

TEST_F(QQMusicTest, ReadsTheLastPlayingSongFromBothArchiveForms)
{
    for (ArchiveForm form : {ArchiveForm::binaryUids, ArchiveForm::xmlCfUidDictionaries}) {
        QQMusicDetector reader(home.path(), home.tempDir());
        ASSERT_TRUE(writeFile(reader.archivePath(), qqArchive(kThreeSongs, 1, form)));
        const auto current = reader.currentWithID();
        ASSERT_TRUE(current);
        EXPECT_EQ(current->first.title, QStringLiteral("Second"));
        // An empty singerName falls back to name; singers join with "、".
        EXPECT_EQ(current->first.artist, QStringLiteral("A、B"));
        EXPECT_EQ(current->second, QStringLiteral("42|Second"));
        EXPECT_EQ(reader.diag(), QStringLiteral("读到（播放列表）"));
        // The entry without an id answers for id 0; others by their id.
        EXPECT_EQ(reader.song(0)->title, QStringLiteral("Third"));
        EXPECT_EQ(reader.song(7)->title, QStringLiteral("First"));
    }
}

TEST_F(QQMusicTest, IndexPastTheEndYieldsNothingAndKeepsTheStatus)
{
    EXPECT_FALSE(qq.currentWithID());
    EXPECT_EQ(qq.diag(), QStringLiteral("未安装/无存档"));
    ASSERT_TRUE(writeArchive(qqArchive(kThreeSongs, 3, ArchiveForm::binaryUids)));
    EXPECT_FALSE(qq.currentWithID());
    EXPECT_EQ(qq.diag(), QStringLiteral("未安装/无存档"));
    // Absent index counts as 0.
    ASSERT_TRUE(writeArchive(qqArchive(kThreeSongs, std::nullopt, ArchiveForm::binaryUids)));
    setModificationTime(qq.archivePath(), std::chrono::system_clock::now() + 5s);
    EXPECT_EQ(qq.currentWithID()->first.title, QStringLiteral("First"));
}

TEST_F(QQMusicTest, ResultIsKeptWhileTheArchiveDateStands)
{
    ASSERT_TRUE(writeArchive(qqArchive(kThreeSongs, 0, ArchiveForm::binaryUids)));
    const auto date = std::chrono::system_clock::now() - 10s;
    setModificationTime(qq.archivePath(), date);
    EXPECT_EQ(qq.currentWithID()->first.title, QStringLiteral("First"));
    ASSERT_TRUE(writeArchive(qqArchive(kThreeSongs, 2, ArchiveForm::binaryUids)));
    setModificationTime(qq.archivePath(), date);
    EXPECT_EQ(qq.currentWithID()->first.title, QStringLiteral("First"));
    setModificationTime(qq.archivePath(), date + 1s);
    EXPECT_EQ(qq.currentWithID()->first.title, QStringLiteral("Third"));
}

TEST(QQPlayListDecode, HostileArchivesGiveTheirStatusTexts)
{
    const QByteArray good = qqArchive(kThreeSongs, 0, ArchiveForm::binaryUids);
    EXPECT_EQ(qq_play_list::decode(good.left(good.size() / 2)).diag, QStringLiteral("存档结构变了"));
    EXPECT_EQ(qq_play_list::decode(QByteArray(4096, '\x9c')).diag, QStringLiteral("存档结构变了"));
    EXPECT_EQ(qq_play_list::decode(QByteArray()).diag, QStringLiteral("存档结构变了"));

    // Every type wrong: "$objects" a dictionary, "$top" an array.
    plist_t wrong = plist_new_dict();
    plist_dict_set_item(wrong, "$objects", plist_new_dict());
    plist_dict_set_item(wrong, "$top", plist_new_array());
    EXPECT_EQ(qq_play_list::decode(serializePlist(wrong, true)).diag, QStringLiteral("存档结构变了"));

    // A play list whose links point at themselves or past the end of "$objects".
    plist_t cyclic = plist_new_dict();
    plist_t objects = plist_new_array();
    plist_t self = plist_new_dict();
    plist_dict_set_item(self, "ListData", plist_new_uid(1));
    plist_dict_set_item(self, "NS.objects", plist_new_uid(1));
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, self);
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "PlayingList", plist_new_uid(1));
    plist_dict_set_item(top, "LastPlayingIndex", plist_new_uid(99999));
    plist_dict_set_item(cyclic, "$objects", objects);
    plist_dict_set_item(cyclic, "$top", top);
    EXPECT_EQ(qq_play_list::decode(serializePlist(cyclic, true)).diag,
              QStringLiteral("存档里没有正在播放的歌"));

    plist_t outOfRange = plist_new_dict();
    plist_t top2 = plist_new_dict();
    plist_dict_set_item(top2, "PlayingList", plist_new_uid(123456789));
    plist_dict_set_item(outOfRange, "$objects", plist_new_array());
    plist_dict_set_item(outOfRange, "$top", top2);
    EXPECT_EQ(qq_play_list::decode(serializePlist(outOfRange, true)).diag,
              QStringLiteral("存档里没有正在播放的歌"));

    const std::vector<QQEntry> untitled = {{QString(), {}, 1}};
    EXPECT_EQ(qq_play_list::decode(qqArchive(untitled, 0, ArchiveForm::binaryUids)).diag,
              QStringLiteral("存档里没读到歌名"));

    // A 10000-character title is decoded, not cut or refused.
    const std::vector<QQEntry> huge = {
        {QString(10000, QLatin1Char('x')), {{QStringLiteral("A"), QString()}}, 1}};
    const auto decoded = qq_play_list::decode(qqArchive(huge, 0, ArchiveForm::xmlCfUidDictionaries));
    ASSERT_TRUE(decoded.list);
    EXPECT_EQ(decoded.list->songs.first().title.size(), 10000);
}

TEST_F(QQMusicTest, LyricCacheReadsTheNewestLyricRowReadOnly)
{
    ASSERT_TRUE(runSql(qq.lyricDbPath(),
                       {QStringLiteral("CREATE TABLE Cache (keyId TEXT, accessTime REAL, size INTEGER)"),
                        QStringLiteral("CREATE TABLE Decoy (keyId TEXT, accessTime REAL)"),
                        QStringLiteral("INSERT INTO Decoy VALUES ('5.qrc', 1900000000)"),
                        QStringLiteral("INSERT INTO Cache VALUES ('111.lrc', 1800000000, 1)"),
                        QStringLiteral("INSERT INTO Cache VALUES ('987.qrc', 1700000000.5, 1)"),
                        QStringLiteral("INSERT INTO Cache VALUES ('986.qrc', 1600000000, 1)")}));
    const auto reading = qq.lyricCacheRead();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->first, 987);
    EXPECT_DOUBLE_EQ(file_times::toSeconds(reading->second), 1700000000.5);
}

TEST_F(QQMusicTest, LockedOrCorruptLyricDatabaseGivesNoReading)
{
    ASSERT_TRUE(runSql(qq.lyricDbPath(), {QStringLiteral("CREATE TABLE Cache (keyId TEXT, accessTime REAL)"),
                                          QStringLiteral("INSERT INTO Cache VALUES ('1.qrc', 1700000000)")}));
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(qq.lyricDbPath()).constData(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE; INSERT INTO Cache VALUES ('2.qrc', 1800000000);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(qq.lyricCacheRead());
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);

    QQMusicDetector fresh(home.path(), home.tempDir());
    EXPECT_EQ(fresh.lyricCacheRead()->first, 1);
    ASSERT_TRUE(
        writeFile(qq.lyricDbPath(), QByteArray("SQLite format 3\0garbage", 23) + QByteArray(5000, 'z')));
    QQMusicDetector corrupt(home.path(), home.tempDir());
    EXPECT_FALSE(corrupt.lyricCacheRead());
}

TEST_F(QQMusicTest, AudioCacheCountsOnlyAccessTimesThatMoveMoreThanHalfASecond)
{
    const QString song = qq.cacheDir() + QStringLiteral("/a/b/12345-13.mgg");
    const QString foreign = qq.cacheDir() + QStringLiteral("/002Abc-13.mgg");
    const QString other = qq.cacheDir() + QStringLiteral("/777-12.mgg");
    for (const QString& path : {song, foreign, other})
        ASSERT_TRUE(writeFile(path, "x"));
    const auto t0 = std::chrono::system_clock::now() - 60s;
    for (const QString& path : {song, foreign, other})
        setAccessTime(path, t0);

    EXPECT_FALSE(qq.lastCacheRead()); // first sighting only records
    setAccessTime(song, t0 + 400ms);
    EXPECT_FALSE(qq.lastCacheRead());
    setAccessTime(song, t0 + 1000ms);
    setAccessTime(foreign, t0 + 5s);
    setAccessTime(other, t0 + 5s);
    const auto reading = qq.lastCacheRead();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->first, 12345);
    EXPECT_EQ(reading->second, t0 + 1000ms);
    EXPECT_FALSE(qq.lastCacheRead()); // silent until it moves again
}

TEST_F(QQMusicTest, MetadataLookupReadsAPrivateCopyAndCachesHits)
{
    ASSERT_TRUE(
        runSql(qq.metaDbPath(),
               {QStringLiteral("CREATE TABLE SONGS (id INTEGER, name TEXT, singer TEXT, album TEXT)"),
                QStringLiteral("CREATE TABLE ALBUMS (id INTEGER, name TEXT)"),
                QStringLiteral("INSERT INTO SONGS VALUES (5, ' Lonely ', 'A' || char(10) || 'B', 'x')"),
                QStringLiteral("INSERT INTO SONGS VALUES (6, '3:45', 'A', 'x')")}));
    const auto found = qq.song(5);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->title, QStringLiteral("Lonely"));
    EXPECT_EQ(found->artist, QStringLiteral("A、B"));
    EXPECT_FALSE(qq.song(6)); // fails Song::isValid
    EXPECT_FALSE(qq.song(9));
    EXPECT_TRUE(home.leftInTemp().isEmpty());

    QFile::remove(qq.metaDbPath());
    EXPECT_EQ(qq.song(5)->title, QStringLiteral("Lonely"));

    ASSERT_TRUE(writeFile(qq.metaDbPath(), QByteArray(8192, '\x01')));
    EXPECT_FALSE(qq.song(8));
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

TEST(QQNewest, PicksTheStrictlyLatestUnlessANewerPlayIsUnresolved)
{
    const TimeStamp t = file_times::fromSeconds(1700000000);
    const Song archive{QStringLiteral("Archive"), QStringLiteral("A")};
    const Song lyric{QStringLiteral("Lyric"), QStringLiteral("B")};
    using C = QQMusicDetector::Candidate;
    EXPECT_EQ(QQMusicDetector::newest({C{archive, t}, C{lyric, t}, std::nullopt}, std::nullopt)->first.title,
              QStringLiteral("Archive"));
    EXPECT_EQ(QQMusicDetector::newest({C{archive, t}, C{lyric, t + 1s}}, t)->first.title,
              QStringLiteral("Lyric"));
    EXPECT_FALSE(QQMusicDetector::newest({C{archive, t}, C{lyric, t}}, t + 1ms));
    EXPECT_FALSE(QQMusicDetector::newest({std::nullopt, std::nullopt}, std::nullopt));
}
