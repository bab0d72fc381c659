#pragma once

#include "app/song_tracker.h"
#include "app/tracker_ports.h"
#include "core/cancellation.h"
#include "core/settings_store.h"
#include "core/song.h"
#include "keydetect/key_decision.h"
#include "keydetect/key_detection_evidence.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/v5/key_detector_v5.h"

#include <QJsonObject>
#include <QString>
#include <cstddef>
#include <functional>
#include <list>
#include <optional>
#include <span>
#include <vector>

class AppState;
class AutoTuneSyncer;

// The rules of local detection that need no state, so that the schedule, the evidence, the
// report and every log line can be checked without audio or a desktop.
//
// Thread safety: pure, callable from any thread.
namespace detection_rules {

inline constexpr double kSampleRate = 44100.0;
// The last 60 s of valid audio.
inline constexpr std::size_t kMaxSamples = 2646000;
inline constexpr double kWindowSeconds = 45.0;
inline constexpr double kMeasureEvery = 30.0;

// min(available, ⌊sampleRate·seconds⌋), or 0 when that is below 1.
std::size_t latestCount(std::size_t available, double sampleRate, double seconds);
// The last latestCount(count, sampleRate, seconds) samples.
std::vector<float> latestSamples(std::span<const float> samples, double sampleRate, double seconds);
double rootMeanSquare(std::span<const float> samples);

// "title" without an artist, else "artist - title": the song in log lines.
QString songLabel(const Song& song);
// "artist|title|key": one report per song and key in the process.
QString claimKey(const QString& artist, const QString& title, const QString& key);

// The evidence of one measurement; the model fields stay absent without a verdict.
KeyDetectionEvidence evidenceFor(const KeyDetectorV2::Measurement& m2, const KeyDetectorV5::Measurement* m5,
                                 double listened);

// The body of a local-key report: the song, the key, the evidence's payload merged in.
QJsonObject reportBody(const QString& artist, const QString& title, const QString& key, double confidence,
                       const QString& source, const QString& playerDiag,
                       const std::optional<KeyDetectionEvidence>& evidence);

// The detection log's lines, without the "[label] " prefix.
QString captureLine(double seconds, double listened, double rms);
QString invalidCaptureLine(double listened);
QString measurementLine(int measureCount, double listened, const KeyDetectorV2::Measurement& m2);
QString shadowLine(const KeyDetectorV5::Measurement* m5, const QString& agreement);
QString decisionLine(const QString& key, double inKeyRate);
// The decided key's line for either engine.
QString decisionLine(const key_decision::Decision& decision);
QString fallbackLine(int semitone);
// The line under the key while a run has not decided yet.
QString undecidedDetail(double listened);

// Valid audio heard and when the next measurement is due: at 45 s of valid audio, then
// every 30 s after a measurement that did not decide.
struct ListeningSchedule {
    double listened = 0;
    double nextMeasureAt = kWindowSeconds;
    int measureCount = 0;

    // Counts a valid recording; true when a measurement is due.
    bool heard(double seconds)
    {
        listened += seconds;
        return nextMeasureAt <= listened;
    }
    void undecided() { nextMeasureAt = listened + kMeasureEvery; }
};

} // namespace detection_rules

// Appends a time-stamped line to "detect_debug.log" in the support folder; errors are ignored.
void detectLog(const QString& line);

// Finds the key of a song the library does not know by listening to the accompaniment:
// 4 s recordings, music only, a measurement once 45 s of valid audio are heard and every
// 30 s after that until the classic detector is sure; the neural detector shadows it. Until
// then the plug-in is held chromatic. A decided key is shown, pushed and reported once per
// process with the evidence of both detectors.
//
// A run ends when its task is cancelled, when the players report another song, or when its
// song is no longer the current one (the song loop, which runs beside it, moved on).
//
// Lifetime: everything in Deps outlives it; the tracker that starts its runs is destroyed
// first. Destroying it, or stop(), cancels the reports still being sent.
//
// Thread safety: main thread only; the measurements run on a worker and on the neural
// detector's executor and are awaited.
class LocalDetection final : public LocalDetectionPort {
public:
    using Clock = SongTracker::Clock;
    using Sleep = SongTracker::Sleep;
    using TimePoint = SongTracker::TimePoint;

    static constexpr std::chrono::duration<double> kCaptureLength{4.0};
    static constexpr std::chrono::milliseconds kStepPause{500};
    static constexpr std::chrono::duration<double> kFallbackEvery{8.0};
    static constexpr int kReportAttempts = 3;

    struct Deps {
        AppState& state;
        AutoTuneSyncer& syncer;
        PlayerPort& players;
        AudioPort& audio;
        KeyDetectorV5& keyDetectorV5;
        // The song loop's rule for pushing a key (with transposition and scale).
        std::function<void(const QString&)> applyKeyToAutotune;
        Clock now = std::chrono::steady_clock::now;
        Sleep sleep = cancellation::sleepFor;
        // Which verdict may decide; the stored setting unless a test says otherwise.
        std::function<KeyDecisionEngine()> decisionEngine = [] {
            return SettingsStore::shared().keyDecisionEngine();
        };
    };

    explicit LocalDetection(Deps deps);
    ~LocalDetection() override;
    LocalDetection(const LocalDetection&) = delete;
    LocalDetection& operator=(const LocalDetection&) = delete;

    QCoro::Task<> localDetectAndRefine(Song song, AudioChannel channel, std::stop_token stop) override;
    // Cancels the reports still being sent.
    void stop() override;
    // Holds the plug-in in chromatic mode at the shown key's root (0 during a run).
    void applyChromaticFallback(const QString& label);
    // Claims the right to report this key for this song: false when reported or in flight.
    static bool claimReport(const QString& artist, const QString& title, const QString& key);
    // Sends a claimed report in a task of its own (three attempts) and returns at once.
    void reportLocalKey(const QString& key, double confidence, const Song& song,
                        std::optional<KeyDetectionEvidence> evidence);

private:
    struct Run;
    // Measures the newest 45 s; the decided key, or nothing.
    QCoro::Task<std::optional<QString>> measure(Run& run, std::stop_token stop);
    // A fresh read of the players: false when they report another song (none is not another)
    // or when the song is no longer the current one.
    QCoro::Task<bool> samePlaying(Song song, std::stop_token stop);
    void refreshFallback(Run& run);
    QCoro::Task<> sendReport(QString claim, QString key, double confidence, Song song, QString source,
                             std::optional<KeyDetectionEvidence> evidence, std::stop_token stop);

    Deps m_deps;
    std::list<cancellation::TaskHandle> m_reports;
};
