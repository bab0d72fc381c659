#include "app/local_detection.h"

#include "app/report_book.h"
#include "app/sample_ring.h"
#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "core/capped_log.h"
#include "core/number_format.h"
#include "core/semitone.h"
#include "keydetect/audio_channel_detector.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "service/server_api.h"

#include <QRegularExpression>
#include <QThreadPool>
#include <QTime>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <memory>

using number_format::fixedText;

namespace detection_rules {

std::size_t latestCount(std::size_t available, double sampleRate, double seconds)
{
    const double wanted = std::floor(sampleRate * seconds);
    if (!(wanted >= 1))
        return 0;
    return wanted >= static_cast<double>(available) ? available : static_cast<std::size_t>(wanted);
}

std::vector<float> latestSamples(std::span<const float> samples, double sampleRate, double seconds)
{
    const std::size_t count = latestCount(samples.size(), sampleRate, seconds);
    return {samples.end() - static_cast<std::ptrdiff_t>(count), samples.end()};
}

double rootMeanSquare(std::span<const float> samples)
{
    if (samples.empty())
        return 0;
    double sum = 0;
    for (const float s : samples)
        sum += double(s) * double(s);
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

QString songLabel(const Song& song)
{
    return song.artist.isEmpty() ? song.title : song.artist + QStringLiteral(" - ") + song.title;
}

QString claimKey(const QString& artist, const QString& title, const QString& key)
{
    return tracker_rules::songId(artist, title) + QLatin1Char('|') + key;
}

KeyDetectionEvidence evidenceFor(const KeyDetectorV2::Measurement& m2, const KeyDetectorV5::Measurement* m5,
                                 double listened)
{
    KeyDetectionEvidence evidence;
    if (m5) {
        evidence.modelKey = m5->key;
        evidence.modelConfidence = m5->confidence;
        evidence.modelMargin = m5->margin;
    }
    evidence.localV2Key = m2.key;
    evidence.localV2Fit = m2.inKeyRate;
    evidence.agreement = KeyDetectionEvidence::agreementOf(m2.key, evidence.modelKey);
    evidence.windowStart_s = std::max(listened - kWindowSeconds, 0.0);
    evidence.windowSeconds = kWindowSeconds;
    return evidence;
}

QJsonObject reportBody(const QString& artist, const QString& title, const QString& key, double confidence,
                       const QString& source, const QString& playerDiag,
                       const std::optional<KeyDetectionEvidence>& evidence)
{
    QJsonObject body{{QStringLiteral("artist"), artist},
                     {QStringLiteral("title"), title},
                     {QStringLiteral("key"), key},
                     {QStringLiteral("confidence"), confidence},
                     {QStringLiteral("conflict"), false}};
    if (!source.isEmpty())
        body.insert(QStringLiteral("source"), source);
    if (!playerDiag.isEmpty())
        body.insert(QStringLiteral("player_diag"), playerDiag);
    if (evidence) {
        const QJsonObject payload = evidence->payload();
        for (auto it = payload.begin(); it != payload.end(); ++it)
            body.insert(it.key(), it.value());
    }
    return body;
}

QString captureLine(double seconds, double listened, double rms)
{
    return QStringLiteral("采集 ") + fixedText(seconds, 1) + QStringLiteral("s 累计已听 ") +
           fixedText(listened, 0) + QStringLiteral("s 音量 ") + fixedText(rms, 3);
}

QString invalidCaptureLine(double listened)
{
    return QStringLiteral("采集无效（静音或环境噪声），累计已听 ") + fixedText(listened, 0) +
           QStringLiteral("s");
}

QString measurementLine(int measureCount, double listened, const KeyDetectorV2::Measurement& m2)
{
    return QStringLiteral("第 ") + QString::number(measureCount) + QStringLiteral(" 次测量（已听 ") +
           fixedText(listened, 0) + QStringLiteral(" 秒）→ ") + m2.key.value_or(QStringLiteral("没测出")) +
           QStringLiteral(" ｜ 各段 ") + m2.segments.join(QLatin1Char('/')) + QStringLiteral(" ｜ 调内率 ") +
           fixedText(m2.inKeyRate * 100, 0) + QStringLiteral("%");
}

QString shadowLine(const KeyDetectorV5::Measurement* m5, const QString& agreement)
{
    return QStringLiteral("V5 影子 → ") + (m5 ? m5->key : QStringLiteral("没测出")) +
           QStringLiteral(" ｜ confidence ") + fixedText(m5 ? m5->confidence * 100 : 0.0, 1) +
           QStringLiteral("% ｜ margin ") + fixedText(m5 ? m5->margin * 100 : 0.0, 1) +
           QStringLiteral("% ｜ 一致 ") + agreement;
}

QString decisionLine(const QString& key, double inKeyRate)
{
    return QStringLiteral("定调 → ") + key + QStringLiteral("（3 段同一组音、调内率 ") +
           QString::number(static_cast<int>(inKeyRate * 100)) + QStringLiteral("%）");
}

QString decisionLine(const key_decision::Decision& decision)
{
    if (decision.engine == QLatin1String(key_decision::kNeuralEngine))
        return QStringLiteral("定调 → ") + decision.key + QStringLiteral("（神经网络 confidence ") +
               QString::number(static_cast<int>(decision.confidence * 100)) + QStringLiteral("%）");
    return decisionLine(decision.key, decision.confidence);
}

QString fallbackLine(int semitone)
{
    return QStringLiteral("半音阶保底已下发 key=") + QString::number(semitone) +
           QStringLiteral(" scale=0(Chromatic)");
}

QString undecidedDetail(double listened)
{
    return QStringLiteral("调性还没确定，已听 ") + QString::number(static_cast<long long>(listened)) +
           QStringLiteral(" 秒");
}

} // namespace detection_rules

void detectLog(const QString& line)
{
    capped_log::appendLine(PluginIPC::path(PluginIPC::kDetectLogFile),
                           QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') +
                               line);
}

namespace {

// Leaves a claimed report in flight until accepted; gives it up otherwise, also when the
// task is cancelled and its frame destroyed, so a later decision may report again.
class ReportClaim {
public:
    explicit ReportClaim(QString key) : m_key(std::move(key)) {}
    ~ReportClaim()
    {
        if (!m_accepted)
            report_book::reportAbandoned(m_key);
    }
    ReportClaim(const ReportClaim&) = delete;
    ReportClaim& operator=(const ReportClaim&) = delete;
    void accept()
    {
        report_book::reportAccepted(m_key);
        m_accepted = true;
    }

private:
    QString m_key;
    bool m_accepted = false;
};

// Frees a ring on a worker: handing 10 MB back to the system holds the main thread too.
void releaseOffMainThread(std::shared_ptr<SampleRing>& ring)
{
    if (ring && ring.use_count() == 1)
        QThreadPool::globalInstance()->start([held = std::move(ring)]() mutable { held.reset(); });
    ring.reset();
}

// The classic detector's verdict and the window it measured.
struct ClassicMeasurement {
    std::shared_ptr<std::vector<float>> window;
    KeyDetectorV2::Measurement m2;
};

} // namespace

struct LocalDetection::Run {
    Run(Song s, QString l) : song(std::move(s)), label(std::move(l)) {}
    ~Run() { releaseOffMainThread(samples); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    Song song;
    QString label;
    // The valid audio heard, at most the last 60 s; absent until allocated.
    std::shared_ptr<SampleRing> samples;
    detection_rules::ListeningSchedule schedule;
    std::optional<QString> decidedKey;
    std::optional<TimePoint> lastFallback; // absent: the distant past
};

LocalDetection::LocalDetection(Deps deps) : m_deps(std::move(deps)) {}

LocalDetection::~LocalDetection() = default;

void LocalDetection::stop()
{
    for (auto& report : m_reports)
        report.cancel();
}

QCoro::Task<> LocalDetection::localDetectAndRefine(Song song, AudioChannel channel, std::stop_token stop)
{
    using namespace detection_rules;
    AppState& state = m_deps.state;
    Run run(song, songLabel(song));
    const QString prefix = QStringLiteral("[") + run.label + QStringLiteral("] ");

    state.setKeyText(QStringLiteral("半音阶模式"));
    state.setKeyDetail(QStringLiteral("调性还没确定，正在听…"));
    state.setKeyManuallySet(false);
    applyChromaticFallback(run.label);

    QFuture<std::shared_ptr<SampleRing>> allocation =
        QtConcurrent::run([] { return std::make_shared<SampleRing>(kMaxSamples); });
    std::optional<std::shared_ptr<SampleRing>> ring = co_await cancellation::awaitFuture(allocation, stop);
    if (stop.stop_requested() || !ring)
        co_return;
    run.samples = std::move(*ring);

    while (!stop.stop_requested()) {
        const bool playing = co_await samePlaying(song, stop);
        if (stop.stop_requested() || !playing)
            co_return;

        std::optional<std::vector<float>> recording =
            co_await m_deps.audio.capture(channel.deviceID, kCaptureLength, stop);
        if (stop.stop_requested())
            co_return;
        // Audio of another song must not be measured as this one's.
        const bool stillPlaying = co_await samePlaying(song, stop);
        if (stop.stop_requested() || !stillPlaying)
            co_return;

        if (recording &&
            AudioChannelDetector::musicality(*recording) > AudioChannelDetector::kMusicalityGate) {
            run.samples->append(*recording);
            const double seconds = static_cast<double>(recording->size()) / kSampleRate;
            const bool due = run.schedule.heard(seconds);
            detectLog(prefix + captureLine(seconds, run.schedule.listened, rootMeanSquare(*recording)));
            if (!run.decidedKey && due) {
                std::optional<QString> decided = co_await measure(run, stop);
                if (stop.stop_requested())
                    co_return;
                run.decidedKey = decided;
            }
        } else {
            detectLog(prefix + invalidCaptureLine(run.schedule.listened));
        }
        if (!run.decidedKey)
            refreshFallback(run);

        const bool slept = co_await m_deps.sleep(kStepPause, stop);
        if (!slept)
            co_return;
    }
}

QCoro::Task<bool> LocalDetection::samePlaying(Song song, std::stop_token stop)
{
    co_await m_deps.players.poll(stop);
    if (stop.stop_requested())
        co_return false;
    // The same song by isSameSong: a featured artist added by the player is no new song.
    const std::optional<Song> active = m_deps.players.activeSong();
    if (active && !Song::isSameSong(*active, song))
        co_return false;
    // The song loop runs beside the run: a song it cleared or replaced (from a window, say,
    // where the players report nothing) is no longer listened to.
    const std::optional<Song> current = m_deps.state.current();
    co_return current&& Song::isSameSong(*current, song);
}

void LocalDetection::refreshFallback(Run& run)
{
    if (m_deps.state.keyManuallySet())
        return;
    const TimePoint now = m_deps.now();
    if (run.lastFallback && now - *run.lastFallback < kFallbackEvery)
        return;
    run.lastFallback = now;
    applyChromaticFallback(run.label);
}

QCoro::Task<std::optional<QString>> LocalDetection::measure(Run& run, std::stop_token stop)
{
    using namespace detection_rules;
    AppState& state = m_deps.state;
    const QString prefix = QStringLiteral("[") + run.label + QStringLiteral("] ");
    run.schedule.measureCount += 1;
    const double listened = run.schedule.listened;
    // The newest 45 s are cut and measured on a worker: copying them costs the main thread
    // about 10 ms. The run waits for the measurement, so nothing writes the samples
    // meanwhile. Futures go into variables first: g++ 12 mishandles lambdas and temporaries
    // inside co_await.
    QFuture<ClassicMeasurement> classic = QtConcurrent::run([held = run.samples] {
        auto window = std::make_shared<std::vector<float>>(
            held->latest(latestCount(held->size(), kSampleRate, kWindowSeconds)));
        KeyDetectorV2::Measurement m2 =
            KeyDetectorV2::measure(*window, kSampleRate, KeyDetectorV2::kSegmentSeconds);
        return ClassicMeasurement{std::move(window), std::move(m2)};
    });
    const std::optional<ClassicMeasurement> measured = co_await cancellation::awaitFuture(classic, stop);
    if (stop.stop_requested() || !measured)
        co_return std::nullopt;
    const KeyDetectorV2::Measurement* m2 = &measured->m2;
    // The window is ours alone now: it moves to the neural detector's executor.
    QFuture<KeyDetectorV5::Outcome> neural =
        m_deps.keyDetectorV5.measure(std::move(*measured->window), kSampleRate);
    const std::optional<KeyDetectorV5::Outcome> m5 = co_await cancellation::awaitFuture(neural, stop);
    if (stop.stop_requested())
        co_return std::nullopt;

    const KeyDetectorV5::Measurement* v5 = m5 && m5->measurement ? &*m5->measurement : nullptr;
    KeyDetectionEvidence evidence = evidenceFor(*m2, v5, listened);
    detectLog(prefix + measurementLine(run.schedule.measureCount, listened, *m2));
    detectLog(prefix + shadowLine(v5, evidence.agreement));

    // The engine is read at every measurement: a switch in the panel applies to a run in progress.
    const std::optional<key_decision::Decision> decision =
        key_decision::decide(*m2, v5, m_deps.decisionEngine());
    if (!decision) {
        state.setKeyDetail(undecidedDetail(listened));
        run.schedule.undecided();
        co_return std::nullopt;
    }
    // The song may have changed while the detectors worked.
    const bool playing = co_await samePlaying(run.song, stop);
    if (stop.stop_requested() || !playing)
        co_return std::nullopt;

    const QString key = decision->key;
    evidence.decisionEngine = decision->engine;
    detectLog(prefix + decisionLine(*decision));
    state.setKeyText(key);
    state.setKeyDetail(QStringLiteral("放心唱吧～"));
    m_deps.applyKeyToAutotune(key);
    if (claimReport(run.song.artist, run.song.title, key))
        reportLocalKey(key, decision->confidence, run.song, evidence);
    co_return key;
}

void LocalDetection::applyChromaticFallback(const QString& label)
{
    AppState& state = m_deps.state;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QString first = state.keyText().split(blanks, Qt::SkipEmptyParts).value(0, QStringLiteral("C"));
    const int semitone = tracker_rules::keySemitone(first).value_or(0);
    m_deps.syncer.setKeyScale(reduceSemitone(semitone + state.transpose()), 0);
    state.setSynced(true);
    if (!label.isEmpty())
        detectLog(QStringLiteral("[") + label + QStringLiteral("] ") +
                  detection_rules::fallbackLine(semitone));
}

bool LocalDetection::claimReport(const QString& artist, const QString& title, const QString& key)
{
    return report_book::claimReport(detection_rules::claimKey(artist, title, key));
}

void LocalDetection::reportLocalKey(const QString& key, double confidence, const Song& song,
                                    std::optional<KeyDetectionEvidence> evidence)
{
    m_reports.remove_if([](const cancellation::TaskHandle& h) { return !h.isRunning(); });
    m_reports.emplace_back().start([this, claim = detection_rules::claimKey(song.artist, song.title, key),
                                    key, confidence, song, source = m_deps.state.songSource(),
                                    evidence = std::move(evidence)](std::stop_token stop) {
        return sendReport(claim, key, confidence, song, source, evidence, std::move(stop));
    });
}

QCoro::Task<> LocalDetection::sendReport(QString claim, QString key, double confidence, Song song,
                                         QString source, std::optional<KeyDetectionEvidence> evidence,
                                         std::stop_token stop)
{
    ReportClaim guard(claim);
    for (int attempt = 1;; ++attempt) {
        // The players' status line is read afresh for every attempt; the consent rule is
        // the request's own (nothing is sent without it, and that counts as a failure).
        const QJsonObject body = detection_rules::reportBody(song.artist, song.title, key, confidence, source,
                                                             m_deps.players.localReadDiag(), evidence);
        const ServiceResult<void> sent = co_await ServerAPI::postKeyReport(body, stop);
        if (stop.stop_requested())
            co_return;
        if (sent.ok()) {
            guard.accept();
            co_return;
        }
        if (attempt >= kReportAttempts)
            co_return;
        const bool slept = co_await m_deps.sleep(std::chrono::seconds(attempt * 2), stop);
        if (!slept || stop.stop_requested())
            co_return;
    }
}
