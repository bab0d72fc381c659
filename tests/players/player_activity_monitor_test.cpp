#include "player_fixtures.h"
#include "player_home.h"
#include "players/kugou_detector.h"
#include "players/mpris_provider.h"
#include "players/netease_music_detector.h"
#include "players/now_playing.h"
#include "players/player_activity_monitor.h"
#include "players/qq_music_detector.h"
#include "support/run_task.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <limits>
#include <map>

using namespace std::chrono_literals;
using Snapshot = PlayerActivityMonitor::Snapshot;
using States = PlayerActivityMonitor::States;

namespace {

Song song(const char* title, const char* artist = "Singer")
{
    return Song{QString::fromUtf8(title), QString::fromUtf8(artist)};
}

Snapshot showing(const Song& s, std::optional<TimeStamp> activity = std::nullopt)
{
    return Snapshot{s, s.artist + QLatin1Char('|') + s.title, activity, true, false};
}

Snapshot runningEmpty()
{
    return Snapshot{std::nullopt, std::nullopt, std::nullopt, true, false};
}

States allStopped()
{
    States states;
    for (PlayerSource p : player_source::allCases)
        states[p] = Snapshot{};
    return states;
}

// A monitor over readers of a temporary home, this process's own children as the running
// applications and a private bus for the now-playing information.
class MonitorTest : public ::testing::Test {
protected:
    PlayerHome home;
    PrivateBus bus;
    TimeStamp now = file_times::fromSeconds(1750000000);
    KuGouDetector kugou{home.path()};
    QQMusicDetector qq{home.path(), home.tempDir()};
    NeteaseMusicDetector netease{home.path(), home.tempDir()};
    NowPlaying nowPlaying{std::make_shared<MprisProvider>(bus.address(), 1000ms),
                          std::make_shared<platform::ProcRunningApplications>(), 0ms};
    PlayerActivityMonitor monitor{{kugou, qq, netease, nowPlaying, std::make_shared<OwnChildren>()},
                                  [this] { return now; }};
};

// The monitor's clock with a pure update() run: no processes, no files.
class ElectionTest : public ::testing::Test {
protected:
    TempHome home;
    KuGouDetector kugou{home.path()};
    QQMusicDetector qq{home.path(), home.path()};
    NeteaseMusicDetector netease{home.path(), home.path()};
    NowPlaying nowPlaying{std::make_shared<MprisProvider>(QStringLiteral("unix:path=/nonexistent")), nullptr};
    TimeStamp now = file_times::fromSeconds(1750000000);
    PlayerActivityMonitor monitor{{kugou, qq, netease, nowPlaying, nullptr}, [this] { return now; }};
    void tick(States states)
    {
        now += 1s;
        monitor.update(states);
    }
};

} // namespace

