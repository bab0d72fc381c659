#include "player_fixtures.h"
#include "players/kugou_detector.h"
#include "players/mpris_provider.h"
#include "players/netease_music_detector.h"
#include "players/now_playing.h"
#include "players/player_activity_monitor.h"
#include "players/qq_music_detector.h"
#include "support/run_task.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <gtest/gtest.h>
#include <limits>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Snapshot = PlayerActivityMonitor::Snapshot;
using States = PlayerActivityMonitor::States;

namespace {

Snapshot showing(const char* title, std::optional<TimeStamp> activity = std::nullopt)
{
    const Song s{QString::fromUtf8(title), u"Singer"_s};
    return Snapshot{s, s.artist + u'|' + s.title, activity, true, false};
}

States allStopped()
{
    States states;
    for (PlayerSource p : player_source::allCases)
        states[p] = Snapshot{};
    return states;
}

// Readers of a temporary home, this process's own children as the running applications and a
// private bus for the now-playing information.
class MonitorTest : public ::testing::Test {
protected:
    PlayerActivityMonitor::Readers readers(std::function<bool()> otherPlayers = {})
    {
        return {kugou, qq, netease, nowPlaying, std::make_shared<OwnChildren>(), std::move(otherPlayers)};
    }
    PlayerHome home;
    PrivateBus bus;
    TimeStamp now = file_times::fromSeconds(1750000000);
    KuGouDetector kugou{home.path()};
    QQMusicDetector qq{home.path(), home.tempDir()};
    NeteaseMusicDetector netease{home.path(), home.tempDir()};
    NowPlaying nowPlaying{std::make_shared<MprisProvider>(bus.address(), 1000ms),
                          std::make_shared<platform::ProcRunningApplications>(), 0ms};
    PlayerActivityMonitor monitor{readers(), [this] { return now; }};
    QString title() const { return monitor.activeSong() ? monitor.activeSong()->title : QString(); }
};

} // namespace

TEST(PlayerSourceMapping, RulesInOrder)
{
    using player_source::fromApplication;
    EXPECT_EQ(fromApplication(u"com.KuGou.mac"_s, u"网易云"_s), PlayerSource::kugou);
    EXPECT_EQ(fromApplication(QString(), u"酷狗音乐"_s), PlayerSource::kugou);
    EXPECT_EQ(fromApplication(u"x"_s, u"QQMusic Helper"_s), PlayerSource::qqmusic);
    EXPECT_EQ(fromApplication(u"netease-cloud-music"_s, u"netease-cloud-m"_s), PlayerSource::netease);
    EXPECT_FALSE(fromApplication(u"vlc"_s, u"VLC"_s));
    for (PlayerSource p : player_source::allCases)
        EXPECT_EQ(player_source::fromRawValue(player_source::rawValue(p)), p);
    EXPECT_FALSE(player_source::fromRawValue(u"QQ音乐 "_s));

    // Processes: the Windows clients under Wine by process name or command line, any case.
    using player_source::Form;
    const std::tuple<const char*, const char*, const char*, std::optional<PlayerSource>, Form> cases[] = {
        {"wine64-preloader", "cloudmusic.exe", "", PlayerSource::netease, Form::wine},
        {"wine-preloader", "wine-preloader", "KuGou.exe", PlayerSource::kugou, Form::wine},
        {"wine64", "KGMUSIC.EXE", "", PlayerSource::kugou, Form::wine},
        {"wine64-preloader", "QQMusic.exe", "", PlayerSource::qqmusic, Form::wine},
        {"qqmusic", "qqmusic", "", PlayerSource::qqmusic, Form::native},
        {"wine64-preloader", "explorer.exe", "explorer.exe", std::nullopt, Form::native},
        {"python3", "cloudmusic", "", std::nullopt, Form::native},
    };
    for (const auto& [bundle, name, program, source, form] : cases) {
        const auto found = player_source::fromProcess(QString::fromUtf8(bundle), QString::fromUtf8(name),
                                                      QString::fromUtf8(program));
        EXPECT_EQ(found ? std::optional(found->source) : std::nullopt, source) << name << program;
        EXPECT_EQ(found ? found->form : Form::native, form) << name;
    }
    // (A command line with a Windows program: the scan test's Wine players.)
    EXPECT_EQ(platform::windowsProgramOf(QByteArray("/usr/bin/python3\0-c", 19)), QString());
}

