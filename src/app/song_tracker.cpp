#include "app/song_tracker.h"

#include "app/local_detection.h"
#include "app/report_book.h"
#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "core/build_info.h"
#include "core/semitone.h"
#include "core/settings_store.h"
#include "keydetect/audio_channel_detector.h"
#include "keydetect/key_detection_evidence.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/v5/key_detector_v5.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/tuning_controls.h"

#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace {

const QString kWindowLabel = QStringLiteral("窗口识别");
const QString kNoSong = QStringLiteral("来首歌呀～");

bool isWindowLabel(const QString& label)
{
    return label.startsWith(kWindowLabel);
}

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

SongTracker::SongTracker(Deps deps, QObject* parent)
    : QObject(parent), m_deps(std::move(deps)), m_seenTranspose(m_deps.state.transpose())
{
    connect(&m_deps.state, &AppState::transposeChanged, this, &SongTracker::onTransposeChanged);
}

SongTracker::~SongTracker()
{
    m_deps.audio.setInputsChanged({});
}

void SongTracker::start()
{
    m_run.start([this](std::stop_token stop) { return panelStart(std::move(stop)); });
}

void SongTracker::stop()
{
    m_run.cancel();
    m_libraryVerificationTask.cancel();
    for (auto& task : m_tasks)
        task.cancel();
}

bool SongTracker::hostParamsReady() const
{
    return m_deps.tuning.hostParamsReady();
}

QCoro::Task<> SongTracker::panelStart(std::stop_token stop)
{
    // Beside the rest: a hanging service must not hold back presets and polling.
    spawn([this](std::stop_token t) { return checkVersion(std::move(t)); });

    AppState& state = m_deps.state;
    // The sound server may still be connecting: its lists are taken again as they change.
    m_deps.audio.setInputsChanged([this] { refreshChannels(); });
    refreshChannels();
    m_deps.tuning.restoreHasCustomPreset();
    m_deps.tuning.restoreLastUsed();
    m_seenTranspose = state.transpose();
    m_deps.tuning.restoreSelectedPreset();
    m_deps.tuning.setHostParamsReady();

    co_await refresh(std::nullopt, stop);
    if (stop.stop_requested())
        co_return;
    co_await pollLoop(stop);
}

QCoro::Task<> SongTracker::checkVersion(std::stop_token stop)
{
    const auto answer = co_await ServerAPI::appVersion(stop);
    if (stop.stop_requested() || !answer.ok())
        co_return;
    if (tracker_rules::isNewerVersion(answer.value().version, appShortVersion())) {
        m_updateInfo = answer.value();
        emit updateInfoChanged();
    }
}

