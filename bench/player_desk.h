#pragma once

// Three running players with realistic files under a temporary home (NetEase also as the Linux
// client's 5 MB history and in five Wine bottles, its Windows client running), shared by the
// benches that poll the player monitor.
#include "players/kugou_detector.h"
#include "players/mpris_provider.h"
#include "players/netease_music_detector.h"
#include "players/now_playing.h"
#include "players/player_activity_monitor.h"
#include "players/player_fixtures.h"
#include "players/qq_music_detector.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <memory>

namespace bench_desk {

inline bool write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

struct Desk {
    QTemporaryDir home;
    PrivateBus bus;
    std::unique_ptr<FakePlayer> qqProcess, kugouProcess, neteaseProcess;
    std::unique_ptr<FakeWineProcess> wineProcess;
    std::unique_ptr<KuGouDetector> kugou;
    std::unique_ptr<QQMusicDetector> qq;
    std::unique_ptr<NeteaseMusicDetector> netease;
    std::unique_ptr<NowPlaying> nowPlaying;
    std::unique_ptr<PlayerActivityMonitor> monitor;

    Desk()
    {
        const QString tmp = home.path() + QStringLiteral("/tmp");
        QDir().mkpath(tmp);
        qqProcess = std::make_unique<FakePlayer>(
            QStringLiteral("qqmusic"), QStringList{QStringLiteral("--mpris"), QStringLiteral("qqmusic")},
            bus.address());
        kugouProcess = std::make_unique<FakePlayer>(QStringLiteral("kugou"));
        neteaseProcess = std::make_unique<FakePlayer>(QStringLiteral("netease-cloud-music"));
        kugou = std::make_unique<KuGouDetector>(home.path());
        qq = std::make_unique<QQMusicDetector>(home.path(), tmp);
        netease = std::make_unique<NeteaseMusicDetector>(home.path(), tmp);
        nowPlaying = std::make_unique<NowPlaying>(std::make_shared<MprisProvider>(bus.address()),
                                                  platform::defaultRunningApplications());
        monitor = std::make_unique<PlayerActivityMonitor>(PlayerActivityMonitor::Readers{
            *kugou, *qq, *netease, *nowPlaying, platform::defaultRunningApplications()});

        std::vector<std::vector<KugouEntry>> lists(1);
        for (int i = 0; i < 300; ++i)
            lists[0].push_back({QStringLiteral("Singer %1 - Song %1").arg(i),
                                {},
                                QStringLiteral("Singer"),
                                i == 150 ? 42.0 : 0.0});
        write(kugou->playlistPath(), kugouPlaylist(lists));

        std::vector<QQEntry> entries;
        for (int i = 0; i < 300; ++i)
            entries.push_back(
                {QStringLiteral("Song %1").arg(i), {{QStringLiteral("Singer %1").arg(i), QString()}}, i});
        write(qq->archivePath(), qqArchive(entries, 150, ArchiveForm::binaryUids));
        QStringList lyricRows = {QStringLiteral("CREATE TABLE Cache (keyId TEXT, accessTime REAL)")};
        for (int i = 0; i < 2000; ++i)
            lyricRows << QStringLiteral("INSERT INTO Cache VALUES ('%1.qrc', %2)").arg(i).arg(1700000000 + i);
        runSql(qq->lyricDbPath(), lyricRows);
        for (int i = 0; i < 200; ++i)
            write(qq->cacheDir() + QStringLiteral("/%1/%2-13.mgg").arg(i % 10).arg(i), "x");

        QStringList history = {QStringLiteral("CREATE TABLE historyTracks (playtime INTEGER, jsonStr TEXT)")};
        for (int i = 0; i < 2000; ++i)
            history << QStringLiteral(
                           "INSERT INTO historyTracks VALUES (%1, '{\"name\":\"Song %2\",\"artists\":"
                           "[{\"name\":\"Singer\"}],\"album\":{\"name\":\"%3\"}}')")
                           .arg(1700000000000LL + i)
                           .arg(i)
                           .arg(QString(400, QLatin1Char('a')));
        runSql(netease->sqlitePath(), history);

        // NetEase's Windows client in five deepin-wine bottles, the Linux client's 5 MB history.
        for (int b = 0; b < 5; ++b) {
            const QString library =
                home.path() + QStringLiteral("/.deepinwine/Bottle%1/drive_c/users/me/AppData/Local/"
                                             "NetEase/CloudMusic/Library/webdb.dat")
                                  .arg(b);
            QDir().mkpath(QFileInfo(library).absolutePath());
            QStringList rows = {
                QStringLiteral("CREATE TABLE historyTracks (jsonStr TEXT, playtime INTEGER)")};
            for (int i = 0; i < 500; ++i)
                rows << QStringLiteral("INSERT INTO historyTracks VALUES ('{\"name\":\"Wine %1\",\"artists\":"
                                       "[{\"name\":\"Singer\"}]}', %2)")
                            .arg(i)
                            .arg(1600000000000LL + i);
            runSql(library, rows);
        }
        QByteArray json = "[";
        for (int i = 0; json.size() < (5 << 20); ++i)
            json += QStringLiteral(R"({"track":{"name":"Song %1","id":%1,"artists":[{"name":"Singer"}],)"
                                   R"("album":{"name":"%2"}},"time":%3},)")
                        .arg(i)
                        .arg(QString(200, QLatin1Char('a')))
                        .arg(1700000000000LL - i)
                        .toUtf8();
        json.back() = ']';
        write(netease->historyJsonPath(), json);
        wineProcess = std::make_unique<FakeWineProcess>(
            QStringLiteral("C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe"),
            QStringLiteral("cloudmusic.exe"));
        monitor->poll();
    }

    // Every player file written again: new modification (and access) times. Of the Wine
    // bottles, the running client writes its own.
    void touchAll()
    {
        static int generation = 0;
        const auto when = std::chrono::system_clock::now() + std::chrono::seconds(++generation);
        for (const QString& path : {kugou->playlistPath(), qq->archivePath(), qq->lyricDbPath(),
                                    netease->sqlitePath(), netease->historyJsonPath(),
                                    netease->wineDatabases().value(0)})
            setModificationTime(path, when);
        setAccessTime(qq->cacheDir() + QStringLiteral("/7/7-13.mgg"), when);
    }
};

} // namespace bench_desk
