#pragma once

#include "core/audio_channel.h"
#include "core/song.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

class AccompanimentProcessor;
class PlayerActivityMonitor;
class PulseAudioClient;
class QObject;
class PlayerDetector;

// The narrow views the song tracker has of the parts around it, so that the window
// recognition and the transposer can arrive later without changing the tracker, and tests
// can script players, audio and time.
//
// Thread safety: main thread only, like the tracker.

// The players: one poll, then what it elected.
class PlayerPort {
public:
    virtual ~PlayerPort() = default;
    // Reads the players off the main thread and applies the result; false when stopped.
    virtual QCoro::Task<bool> poll(std::stop_token stop) = 0;
    virtual std::optional<Song> activeSong() const = 0;
    // The elected player's label ("酷狗", "QQ音乐", "网易云"), or empty.
    virtual QString label() const = 0;
    virtual QString localReadDiag() const = 0;
};

// Songs read from player windows.
class WindowRecognitionPort {
public:
    virtual ~WindowRecognitionPort() = default;
    virtual QCoro::Task<std::optional<Song>> ocrCurrentSong() = 0;
    // The player the last recognised song came from; empty when unknown.
    virtual QString lastPlayerLabel() const = 0;
    // Whether screen capture is allowed, without asking the user.
    virtual bool screenCaptureAllowed() const = 0;
};

// The accompaniment transposer.
class TransposerPort {
public:
    virtual ~TransposerPort() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// Audio inputs and recordings of the accompaniment channel.
class AudioPort {
public:
    virtual ~AudioPort() = default;
    virtual std::vector<AudioChannel> listInputs() const = 0;
    virtual std::optional<AudioChannel> selectedChannel() const = 0;
    // Mono 44100 Hz samples, or nothing when nothing could be recorded.
    virtual QCoro::Task<std::optional<std::vector<float>>>
    capture(uint32_t deviceID, std::chrono::duration<double> duration, std::stop_token stop) = 0;
    // Calls `onChange` on the main thread after the inputs may have changed (also when the
    // sound server connects late); a later call replaces it, an empty one stops the calls.
    virtual void setInputsChanged(std::function<void()> onChange) { (void)onChange; }
};

// Local detection of the songs the library does not know.
class LocalDetectionPort {
public:
    virtual ~LocalDetectionPort() = default;
    // Listens to the channel and finds the song's key; returns when `stop` is requested, when
    // the players report another song, or when the song is no longer the current one.
    virtual QCoro::Task<> localDetectAndRefine(Song song, AudioChannel channel, std::stop_token stop) = 0;
    // Ends what its runs left behind them (reports still being sent).
    virtual void stop() = 0;
};

// The real players: the run's monitor, polled on its executor.
class MonitorPlayerPort final : public PlayerPort {
public:
    explicit MonitorPlayerPort(PlayerActivityMonitor& monitor) : m_monitor(monitor) {}
    QCoro::Task<bool> poll(std::stop_token stop) override;
    std::optional<Song> activeSong() const override;
    QString label() const override;
    QString localReadDiag() const override;

private:
    PlayerActivityMonitor& m_monitor;
};

// Until window recognition exists: it recognises nothing.
class NoWindowRecognition final : public WindowRecognitionPort {
public:
    QCoro::Task<std::optional<Song>> ocrCurrentSong() override;
    QString lastPlayerLabel() const override { return {}; }
    // Allowed when an X11 display is there to be captured.
    bool screenCaptureAllowed() const override;
};

// The run's window recognition.
class DetectorWindowRecognition final : public WindowRecognitionPort {
public:
    explicit DetectorWindowRecognition(PlayerDetector& detector) : m_detector(detector) {}
    QCoro::Task<std::optional<Song>> ocrCurrentSong() override;
    QString lastPlayerLabel() const override;
    bool screenCaptureAllowed() const override;

private:
    PlayerDetector& m_detector;
};

// The run's accompaniment transposer.
class ProcessorTransposer final : public TransposerPort {
public:
    explicit ProcessorTransposer(AccompanimentProcessor& processor) : m_processor(processor) {}
    void start() override;
    void stop() override;

private:
    AccompanimentProcessor& m_processor;
};

// The run's sound server client.
class PulseAudioPort final : public AudioPort {
public:
    explicit PulseAudioPort(PulseAudioClient& audio);
    ~PulseAudioPort() override;
    PulseAudioPort(const PulseAudioPort&) = delete;
    PulseAudioPort& operator=(const PulseAudioPort&) = delete;
    std::vector<AudioChannel> listInputs() const override;
    std::optional<AudioChannel> selectedChannel() const override;
    QCoro::Task<std::optional<std::vector<float>>>
    capture(uint32_t deviceID, std::chrono::duration<double> duration, std::stop_token stop) override;
    void setInputsChanged(std::function<void()> onChange) override;

private:
    PulseAudioClient& m_audio;
    // Lives on the main thread: the client's notifications are queued to it.
    std::unique_ptr<QObject> m_mainThread;
    std::function<void()> m_onInputsChanged;
    std::optional<quint64> m_listener;
    // A burst of notifications becomes one call.
    std::shared_ptr<std::atomic<bool>> m_pending = std::make_shared<std::atomic<bool>>(false);
};
