#include "ui/main_panel_controller.h"

#include "app/song_tracker.h"
#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "keydetect/key_decision.h"
#include "pluginlink/auto_tune_syncer.h"
#include "transpose/accompaniment_loop.h"
#include "ui/auto_tune_presence.h"
#include "ui/panel_geometry.h"
#include "ui/plugin_link_line.h"

#include <QDesktopServices>
#include <QScreen>
#include <algorithm>

MainPanelController::MainPanelController(AppState& state, SongTracker& tracker, AutoTuneSyncer& syncer,
                                         AutoTunePresence& presence, QObject* parent)
    : QObject(parent), m_state(state), m_tracker(tracker), m_syncer(syncer), m_presence(presence)
{
    connect(&state, &AppState::currentChanged, this, &MainPanelController::songChanged);
    connect(&state, &AppState::songSourceChanged, this, &MainPanelController::songChanged);
    connect(&state, &AppState::keyLinkWarningChanged, this, &MainPanelController::keyLinkWarningTextChanged);
    connect(&state, &AppState::transposeChanged, this, &MainPanelController::transposeTextChanged);
    connect(&syncer, &AutoTuneSyncer::connectedChanged, this, &MainPanelController::linkLineChanged);
    connect(&syncer, &AutoTuneSyncer::hostVariantChanged, this, &MainPanelController::linkLineChanged);
    connect(&presence, &AutoTunePresence::installedChanged, this, &MainPanelController::linkLineChanged);
    connect(&tracker, &SongTracker::updateInfoChanged, this, &MainPanelController::updateChanged);
}

QString MainPanelController::songTitle() const
{
    const auto& song = m_state.current();
    return song ? song->title : m_state.displaySong();
}

QString MainPanelController::songSubtitle() const
{
    const auto& song = m_state.current();
    if (!song)
        return {};
    QStringList parts;
    if (!song->artist.isEmpty())
        parts.append(song->artist);
    if (!m_state.songSource().isEmpty())
        parts.append(m_state.songSource());
    return parts.join(QStringLiteral(" · "));
}

QString MainPanelController::keyLinkWarningText() const
{
    const auto& warning = m_state.keyLinkWarning();
    return warning ? QStringLiteral("⚠️ ") + *warning : QString();
}

QString MainPanelController::atStatusText() const
{
    return pluginLinkLine(m_syncer.connected(), m_syncer.hostVariant().value_or(QString()),
                          m_presence.installed())
        .text;
}

QColor MainPanelController::atStatusColor() const
{
    return pluginLinkLine(m_syncer.connected(), m_syncer.hostVariant().value_or(QString()),
                          m_presence.installed())
        .color;
}

QStringList MainPanelController::allKeys() const
{
    return tracker_rules::allKeys();
}

QStringList MainPanelController::types() const
{
    return {QStringLiteral("女高音"), QStringLiteral("女中音/男高音"), QStringLiteral("低男声"),
            QStringLiteral("乐器"), QStringLiteral("贝斯")};
}

QString MainPanelController::transposeText() const
{
    const int t = m_state.transpose();
    return t > 0 ? QStringLiteral("+%1").arg(t) : QString::number(t);
}

bool MainPanelController::updateVisible() const
{
    return m_tracker.updateInfo().has_value() && !m_updateIgnored;
}

QString MainPanelController::updateVersion() const
{
    const auto& info = m_tracker.updateInfo();
    return info ? info->version : QString();
}

void MainPanelController::chooseKey(const QString& key)
{
    m_tracker.applyManualKey(key);
}

void MainPanelController::sendFeedback()
{
    m_tracker.sendKeyFeedback();
}

void MainPanelController::transposeDown()
{
    // The tracker follows the state: it syncs the plug-in and stores the last-used settings.
    m_state.setTranspose(std::max(m_state.transpose() - 1, -kTransposeLimit));
}

void MainPanelController::transposeUp()
{
    m_state.setTranspose(std::min(m_state.transpose() + 1, kTransposeLimit));
}

void MainPanelController::setAccompanimentLoop(AccompanimentLoop* loop)
{
    if (m_loop)
        disconnect(m_loop, nullptr, this, nullptr);
    m_loop = loop;
    if (m_loop)
        connect(m_loop, &AccompanimentLoop::existsChanged, this,
                &MainPanelController::accompanimentLoopChanged);
    emit accompanimentLoopChanged();
}

bool MainPanelController::accompanimentLoopExists() const
{
    return m_loop && m_loop->exists();
}

void MainPanelController::createAccompanimentLoop()
{
    if (m_loop)
        m_loop->create();
}

void MainPanelController::removeAccompanimentLoop()
{
    if (m_loop)
        m_loop->remove();
}

void MainPanelController::chooseChannel(const QString& uid)
{
    m_tracker.chooseChannel(uid);
}

void MainPanelController::chooseStyle(const QString& raw)
{
    m_state.setFloatingBarStyleRaw(raw);
}

bool MainPanelController::neuralFirst() const
{
    return SettingsStore::shared().keyDecisionEngine() == KeyDecisionEngine::neuralFirst;
}

void MainPanelController::setNeuralFirst(bool on)
{
    if (on == neuralFirst())
        return;
    SettingsStore::shared().setKeyDecisionEngine(on ? KeyDecisionEngine::neuralFirst
                                                    : KeyDecisionEngine::classic);
    emit neuralFirstChanged();
}

QString MainPanelController::decisionEngineTip() const
{
    return QStringLiteral(
               "只影响曲库里没有、要靠听来定调的歌。经典：三段都认同一组音才定调，稳妥，但常停在半音阶模式。"
               "神经网络优先：神经网络把握达到 %1% 时由它定调，其余仍按经典规则。")
        .arg(static_cast<int>(key_decision::kNeuralConfidence * 100));
}

void MainPanelController::downloadUpdate()
{
    if (const auto& info = m_tracker.updateInfo())
        QDesktopServices::openUrl(QUrl(info->url));
}

void MainPanelController::ignoreUpdate()
{
    m_updateIgnored = true;
    emit updateChanged();
}

void MainPanelController::fitPanelHeight(double contentHeight)
{
    if (!m_panel)
        return;
    const QScreen* screen = m_panel->screen();
    const std::optional<int> visible =
        screen ? std::optional<int>(screen->availableGeometry().height()) : std::nullopt;
    const int target = panel_geometry::fittedHeight(contentHeight, visible);
    if (!panel_geometry::needsResize(m_panel->height(), target))
        return;
    m_panel->resize(panel_geometry::kWidth, target);
}
