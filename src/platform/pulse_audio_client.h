#pragma once

#include "platform/audio_input_service.h"

#include <QByteArray>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

// An audio output as the sound server describes it.
struct AudioSinkInfo {
    uint32_t index = 0;
    QString name;        // the sink's persistent name
    QString description; // human-readable
    uint32_t channelCount = 0;
    std::optional<double> nominalRateHz;
};

// The one PulseAudio client of the run (also served by pipewire-pulse): a threaded main loop
// and one context, subscribed to source, sink and server changes, which keep a current list
// of sources, of sinks and the default sink's name. Record streams run on this client; a
// playback stream on the default sink will run beside them on the same context.
//
// Connection: never spawns a server. An attempt that is not ready within `connectTimeout`
// is abandoned; a failed attempt or a lost connection (the server stopped or restarted) is
// retried after a back-off that doubles from `retryMin` up to `retryMax` and starts again
// from `retryMin` once connected. While not connected every list is empty and no recording
// starts; recordings of a lost connection end (their EndedCallback runs).
//
// Nothing here waits for the server on the caller's thread: lists are copies of the current
// state, taken under a short lock of their own. Starting or destroying a recording takes the
// client's loop lock for the few microseconds it needs to queue the request.
//
// Lifetime: create and destroy on one thread, not the client's own. Destroy every recording
// before the client. The destructor waits for the client's thread to end (it is never busy
// for long: every call on it is non-blocking).
class PulseAudioClient final : public AudioInputService {
public:
    struct Options {
        // The server to reach; nothing: the default (PULSE_SERVER, then the user's socket).
        std::optional<QByteArray> server;
        std::chrono::milliseconds connectTimeout{2000};
        std::chrono::milliseconds retryMin{250};
        std::chrono::milliseconds retryMax{8000};
    };

    PulseAudioClient();
    explicit PulseAudioClient(Options options);
    ~PulseAudioClient() override;
    PulseAudioClient(const PulseAudioClient&) = delete;
    PulseAudioClient& operator=(const PulseAudioClient&) = delete;

    std::vector<AudioSourceInfo> listSources() const override;
    std::unique_ptr<AudioRecording> startRecording(uint32_t deviceID, InputCallback onInput,
                                                   EndedCallback onEnded) override;
    void setChangeCallback(ChangeCallback onChange) override;

    // Sinks in the order the server lists them; empty while not connected.
    std::vector<AudioSinkInfo> listSinks() const;
    // The server's default sink (where the transposer will play); absent while not connected.
    std::optional<QString> defaultSinkName() const;
    // Connected and the lists loaded at least once since.
    bool isConnected() const;
    // Connections made so far (the first one included): a restart of the server shows here.
    int connectionCount() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
