#pragma once

#include "diagnostics/diagnostic_exporter.h"
#include "transpose/loop_routing.h"

#include <QFuture>
#include <QString>
#include <memory>

class AppDelegate;
class AccompanimentLoop;
class AccompanimentProcessor;
class AudioPort;
class LocalDetection;
class PlayerPort;
class SongTracker;
class TransposerPort;
class TuningControls;
class WindowRecognitionPort;
class PlayerDetector;
class AppState;
class AutoTuneSyncer;
class KeyDetectorV5;
class KeyLinkCheck;
class KuGouDetector;
class NeteaseMusicDetector;
class NowPlaying;
class PulseAudioClient;
class PlayerActivityMonitor;
class QQMusicDetector;
class SettingsStore;
namespace platform {
class WindowReader;
class RunningApplications;
} // namespace platform

// The owner of the run: creates the objects that live for the whole interactive run in one
// defined order, owns them, and destroys them in reverse order. Everything else (the
// delegate, the tracker, later the transposer and the windows) gets non-owning pointers.
// While it lives, SettingsStore::shared() and AppState::shared() are views of its objects,
// and the plug-in state file carries its state's metadata.
//
// Thread safety: create, use and destroy on the main thread, after the application object.
class AppRun {
public:
    struct Paths {
        QString settingsFile; // the INI file of the settings store
        QString home;         // where the players keep their data
        QString tempDir;      // where private copies of player databases go
    };
    // The user's real settings, home and temporary folder.
    static Paths defaultPaths();

    explicit AppRun(const Paths& paths = defaultPaths());
    ~AppRun();
    AppRun(const AppRun&) = delete;
    AppRun& operator=(const AppRun&) = delete;

    SettingsStore& settings() { return *m_settings; }
    AppState& state() { return *m_state; }
    // The run's one sound server client: input listing, capture, later the transposer.
    PulseAudioClient& audio() { return *m_audio; }
    NowPlaying& nowPlaying() { return *m_nowPlaying; }
    PlayerActivityMonitor& playerMonitor() { return *m_playerMonitor; }
    KeyDetectorV5& keyDetectorV5() { return *m_keyDetectorV5; }
    AutoTuneSyncer& syncer() { return *m_syncer; }
    // The accompaniment transposer on the run's sound server client; stopped by the quit steps.
    AccompanimentProcessor& transposer() { return *m_transposer; }
    KeyLinkCheck& keyLinkCheck() { return *m_keyLinkCheck; }
    AppDelegate& delegate() { return *m_delegate; }
    TuningControls& tuning() { return *m_tuning; }
    // Where the diagnostic report of this run reads: the user's locations with this run's
    // player readers and running-applications scan, and how the song was last found. Main
    // thread.
    DiagnosticExporter::Sources diagnosticSources() const;
    SongTracker& tracker() { return *m_tracker; }
    // The accompaniment loop the user makes with one action (and the program keeps).
    AccompanimentLoop& accompanimentLoop() { return *m_loop; }

private:
    QFuture<std::optional<loop_routing::PlayerProcesses>>
    electedPlayerProcesses(std::vector<AudioStreamInfo> streams) const;

    // Declaration order is creation order; destruction runs backwards.
    std::unique_ptr<SettingsStore> m_settings;
    SettingsStore* m_previousSettings = nullptr;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<PulseAudioClient> m_audio;
    std::unique_ptr<AccompanimentProcessor> m_transposer;
    std::shared_ptr<const platform::RunningApplications> m_applications;
    std::unique_ptr<NowPlaying> m_nowPlaying;
    std::unique_ptr<KuGouDetector> m_kugou;
    std::unique_ptr<QQMusicDetector> m_qqmusic;
    std::unique_ptr<NeteaseMusicDetector> m_netease;
    std::unique_ptr<PlayerActivityMonitor> m_playerMonitor;
    std::unique_ptr<KeyDetectorV5> m_keyDetectorV5;
    std::unique_ptr<AutoTuneSyncer> m_syncer;
    std::unique_ptr<KeyLinkCheck> m_keyLinkCheck;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<TuningControls> m_tuning;
    std::unique_ptr<PlayerPort> m_playerPort;
    std::unique_ptr<platform::WindowReader> m_windowReader;
    std::unique_ptr<PlayerDetector> m_playerDetector;
    std::unique_ptr<WindowRecognitionPort> m_windowRecognition;
    std::unique_ptr<TransposerPort> m_transposerPort;
    std::unique_ptr<AudioPort> m_audioPort;
    std::unique_ptr<SongTracker> m_tracker;
    std::unique_ptr<LocalDetection> m_localDetection;
    std::unique_ptr<AccompanimentLoop> m_loop;
};
