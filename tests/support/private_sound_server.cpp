#include "support/private_sound_server.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <csignal>

PrivateSoundServer::PrivateSoundServer(const QStringList& sinks)
{
    const QString root = m_dir.path();
    for (const char* sub : {"/pulse", "/xdg", "/home"}) {
        if (!QDir().mkpath(root + QLatin1String(sub))) {
            m_error = QStringLiteral("cannot make ") + root + QLatin1String(sub);
            return;
        }
    }
    QFile::setPermissions(root + QStringLiteral("/xdg"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/xdg"));
    environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), root + QStringLiteral("/pulse"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QStringList arguments{QStringLiteral("-D"), QStringLiteral("-n"), QStringLiteral("--exit-idle-time=-1"),
                          QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=") +
                              root + QStringLiteral("/native")};
    for (const QString& sink : sinks)
        arguments << QStringLiteral("--load=module-null-sink sink_name=%1 rate=48000").arg(sink);
    QProcess daemon;
    daemon.setProcessEnvironment(environment);
    // -D returns once the daemon is up and has written its pid.
    daemon.start(QStringLiteral("pulseaudio"), arguments);
    if (!daemon.waitForFinished(30000) || daemon.exitCode() != 0) {
        m_error = QStringLiteral("pulseaudio did not start: ") +
                  QString::fromLocal8Bit(daemon.readAllStandardError());
        return;
    }
    QFile pidFile(root + QStringLiteral("/pulse/pid"));
    if (pidFile.open(QIODevice::ReadOnly))
        m_pid = pidFile.readAll().trimmed().toInt();
    if (m_pid <= 0)
        m_error = QStringLiteral("pulseaudio wrote no pid");
}

PrivateSoundServer::~PrivateSoundServer()
{
    if (m_pid <= 0)
        return;
    thaw();
    ::kill(m_pid, SIGKILL);
}

QByteArray PrivateSoundServer::address() const
{
    return "unix:" + QFile::encodeName(m_dir.path() + QStringLiteral("/native"));
}

bool PrivateSoundServer::freeze()
{
    m_frozen = m_pid > 0 && ::kill(m_pid, SIGSTOP) == 0;
    return m_frozen;
}

bool PrivateSoundServer::thaw()
{
    if (!m_frozen)
        return false;
    m_frozen = ::kill(m_pid, SIGCONT) != 0;
    return !m_frozen;
}