QCoro::Task<> SongTracker::pollLoop(std::stop_token stop)
{
    using namespace std::chrono;
    AppState& state = m_deps.state;
    std::optional<Song> lastSong = state.current();
    bool lastFromPlayer = true;
    TimePoint lastSeenAt = m_deps.now();
    std::optional<TimePoint> lastOcrAt;
    std::optional<Song> playingSong;
    TimePoint playStart = m_deps.now();

    while (!stop.stop_requested()) {
        const bool slept = co_await m_deps.sleep(kPollPeriod, stop);
        if (!slept || stop.stop_requested())
            co_return;
        if (m_resolveAgain) {
            m_resolveAgain = false;
            if (const auto current = state.current()) {
                co_await refresh(std::pair(*current, state.songSource()), stop);
                if (stop.stop_requested())
                    co_return;
            }
        }

        co_await m_deps.players.poll(stop);
        if (stop.stop_requested())
            co_return;
        std::optional<Song> song = m_deps.players.activeSong();
        QString label = m_deps.players.label();

        if (!song) {
            if (lastOcrAt && m_deps.now() - *lastOcrAt < kOcrPeriod)
                continue;
            lastOcrAt = m_deps.now();
            const std::optional<Song> recognised = co_await m_deps.window.ocrCurrentSong();
            if (stop.stop_requested())
                co_return;
            if (!recognised) {
                if (lastFromPlayer && m_deps.now() - lastSeenAt > kSongGoneAfter) {
                    state.setSongSource(QString());
                    state.setCurrent(std::nullopt);
                    state.setKeyText(kNoSong);
                    state.setKeyDetail(
                        m_deps.window.screenCaptureAllowed()
                            ? QString()
                            : QStringLiteral("窗口识别需要 X11 显示（在 X11 桌面或 XWayland 下运行 Melodrix，"
                                             "窗口管理器需支持 EWMH）"));
                    lastSong.reset();
                    lastFromPlayer = false;
                }
                continue;
            }
            song = recognised;
            const QString playerLabel = m_deps.window.lastPlayerLabel();
            label = playerLabel.isEmpty() ? kWindowLabel : playerLabel;
        }

        lastSeenAt = m_deps.now();
        const bool fromWindow = isWindowLabel(label);

        if (!playingSong || !Song::isSameSong(*song, *playingSong)) {
            if (playingSong) {
                const double seconds = duration<double>(m_deps.now() - playStart).count();
                ServerAPI::reportPlaySeconds(playingSong->artist, playingSong->title, seconds,
                                             QStringLiteral("player"), m_deps.players.localReadDiag());
            }
            playingSong = song;
            playStart = m_deps.now();
        }

        if (lastSong && Song::isSameSong(*song, *lastSong)) {
            lastFromPlayer = !fromWindow;
            lastSong = song;
            if (!label.isEmpty() && !fromWindow && label != state.songSource())
                state.setSongSource(label);
            continue;
        }

        co_await refresh(std::pair(*song, label), stop);
        if (stop.stop_requested())
            co_return;
        lastSong = song;
        lastFromPlayer = !fromWindow;
    }
}

QCoro::Task<> SongTracker::refresh(std::optional<std::pair<Song, QString>> resolved, std::stop_token stop)
{
    AppState& state = m_deps.state;
    state.setBusy(true);
    m_waitingForChannel = false;

    std::optional<Song> song;
    QString label;
    if (resolved) {
        song = resolved->first;
        label = resolved->second;
    } else {
        // The players, and once more after a short pause when they name no song.
        for (int attempt = 0; attempt < 2 && !song; ++attempt) {
            if (attempt > 0) {
                const bool slept = co_await m_deps.sleep(kSecondPollDelay, stop);
                if (!slept || stop.stop_requested())
                    co_return;
            }
            co_await m_deps.players.poll(stop);
            if (stop.stop_requested())
                co_return;
            song = m_deps.players.activeSong();
            label = m_deps.players.label();
        }
        if (!song) {
            song = co_await m_deps.window.ocrCurrentSong();
            if (stop.stop_requested())
                co_return;
            label = song ? kWindowLabel : QString();
        }
    }

    if (song && state.current() && !Song::isSameSong(*song, *state.current())) {
        state.setManualScaleIndex(std::nullopt);
        state.setKeyManuallySet(false);
        m_lastManualKeyReport.clear();
        m_libraryVerificationTask.cancel();
        m_verificationWaitingForChannel.reset();
    }
    state.setSongSource(label);
    state.setCurrent(song);

    if (!song) {
        state.setKeyText(kNoSong);
        state.setKeyDetail(QString());
        state.setBusy(false);
        co_return;
    }

    const ServiceResult<LookupResult> answer = co_await ServerAPI::lookup(*song, stop, m_deps.lookupTimeout);
    if (stop.stop_requested())
        co_return;

    if (!answer.ok()) {
        const ServiceError& error = answer.error();
        if (error.is(ServerAPI::Error::upgradeRequired)) {
            state.setKeyText(QStringLiteral("版本过旧"));
            state.setKeyDetail(QStringLiteral("版本过旧，请升级到最新版"));
        } else if (error.kind == ServiceError::Kind::consentMissing) {
            m_waitingForConsent = true;
            state.setKeyText(QStringLiteral("需要同意隐私说明"));
            state.setKeyDetail(QStringLiteral("同意后就能帮你定调～"));
        } else {
            state.setKeyText(QStringLiteral("网络不稳定"));
            state.setKeyDetail(QStringLiteral("请稍后重试"));
        }
        state.setBusy(false);
        co_return;
    }

    const LookupResult& result = answer.value();
    if (!result.found || !result.key) {
        state.setKeyText(QStringLiteral("识别中…"));
        state.setKeyDetail(QStringLiteral("听着呢，别停～"));
        if (const auto channel = m_deps.audio.selectedChannel()) {
            state.setChannelName(channel->name);
            state.setChannelStatus(QStringLiteral("已选择：") + channel->name);
            if (m_localDetect) {
                co_await m_localDetect(*song, *channel, stop);
                if (stop.stop_requested())
                    co_return;
            }
        } else {
            // The sound server may list the channel a moment later (it connects in the
            // background at launch): the song is resolved again when it does.
            m_waitingForChannel = true;
            state.setKeyText(QStringLiteral("暂未识别"));
            state.setKeyDetail(QStringLiteral("设置里选一下伴奏通道～"));
        }
        state.setBusy(false);
        co_return;
    }

    state.setKeyText(*result.key);
    state.setKeyDetail(tracker_rules::libraryKeyDetail(result));
    applyKeyToAutotune(*result.key);
    verifyLibraryKey(*song, *result.key, result.matched_by);
    state.setBusy(false);
}

