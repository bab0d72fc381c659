// The song tracker's background check of a library key: 10 s into the song, 45 s of the
// accompaniment measured by both detectors and reported, once per song per run.
#include "app/local_detection.h"
#include "app/report_book.h"
#include "app/song_tracker.h"
#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "keydetect/audio_channel_detector.h"
#include "keydetect/key_detection_evidence.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/v5/key_detector_v5.h"

#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// The same key: equal semitones and modes, so "Bb 大调" and "A# 大调" agree.
bool sameKey(const QString& a, const QString& b)
{
    const auto sa = tracker_rules::keySemitone(a);
    const auto sb = tracker_rules::keySemitone(b);
    if (!sa || !sb)
        return a == b;
    return *sa == *sb && a.contains(QStringLiteral("小调")) == b.contains(QStringLiteral("小调")) &&
           a.contains(QStringLiteral("大调")) == b.contains(QStringLiteral("大调"));
}

// Releases a claimed verification unless the report was accepted; also when the task is
// cancelled and its frame destroyed.
class VerificationClaim {
public:
    explicit VerificationClaim(QString id) : m_id(std::move(id)) {}
    ~VerificationClaim()
    {
        if (!m_kept)
            report_book::releaseVerification(m_id);
    }
    VerificationClaim(const VerificationClaim&) = delete;
    VerificationClaim& operator=(const VerificationClaim&) = delete;
    void keep() { m_kept = true; }

private:
    QString m_id;
    bool m_kept = false;
};

} // namespace

void SongTracker::verifyLibraryKey(const Song& song, const QString& dbKey,
                                   const std::optional<QString>& matchedBy)
{
    m_verificationWaitingForChannel.reset();
    if (!m_deps.audio.selectedChannel()) {
        m_verificationWaitingForChannel = PendingVerification{song, dbKey, matchedBy};
        return;
    }
    if (!report_book::claimVerification(tracker_rules::songId(song.artist, song.title)))
        return;
    m_libraryVerificationTask.start([this, song, dbKey, matchedBy](std::stop_token stop) {
        return verification(song, dbKey, matchedBy, std::move(stop));
    });
}

QCoro::Task<> SongTracker::verification(Song song, QString dbKey, std::optional<QString> matchedBy,
                                        std::stop_token stop)
{
    VerificationClaim claim(tracker_rules::songId(song.artist, song.title));
    const bool slept = co_await m_deps.sleep(kVerifyDelay, stop);
    if (!slept || stop.stop_requested())
        co_return;
    const auto channel = m_deps.audio.selectedChannel();
    if (!songStillPlaying(song) || !channel)
        co_return;

    const std::chrono::duration<double> captureLength{kVerifyCaptureSeconds};
    // Not const: the recording moves on below (a copy of 45 s holds the main thread).
    std::optional<std::vector<float>> captured =
        co_await m_deps.audio.capture(channel->deviceID, captureLength, stop);
    if (stop.stop_requested())
        co_return;
    if (!captured || AudioChannelDetector::musicality(*captured) <= AudioChannelDetector::kMusicalityGate)
        co_return;
    if (!songStillPlaying(song))
        co_return;

    const auto samples = std::make_shared<std::vector<float>>(std::move(*captured));
    QFuture<KeyDetectorV2::Measurement> classic = QtConcurrent::run([samples] {
        return KeyDetectorV2::measure(*samples, AudioChannelDetector::kCaptureRateHz,
                                      KeyDetectorV2::kSegmentSeconds);
    });
    const std::optional<KeyDetectorV2::Measurement> m2 = co_await cancellation::awaitFuture(classic, stop);
    if (stop.stop_requested() || !m2)
        co_return;
    // The classic detector is done with the recording: it moves to the neural detector
    // (a copy of 45 s would hold the main thread for about 10 ms).
    QFuture<KeyDetectorV5::Outcome> neural =
        m_deps.keyDetectorV5.measure(std::move(*samples), AudioChannelDetector::kCaptureRateHz);
    const std::optional<KeyDetectorV5::Outcome> m5 = co_await cancellation::awaitFuture(neural, stop);
    if (stop.stop_requested())
        co_return;
    if (!KeyDetectorV2::passes(*m2))
        co_return;

    const auto* v5 = m5 && m5->measurement ? &*m5->measurement : nullptr;
    KeyDetectionEvidence evidence;
    if (v5) {
        evidence.modelKey = v5->key;
        evidence.modelConfidence = v5->confidence;
        evidence.modelMargin = v5->margin;
    }
    evidence.localV2Key = m2->key;
    evidence.localV2Fit = m2->inKeyRate;
    evidence.agreement = KeyDetectionEvidence::agreementOf(m2->key, evidence.modelKey);
    evidence.windowStart_s = 0;
    evidence.windowSeconds = kVerifyCaptureSeconds;

    const QString v2Key = *m2->key;
    detectLog(QStringLiteral("[") + song.artist + QStringLiteral(" - ") + song.title +
              QStringLiteral("] 库值 ") + dbKey + QStringLiteral("，V2 ") + v2Key + QStringLiteral("，V5 ") +
              evidence.modelKey.value_or(QStringLiteral("没测出")) + QStringLiteral("，一致 ") +
              evidence.agreement);

    QJsonObject body = evidence.payload();
    body.insert(QStringLiteral("artist"), song.artist);
    body.insert(QStringLiteral("title"), song.title);
    body.insert(QStringLiteral("key"), v2Key);
    body.insert(QStringLiteral("confidence"), m2->inKeyRate);
    body.insert(QStringLiteral("conflict"), !sameKey(v2Key, dbKey));
    if (matchedBy)
        body.insert(QStringLiteral("matched_by"), *matchedBy);
    if (!m_deps.state.songSource().isEmpty())
        body.insert(QStringLiteral("source"), m_deps.state.songSource());
    const QString diag = m_deps.players.localReadDiag();
    if (!diag.isEmpty())
        body.insert(QStringLiteral("player_diag"), diag);

    const ServiceResult<void> sent = co_await ServerAPI::postKeyReport(body, stop);
    if (stop.stop_requested())
        co_return;
    if (sent.ok())
        claim.keep();
}
