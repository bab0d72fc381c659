#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <sys/types.h>

// A sound server of one test's own, of the kind the test services run (PulseAudio, or PipeWire
// with TONIVOX_TEST_SOUND_SERVER=pipewire), started by tests/sound-server in a temporary
// folder with the null sink "loop" as its default output: for tests that stop, freeze or
// restart or freeze the server, which the rest of the run shares otherwise. Stopped on destruction.
class PrivateSoundServer {
public:
    PrivateSoundServer() = default;
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Start returns once the server answers; stop once it is gone (as a desktop's restart
    // ends it). False, with the script's complaint in errorOutput(), when it failed.
    bool start();
    bool stop();
    QString errorOutput() const { return m_error; }
    // The server stops answering with its socket left open, as a hung server does (SIGSTOP),
    // and runs on again (SIGCONT); a frozen server is thawed before it is stopped.
    bool freeze();
    bool thaw();

    // The PulseAudio server's process (pipewire-pulse on PipeWire); 0 when none runs.
    pid_t pid() const;
    // "unix:…/native", for PulseAudioClient::Options::server.
    QByteArray address() const;
    // The environment a client process of this server runs in (pactl, a player, the program).
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
