// The song tracker's key operations: a key pushed to the plug-in with the transposition,
// the user's own key choices and feedback, and their reports to the service.
#include "app/song_tracker.h"
#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "core/semitone.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/tuning_controls.h"

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
