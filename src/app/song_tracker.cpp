#include "app/song_tracker.h"

#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "core/build_info.h"
#include "core/settings_store.h"
#include "pluginlink/tuning_controls.h"
#include "transpose/accompaniment_processor.h"

#include <algorithm>

namespace {

const QString kWindowLabel = QStringLiteral("窗口识别");
const QString kNoSong = QStringLiteral("来首歌呀～");

bool isWindowLabel(const QString& label)
{
    return label.startsWith(kWindowLabel);
}

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
    m_localDetectionTask.cancel();
    m_libraryVerificationTask.cancel();
    for (auto& task : m_tasks)
        task.cancel();
    // A decided key's report outlives the detection run that sent it; quitting ends it too.
    if (m_localDetection)
        m_localDetection->stop();
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
                    stopLocalDetection();
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
    // Whatever this resolves to, the song listened to so far is resolved anew.
    m_localDetectionTask.cancel();
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
            showChannel(*channel);
            if (m_localDetection) {
                // Beside the loop, which goes on following the players and the windows.
                startLocalDetection(*song, *channel);
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

void SongTracker::startLocalDetection(const Song& song, const AudioChannel& channel)
{
    m_localDetectionTask.start(
        [this, song, channel](std::stop_token stop) { return listenForKey(song, channel, std::move(stop)); });
}

void SongTracker::stopLocalDetection()
{
    if (!m_localDetectionTask.isRunning())
        return;
    m_localDetectionTask.cancel();
    m_deps.state.setBusy(false);
}

QCoro::Task<> SongTracker::listenForKey(Song song, AudioChannel channel, std::stop_token stop)
{
    co_await m_localDetection->localDetectAndRefine(std::move(song), std::move(channel), stop);
    // Ended by itself: the players or the loop moved on.
    if (!stop.stop_requested())
        m_deps.state.setBusy(false);
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
    if (!channel) {
        // The channel shown as chosen is gone, with its device or with the sound server
        // (stopped, or frozen and given up): said so until it is listed again. One the user
        // let go of (no longer stored) keeps whatever its removal said.
        if (std::exchange(m_channelShown, false) &&
            !m_deps.settings.accompanimentChannelUID().value_or(QString()).isEmpty())
            state.setChannelStatus(AccompanimentProcessor::kLostStatus);
        return;
    }
    showChannel(*channel);
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

void SongTracker::showChannel(const AudioChannel& channel)
{
    AppState& state = m_deps.state;
    const QString status = QStringLiteral("已选择：") + channel.name;
    // The state notifies on equal assignments too.
    if (state.channelName() != channel.name)
        state.setChannelName(channel.name);
    if (state.channelStatus() != status)
        state.setChannelStatus(status);
    m_channelShown = true;
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
    m_deps.settings.setAccompanimentChannelUID(channel.uid);
    showChannel(channel);
    m_transposerStarted = true;
    m_deps.transposer.stop();
    m_deps.transposer.start();
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
