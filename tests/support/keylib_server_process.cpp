#include "support/keylib_server_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

KeylibServerProcess::KeylibServerProcess(const QStringList& extraArguments)
    : m_process(std::make_unique<QProcess>())
{
    const QStringList arguments =
        QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                    QStringLiteral("--db"),     dbPath(),
                    QStringLiteral("--log"),    m_dir.path() + QStringLiteral("/requests.log")} +
        extraArguments;
    m_process->start(binary(), arguments);
    if (!m_process->waitForStarted(5000))
        return;
    static const QRegularExpression listening(QStringLiteral(R"(listening on http://[^:]+:(\d+))"));
    QByteArray out;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
        m_process->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        out += m_process->readAllStandardOutput();
        const auto match = listening.match(QString::fromUtf8(out));
        if (match.hasMatch()) {
            m_port = match.captured(1).toInt();
            return;
        }
    }
}

KeylibServerProcess::~KeylibServerProcess()
{
    stop();
}

QString KeylibServerProcess::binary()
{
    return QStringLiteral(TONIVOX_KEYLIB_SERVER);
}

QString KeylibServerProcess::writeTemp(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.path() + QLatin1Char('/') + name;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}

QString KeylibServerProcess::baseURL() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QByteArray KeylibServerProcess::errorOutput()
{
    m_errorOutput += m_process->readAllStandardError();
    return m_errorOutput;
}

QList<QJsonObject> KeylibServerProcess::requests() const
{
    QFile file(m_dir.path() + QStringLiteral("/requests.log"));
    QList<QJsonObject> out;
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

bool KeylibServerProcess::waitForRequests(int count, std::chrono::milliseconds timeout) const
{
    QDeadlineTimer deadline(timeout);
    while (requests().size() < count) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

int KeylibServerProcess::stop()
{
    if (m_process->state() == QProcess::NotRunning)
        return m_process->exitCode();
    m_process->terminate();
    if (m_process->waitForFinished(5000))
        return m_process->exitCode();
    m_process->kill();
    m_process->waitForFinished(5000);
    return -1;
}

ServerRun runServerToEnd(const QStringList& arguments, std::chrono::milliseconds timeout)
{
    QProcess process;
    process.start(KeylibServerProcess::binary(), arguments);
    ServerRun run;
    if (!process.waitForFinished(static_cast<int>(timeout.count()))) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errorOutput = process.readAllStandardError();
    return run;
}
