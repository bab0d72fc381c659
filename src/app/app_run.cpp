#include "app/app_run.h"

#include "app/app_delegate.h"
#include "app/local_detection.h"
#include "app/song_tracker.h"
#include "app/tracker_ports.h"
#include "core/app_state.h"
#include "core/build_info.h"
#include "core/resource_bundle.h"
#include "core/settings_store.h"
#include "keydetect/v5/key_detector_v5.h"
#include "platform/pulse_audio_client.h"
#include "platform/running_applications.h"
#include "platform/window_reader.h"
#include "players/kugou_detector.h"
#include "players/mpris_provider.h"
#include "players/netease_music_detector.h"
#include "players/now_playing.h"
#include "players/now_playing_artwork_reader.h"
#include "players/player_activity_monitor.h"
#include "players/player_detector.h"
#include "players/qq_music_detector.h"
#include "players/window_player.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_installer.h"
#include "pluginlink/plugin_ipc.h"
#include "pluginlink/tuning_controls.h"
#include "transpose/accompaniment_loop.h"
#include "transpose/accompaniment_processor.h"

#include <QDir>
#include <QFutureWatcher>
#include <QPointer>
#include <QtConcurrent>

AppRun::Paths AppRun::defaultPaths()
{
    return {SettingsStore::defaultPath(), QDir::homePath(), QDir::tempPath()};
}

AppRun::AppRun(const Paths& paths)
{
    m_settings = std::make_unique<SettingsStore>(paths.settingsFile);
    m_previousSettings = SettingsStore::installShared(m_settings.get());

    m_state = std::make_unique<AppState>(*m_settings);
    AppState::installShared(m_state.get());
    // Installed before the syncer exists, so its first write already carries the song lines.
    QPointer<AppState> weakState(m_state.get());
    PluginIPC::setMetaProvider([weakState]() -> QMap<QString, QString> {
        return weakState ? weakState->pluginMeta() : QMap<QString, QString>{};
    });

    // Connects in the background; its lists fill in as the server answers.
    m_audio = std::make_unique<PulseAudioClient>();
    m_transposer = std::make_unique<AccompanimentProcessor>(*m_audio);
    // The accompaniment follows the transposition from the first value on.
    m_transposer->setSemitones(m_state->transpose());
    QObject::connect(m_state.get(), &AppState::transposeChanged, m_transposer.get(),
                     [this] { m_transposer->setSemitones(m_state->transpose()); });

    m_applications = platform::defaultRunningApplications();
    m_nowPlaying = std::make_unique<NowPlaying>(std::make_shared<MprisProvider>(), m_applications);
    m_state->setNowPlayingReader(std::make_shared<NowPlayingArtworkReader>(*m_nowPlaying));

    m_kugou = std::make_unique<KuGouDetector>(paths.home);
    m_qqmusic = std::make_unique<QQMusicDetector>(paths.home, paths.tempDir);
    m_netease = std::make_unique<NeteaseMusicDetector>(paths.home, paths.tempDir);
    m_playerMonitor = std::make_unique<PlayerActivityMonitor>(
        PlayerActivityMonitor::Readers{*m_kugou, *m_qqmusic, *m_netease, *m_nowPlaying, m_applications,
                                       [settings = m_settings.get()] { return settings->otherPlayers(); }});

    m_keyDetectorV5 = std::make_unique<KeyDetectorV5>([] { return findResourceDir(); });

    // The heartbeat runs from here on, for the whole run.
    m_syncer = std::make_unique<AutoTuneSyncer>();
    // Idle until the post-launch checks start it; its warning lands in the state.
    m_keyLinkCheck = std::make_unique<KeyLinkCheck>(KeyLinkCheck::Config::defaults());
    m_delegate = std::make_unique<AppDelegate>(*m_settings, m_syncer.get());
    m_delegate->setTransposerStop([transposer = m_transposer.get()] { transposer->stop(); });
    m_delegate->setPluginInstaller([delegate = m_delegate.get(), settings = m_settings.get()] {
        // The copy runs off the main thread; the marker is stored back on it.
        const PluginInstaller::Request request{PluginInstaller::defaultComponentsDir(),
                                               PluginInstaller::shippedBundle(), appShortVersion(),
                                               settings->pluginInstalledForAppVersion()};
        auto* watcher = new QFutureWatcher<std::optional<QString>>(delegate);
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [watcher, settings] {
            if (const auto marker = watcher->result())
                settings->setPluginInstalledForAppVersion(*marker);
            watcher->deleteLater();
        });
        watcher->setFuture(QtConcurrent::run([request] { return PluginInstaller::install(request); }));
    });
    m_delegate->setKeyLinkCheck([check = m_keyLinkCheck.get(), state = m_state.get()] {
        check->checkAndPublish(
            [state](std::optional<QString> warning) { state->setKeyLinkWarning(warning); });
    });

    // The tracker comes last and starts at once, with or without windows.
    m_tuning = std::make_unique<TuningControls>(*m_state, *m_syncer, *m_settings);
    m_playerPort = std::make_unique<MonitorPlayerPort>(*m_playerMonitor);
    m_windowReader = std::make_unique<platform::WindowReader>();
    m_playerDetector = std::make_unique<PlayerDetector>(
        PlayerDetector::Deps{*m_windowReader, *m_settings, m_applications,
                             [](const QString& line) { PluginIPC::chainLog(line); }});
    screen_recording::requestOnceIfNeeded(*m_settings, m_windowReader->allowed());
    m_windowRecognition = std::make_unique<DetectorWindowRecognition>(*m_playerDetector);
    m_transposerPort = std::make_unique<ProcessorTransposer>(*m_transposer);
    m_audioPort = std::make_unique<PulseAudioPort>(*m_audio);
    m_tracker = std::make_unique<SongTracker>(
        SongTracker::Deps{*m_state, *m_settings, *m_syncer, *m_tuning, *m_playerPort, *m_windowRecognition,
                          *m_transposerPort, *m_audioPort, *m_keyDetectorV5});
    QObject::connect(m_delegate.get(), &AppDelegate::consentGiven, m_tracker.get(),
                     &SongTracker::consentGiven);
    m_localDetection = std::make_unique<LocalDetection>(LocalDetection::Deps{
        *m_state, *m_syncer, *m_playerPort, *m_audioPort, *m_keyDetectorV5,
        [tracker = m_tracker.get()](const QString& key) { tracker->applyKeyToAutotune(key); }});
    m_tracker->setLocalDetection(m_localDetection.get());
    m_tracker->start();

    m_loop = std::make_unique<AccompanimentLoop>(AccompanimentLoop::Deps{
        *m_audio, *m_settings, *m_state, *m_transposer,
        [this](std::vector<AudioStreamInfo> streams) { return electedPlayerProcesses(std::move(streams)); },
        [tracker = m_tracker.get()](const AudioChannel& channel) { tracker->useChannel(channel); }});
}