// The election alone: update() with the monitor's clock.
TEST_F(MonitorTest, LaterStartWinsASongChangeRestartsAndPlayingDecides)
{
    const auto tick = [&](const States& states) {
        now += 1s;
        monitor.update(states);
    };
    States states = allStopped();
    states[PlayerSource::kugou] = showing("K1", file_times::fromSeconds(100));
    states[PlayerSource::netease] = showing("N1", file_times::fromSeconds(200));
    tick(states);
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::netease);
    // The older player changes its song while running: it started last now.
    states[PlayerSource::kugou] = showing("K2");
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::kugou);
    EXPECT_EQ(title(), u"K2"_s);
    // Another player with a song wins over a player momentarily without one.
    const Snapshot runningEmpty{std::nullopt, std::nullopt, std::nullopt, true, false};
    states[PlayerSource::kugou] = runningEmpty;
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::netease);
    // Alone and momentarily without a song: the last good song stands in.
    states[PlayerSource::kugou] = showing("K3");
    tick(states);
    states[PlayerSource::kugou] = runningEmpty;
    states[PlayerSource::netease] = Snapshot{};
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::kugou);
    EXPECT_EQ(title(), u"K3"_s);

    // A playing player wins, and keeps winning once paused: its play period started then.
    states[PlayerSource::qqmusic] = showing("Q1", file_times::fromSeconds(100));
    states[PlayerSource::qqmusic].isPlaying = true;
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::qqmusic);
    states[PlayerSource::qqmusic].isPlaying = false;
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::qqmusic);
    // All quit: nothing is elected.
    tick(allStopped());
    EXPECT_FALSE(monitor.active() || monitor.activeSong());
}

TEST_F(MonitorTest, PollAsyncReadsOnItsExecutorAndAppliesOnTheCaller)
{
    FakePlayer kugouProcess(u"kugou"_s);
    ASSERT_TRUE(kugouProcess.isReady());
    ASSERT_TRUE(writeFile(kugou.playlistPath(), kugouPlaylist({{{u"Jay - Sunny Day"_s, {}, {}, 1.0}}})));
    std::stop_source stop;
    EXPECT_TRUE(runTask(monitor.pollAsync(stop.get_token())));
    EXPECT_EQ(monitor.activeSong()->title, u"Sunny Day"_s);

    // Stopped before it starts: nothing read, nothing applied.
    ASSERT_TRUE(writeFile(kugou.playlistPath(), kugouPlaylist({{{u"Jay - Rainy Day"_s, {}, {}, 1.0}}})));
    stop.request_stop();
    EXPECT_FALSE(runTask(monitor.pollAsync(stop.get_token())));
    EXPECT_EQ(monitor.activeSong()->title, u"Sunny Day"_s);

    // Cancelled and destroyed while its read runs: the poll ends later without touching it.
    auto doomed = std::make_unique<PlayerActivityMonitor>(readers());
    std::stop_source cancel;
    QObject context;
    std::optional<bool> outcome;
    QCoro::connect(doomed->pollAsync(cancel.get_token()), &context, [&](bool applied) { outcome = applied; });
    cancel.request_stop();
    doomed.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 5000));
    EXPECT_FALSE(*outcome);
}