TEST(PlayerSourceMapping, RulesInOrder)
{
    using player_source::fromApplication;
    EXPECT_EQ(fromApplication(QStringLiteral("com.KuGou.mac"), QStringLiteral("网易云")),
              PlayerSource::kugou);
    EXPECT_EQ(fromApplication(QString(), QStringLiteral("酷狗音乐")), PlayerSource::kugou);
    EXPECT_EQ(fromApplication(QStringLiteral("x"), QStringLiteral("QQMusic Helper")), PlayerSource::qqmusic);
    EXPECT_EQ(fromApplication(QStringLiteral("com.netease.163music"), QString()), PlayerSource::netease);
    EXPECT_EQ(fromApplication(QStringLiteral("netease-cloud-music"), QStringLiteral("netease-cloud-m")),
              PlayerSource::netease);
    EXPECT_FALSE(fromApplication(QStringLiteral("vlc"), QStringLiteral("VLC")));
    for (PlayerSource p : player_source::allCases)
        EXPECT_EQ(player_source::fromRawValue(player_source::rawValue(p)), p);
    EXPECT_FALSE(player_source::fromRawValue(QStringLiteral("QQ音乐 ")));

    // Processes: the Windows clients under Wine by process name or command line, any case.
    using player_source::Form;
    struct Case {
        const char *bundle, *name, *program;
        std::optional<PlayerSource> source;
        Form form;
    };
    const std::vector<Case> cases = {
        {"wine64-preloader", "cloudmusic.exe", "", PlayerSource::netease, Form::wine},
        {"wine-preloader", "wine-preloader", "KuGou.exe", PlayerSource::kugou, Form::wine},
        {"wine64", "KGMUSIC.EXE", "", PlayerSource::kugou, Form::wine},
        {"wine64-preloader", "QQMusic.exe", "", PlayerSource::qqmusic, Form::wine},
        {"qqmusic", "qqmusic", "", PlayerSource::qqmusic, Form::native},
        {"wine64-preloader", "explorer.exe", "explorer.exe", std::nullopt, Form::native},
        {"python3", "cloudmusic", "", std::nullopt, Form::native},
    };
    for (const Case& c : cases) {
        const auto found = player_source::fromProcess(QString::fromUtf8(c.bundle), QString::fromUtf8(c.name),
                                                      QString::fromUtf8(c.program));
        EXPECT_EQ(found ? std::optional(found->source) : std::nullopt, c.source) << c.name << c.program;
        if (found) {
            EXPECT_EQ(found->form, c.form) << c.name;
        }
    }
    const char commandLine[] = "wine\0C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe\0--x";
    EXPECT_EQ(platform::windowsProgramOf(QByteArray(commandLine, sizeof commandLine)),
              QStringLiteral("cloudmusic.exe"));
    EXPECT_EQ(platform::windowsProgramOf(QByteArray("/usr/bin/python3\0-c", 19)), QString());
}

TEST_F(ElectionTest, LaterStartWinsAndASongChangeRestartsThePlayer)
{
    States states = allStopped();
    states[PlayerSource::kugou] = showing(song("K1"), file_times::fromSeconds(100));
    states[PlayerSource::netease] = showing(song("N1"), file_times::fromSeconds(200));
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::netease);
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::netease);
    // The older player changes its song while running: it started last now.
    states[PlayerSource::kugou] = showing(song("K2"));
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::kugou);
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("K2"));

    // Another player with a song wins over a player momentarily without one.
    states[PlayerSource::kugou] = runningEmpty();
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::netease);

    // Alone and momentarily without a song: the last good song stands in.
    states[PlayerSource::kugou] = showing(song("K3"));
    tick(states);
    states[PlayerSource::kugou] = runningEmpty();
    states[PlayerSource::netease] = Snapshot{};
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::kugou);
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("K3"));

    // Kugou quits: nothing is elected.
    states[PlayerSource::kugou] = Snapshot{};
    tick(states);
    EXPECT_FALSE(monitor.active());
    EXPECT_FALSE(monitor.activeSong());
}

TEST_F(ElectionTest, PlayingPlayerWinsAndLeavingClearsTheElection)
{
    States states = allStopped();
    states[PlayerSource::kugou] = showing(song("K1"), file_times::fromSeconds(900));
    states[PlayerSource::qqmusic] = showing(song("Q1"), file_times::fromSeconds(100));
    states[PlayerSource::qqmusic].isPlaying = true;
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::qqmusic);
    states[PlayerSource::qqmusic].isPlaying = false;
    // QQ's play period started at the last tick, later than Kugou's file date.
    tick(states);
    EXPECT_EQ(monitor.active(), PlayerSource::qqmusic);

    tick(allStopped());
    EXPECT_FALSE(monitor.active());
    EXPECT_FALSE(monitor.activeSong());
}