QFuture<std::optional<loop_routing::PlayerProcesses>>
AppRun::electedPlayerProcesses(std::vector<AudioStreamInfo> streams) const
{
    // The player the monitor elected, else the one whose window the song was read from.
    std::optional<PlayerSource> elected = m_playerMonitor->active();
    if (!elected)
        elected = window_player::sourceOfLabel(m_windowRecognition->lastPlayerLabel());
    if (!elected)
        return QtFuture::makeReadyFuture(std::optional<loop_routing::PlayerProcesses>());
    // Naming a stream's process reads /proc: on a worker, not on the main thread.
    return QtConcurrent::run([applications = m_applications, streams = std::move(streams),
                              elected = *elected]() -> std::optional<loop_routing::PlayerProcesses> {
        loop_routing::PlayerProcesses player;
        for (const AudioStreamInfo& stream : streams) {
            if (stream.processId) {
                const auto app = applications->application(*stream.processId);
                // The monitor's rule: a Windows client under Wine by its process name or program.
                const auto found = app ? player_source::fromProcess(app->bundleIdentifier, app->localizedName,
                                                                    app->windowsProgram)
                                       : std::nullopt;
                if (found && found->source == elected)
                    player.processIds.insert(*stream.processId);
            } else if (!stream.processBinary.isEmpty()) {
                const auto found =
                    player_source::fromProcess(stream.processBinary, stream.applicationName, {});
                if (found && found->source == elected)
                    player.binaries.insert(stream.processBinary);
            }
        }
        return player;
    });
}

DiagnosticExporter::Sources AppRun::diagnosticSources() const
{
    DiagnosticExporter::Sources sources = DiagnosticExporter::Sources::defaults();
    sources.applications = m_applications;
    sources.kugou = m_kugou.get();
    sources.qqMusic = m_qqmusic.get();
    sources.netease = m_netease.get();
    // The Linux form that gave the song, so that a support request shows the path used.
    if (const QString form = m_playerMonitor->sourceForm(); !form.isEmpty())
        sources.songForm = form;
    sources.lastRecognisedPlayer = m_playerDetector->lastPlayerLabel();
    return sources;
}

AppRun::~AppRun()
{
    m_loop.reset();
    // The tracker cancels the detection run it started: it goes first, then the reports.
    m_tracker.reset();
    m_localDetection.reset();
    m_audioPort.reset();
    m_transposerPort.reset();
    m_windowRecognition.reset();
    m_playerDetector.reset();
    m_windowReader.reset();
    m_playerPort.reset();
    m_tuning.reset();
    m_delegate.reset();
    // Ends a check still running (and its tool) before anything it publishes to goes.
    m_keyLinkCheck.reset();
    m_syncer.reset();
    m_keyDetectorV5.reset();
    m_playerMonitor.reset();
    m_netease.reset();
    m_qqmusic.reset();
    m_kugou.reset();
    // The artwork reader holds the bridge: drop it before the bridge goes.
    m_state->setNowPlayingReader(nullptr);
    m_nowPlaying.reset();
    m_applications.reset();
    m_transposer.reset();
    m_audio.reset();
    PluginIPC::setMetaProvider(nullptr);
    AppState::installShared(nullptr);
    m_state.reset();
    SettingsStore::installShared(m_previousSettings);
    m_settings.reset();
}
