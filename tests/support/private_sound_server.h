#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <sys/types.h>

// A sound server of one test's own (PulseAudio, or PipeWire with
// TONIVOX_TEST_SOUND_SERVER=pipewire), started by tests/sound-server in a temporary folder
// with the null sink "loop" as its default output, for tests that stop, restart or freeze
// it. Stopped on destruction.
class PrivateSoundServer {
public:
    PrivateSoundServer() = default;
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Start returns once the server answers, stop once it is gone; false, with the script's
    // complaint in errorOutput(), when that failed.
    bool start() { return m_dir.isValid() && run("start"); }
    bool stop();
    QString errorOutput() const { return m_error; }
    // SIGSTOP with the socket left open, as a hung server; and SIGCONT. Stop thaws first.
    bool freeze();
    bool thaw();

    // The PulseAudio server's process (pipewire-pulse on PipeWire); 0 when none runs.
    pid_t pid() const;
    // "unix:…/native", for PulseAudioClient::Options::server.
    QByteArray address() const { return "unix:" + m_dir.path().toUtf8() + "/pulse/native"; }
    // The environment of a client process of this server (pactl, a player, the program).
    QProcessEnvironment
    environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;
    // pactl against this server; its standard output, trimmed.
    QByteArray pactl(const QStringList& arguments) const;

private:
    bool run(const char* command);

    QTemporaryDir m_dir;
    QString m_error;
    pid_t m_frozen = 0;
};
