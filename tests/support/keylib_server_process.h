#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <memory>

// The real tonivox-keylib-server as a subprocess on a free loopback port, with its database
// and request log in a temporary folder. Stopped (SIGTERM) on destruction.
class KeylibServerProcess {
public:
    // Extra arguments come after --listen, --db and --log.
    explicit KeylibServerProcess(const QStringList& extraArguments = {});
    ~KeylibServerProcess() { stop(); }
    KeylibServerProcess(const KeylibServerProcess&) = delete;
    KeylibServerProcess& operator=(const KeylibServerProcess&) = delete;

    // Path of the built server binary.
    static QString binary();
    // Writes `bytes` to `name` inside `dir`; returns the path.
    static QString writeTemp(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes);

    bool started() const { return m_port > 0; }
    int port() const { return m_port; }
    // "http://127.0.0.1:PORT" (no path).
    QString baseURL() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    QString dbPath() const { return m_dir.path() + QStringLiteral("/keys.sqlite"); }
    // What the server wrote to stderr so far.
    QByteArray errorOutput() { return m_errorOutput += m_process->readAllStandardError(); }

    // The request log, one object per request, oldest first.
    QList<QJsonObject> requests() const;
    // Runs the event loop until the log holds at least `count` requests or time runs out.
    bool waitForRequests(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // SIGTERM and wait; the exit code, or -1 when it had to be killed.
    int stop();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process = std::make_unique<QProcess>();
    int m_port = 0;
    QByteArray m_errorOutput;
};
