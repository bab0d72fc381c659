#include "player_fixtures.h"

#include "support/child_process.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Sets one of a file's two times (0: access, 1: modification), leaving the other.
bool setTime(const QString& path, int which, std::chrono::system_clock::time_point when)
{
    timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    times[which] = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// Starts the program with the extra environment and waits until it prints "ready".
bool startReady(QProcess& process, const QString& program, const QStringList& arguments, const QString& name,
                const QString& value)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!value.isEmpty())
        environment.insert(name, value);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    bool ready = false;
    if (process.waitForStarted(5000)) {
        while (!ready && process.waitForReadyRead(5000))
            ready = process.readAll().contains("ready");
    }
    return ready;
}

// Copies `source` once into a folder of the run's own under `name`, as an executable.
QString copyNamed(const QString& source, const QString& name)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(name);
    if (QFile::copy(source, path))
        QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    return path;
}

plist_t text(const QString& value)
{
    return plist_new_string(value.toUtf8().constData());
}

} // namespace

QString songText(const std::optional<Song>& song)
{
    return song ? song->title + u'|' + song->artist : QString();
}

QString songText(const std::optional<std::pair<Song, QString>>& reading)
{
    return reading ? songText(reading->first) + u'|' + reading->second : QString();
}

bool setAccessTime(const QString& path, std::chrono::system_clock::time_point when)
{
    return setTime(path, 0, when);
}

bool setModificationTime(const QString& path, std::chrono::system_clock::time_point when)
{
    return setTime(path, 1, when);
}

bool runSql(const QString& path, const QStringList& statements)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK;
    for (const QString& statement : statements)
        ok = ok && sqlite3_exec(db, statement.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

plist_t plistDict(std::initializer_list<std::pair<const char*, plist_t>> items)
{
    plist_t d = plist_new_dict();
    for (const auto& [key, value] : items) {
        if (value)
            plist_dict_set_item(d, key, value);
    }
    return d;
}

plist_t plistArray(const std::vector<plist_t>& items)
{
    plist_t a = plist_new_array();
    for (plist_t item : items)
        plist_array_append_item(a, item);
    return a;
}

QByteArray serializePlist(plist_t root, bool binary)
{
    char* data = nullptr;
    uint32_t length = 0;
    (binary ? plist_to_bin : plist_to_xml)(root, &data, &length);
    QByteArray bytes(data, static_cast<qsizetype>(length));
    free(data);
    plist_free(root);
    return bytes;
}

QByteArray qqArchive(const std::vector<QQEntry>& entries, std::optional<qint64> lastPlayingIndex,
                     ArchiveForm form)
{
    const bool binary = form == ArchiveForm::binaryUids;
    plist_t objects = plistArray({plist_new_string("$null")});
    // Stores the object and links to it: a UID, or a CF$UID dictionary as an XML round trip makes it.
    const auto ref = [&](plist_t object) {
        plist_array_append_item(objects, object);
        const uint64_t index = plist_array_get_size(objects) - 1;
        return binary ? plist_new_uid(index) : plistDict({{"CF$UID", plist_new_uint(index)}});
    };
    std::vector<plist_t> songs;
    for (const QQEntry& entry : entries) {
        std::vector<plist_t> singers;
        for (const auto& [singerName, name] : entry.singers)
            singers.push_back(
                ref(plistDict({{"singerName", ref(text(singerName))}, {"name", ref(text(name))}})));
        plist_t list = ref(plistDict({{"NS.objects", plistArray(singers)}}));
        songs.push_back(
            ref(plistDict({{"songName", ref(text(entry.title))},
                           {"singerList", list},
                           {"songId", entry.songId ? plist_new_uint(uint64_t(*entry.songId)) : nullptr}})));
    }
    plist_t playing = ref(plistDict({{"ListData", ref(plistDict({{"NS.objects", plistArray(songs)}}))}}));
    plist_t top = plistDict(
        {{"PlayingList", playing},
         {"LastPlayingIndex", lastPlayingIndex ? plist_new_uint(uint64_t(*lastPlayingIndex)) : nullptr}});
    return serializePlist(
        plistDict({{"$archiver", plist_new_string("NSKeyedArchiver")}, {"$objects", objects}, {"$top", top}}),
        binary);
}

QByteArray kugouPlaylist(const std::vector<std::vector<KugouEntry>>& lists, bool binary)
{
    std::vector<plist_t> outer;
    for (const auto& list : lists) {
        std::vector<plist_t> inner;
        const auto optionalText = [](const std::optional<QString>& value) {
            return value ? text(*value) : nullptr;
        };
        for (const KugouEntry& e : list)
            inner.push_back(plistDict(
                {{"musictitle", optionalText(e.musictitle)},
                 {"musicName", optionalText(e.musicName)},
                 {"singerName", optionalText(e.singerName)},
                 {"currentProgress", e.currentProgress ? plist_new_real(*e.currentProgress) : nullptr}}));
        outer.push_back(plistArray(inner));
    }
    return serializePlist(plistDict({{"userPlayList", plistArray(outer)}}), binary);
}

PrivateBus::PrivateBus()
{
    endsWithTheTest(m_daemon);
    m_daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s,
                                      u"--address=unix:tmpdir="_s + QDir::tempPath()});
    if (m_daemon.waitForStarted(5000) && m_daemon.waitForReadyRead(5000))
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