void SongTracker::refreshChannels()
{
    AppState& state = m_deps.state;
    const std::vector<AudioChannel> inputs = m_deps.audio.listInputs();
    const QList<AudioChannel> channels(inputs.begin(), inputs.end());
    // The state notifies on equal assignments too.
    if (channels != state.channels())
        state.setChannels(channels);
    const auto channel = m_deps.audio.selectedChannel();
    if (!channel)
        return;
    const QString status = QStringLiteral("已选择：") + channel->name;
    if (state.channelName() != channel->name)
        state.setChannelName(channel->name);
    if (state.channelStatus() != status)
        state.setChannelStatus(status);
    if (m_waitingForChannel) {
        m_waitingForChannel = false;
        m_resolveAgain = true;
    }
    if (auto pending = std::exchange(m_verificationWaitingForChannel, std::nullopt);
        pending && songStillPlaying(pending->song))
        verifyLibraryKey(pending->song, pending->dbKey, pending->matchedBy);
    if (!m_transposerStarted) {
        m_transposerStarted = true;
        m_deps.transposer.start();
    }
}

void SongTracker::chooseChannel(const QString& uid)
{
    AppState& state = m_deps.state;
    const QList<AudioChannel>& channels = state.channels();
    const auto chosen =
        std::find_if(channels.begin(), channels.end(), [&](const AudioChannel& c) { return c.uid == uid; });
    if (chosen == channels.end())
        return;
    useChannel(*chosen);
}

void SongTracker::useChannel(const AudioChannel& channel)
{
    AppState& state = m_deps.state;
    m_deps.settings.setAccompanimentChannelUID(channel.uid);
    state.setChannelName(channel.name);
    state.setChannelStatus(QStringLiteral("已选择：") + channel.name);
    m_transposerStarted = true;
    m_deps.transposer.stop();
    m_deps.transposer.start();
}

void SongTracker::pushKey(const QString& keyText)
{
    const auto semitone = tracker_rules::keySemitone(keyText);
    if (!semitone)
        return;
    const AppState& state = m_deps.state;
    m_deps.syncer.setKeyScale(reduceSemitone(*semitone + state.transpose()),
                              tracker_rules::scaleIndexFor(state.keyText(), state.manualScaleIndex()));
}