TEST_F(MonitorTest, NothingRunningAsksNoNowPlaying)
{
    ASSERT_TRUE(writeFile(kugou.playlistPath(), kugouPlaylist({{{QStringLiteral("A - B"), {}, {}, 1.0}}})));
    ASSERT_TRUE(writeFile(qq.archivePath(), qqArchive({{QStringLiteral("Q"), {{QStringLiteral("S"), {}}}, 1}},
                                                      0, ArchiveForm::binaryUids)));
    const States states = monitor.readAll();
    ASSERT_EQ(states.size(), 3u);
    for (const auto& [player, s] : states) {
        EXPECT_FALSE(s.isRunning);
        EXPECT_FALSE(s.song);
    }
    EXPECT_EQ(nowPlaying.diag(), StatusText::kUnchecked);
    // QQ Music's reader ran anyway; Kugou's did not.
    EXPECT_EQ(qq.diag(), QStringLiteral("读到（播放列表）"));
    EXPECT_EQ(kugou.diag(), StatusText::kUnchecked);
    monitor.update(states);
    EXPECT_FALSE(monitor.active());
    EXPECT_FALSE(monitor.activeSong());
}

TEST_F(MonitorTest, RunningPlayersAreElectedByTheirFileDates)
{
    FakePlayer kugouProcess(QStringLiteral("kugou"));
    FakePlayer neteaseProcess(QStringLiteral("netease-cloud-music"));
    ASSERT_TRUE(kugouProcess.isReady() && neteaseProcess.isReady());

    ASSERT_TRUE(
        writeFile(kugou.playlistPath(), kugouPlaylist({{{QStringLiteral("Jay - Sunny Day"), {}, {}, 1.0}}})));
    setModificationTime(kugou.playlistPath(), file_times::fromSeconds(1700000100));
    ASSERT_TRUE(runSql(netease.sqlitePath(),
                       {QStringLiteral("CREATE TABLE historyTracks (playtime INTEGER, jsonStr TEXT)"),
                        QStringLiteral("INSERT INTO historyTracks VALUES (1700000000000, "
                                       "'{\"name\":\"N\",\"artists\":[{\"name\":\"M\"}]}')")}));

    const States states = monitor.readAll();
    EXPECT_TRUE(states.at(PlayerSource::kugou).isRunning);
    EXPECT_TRUE(states.at(PlayerSource::netease).isRunning);
    EXPECT_FALSE(states.at(PlayerSource::qqmusic).isRunning);
    EXPECT_EQ(states.at(PlayerSource::kugou).identity, QStringLiteral("Jay|Sunny Day"));
    EXPECT_EQ(states.at(PlayerSource::netease).identity, QStringLiteral("1700000000000"));
    EXPECT_EQ(states.at(PlayerSource::netease).activity,
              file_times::fromSeconds(1700000000)); // 2023-11-14 22:13:20
    // First poll: each start is its file's date, so Kugou (100 s later) wins, not "now".
    monitor.update(states);
    EXPECT_EQ(monitor.active(), PlayerSource::kugou);
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("Sunny Day"));
    EXPECT_NE(nowPlaying.diag(), QString()); // asked, since players run

    // A play time that is not a number dates the song to 1970.
    ASSERT_TRUE(runSql(netease.sqlitePath(), {QStringLiteral("UPDATE historyTracks SET playtime = '17e'")}));
    setModificationTime(netease.sqlitePath(), std::chrono::system_clock::now() + 1min);
    EXPECT_EQ(monitor.readAll().at(PlayerSource::netease).activity, file_times::fromSeconds(0));
}

