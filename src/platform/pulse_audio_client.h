#pragma once

#include "platform/audio_input_service.h"

#include <QByteArray>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A running playback stream. Destroying it stops the stream without waiting for the server;
// once the destructor returns its render callback does not run any more. Same thread rules
// as AudioRecording.
class AudioPlayback {
public:
    virtual ~AudioPlayback() = default;
    // What the server reports as the delay from a written sample to the speaker (buffer and
    // sink), read at its last timing update; absent until the first one. Takes no lock.
    virtual std::optional<std::chrono::microseconds> latency() const = 0;
    // Times the server found the stream's buffer empty and played silence (the writer was
    // late), so far. Takes no lock.
    virtual uint64_t underflows() const = 0;
    // The buffer the stream asks the server to keep filled, in frames: the options' target,
    // grown by half at each underflow up to their ceiling. Takes no lock.
    virtual uint32_t targetFrames() const = 0;
    // The sink the stream plays on now; absent until the server placed it.
    virtual std::optional<uint32_t> sinkIndex() const = 0;
};

// An audio output as the sound server describes it.
struct AudioSinkInfo {
    uint32_t index = 0;
    QString name;        // the sink's persistent name
    QString description; // human-readable
    uint32_t channelCount = 0;
    std::optional<double> nominalRateHz;
    std::optional<uint32_t> ownerModule; // the module that made the sink, when one did
};

// A playback stream of any application, as the sound server describes it.
struct AudioStreamInfo {
    uint32_t index = 0;
    uint32_t sinkIndex = 0;
    std::optional<qint64> processId; // application.process.id
    QString processBinary;           // application.process.binary
    QString applicationName;         // application.name
};

// The one PulseAudio client of the run (also served by pipewire-pulse): a threaded main loop
// and one context, subscribed to source, sink, playback-stream and server changes, which keep
// a current list of sources, of sinks, of playback streams and the default sink's name. Record streams and
// playback streams on the default sink run on this client's one context.
//
// Connection: never spawns a server. An attempt that is not ready within `connectTimeout`
// is abandoned; a failed attempt or a lost connection (the server stopped or restarted) is
// retried after a back-off that doubles from `retryMin` up to `retryMax` and starts again
// from `retryMin` once connected. While not connected every list is empty and no recording
// starts; recordings of a lost connection end (their EndedCallback runs). A server that stops
// answering while connected (frozen, say) counts as lost: a cheap query every `keepalive`
// that has no answer within `answerBound` drops the connection.
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
        // A server that comes back (a desktop restarts it) is found within this, however
        // long it was away; an attempt on a missing socket costs next to nothing.
        std::chrono::milliseconds retryMax{2000};
        std::chrono::milliseconds keepalive{1000};
        std::chrono::milliseconds answerBound{3000};
    };

    PulseAudioClient();
    explicit PulseAudioClient(Options options);
    ~PulseAudioClient() override;
    PulseAudioClient(const PulseAudioClient&) = delete;
    PulseAudioClient& operator=(const PulseAudioClient&) = delete;

    // A recording in a format of the caller's choice: the server converts rate and channels.
    struct RecordOptions {
        uint32_t rate_Hz = 48000;
        uint32_t channels = 2;
        // Frames per delivered fragment; small for low latency.
        uint32_t fragmentFrames = 256;
        QByteArray streamName = "Tonivox";
    };

    // A playback stream on the server's default sink (it follows the default when that
    // changes), interleaved 32-bit float.
    struct PlaybackOptions {
        uint32_t rate_Hz = 48000;
        uint32_t channels = 2;
        // The buffer the server keeps filled (its default is about 2 s) and the smallest
        // request it makes, both in frames.
        uint32_t targetFrames = 512;
        uint32_t requestFrames = 256;
        // How far the target may grow when the server finds the buffer empty (no growth
        // when not above targetFrames).
        uint32_t maxTargetFrames = 0;
        QByteArray streamName = "Tonivox";
    };
    // Fills `frames` interleaved frames. Runs on the client's thread, as often as the server
    // asks; it must write every sample, return promptly, and not call into the client.
    using RenderCallback = std::function<void(float* interleaved, uint32_t frames)>;

    std::vector<AudioSourceInfo> listSources() const override;
    std::unique_ptr<AudioRecording> startRecording(uint32_t deviceID, InputCallback onInput,
                                                   EndedCallback onEnded) override;
    // The same in the format of `options` (the callback's buffers carry options.channels).
    std::unique_ptr<AudioRecording> startRecording(uint32_t deviceID, const RecordOptions& options,
                                                   InputCallback onInput, EndedCallback onEnded);
    void setChangeCallback(ChangeCallback onChange) override;

    // Further change listeners beside the one of setChangeCallback (same rules). A listener
    // is not called any more once removeChangeListener returns.
    using ListenerId = quint64;
    ListenerId addChangeListener(ChangeCallback onChange);
    void removeChangeListener(ListenerId id);

    // Starts playing on the default sink without waiting for the server: absent when not
    // connected or the server refuses at once. Silence is played until the callback is
    // first asked; `onEnded` (rules of EndedCallback) tells a stream that failed or was lost.
    std::unique_ptr<AudioPlayback> startPlayback(const PlaybackOptions& options, RenderCallback render,
                                                 EndedCallback onEnded);

    // Sinks in the order the server lists them; empty while not connected.
    std::vector<AudioSinkInfo> listSinks() const;
    // The server's default sink (where the transposer will play); absent while not connected.
    std::optional<QString> defaultSinkName() const;
    // Playback streams of every application, in the order the server lists them.
    std::vector<AudioStreamInfo> listPlaybackStreams() const;

    // Requests to the server, sent without waiting. `done` runs once on the client's thread
    // (rules of EndedCallback) with the outcome and, for a module load, the new module's
    // index; also with false when the connection goes before the answer. The call returns
    // false, and `done` never runs, when not connected.
    using DoneCallback = std::function<void(bool ok, uint32_t index)>;
    bool loadModule(const QByteArray& name, const QByteArray& arguments, DoneCallback done);
    bool unloadModule(uint32_t module, DoneCallback done);
    // Moves a playback stream onto the named sink.
    bool moveStream(uint32_t stream, const QByteArray& sinkName, DoneCallback done);

    // Connected and the lists loaded at least once since.
    bool isConnected() const;
    // Connections made so far (the first one included): a restart of the server shows here.
    int connectionCount() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
