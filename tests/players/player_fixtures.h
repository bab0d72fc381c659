#pragma once

#include "core/song.h"
#include "platform/running_applications.h"
#include "support/temp_home.h"

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <chrono>
#include <optional>
#include <plist/plist.h>
#include <vector>

// Fixtures of the player tests: real files in the players' formats and real processes.

// "title|artist" of a song, "title|artist|id" of a reading, empty for none: one comparison
// shows all of it.
QString songText(const std::optional<Song>& song);
QString songText(const std::optional<std::pair<Song, QString>>& reading);
// Set one of a file's times, keeping the other.
bool setAccessTime(const QString& path, std::chrono::system_clock::time_point when);
bool setModificationTime(const QString& path, std::chrono::system_clock::time_point when);
// Creates (or extends) an SQLite database by running the statements; false on any error.
bool runSql(const QString& path, const QStringList& statements);
// Binary or XML bytes of a property list; frees the list.
QByteArray serializePlist(plist_t root, bool binary);
// A property-list dictionary of the items whose value is not null, and an array.
plist_t plistDict(std::initializer_list<std::pair<const char*, plist_t>> items);
plist_t plistArray(const std::vector<plist_t>& items);

// One QQ Music play-list entry as the keyed archive stores it; singers as (singerName, name).
struct QQEntry {
    QString title;
    std::vector<std::pair<QString, QString>> singers;
    std::optional<qint64> songId;
};
enum class ArchiveForm { binaryUids, xmlCfUidDictionaries };
QByteArray qqArchive(const std::vector<QQEntry>& entries, std::optional<qint64> lastPlayingIndex,
                     ArchiveForm form);

// One Kugou play-list entry; absent fields are left out of the file.
struct KugouEntry {
    std::optional<QString> musictitle, musicName, singerName;
    std::optional<double> currentProgress;
};
QByteArray kugouPlaylist(const std::vector<std::vector<KugouEntry>>& lists, bool binary = true);

// A temporary home plus a temporary folder of its own for the readers' private copies,
// so a test can check that every copy is gone again.
class PlayerHome {
public:
    PlayerHome() { QDir().mkpath(tempDir()); }
    QString path() const { return m_home.path(); }
    QString tempDir() const { return m_home.path() + QStringLiteral("/tmp"); }
    QStringList leftInTemp() const { return QDir(tempDir()).entryList(QDir::Files | QDir::NoDotAndDotDot); }

private:
    TempHome m_home;
};

// Kills the process and waits for its end (the destructors of the stand-ins below).
inline void endProcess(QProcess& process)
{
    process.kill();
    process.waitForFinished(5000);
}

// A dbus-daemon of the test's own, so that parallel tests never see each other's players.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    const QString& address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};

// A copy of the test player under a player's executable name ("qqmusic", "kugou",
// "netease-cloud-music"), started and ready; killed when the object goes.
class FakePlayer {
public:
    FakePlayer(const QString& executableName, const QStringList& arguments = {},
               const QString& busAddress = {});
    ~FakePlayer() { endProcess(m_process); }
    bool isReady() const { return m_ready; }
    qint64 pid() const { return m_process.processId(); }
    // Calls a method of org.tonivox.FakePlayer on the bus name org.mpris.MediaPlayer2.<suffix>.
    bool script(const QString& suffix, const QString& method, const QVariantList& arguments);
    // Sets the title (artist "Jay", the track id if given), then the status Playing.
    bool play(const QString& suffix, const QString& title, const QString& trackId = {});

private:
    QProcess m_process;
    QString m_busAddress;
    bool m_ready = false;
};

// A Windows player under Wine as /proc shows it: a copy of python3 named like the Wine loader
// ("wine64-preloader"), whose command line carries `windowsPath` and which renames its
// process to `comm` (if not empty) with prctl(PR_SET_NAME), as Wine does, before it is ready.
class FakeWineProcess {
public:
    FakeWineProcess(const QString& windowsPath, const QString& comm);
    ~FakeWineProcess() { endProcess(m_process); }
    bool isReady() const { return m_ready; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    bool m_ready = false;
};

// The real /proc scan, narrowed to this test process's own children so that players
// started by tests running beside this one do not count.
class OwnChildren : public platform::ProcRunningApplications {
public:
    std::vector<platform::RunningApplication> list() const override;
};

// A stand-in player window (of `size`, "WxH") whose bottom bar shows a song, run from a copy of
// the window helper under a player's executable name; its title is that name unless
// `extraArguments` bring a "--title".
class PlayerWindow {
public:
    PlayerWindow(const QString& executableName, const QString& size, const QString& firstCommand,
                 const QStringList& extraArguments = {});
    ~PlayerWindow();
    // Whether the first command was drawn.
    bool isReady() const { return m_ready; }
    // Sends "bar <text>", "two <title>|<artist>" or "minimise"; for the drawing
    // commands waits until the server holds the repaint that shows it. False on a time-out.
    bool send(const QString& command);
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    int m_sent = 0;
    bool m_ready = false;
};
