#include "support/private_sound_server.h"

#include <QFile>
#include <QProcess>
#include <csignal>

PrivateSoundServer::~PrivateSoundServer()
{
    if (pid() > 0)
        stop();
}

bool PrivateSoundServer::run(const char* command)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    // The services' server owns the session bus names a second daemon would claim.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    script.setProcessEnvironment(environment);
    script.start(QStringLiteral(TONIVOX_SOUND_SERVER_SCRIPT), {QString::fromLatin1(command), m_dir.path()});
    // A ceiling, not a measure: a loaded machine has taken over 30 s to bring PipeWire back.
    const bool finished = script.waitForFinished(90000);
    const bool ok = finished && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    m_error = QString::fromUtf8(script.readAll());
    if (!finished) {
        script.kill();
        script.waitForFinished(5000);
        m_error += QStringLiteral("\nsound-server %1: no end within 90 s").arg(QString::fromLatin1(command));
    }
    return ok;
}

bool PrivateSoundServer::stop()
{
    thaw();
    return run("stop");
}

bool PrivateSoundServer::freeze()
{
    const pid_t server = pid();
    if (m_frozen || server <= 0 || ::kill(server, SIGSTOP) != 0)
        return false;
    m_frozen = server;
    return true;
}

bool PrivateSoundServer::thaw()
{
    if (m_frozen <= 0 || ::kill(m_frozen, SIGCONT) != 0)
        return false;
    m_frozen = 0;
    return true;
}

pid_t PrivateSoundServer::pid() const
{
    QFile file(m_dir.path() + QStringLiteral("/pulse/pid"));
    return file.open(QIODevice::ReadOnly) ? static_cast<pid_t>(file.readAll().trimmed().toInt()) : 0;
}

QProcessEnvironment PrivateSoundServer::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("PULSE_SERVER"), QString::fromUtf8(address()));
    base.insert(QStringLiteral("PULSE_RUNTIME_PATH"), m_dir.path() + QStringLiteral("/pulse"));
    base.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path() + QStringLiteral("/xdg"));
    return base;
}

QByteArray PrivateSoundServer::pactl(const QStringList& arguments) const
{
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QStringLiteral("pactl"), arguments);
    p.waitForFinished(10000);
    return p.readAllStandardOutput().trimmed();
}
