#include "player_fixtures.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <fcntl.h>
#include <plist/plist.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool setTimes(const QString& path, std::optional<std::chrono::system_clock::time_point> access,
              std::optional<std::chrono::system_clock::time_point> modification)
{
    auto toTimespec = [](std::optional<std::chrono::system_clock::time_point> t) {
        timespec ts{0, UTIME_OMIT};
        if (t) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(t->time_since_epoch()).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        return ts;
    };
    const timespec times[2] = {toTimespec(access), toTimespec(modification)};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace

bool setAccessTime(const QString& path, std::chrono::system_clock::time_point when)
{
    return setTimes(path, when, std::nullopt);
}

bool setModificationTime(const QString& path, std::chrono::system_clock::time_point when)
{
    return setTimes(path, std::nullopt, when);
}

bool runSql(const QString& path, const QStringList& statements)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK;
    for (const QString& statement : statements) {
        if (ok)
            ok = sqlite3_exec(db, statement.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_close(db);
    return ok;
}

QByteArray serializePlist(plist_t root, bool binary)
{
    char* data = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(root, &data, &length);
    else
        plist_to_xml(root, &data, &length);
    QByteArray bytes(data, static_cast<qsizetype>(length));
    free(data);
    plist_free(root);
    return bytes;
}

namespace {

class ArchiveBuilder {
public:
    explicit ArchiveBuilder(ArchiveForm form) : m_form(form), m_objects(plist_new_array())
    {
        plist_array_append_item(m_objects, plist_new_string("$null"));
    }
    plist_t ref(plist_t object)
    {
        plist_array_append_item(m_objects, object);
        const uint64_t index = plist_array_get_size(m_objects) - 1;
        if (m_form == ArchiveForm::binaryUids)
            return plist_new_uid(index);
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "CF$UID", plist_new_uint(index));
        return dict;
    }
    plist_t ref(const QString& text) { return ref(plist_new_string(text.toUtf8().constData())); }
    QByteArray finish(plist_t top)
    {
        plist_t root = plist_new_dict();
        plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(root, "$objects", m_objects);
        plist_dict_set_item(root, "$top", top);
        return serializePlist(root, m_form == ArchiveForm::binaryUids);
    }

private:
    ArchiveForm m_form;
    plist_t m_objects;
};

} // namespace

QByteArray qqArchive(const std::vector<QQEntry>& entries, std::optional<qint64> lastPlayingIndex,
                     ArchiveForm form)
{
    ArchiveBuilder archive(form);
    plist_t songs = plist_new_array();
    for (const QQEntry& entry : entries) {
        plist_t singerArray = plist_new_array();
        for (const auto& [singerName, name] : entry.singers) {
            plist_t singer = plist_new_dict();
            plist_dict_set_item(singer, "singerName", archive.ref(singerName));
            plist_dict_set_item(singer, "name", archive.ref(name));
            plist_array_append_item(singerArray, archive.ref(singer));
        }
        plist_t singerList = plist_new_dict();
        plist_dict_set_item(singerList, "NS.objects", singerArray);
        plist_t song = plist_new_dict();
        plist_dict_set_item(song, "songName", archive.ref(entry.title));
        plist_dict_set_item(song, "singerList", archive.ref(singerList));
        if (entry.songId)
            plist_dict_set_item(song, "songId", plist_new_uint(static_cast<uint64_t>(*entry.songId)));
        plist_array_append_item(songs, archive.ref(song));
    }
    plist_t listData = plist_new_dict();
    plist_dict_set_item(listData, "NS.objects", songs);
    plist_t playing = plist_new_dict();
    plist_dict_set_item(playing, "ListData", archive.ref(listData));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "PlayingList", archive.ref(playing));
    if (lastPlayingIndex)
        plist_dict_set_item(top, "LastPlayingIndex",
                            plist_new_uint(static_cast<uint64_t>(*lastPlayingIndex)));
    return archive.finish(top);
}

QByteArray kugouPlaylist(const std::vector<std::vector<KugouEntry>>& lists, bool binary)
{
    plist_t outer = plist_new_array();
    for (const auto& list : lists) {
        plist_t inner = plist_new_array();
        for (const KugouEntry& entry : list) {
            plist_t dict = plist_new_dict();
            auto setText = [dict](const char* key, const std::optional<QString>& value) {
                if (value)
                    plist_dict_set_item(dict, key, plist_new_string(value->toUtf8().constData()));
            };
            setText("musictitle", entry.musictitle);
            setText("musicName", entry.musicName);
            setText("singerName", entry.singerName);
            if (entry.currentProgress)
                plist_dict_set_item(dict, "currentProgress", plist_new_real(*entry.currentProgress));
            plist_array_append_item(inner, dict);
        }
        plist_array_append_item(outer, inner);
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "userPlayList", outer);
    return serializePlist(root, binary);
}