TEST_F(MonitorTest, PollAsyncReadsOnItsExecutorAndAppliesOnTheCaller)
{
    FakePlayer kugouProcess(QStringLiteral("kugou"));
    ASSERT_TRUE(kugouProcess.isReady());
    ASSERT_TRUE(
        writeFile(kugou.playlistPath(), kugouPlaylist({{{QStringLiteral("Jay - Sunny Day"), {}, {}, 1.0}}})));

    std::stop_source stop;
    EXPECT_TRUE(runTask(monitor.pollAsync(stop.get_token())));
    EXPECT_EQ(monitor.active(), PlayerSource::kugou);
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("Sunny Day"));

    // Stopped before it starts: nothing read, nothing applied.
    ASSERT_TRUE(
        writeFile(kugou.playlistPath(), kugouPlaylist({{{QStringLiteral("Jay - Rainy Day"), {}, {}, 1.0}}})));
    stop.request_stop();
    EXPECT_FALSE(runTask(monitor.pollAsync(stop.get_token())));
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("Sunny Day"));

    // Cancelled and destroyed while its read runs: the poll ends later without touching it.
    auto doomed = std::make_unique<PlayerActivityMonitor>(
        PlayerActivityMonitor::Readers{kugou, qq, netease, nowPlaying, std::make_shared<OwnChildren>()});
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
    FakePlayer qqProcess(QStringLiteral("qqmusic"));
    ASSERT_TRUE(qqProcess.isReady());
    ASSERT_TRUE(writeFile(qq.archivePath(),
                          qqArchive({{QStringLiteral("Archived"), {{QStringLiteral("Jay"), {}}}, 1}}, 0,
                                    ArchiveForm::binaryUids)));
    setModificationTime(qq.archivePath(), file_times::fromSeconds(1700000000));
    EXPECT_EQ(monitor.readAll().at(PlayerSource::qqmusic).song->title, QStringLiteral("Archived"));

    // The lyric cache names a later song that neither the play list nor the database knows.
    ASSERT_TRUE(
        runSql(qq.lyricDbPath(), {QStringLiteral("CREATE TABLE Cache (keyId TEXT, accessTime REAL)"),
                                  QStringLiteral("INSERT INTO Cache VALUES ('555.qrc', 1700000100)")}));
    QQMusicDetector reader(home.path(), home.tempDir());
    PlayerActivityMonitor fresh({kugou, reader, netease, nowPlaying, std::make_shared<OwnChildren>()});
    const Snapshot hidden = fresh.readAll().at(PlayerSource::qqmusic);
    EXPECT_TRUE(hidden.isRunning);
    EXPECT_FALSE(hidden.song);

    // Once the metadata database knows it, the lyric song wins with its own time.
    ASSERT_TRUE(runSql(reader.metaDbPath(),
                       {QStringLiteral("CREATE TABLE SONGS (id INTEGER, name TEXT, singer TEXT)"),
                        QStringLiteral("INSERT INTO SONGS VALUES (555, 'Lyric Song', 'Lara')")}));
    const Snapshot found = fresh.readAll().at(PlayerSource::qqmusic);
    ASSERT_TRUE(found.song);
    EXPECT_EQ(found.song->title, QStringLiteral("Lyric Song"));
    EXPECT_EQ(found.identity, QStringLiteral("Lara|Lyric Song"));
    EXPECT_EQ(found.activity, file_times::fromSeconds(1700000100));
}

