#include "support/keylib_server_process.h"

#include "support/child_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

KeylibServerProcess::KeylibServerProcess(const QStringList& extraArguments)
{
    endsWithTheTest(*m_process);
    m_process->start(binary(), QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                           QStringLiteral("--db"), dbPath(), QStringLiteral("--log"),
                                           m_dir.path() + QStringLiteral("/requests.log")} +
                                   extraArguments);
    // The server prints the address it listens on once it does.
    static const QRegularExpression listening(QStringLiteral(R"(listening on http://[^:]+:(\d+))"));
    QByteArray out;
    const QDeadlineTimer deadline(10000);
    while (m_process->waitForStarted(5000) && !deadline.hasExpired() &&
           m_process->state() == QProcess::Running) {
        m_process->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        out += m_process->readAllStandardOutput();
        if (const auto match = listening.match(QString::fromUtf8(out)); match.hasMatch()) {
            m_port = match.captured(1).toInt();
            return;
        }
    }
}

QString KeylibServerProcess::binary()
{
    return QStringLiteral(TONIVOX_KEYLIB_SERVER);
}

QString KeylibServerProcess::writeTemp(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QFile file(dir.path() + QLatin1Char('/') + name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return file.fileName();
}

QList<QJsonObject> KeylibServerProcess::requests() const
{
    QFile file(m_dir.path() + QStringLiteral("/requests.log"));
    QList<QJsonObject> out;
    for (const QByteArray& line :
         file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QByteArrayList())
        if (!line.trimmed().isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    return out;
}

bool KeylibServerProcess::waitForRequests(int count, std::chrono::milliseconds timeout) const
{
    const QDeadlineTimer deadline(timeout);
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
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
            return -1;
        }
    }
    return m_process->exitCode();
}
