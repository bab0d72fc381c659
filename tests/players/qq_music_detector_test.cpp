#include "player_fixtures.h"
#include "players/qq_music_detector.h"
#include "players/qq_play_list.h"

#include <QDir>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

class QQMusicTest : public ::testing::Test {
protected:
    bool writeArchive(const QByteArray& bytes) { return writeFile(qq.archivePath(), bytes); }

    PlayerHome home;
    QQMusicDetector qq{home.path(), home.tempDir()};
};

const std::vector<QQEntry> kThreeSongs = {
    {u"First"_s, {{QString(), u"A"_s}}, 7},
    {u"Second"_s, {{QString(), u"A"_s}, {u"B"_s, u"ignored"_s}}, 42},
    {u"Third"_s, {{u"C"_s, QString()}}, std::nullopt},
};

} // namespace

TEST_F(QQMusicTest, ReadsTheLastPlayingSongFromBothArchiveForms)
{
    for (ArchiveForm form : {ArchiveForm::binaryUids, ArchiveForm::xmlCfUidDictionaries}) {
        QQMusicDetector reader(home.path(), home.tempDir());
        ASSERT_TRUE(writeFile(reader.archivePath(), qqArchive(kThreeSongs, 1, form)));
        // An empty singerName falls back to name; singers join with "、".
        EXPECT_EQ(songText(reader.currentWithID()), u"Second|A、B|42|Second"_s);
        EXPECT_EQ(reader.diag(), u"读到（播放列表）"_s);
        // The entry without an id answers for id 0; others by their id.
        EXPECT_EQ(reader.song(0)->title, u"Third"_s);
        EXPECT_EQ(reader.song(7)->title, u"First"_s);
    }
}

TEST_F(QQMusicTest, IndexPastTheEndNamesNothingAndAnAnswerStandsWhileTheArchiveDateDoes)
{
    const auto date = std::chrono::system_clock::now() + 5s;
    for (std::optional<qint64> index : {std::optional<qint64>(3), std::optional<qint64>(2)}) {
        ASSERT_TRUE(writeArchive(qqArchive(kThreeSongs, index, ArchiveForm::binaryUids)));
        setModificationTime(qq.archivePath(), date);
        EXPECT_FALSE(qq.currentWithID()) << *index;
    }
    setModificationTime(qq.archivePath(), date + 1s);
    EXPECT_EQ(qq.currentWithID()->first.title, u"Third"_s);
}

TEST(QQPlayListDecode, HostileArchivesGiveTheirStatusTexts)
{
    const QByteArray good = qqArchive(kThreeSongs, 0, ArchiveForm::binaryUids);
    // Every type wrong: "$objects" a dictionary, "$top" an array.
    plist_t wrong = plistDict({{"$objects", plist_new_dict()}, {"$top", plist_new_array()}});
    for (const QByteArray& bytes :
         {good.left(good.size() / 2), QByteArray(4096, '\x9c'), QByteArray(), serializePlist(wrong, true)})
        EXPECT_EQ(qq_play_list::decode(bytes).diag, u"存档结构变了"_s) << bytes.size();

    // A play list whose links point at themselves or past the end of "$objects".
    plist_t cyclic = plistDict(
        {{"$objects", plistArray({plist_new_string("$null"), plistDict({{"ListData", plist_new_uid(1)},
                                                                        {"NS.objects", plist_new_uid(1)}})})},
         {"$top",
          plistDict({{"PlayingList", plist_new_uid(1)}, {"LastPlayingIndex", plist_new_uid(99999)}})}});
    plist_t outOfRange = plistDict(
        {{"$objects", plist_new_array()}, {"$top", plistDict({{"PlayingList", plist_new_uid(123456789)}})}});
    for (plist_t archive : {cyclic, outOfRange})
        EXPECT_EQ(qq_play_list::decode(serializePlist(archive, true)).diag, u"存档里没有正在播放的歌"_s);

    const std::vector<QQEntry> untitled = {{QString(), {}, 1}};
    EXPECT_EQ(qq_play_list::decode(qqArchive(untitled, 0, ArchiveForm::binaryUids)).diag,
              u"存档里没读到歌名"_s);

    // A 10000-character title is decoded, not cut or refused.
    const std::vector<QQEntry> huge = {{QString(10000, QLatin1Char('x')), {{u"A"_s, QString()}}, 1}};
    const auto decoded = qq_play_list::decode(qqArchive(huge, 0, ArchiveForm::xmlCfUidDictionaries));
    ASSERT_TRUE(decoded.list);
    EXPECT_EQ(decoded.list->songs.first().title.size(), 10000);
}