TEST_F(MonitorTest, NowPlayingMarksOnlyARunningPlayer)
{
    // QQ Music runs and plays over MPRIS without any local files; a second MPRIS player
    // claims Kugou, which is not running here (it is a child of the bus, not a "kugou").
    FakePlayer qqProcess(QStringLiteral("qqmusic"), {QStringLiteral("--mpris"), QStringLiteral("qqmusic")},
                         bus.address());
    ASSERT_TRUE(qqProcess.isReady());
    ASSERT_TRUE(qqProcess.script(
        QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"),
        {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("Live Song")},
                     {QStringLiteral("xesam:artist"), QStringList{QStringLiteral("Jay")}}}}));
    ASSERT_TRUE(qqProcess.script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"),
                                 {QStringLiteral("Playing")}));

    States states;
    for (int i = 0; i < 250 && !states[PlayerSource::qqmusic].isPlaying; ++i) {
        states = monitor.readAll();
        QThread::msleep(20);
    }
    const Snapshot& entry = states.at(PlayerSource::qqmusic);
    EXPECT_TRUE(entry.isPlaying);
    EXPECT_EQ(entry.activity, now);
    EXPECT_EQ(entry.identity, QStringLiteral("qqmusic|Live Song|Jay|"));
    monitor.update(states);
    EXPECT_EQ(monitor.active(), PlayerSource::qqmusic);
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("Live Song"));

    // The same service for a player that is not running changes nothing.
    qqProcess.script(QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"), {QVariantMap{}});
    FakePlayer kugouService(QStringLiteral("electron"),
                            {QStringLiteral("--mpris"), QStringLiteral("kugou"), QStringLiteral("--identity"),
                             QStringLiteral("酷狗音乐")},
                            bus.address());
    ASSERT_TRUE(kugouService.isReady());
    qqProcess.script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"), {QStringLiteral("Paused")});
    kugouService.script(QStringLiteral("kugou"), QStringLiteral("SetStatus"), {QStringLiteral("Playing")});
    kugouService.script(QStringLiteral("kugou"), QStringLiteral("SetMetadata"),
                        {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("Other")},
                                     {QStringLiteral("xesam:artist"), QStringList{QStringLiteral("X")}}}});
    for (int i = 0; i < 250 && nowPlaying.info().source != PlayerSource::kugou; ++i)
        QThread::msleep(20);
    ASSERT_EQ(nowPlaying.info().source, PlayerSource::kugou);
    // "electron" is no player process, so Kugou counts as not running.
    states = monitor.readAll();
    for (const auto& [player, s] : states)
        EXPECT_FALSE(s.isPlaying);
    EXPECT_FALSE(states.at(PlayerSource::kugou).isRunning);
}

TEST_F(ElectionTest, LocalReadDiagIsTheStatusLineOverItsReaders)
{
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Linux \d+\.\d+$)"))
                    .match(PlayerActivityMonitor::osVersionText())
                    .hasMatch());
    EXPECT_EQ(monitor.localReadDiag(),
              PlayerActivityMonitor::osVersionText() +
                  QStringLiteral(" 酷狗:未检查 QQ:未检查 网易云:未检查 系统:未检查"));
}