// Ended gently first: a killed daemon leaves its socket behind.
PrivateBus::~PrivateBus()
{
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(2000))
        endProcess(m_daemon);
}

FakePlayer::FakePlayer(const QString& executableName, const QStringList& arguments, const QString& busAddress)
    : m_busAddress(busAddress)
{
    m_ready = startReady(m_process, QStringLiteral(TONIVOX_FAKE_PLAYER_DIR "/") + executableName, arguments,
                         u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress);
}

bool FakePlayer::script(const QString& suffix, const QString& method, const QVariantList& arguments)
{
    QDBusConnection bus =
        QDBusConnection::connectToBus(m_busAddress, u"fake-player-script "_s + m_busAddress);
    QDBusMessage message =
        QDBusMessage::createMethodCall(u"org.mpris.MediaPlayer2."_s + suffix, u"/org/mpris/MediaPlayer2"_s,
                                       u"org.tonivox.FakePlayer"_s, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

bool FakePlayer::play(const QString& suffix, const QString& title, const QString& trackId)
{
    QVariantMap metadata{{u"xesam:title"_s, title}, {u"xesam:artist"_s, QStringList{u"Jay"_s}}};
    if (!trackId.isEmpty())
        metadata.insert(u"mpris:trackid"_s, trackId);
    return script(suffix, u"SetMetadata"_s, {metadata}) && script(suffix, u"SetStatus"_s, {u"Playing"_s});
}

FakeWineProcess::FakeWineProcess(const QString& windowsPath, const QString& comm)
{
    const QString loader =
        copyNamed(QFileInfo(u"/usr/bin/python3"_s).canonicalFilePath(), u"wine64-preloader"_s);
    // The name travels in the environment, so that only windowsPath names a program on the command line.
    const QString script = u"import ctypes, os, sys\n"
                           "comm = os.environ.get('FAKE_WINE_COMM', '')\n"
                           "if comm:\n"
                           "    ctypes.CDLL(None).prctl(15, ctypes.c_char_p(comm.encode()), 0, 0, 0)\n"
                           "print('ready', flush=True)\n"
                           "sys.stdin.read()\n"_s;
    m_ready = startReady(m_process, loader, {u"-c"_s, script, windowsPath}, u"FAKE_WINE_COMM"_s, comm);
}

std::vector<platform::RunningApplication> OwnChildren::list() const
{
    std::vector<platform::RunningApplication> mine;
    const QByteArray self = QByteArray::number(static_cast<qint64>(::getpid()));
    for (platform::RunningApplication& app : ProcRunningApplications::list()) {
        QFile stat(u"/proc/%1/stat"_s.arg(app.processIdentifier));
        // pid (comm) state ppid …; the name may hold spaces, so count from its closing bracket.
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self)
            mine.push_back(std::move(app));
    }
    return mine;
}

PlayerWindow::PlayerWindow(const QString& executableName, const QString& size, const QString& firstCommand,
                           const QStringList& extraArguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    endsWithTheTest(m_process);
    // A static title, as players show when no song is named there; a later "--title" wins.
    m_process.start(copyNamed(QStringLiteral(TONIVOX_WINDOW_PLAYER_APP), executableName),
                    QStringList{u"--size"_s, size, u"--title"_s, executableName} + extraArguments);
    m_ready = m_process.waitForStarted() && send(firstCommand);
}

PlayerWindow::~PlayerWindow()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000))
        endProcess(m_process);
}

bool PlayerWindow::send(const QString& command)
{
    m_process.write(command.toUtf8() + '\n');
    m_process.waitForBytesWritten();
    if (command == u"minimise"_s)
        return true;
    // Waits for "drawn <n>" with n at least this command's number. The guard only ends a hang:
    // a window started beside a loaded test run may take long.
    const int number = ++m_sent;
    const QDeadlineTimer guard(std::chrono::seconds(30));
    for (;;) {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("drawn ") && line.mid(6).toInt() >= number)
                return true;
        }
        if (guard.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(static_cast<int>(guard.remainingTime()));
    }
}