TEST_F(MonitorTest, NewerUnknownQQPlayHidesTheOlderArchiveSong)
{
    FakePlayer qqProcess(u"qqmusic"_s);
    ASSERT_TRUE(qqProcess.isReady());
    ASSERT_TRUE(writeFile(qq.archivePath(),
                          qqArchive({{u"Archived"_s, {{u"Jay"_s, {}}}, 1}}, 0, ArchiveForm::binaryUids)));
    setModificationTime(qq.archivePath(), file_times::fromSeconds(1700000000));
    EXPECT_EQ(monitor.readAll().at(PlayerSource::qqmusic).song->title, u"Archived"_s);

    // The lyric cache names a later song that neither the play list nor the database knows.
    ASSERT_TRUE(runSql(qq.lyricDbPath(), {u"CREATE TABLE Cache (keyId TEXT, accessTime REAL)"_s,
                                          u"INSERT INTO Cache VALUES ('555.qrc', 1700000100)"_s}));
    QQMusicDetector reader(home.path(), home.tempDir());
    PlayerActivityMonitor fresh({kugou, reader, netease, nowPlaying, std::make_shared<OwnChildren>()});
    const Snapshot hidden = fresh.readAll().at(PlayerSource::qqmusic);
    EXPECT_TRUE(hidden.isRunning);
    EXPECT_FALSE(hidden.song);

    // Once the metadata database knows it, the lyric song wins with its own time.
    ASSERT_TRUE(runSql(reader.metaDbPath(), {u"CREATE TABLE SONGS (id INTEGER, name TEXT, singer TEXT)"_s,
                                             u"INSERT INTO SONGS VALUES (555, 'Lyric Song', 'Lara')"_s}));
    const Snapshot found = fresh.readAll().at(PlayerSource::qqmusic);
    EXPECT_EQ(found.identity, u"Lara|Lyric Song"_s);
    EXPECT_EQ(found.activity, file_times::fromSeconds(1700000100));
}

TEST_F(MonitorTest, NowPlayingMarksOnlyARunningPlayer)
{
    // QQ Music runs and plays over MPRIS without any local files.
    FakePlayer qqProcess(u"qqmusic"_s, {u"--mpris"_s, u"qqmusic"_s}, bus.address());
    ASSERT_TRUE(qqProcess.isReady());
    ASSERT_TRUE(qqProcess.play(u"qqmusic"_s, u"Live Song"_s));
    States states;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (states = monitor.readAll())[PlayerSource::qqmusic].isPlaying; }, 5000));
    const Snapshot& entry = states.at(PlayerSource::qqmusic);
    EXPECT_EQ(entry.activity, now);
    EXPECT_EQ(entry.identity, u"qqmusic|Live Song|Jay|"_s);
    monitor.update(states);
    EXPECT_EQ(monitor.activeSong()->title, u"Live Song"_s);

    // A service claiming Kugou, which does not run ("electron" is no player process), marks nothing.
    qqProcess.script(u"qqmusic"_s, u"SetStatus"_s, {u"Paused"_s});
    FakePlayer kugouService(u"electron"_s, {u"--mpris"_s, u"kugou"_s, u"--identity"_s, u"酷狗音乐"_s},
                            bus.address());
    ASSERT_TRUE(kugouService.isReady());
    ASSERT_TRUE(kugouService.play(u"kugou"_s, u"Other"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return nowPlaying.info().source == PlayerSource::kugou; }, 5000));
    states = monitor.readAll();
    for (const auto& [player, s] : states)
        EXPECT_FALSE(s.isPlaying);
    EXPECT_FALSE(states.at(PlayerSource::kugou).isRunning);
}