TEST(RunningApplicationsScan, SeesAPlayerProcessByItsNames)
{
    FakePlayer player(QStringLiteral("netease-cloud-music"));
    ASSERT_TRUE(player.isReady());
    const platform::ProcRunningApplications apps;
    bool seen = false;
    for (const platform::RunningApplication& app : apps.list()) {
        if (app.processIdentifier != player.pid())
            continue;
        seen = true;
        EXPECT_EQ(app.bundleIdentifier, QStringLiteral("netease-cloud-music"));
        EXPECT_EQ(app.localizedName, QStringLiteral("netease-cloud-m")); // the kernel keeps 15 characters
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(apps.localizedName(player.pid()), QStringLiteral("netease-cloud-m"));
    EXPECT_FALSE(apps.localizedName(0));

    // By process id, named as the scan names it; nothing for ids that name no process.
    const auto app = apps.application(player.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->processIdentifier, player.pid());
    EXPECT_EQ(app->bundleIdentifier, QStringLiteral("netease-cloud-music"));
    EXPECT_EQ(app->localizedName, QStringLiteral("netease-cloud-m"));
    EXPECT_FALSE(apps.application(0));
    EXPECT_FALSE(apps.application(-1));
    EXPECT_FALSE(apps.application(std::numeric_limits<qint64>::max()));
    EXPECT_FALSE(platform::ProcRunningApplications(QStringLiteral("/nonexistent")).application(player.pid()));
}

TEST(RunningApplicationsScan, SeesAWindowsPlayerUnderWine)
{
    // Renamed as Wine renames it, and only named on the command line.
    FakeWineProcess netease(QStringLiteral("C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe"),
                            QStringLiteral("cloudmusic.exe"));
    FakeWineProcess kugou(QStringLiteral("C:\\Program Files (x86)\\KuGou\\KGMusic\\KuGou.exe"), QString());
    ASSERT_TRUE(netease.isReady() && kugou.isReady());
    const platform::ProcRunningApplications apps;
    std::map<qint64, platform::RunningApplication> seen;
    for (const platform::RunningApplication& app : apps.list())
        seen[app.processIdentifier] = app;
    ASSERT_TRUE(seen.contains(netease.pid()) && seen.contains(kugou.pid()));
    EXPECT_EQ(seen[netease.pid()].bundleIdentifier, QStringLiteral("wine64-preloader"));
    EXPECT_EQ(seen[netease.pid()].localizedName, QStringLiteral("cloudmusic.exe"));
    EXPECT_EQ(seen[kugou.pid()].localizedName, QStringLiteral("wine64-preloade")); // 15 characters kept
    EXPECT_EQ(seen[kugou.pid()].windowsProgram, QStringLiteral("KuGou.exe"));
    EXPECT_EQ(apps.application(kugou.pid())->windowsProgram, QStringLiteral("KuGou.exe"));
}

TEST(RunningApplicationsScan, ScansBetweenFullChecksSeeNewAndEndedProcessesAndAFullCheckSeesAnExec)
{
    const platform::ProcRunningApplications seldom(QStringLiteral("/proc"), 1h);
    const platform::ProcRunningApplications always(QStringLiteral("/proc"), 0ms);
    seldom.list();
    always.list();
    auto bundleOf = [](const platform::RunningApplications& apps, qint64 pid) -> std::optional<QString> {
        for (const platform::RunningApplication& app : apps.list()) {
            if (app.processIdentifier == pid)
                return app.bundleIdentifier;
        }
        return std::nullopt;
    };

    // A shell that becomes the player when told to.
    QProcess process;
    process.start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"), QStringLiteral("read line; exec \"$0\""),
                   QStringLiteral(TONIVOX_FAKE_PLAYER_DIR "/netease-cloud-music")});
    ASSERT_TRUE(process.waitForStarted(5000));
    const qint64 pid = process.processId();
    const auto asShell = bundleOf(seldom, pid);
    ASSERT_TRUE(asShell);
    EXPECT_NE(*asShell, QStringLiteral("netease-cloud-music"));

    process.write("go\n");
    bool ready = false;
    while (!ready && process.waitForReadyRead(5000))
        ready = process.readAll().contains("ready");
    ASSERT_TRUE(ready);
    EXPECT_EQ(bundleOf(always, pid), QStringLiteral("netease-cloud-music"));

    process.kill();
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_FALSE(bundleOf(seldom, pid));
}

TEST_F(MonitorTest, NeteaseUnderWineAndTheLinuxClientNameTheirForm)
{
    const QString cloudmusicPath = QStringLiteral("C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe");
    const QString library =
        home.path() + QStringLiteral("/.deepinwine/Spark-CloudMusic/drive_c/users/tester/AppData/Local/"
                                     "NetEase/CloudMusic/Library/webdb.dat");
    {
        // The bottles are searched when the player starts, not on every poll: a bottle made
        // later is seen once the player starts again.
        PlayerActivityMonitor earlier{{kugou, qq, netease, nowPlaying, std::make_shared<OwnChildren>()}};
        auto cloudmusic = std::make_unique<FakeWineProcess>(cloudmusicPath, QStringLiteral("cloudmusic.exe"));
        ASSERT_TRUE(cloudmusic->isReady());
        earlier.poll();
        cloudmusic.reset();
        earlier.poll();
        QDir().mkpath(QFileInfo(library).absolutePath());
        ASSERT_TRUE(runSql(
            library, {QStringLiteral("CREATE TABLE historyTracks (jsonStr TEXT, playtime INTEGER)"),
                      QStringLiteral("INSERT INTO historyTracks VALUES ('{\"name\":\"稻香\",\"artists\":"
                                     "[{\"name\":\"周杰伦\"}]}', 1700000000000)")}));
        earlier.poll();
        EXPECT_TRUE(netease.wineDatabases().isEmpty());
        cloudmusic = std::make_unique<FakeWineProcess>(cloudmusicPath, QStringLiteral("cloudmusic.exe"));
        ASSERT_TRUE(cloudmusic->isReady());
        earlier.poll();
        EXPECT_EQ(netease.wineDatabases(), QStringList{library});
    }
    {
        FakeWineProcess cloudmusic(cloudmusicPath, QStringLiteral("cloudmusic.exe"));
        FakeWineProcess kugou(QStringLiteral("C:\\KuGou\\KuGou.exe"), QStringLiteral("KuGou.exe"));
        ASSERT_TRUE(cloudmusic.isReady() && kugou.isReady());
        const States states = monitor.readAll();
        EXPECT_TRUE(states.at(PlayerSource::kugou).isRunning && states.at(PlayerSource::kugou).underWine);
        monitor.update(states);
        ASSERT_EQ(monitor.active(), PlayerSource::netease);
        EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("稻香"));
        EXPECT_EQ(monitor.sourceLabel(), QStringLiteral("网易云"));
        EXPECT_EQ(monitor.sourceForm(), QStringLiteral("网易云（Wine）"));
        EXPECT_TRUE(monitor.localReadDiag().endsWith(QStringLiteral(" 来源:网易云（Wine）")));
    }
    // The Linux client: its history file is newer than the bottle's.
    FakePlayer client(QStringLiteral("netease-cloud-music"));
    ASSERT_TRUE(client.isReady());
    ASSERT_TRUE(
        writeFile(netease.historyJsonPath(),
                  R"([{"track":{"name":"晴天","artists":[{"name":"周杰伦"}]},"time":1700000009000}])"));
    monitor.poll();
    EXPECT_EQ(monitor.activeSong()->title, QStringLiteral("晴天"));
    EXPECT_EQ(monitor.sourceForm(), QStringLiteral("网易云 1.2.1"));
}

