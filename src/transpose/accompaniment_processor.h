#pragma once

#include "core/audio_channel.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>

class AudioPlayback;
class LoopCapture;
class PulseAudioClient;
class TransposeRenderer;

// Real-time transposition of the accompaniment: the chosen loop-back input is recorded,
// pitch-shifted by a whole number of semitones (Rubber Band's real-time stretcher; at 0 the
// samples pass untouched) and played on the default output. Both streams are 48000 Hz float
// stereo on the run's one PulseAudio client; the server converts a source of another rate.
//
// Failures of start() and what they mean here (status text / log line after "伴奏移调："):
//   no stored channel, or it is not listed    "请先选择伴奏回路通道" / "未选择伴奏通道"
//   the record stream is refused              "采集启动失败（name）" / "采集启动失败（name）"
//   no default sink (no server, none set)     "找不到音频输出组件" / "找不到音频输出组件"
//   the stretcher cannot be created           "音频单元创建失败" / "音频单元创建失败" (also
//                                             when a shift's stretcher fails while running)
//   the playback stream is refused or fails   "输出启动失败" / "输出启动失败"
//   the channel monitors the default sink     kFeedbackStatus / "回授：…" (the output would feed
//                                             its own input; also checked while running)
// Rubber Band is linked in, so "找不到移调组件" cannot occur.
// While running, a source that vanishes or a server that goes away stops the chain with
// kLostStatus; when the channel is listed again it starts again by itself.
//
// latencyMs = capture backlog target (the trim bound of the ring) + the stretcher's delay as
// heard, measured once per shift (stretcher_delay.h; Rubber Band's own start delay leaves out
// a third to two thirds of it; 0 at 0 semitones) + the playback stream's latency as the
// server reports it (its buffer target until the first report).
//
// Thread safety: main thread only. Nothing here waits for the server; stream ends and
// server changes arrive as queued calls on the main thread.
class AccompanimentProcessor : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(double latencyMs READ latencyMs NOTIFY latencyMsChanged)

public:
    // 2.7 ms with three periods of output buffer: heard delay 13 ms at 0 semitones and 78-81
    // at +-6 on PulseAudio (bench_transpose's BM_ChainLatency; 256 frames: 22 and 77-91), no
    // output underflow in five 25 s runs of the program on a quiet machine. Two periods of 128
    // underflowed about every 10 s: PulseAudio's requests come up to 5 ms apart, and real-time
    // priority for the client's thread does not change that. PipeWire grants 256-frame
    // requests and fragments whatever is asked (21 ms at 0, 85-87 at +-6).
    static constexpr uint32_t kRenderPeriodFrames = 128;
    static constexpr uint32_t kPlaybackTargetFrames = 3 * kRenderPeriodFrames;
    // Where the output buffer may grow, by half at each underflow, on a machine whose server
    // wakes late (a virtual machine here: timer wake-ups up to 9 ms late, about 120 underflows
    // in 25 s at three periods; 5-8 with this ceiling, reached within 10 s; 20 with 1024).
    // A few clicks and up to 35 ms more delay are better than a click every fifth of a second.
    static constexpr uint32_t kMaxPlaybackTargetFrames = 16 * kRenderPeriodFrames;
    static const QString kFeedbackStatus;
    static const QString kLostStatus;
    static const QString kOutputLostStatus;

    // `audio` (not owned) outlives the processor.
    explicit AccompanimentProcessor(PulseAudioClient& audio, QObject* parent = nullptr);
    ~AccompanimentProcessor() override;

    // Tears down what runs, then builds the chain for the stored channel. False with a
    // failure status when it cannot.
    bool start();
    // Tears down; a running status becomes "已停止", a failure text stays. No restart follows.
    void stop();
    // The transposition in semitones; applied within one render block while running,
    // remembered for the next start otherwise.
    void setSemitones(int semitones);
    int semitones() const { return m_semitones; }

    bool isRunning() const { return m_running; }
    QString statusText() const { return m_statusText; }
    double latencyMs() const { return m_latencyMs; }

    // The terms of latencyMs, milliseconds.
    struct LatencyTerms {
        double captureTargetMs = 0;
        double startDelayMs = 0;
        double playbackMs = 0;
        bool playbackReported = false;
    };
    LatencyTerms latencyTerms() const;

    // What went missing in this run so far (zero while stopped): frames the trim dropped to
    // keep the delay bounded, frames of silence the chain played for want of audio, and the
    // times the server found the output's buffer empty (the render thread was late).
    struct Glitches {
        int64_t trimmedFrames = 0;
        int64_t underrunFrames = 0;
        uint64_t outputUnderflows = 0;
    };
    Glitches glitches() const;

signals:
    void isRunningChanged();
    void statusTextChanged();
    void latencyMsChanged();

private:
    void teardown();
    bool fail(const QString& logLine, const QString& status);
    void onAudioChanged();
    void onStreamLost(quint64 generation, bool output);
    void poll();
    bool monitorsDefaultSink(uint32_t deviceID, QString* sink = nullptr) const;
    void learnStartDelay(int semitones);
    void updateLatency();
    void writeRunningLineWhenKnown(bool now = false);
    void setRunning(bool running);
    void setStatusText(const QString& text);
    void setLatencyMs(double ms);
    QString runningStatus() const;

    PulseAudioClient& m_audio;
    quint64 m_listener = 0;
    quint64 m_generation = 0;
    std::unique_ptr<LoopCapture> m_capture;
    std::unique_ptr<TransposeRenderer> m_renderer;
    std::unique_ptr<AudioPlayback> m_playback;
    std::optional<AudioChannel> m_channel;
    QTimer m_poll;
    bool m_layoutLogged = false;
    bool m_runningLinePending = false;
    bool m_restartWhenBack = false;
    std::map<int, double> m_startDelayCache;

    int m_semitones = 0;
    bool m_running = false;
    QString m_statusText = QStringLiteral("未启用");
    double m_latencyMs = 0;
};