// (New and ended processes between full checks: the monitor tests' Wine players.)
TEST(RunningApplicationsScan, SeesPlayersByTheirNamesWindowsPlayersUnderWineAndAnExecAtAFullCheck)
{
    FakePlayer player(u"netease-cloud-music"_s);
    // Renamed as Wine renames it, and only named on the command line.
    FakeWineProcess netease(u"C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe"_s, u"cloudmusic.exe"_s);
    FakeWineProcess kugou(u"C:\\Program Files (x86)\\KuGou\\KGMusic\\KuGou.exe"_s, QString());
    // A shell that becomes the player when told to.
    QProcess shell;
    shell.start(u"/bin/sh"_s, {u"-c"_s, u"read line; exec \"$0\""_s,
                               QStringLiteral(TONIVOX_FAKE_PLAYER_DIR "/netease-cloud-music")});
    ASSERT_TRUE(player.isReady() && netease.isReady() && kugou.isReady() && shell.waitForStarted(5000));
    const platform::ProcRunningApplications apps(u"/proc"_s, 0ms);
    const auto seen = [&](qint64 pid) {
        for (const platform::RunningApplication& app : apps.list()) {
            if (app.processIdentifier == pid)
                return app.bundleIdentifier + u'|' + app.localizedName + u'|' + app.windowsProgram;
        }
        return QString();
    };
    // The kernel keeps 15 characters of a name.
    EXPECT_EQ(seen(player.pid()), u"netease-cloud-music|netease-cloud-m|"_s);
    EXPECT_EQ(seen(netease.pid()), u"wine64-preloader|cloudmusic.exe|cloudmusic.exe"_s);
    EXPECT_EQ(seen(kugou.pid()), u"wine64-preloader|wine64-preloade|KuGou.exe"_s);
    const QString asShell = seen(shell.processId());
    EXPECT_FALSE(asShell.isEmpty() || asShell.startsWith(u"netease"_s)) << asShell.toStdString();
    shell.write("go\n");
    ASSERT_TRUE(shell.waitForReadyRead(5000));
    EXPECT_EQ(seen(shell.processId()), u"netease-cloud-music|netease-cloud-m|"_s);
    // By process id, named as the scan names it; nothing for ids that name no process.
    EXPECT_EQ(apps.localizedName(player.pid()), u"netease-cloud-m"_s);
    EXPECT_FALSE(apps.localizedName(0));
    EXPECT_EQ(apps.application(kugou.pid())->windowsProgram, u"KuGou.exe"_s);
    for (qint64 none : {qint64(0), qint64(-1), std::numeric_limits<qint64>::max()})
        EXPECT_FALSE(apps.application(none)) << none;
    EXPECT_FALSE(platform::ProcRunningApplications(u"/nonexistent"_s).application(player.pid()));
}

// NetEase is dated by its play time, and each of its forms names itself.
TEST_F(MonitorTest, NeteaseIsDatedByItsPlayTimeAndNamesItsForm)
{
    FakePlayer client(u"netease-cloud-music"_s);
    ASSERT_TRUE(client.isReady());
    ASSERT_TRUE(
        runSql(netease.sqlitePath(), {u"CREATE TABLE historyTracks (playtime INTEGER, jsonStr TEXT)"_s,
                                      u"INSERT INTO historyTracks VALUES (1700000000000, "
                                      "'{\"name\":\"N\",\"artists\":[{\"name\":\"M\"}]}')"_s}));
    const Snapshot read = monitor.readAll().at(PlayerSource::netease);
    EXPECT_EQ(read.identity, u"1700000000000"_s);
    EXPECT_EQ(read.activity, file_times::fromSeconds(1700000000));
    EXPECT_EQ(read.form, QString()) << "the database's own place names no form";
    // A play time that is not a number dates the song to 1970.
    ASSERT_TRUE(runSql(netease.sqlitePath(), {u"UPDATE historyTracks SET playtime = '17e'"_s}));
    setModificationTime(netease.sqlitePath(), std::chrono::system_clock::now() + 1min);
    EXPECT_EQ(monitor.readAll().at(PlayerSource::netease).activity, file_times::fromSeconds(0));

    // The Linux client: its history file is newer than the database.
    ASSERT_TRUE(
        writeFile(netease.historyJsonPath(),
                  R"([{"track":{"name":"晴天","artists":[{"name":"周杰伦"}]},"time":1700000009000}])"));
    monitor.poll();
    EXPECT_EQ(monitor.activeSong()->title, u"晴天"_s);
    EXPECT_EQ(monitor.sourceForm(), u"网易云 1.2.1"_s);
}

