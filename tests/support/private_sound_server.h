#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <sys/types.h>

// A PulseAudio server of the caller's own on a private socket, with a null sink for each
// given name (the first one is the default output), so that freezing it (SIGSTOP) stops no
// other test. Killed on destruction, thawed first when frozen.
class PrivateSoundServer {
public:
    explicit PrivateSoundServer(const QStringList& sinks);
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    bool started() const { return m_pid > 0; }
    // Why it did not start.
    QString error() const { return m_error; }
    // "unix:<socket>", as a client is pointed at it.
    QByteArray address() const;
    // The server stops answering, its socket left open, as a hung server does.
    bool freeze();
    bool thaw();

private:
    QTemporaryDir m_dir;
    pid_t m_pid = 0;
    bool m_frozen = false;
    QString m_error;
};