void SongTracker::applyKeyToAutotune(const QString& key)
{
    if (!tracker_rules::keySemitone(key))
        return;
    pushKey(key);
    m_deps.state.setSynced(true);
}

void SongTracker::syncTranspose()
{
    pushKey(m_deps.state.keyText());
}

void SongTracker::onTransposeChanged()
{
    if (m_deps.state.transpose() == m_seenTranspose)
        return;
    m_seenTranspose = m_deps.state.transpose();
    syncTranspose();
    m_deps.tuning.persistLastUsed();
}

void SongTracker::applyManualKey(const QString& key)
{
    AppState& state = m_deps.state;
    const QString prev = state.keyText();
    state.setManualScaleIndex(std::nullopt);
    state.setKeyManuallySet(false);
    state.setKeyText(key);
    state.setKeyDetail(QStringLiteral("你说了算～"));
    applyKeyToAutotune(key);
    reportManualKeyChange(key, prev);
}

void SongTracker::reportManualKeyChange(const QString& key, const QString& prev)
{
    const auto current = m_deps.state.current();
    if (!current || !tracker_rules::hasMode(key))
        return;
    const QString id = tracker_rules::songId(current->artist, current->title) + QLatin1Char('|') + key;
    if (id == m_lastManualKeyReport)
        return;
    m_lastManualKeyReport = id;
    const std::optional<QString> prevKey = tracker_rules::hasMode(prev) ? std::optional(prev) : std::nullopt;
    spawn([this, artist = current->artist, title = current->title, key, prevKey, id](std::stop_token t) {
        return sendFeedback(artist, title, key, QStringLiteral("manual"), prevKey, id, std::move(t));
    });
}

void SongTracker::sendKeyFeedback()
{
    AppState& state = m_deps.state;
    const auto current = state.current();
    if (!current) {
        state.setKeyDetail(QStringLiteral("暂无可反馈的歌曲"));
        return;
    }
    const QString prefix = tracker_rules::songId(current->artist, current->title) + QLatin1Char('|');
    std::optional<QString> manualKey;
    if (m_lastManualKeyReport.startsWith(prefix)) {
        const QString rest = m_lastManualKeyReport.mid(prefix.size());
        if (!state.keyManuallySet() && rest == state.keyText())
            manualKey = rest;
    }
    const std::optional<QString> key =
        manualKey && tracker_rules::hasMode(*manualKey) ? manualKey : std::nullopt;
    const std::optional<QString> prevKey =
        tracker_rules::hasMode(state.keyText()) ? std::optional(state.keyText()) : std::nullopt;
    spawn([this, artist = current->artist, title = current->title, key, prevKey](std::stop_token t) {
        return sendFeedback(artist, title, key, QStringLiteral("button"), prevKey, QString(), std::move(t));
    });
}

QCoro::Task<> SongTracker::sendFeedback(QString artist, QString title, std::optional<QString> key,
                                        QString source, std::optional<QString> prevKey, QString reportId,
                                        std::stop_token stop)
{
    const ServiceResult<void> sent = co_await ServerAPI::feedback(artist, title, key, source, prevKey, stop);
    if (stop.stop_requested())
        co_return;
    if (!reportId.isEmpty()) {
        // A manual change: nothing is shown; a failure lets the same choice go again.
        if (!sent.ok() && m_lastManualKeyReport == reportId)
            m_lastManualKeyReport.clear();
        co_return;
    }
    m_deps.state.setKeyDetail(sent.ok() ? QStringLiteral("收到啦，谢谢～")
                                        : QStringLiteral("反馈未成功，请稍后再试"));
}

void SongTracker::consentGiven()
{
    if (!m_waitingForConsent)
        return;
    m_waitingForConsent = false;
    m_resolveAgain = true;
}

bool SongTracker::songStillPlaying(const Song& song) const
{
    const auto active = m_deps.players.activeSong();
    return active && Song::isSameSong(*active, song);
}

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