TEST_F(MonitorTest, NeteaseUnderWineIsSearchedForWhenItStartsAndNamesItsForm)
{
    const QString cloudmusicPath = u"C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe"_s;
    const QString library = home.path() + u"/.deepinwine/Spark-CloudMusic/drive_c/users/tester/AppData/Local/"
                                          "NetEase/CloudMusic/Library/webdb.dat"_s;
    // The bottles are searched when the player starts, not on every poll: a bottle made later
    // is seen once the player starts again. (A monitor of its own: a player first seen
    // without a song has not started it.)
    PlayerActivityMonitor earlier{readers()};
    auto cloudmusic = std::make_unique<FakeWineProcess>(cloudmusicPath, u"cloudmusic.exe"_s);
    ASSERT_TRUE(cloudmusic->isReady());
    earlier.poll();
    cloudmusic.reset();
    earlier.poll();
    QDir().mkpath(QFileInfo(library).absolutePath());
    ASSERT_TRUE(runSql(library, {u"CREATE TABLE historyTracks (jsonStr TEXT, playtime INTEGER)"_s,
                                 u"INSERT INTO historyTracks VALUES ('{\"name\":\"稻香\",\"artists\":"
                                 "[{\"name\":\"周杰伦\"}]}', 1700000000000)"_s}));
    earlier.poll();
    EXPECT_TRUE(netease.wineDatabases().isEmpty());
    cloudmusic = std::make_unique<FakeWineProcess>(cloudmusicPath, u"cloudmusic.exe"_s);
    FakeWineProcess kugou(u"C:\\KuGou\\KuGou.exe"_s, u"KuGou.exe"_s);
    ASSERT_TRUE(cloudmusic->isReady() && kugou.isReady());
    earlier.poll();
    EXPECT_EQ(netease.wineDatabases(), QStringList{library});
    const States states = monitor.readAll();
    EXPECT_TRUE(states.at(PlayerSource::kugou).isRunning && states.at(PlayerSource::kugou).underWine);
    EXPECT_EQ(states.at(PlayerSource::kugou).form, u"酷狗（Wine）"_s);
    monitor.update(states);
    ASSERT_EQ(monitor.active(), PlayerSource::netease);
    EXPECT_EQ(monitor.activeSong()->title, u"稻香"_s);
    EXPECT_EQ(monitor.sourceLabel(), u"网易云"_s);
    EXPECT_TRUE(monitor.localReadDiag().endsWith(u" 来源:网易云（Wine）"_s));
}

TEST_F(MonitorTest, AnotherPlayingMprisPlayerIsTheSourceUnlessTurnedOffOrAnAdvert)
{
    FakePlayer spotify(u"electron"_s, {u"--mpris"_s, u"spotify"_s, u"--identity"_s, u"Spotify"_s},
                       bus.address());
    ASSERT_TRUE(spotify.isReady());
    const auto polled = [&] { return monitor.poll(), title(); };
    ASSERT_TRUE(spotify.play(u"spotify"_s, u"Hello"_s, u"/com/spotify/track/1"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return polled() == u"Hello"_s; }, 5000));
    EXPECT_FALSE(monitor.active());
    EXPECT_EQ(monitor.sourceLabel(), u"Spotify"_s);
    EXPECT_EQ(monitor.sourceForm(), u"MPRIS：Spotify"_s);

    ASSERT_TRUE(spotify.play(u"spotify"_s, u"Skyfall"_s, u"/com/spotify/track/2"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return polled() == u"Skyfall"_s; }, 5000));
    bool allowed = false;
    PlayerActivityMonitor off{readers([&] { return allowed; }), [this] { return now; }};
    off.poll();
    EXPECT_FALSE(off.activeSong());
    EXPECT_EQ(off.sourceLabel(), QString());
    allowed = true;
    off.poll();
    EXPECT_EQ(off.activeSong()->title, u"Skyfall"_s);
}