TEST_F(MonitorTest, AnotherPlayingMprisPlayerIsTheSourceUnlessTurnedOffOrAnAdvert)
{
    FakePlayer spotify(QStringLiteral("electron"),
                       {QStringLiteral("--mpris"), QStringLiteral("spotify"), QStringLiteral("--identity"),
                        QStringLiteral("Spotify")},
                       bus.address());
    ASSERT_TRUE(spotify.isReady());
    const auto play = [&](const char* trackId, const char* title) {
        return spotify.script(
            QStringLiteral("spotify"), QStringLiteral("SetMetadata"),
            {QVariantMap{{QStringLiteral("mpris:trackid"), QString::fromUtf8(trackId)},
                         {QStringLiteral("xesam:title"), QString::fromUtf8(title)},
                         {QStringLiteral("xesam:artist"), QStringList{QStringLiteral("Adele")}}}});
    };
    ASSERT_TRUE(play("/com/spotify/track/1", "Hello"));
    ASSERT_TRUE(
        spotify.script(QStringLiteral("spotify"), QStringLiteral("SetStatus"), {QStringLiteral("Playing")}));
    const auto title = [&] {
        monitor.poll();
        const auto s = monitor.activeSong();
        return s ? s->title : QString();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return title() == QStringLiteral("Hello"); }, 5000));
    EXPECT_FALSE(monitor.active());
    EXPECT_EQ(monitor.sourceLabel(), QStringLiteral("Spotify"));
    EXPECT_EQ(monitor.sourceForm(), QStringLiteral("MPRIS：Spotify"));

    // An advert is never a song.
    ASSERT_TRUE(play("/com/spotify/ad/7", "Buy Now"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return title().isEmpty(); }, 5000));

    ASSERT_TRUE(play("/com/spotify/track/2", "Skyfall"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return title() == QStringLiteral("Skyfall"); }, 5000));
    bool allowed = false;
    PlayerActivityMonitor off{
        {kugou, qq, netease, nowPlaying, std::make_shared<OwnChildren>(), [&] { return allowed; }},
        [this] { return now; }};
    off.poll();
    EXPECT_FALSE(off.activeSong());
    EXPECT_EQ(off.sourceLabel(), QString());
    allowed = true;
    off.poll();
    EXPECT_EQ(off.activeSong()->title, QStringLiteral("Skyfall"));
}