PrivateBus::PrivateBus()
{
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1"),
                    QStringLiteral("--address=unix:tmpdir=") + QDir::tempPath()});
    if (m_daemon.waitForStarted(5000) && m_daemon.waitForReadyRead(5000))
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(2000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(2000);
    }
}

FakePlayer::FakePlayer(const QString& executableName, const QStringList& arguments, const QString& busAddress)
    : m_busAddress(busAddress)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!busAddress.isEmpty())
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(TONIVOX_FAKE_PLAYER_DIR "/") + executableName, arguments);
    if (m_process.waitForStarted(5000)) {
        while (!m_ready && m_process.waitForReadyRead(5000))
            m_ready = m_process.readAll().contains("ready");
    }
}

FakePlayer::~FakePlayer()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

FakeWineProcess::FakeWineProcess(const QString& windowsPath, const QString& comm)
{
    static QTemporaryDir dir;
    const QString loader = dir.path() + QStringLiteral("/wine64-preloader");
    if (!QFile::exists(loader))
        QFile::copy(QFileInfo(QStringLiteral("/usr/bin/python3")).canonicalFilePath(), loader);
    // The name travels in the environment, so that only windowsPath names a program on the command line.
    const QString script =
        QStringLiteral("import ctypes, os, sys\n"
                       "comm = os.environ.get('FAKE_WINE_COMM', '')\n"
                       "if comm:\n"
                       "    ctypes.CDLL(None).prctl(15, ctypes.c_char_p(comm.encode()), 0, 0, 0)\n"
                       "print('ready', flush=True)\n"
                       "sys.stdin.read()\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FAKE_WINE_COMM"), comm);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(loader, {QStringLiteral("-c"), script, windowsPath});
    if (m_process.waitForStarted(5000)) {
        while (!m_ready && m_process.waitForReadyRead(5000))
            m_ready = m_process.readAll().contains("ready");
    }
}

FakeWineProcess::~FakeWineProcess()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool FakePlayer::script(const QString& suffix, const QString& method, const QVariantList& arguments)
{
    QDBusConnection bus =
        QDBusConnection::connectToBus(m_busAddress, QStringLiteral("fake-player-script ") + m_busAddress);
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.mpris.MediaPlayer2.") + suffix,
                                                          QStringLiteral("/org/mpris/MediaPlayer2"),
                                                          QStringLiteral("org.tonivox.FakePlayer"), method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

std::vector<platform::RunningApplication> OwnChildren::list() const
{
    std::vector<platform::RunningApplication> mine;
    const QByteArray self = QByteArray::number(static_cast<qint64>(::getpid()));
    for (platform::RunningApplication& app : m_proc.list()) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(app.processIdentifier));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid …; the name may hold spaces, so count from its closing bracket.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self)
            mine.push_back(std::move(app));
    }
    return mine;
}

std::optional<QString> OwnChildren::localizedName(qint64 processIdentifier) const
{
    return m_proc.localizedName(processIdentifier);
}

std::optional<platform::RunningApplication> OwnChildren::application(qint64 processIdentifier) const
{
    return m_proc.application(processIdentifier);
}

PlayerWindow::PlayerWindow(const QString& executableName, const QString& size, const QString& firstCommand,
                           const QStringList& extraArguments, const QString& display)
{
    if (!display.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        m_process.setProcessEnvironment(env);
    }
    static QTemporaryDir dir;
    const QString path = dir.path() + u'/' + executableName;
    if (!QFile::exists(path)) {
        QFile::copy(QStringLiteral(TONIVOX_WINDOW_PLAYER_APP), path);
        QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A static title, as players show when no song is named there; a later "--title" wins.
    m_process.start(path,
                    QStringList{QStringLiteral("--size"), size, QStringLiteral("--title"), executableName} +
                        extraArguments);
    m_ready = m_process.waitForStarted() && send(firstCommand);
}

PlayerWindow::~PlayerWindow()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished();
}

bool PlayerWindow::send(const QString& command)
{
    m_process.write(command.toUtf8() + '\n');
    m_process.waitForBytesWritten();
    if (command == QStringLiteral("raise") || command == QStringLiteral("minimise"))
        return true;
    return waitForDrawn(++m_sent);
}

bool PlayerWindow::waitForDrawn(int command)
{
    // The guard only ends a hang: a window started beside a loaded test run may take long.
    const QDeadlineTimer guard(std::chrono::seconds(30));
    for (;;) {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("drawn ") && line.mid(6).toInt() >= command)
                return true;
        }
        if (guard.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(static_cast<int>(guard.remainingTime()));
    }
}