TEST_F(QQMusicTest, LyricCacheReadsTheNewestLyricRowUnlessLockedOrCorrupt)
{
    ASSERT_TRUE(runSql(qq.lyricDbPath(), {u"CREATE TABLE Cache (keyId TEXT, accessTime REAL, size INTEGER)"_s,
                                          u"CREATE TABLE Decoy (keyId TEXT, accessTime REAL)"_s,
                                          u"INSERT INTO Decoy VALUES ('5.qrc', 1900000000)"_s,
                                          u"INSERT INTO Cache VALUES ('111.lrc', 1800000000, 1)"_s,
                                          u"INSERT INTO Cache VALUES ('987.qrc', 1700000000.5, 1)"_s,
                                          u"INSERT INTO Cache VALUES ('986.qrc', 1600000000, 1)"_s}));
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(qq.lyricDbPath()).constData(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE; INSERT INTO Cache VALUES ('2.qrc', 1800000000, 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(qq.lyricCacheRead());
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);

    QQMusicDetector fresh(home.path(), home.tempDir());
    const auto reading = fresh.lyricCacheRead();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->first, 987);
    EXPECT_DOUBLE_EQ(file_times::toSeconds(reading->second), 1700000000.5);
    ASSERT_TRUE(
        writeFile(qq.lyricDbPath(), QByteArray("SQLite format 3\0garbage", 23) + QByteArray(5000, 'z')));
    QQMusicDetector corrupt(home.path(), home.tempDir());
    EXPECT_FALSE(corrupt.lyricCacheRead());
}

TEST_F(QQMusicTest, AudioCacheCountsOnlyAccessTimesThatMoveMoreThanHalfASecond)
{
    const QString song = qq.cacheDir() + u"/a/b/12345-13.mgg"_s;
    const QString foreign = qq.cacheDir() + u"/002Abc-13.mgg"_s;
    const QString other = qq.cacheDir() + u"/777-12.mgg"_s;
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
        runSql(qq.metaDbPath(), {u"CREATE TABLE SONGS (id INTEGER, name TEXT, singer TEXT, album TEXT)"_s,
                                 u"CREATE TABLE ALBUMS (id INTEGER, name TEXT)"_s,
                                 u"INSERT INTO SONGS VALUES (5, ' Lonely ', 'A' || char(10) || 'B', 'x')"_s,
                                 u"INSERT INTO SONGS VALUES (6, '3:45', 'A', 'x')"_s}));
    EXPECT_EQ(songText(qq.song(5)), u"Lonely|A、B"_s);
    EXPECT_FALSE(qq.song(6)); // fails Song::isValid
    EXPECT_FALSE(qq.song(9));
    EXPECT_TRUE(home.leftInTemp().isEmpty());

    QFile::remove(qq.metaDbPath());
    EXPECT_EQ(qq.song(5)->title, u"Lonely"_s);

    ASSERT_TRUE(writeFile(qq.metaDbPath(), QByteArray(8192, '\x01')));
    EXPECT_FALSE(qq.song(8));
    EXPECT_TRUE(home.leftInTemp().isEmpty());
}

TEST(QQNewest, PicksTheStrictlyLatestUnlessANewerPlayIsUnresolved)
{
    const TimeStamp t = file_times::fromSeconds(1700000000);
    const Song archive{u"Archive"_s, u"A"_s};
    const Song lyric{u"Lyric"_s, u"B"_s};
    using C = QQMusicDetector::Candidate;
    EXPECT_EQ(QQMusicDetector::newest({C{archive, t}, C{lyric, t}, std::nullopt}, std::nullopt)->first.title,
              u"Archive"_s);
    EXPECT_EQ(QQMusicDetector::newest({C{archive, t}, C{lyric, t + 1s}}, t)->first.title, u"Lyric"_s);
    EXPECT_FALSE(QQMusicDetector::newest({C{archive, t}, C{lyric, t}}, t + 1ms));
    EXPECT_FALSE(QQMusicDetector::newest({std::nullopt, std::nullopt}, std::nullopt));
}
