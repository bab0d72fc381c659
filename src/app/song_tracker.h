#pragma once

#include "app/tracker_ports.h"
#include "core/cancellation.h"
#include "core/song.h"
#include "service/server_api.h"
#include "service/service_records.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <list>
#include <optional>
#include <utility>

class AppState;
class AutoTuneSyncer;
class KeyDetectorV5;
class SettingsStore;
class TuningControls;

// The heart of the run, the main view's logic without a view: at start it restores the
// tuning and resolves the current song, then every 400 ms it asks the players what plays;
// a new song is looked up in the key library, a library key is pushed to the plug-in at
// once and verified later against the accompaniment, an unknown song is handed to local
// detection. It also carries the user's key choices, feedback and transposition.
//
// Lifetime: the owner of the run creates it last and destroys it first; every reference
// in Deps must outlive it. Destroying it cancels every task it started; a cancelled task
// touches nothing after its wait.
//
// Thread safety: main thread only.
class SongTracker : public QObject {
    Q_OBJECT
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;
    using Sleep = std::function<QCoro::Task<bool>(std::chrono::milliseconds, std::stop_token)>;

    static constexpr std::chrono::milliseconds kPollPeriod{400};
    static constexpr std::chrono::milliseconds kOcrPeriod{3000};
    static constexpr std::chrono::milliseconds kSongGoneAfter{2000};
    static constexpr std::chrono::milliseconds kSecondPollDelay{500};
    static constexpr std::chrono::milliseconds kVerifyDelay{10'000};
    static constexpr double kVerifyCaptureSeconds = 45.0;

    struct Deps {
        AppState& state;
        SettingsStore& settings;
        AutoTuneSyncer& syncer;
        TuningControls& tuning;
        PlayerPort& players;
        WindowRecognitionPort& window;
        TransposerPort& transposer;
        AudioPort& audio;
        KeyDetectorV5& keyDetectorV5;
        Clock now = std::chrono::steady_clock::now;
        Sleep sleep = cancellation::sleepFor;
        std::chrono::milliseconds lookupTimeout = ServerAPI::kTransferTimeout;
    };

    explicit SongTracker(Deps deps, QObject* parent = nullptr);
    ~SongTracker() override;

    // Local detection (not owned; it outlives the tracker), set by whoever provides it;
    // without one an unknown song only shows that it is being listened to. A run goes on
    // beside the loop until the loop resolves another song or clears it.
    void setLocalDetection(LocalDetectionPort* detection) { m_localDetection = detection; }

    // Runs panel start (and with it the loop) until the tracker is destroyed or stop() is called.
    void start();
    // Cancels everything the tracker started, local detection's reports included.
    void stop();
    bool isRunning() const { return m_run.isRunning(); }

    QCoro::Task<> panelStart(std::stop_token stop);
    QCoro::Task<> pollLoop(std::stop_token stop);
    QCoro::Task<> refresh(std::optional<std::pair<Song, QString>> resolved, std::stop_token stop);

    void applyKeyToAutotune(const QString& key);
    void applyManualKey(const QString& key);
    void syncTranspose();
    void sendKeyFeedback();
    void reportManualKeyChange(const QString& key, const QString& prev);
    void verifyLibraryKey(const Song& song, const QString& dbKey, const std::optional<QString>& matchedBy);
    // The user picked an accompaniment input: stored, shown, and the transposer restarted on
    // it. A uid the state does not list changes nothing.
    void chooseChannel(const QString& uid);
    // The same for a channel the state may not list yet (one just made by the program).
    void useChannel(const AudioChannel& channel);
    // Privacy consent was given: a song refused for missing consent is resolved again.
    void consentGiven();

    const std::optional<AppVersion>& updateInfo() const { return m_updateInfo; }
    bool hostParamsReady() const;
    bool isVerificationRunning() const { return m_libraryVerificationTask.isRunning(); }
    bool isDetecting() const { return m_localDetectionTask.isRunning(); }
    // The song resolved is the song the players still report.
    bool songStillPlaying(const Song& song) const;

signals:
    void updateInfoChanged();

private:
    QCoro::Task<> checkVersion(std::stop_token stop);
    QCoro::Task<> verification(Song song, QString dbKey, std::optional<QString> matchedBy,
                               std::stop_token stop);
    QCoro::Task<> sendFeedback(QString artist, QString title, std::optional<QString> key, QString source,
                               std::optional<QString> prevKey, QString reportId, std::stop_token stop);
    void startLocalDetection(const Song& song, const AudioChannel& channel);
    // Cancels a detection run; the song it listened to is no longer resolving.
    void stopLocalDetection();
    QCoro::Task<> listenForKey(Song song, AudioChannel channel, std::stop_token stop);
    void pushKey(const QString& keyText);
    // The inputs and the stored channel as the sound server lists them now; the transposer
    // starts the first time the stored channel is there.
    void refreshChannels();
    // "已选择：" and the channel's name.
    void showChannel(const AudioChannel& channel);
    void onTransposeChanged();
    // Starts a task that runs beside everything else and is cancelled with the tracker.
    template <typename Body> void spawn(Body&& body)
    {
        m_tasks.remove_if([](const cancellation::TaskHandle& h) { return !h.isRunning(); });
        m_tasks.emplace_back().start(std::forward<Body>(body));
    }

    Deps m_deps;
    LocalDetectionPort* m_localDetection = nullptr;
    QString m_lastManualKeyReport;
    std::optional<AppVersion> m_updateInfo;
    int m_seenTranspose;
    // Set when a lookup was refused for missing consent; consent then resolves again.
    bool m_waitingForConsent = false;
    // Set when an unknown song found no channel; the channel appearing resolves again.
    bool m_waitingForChannel = false;
    // A library key whose check waits for the sound server to list the channel (at launch).
    struct PendingVerification {
        Song song;
        QString dbKey;
        std::optional<QString> matchedBy;
    };
    std::optional<PendingVerification> m_verificationWaitingForChannel;
    bool m_resolveAgain = false;
    bool m_transposerStarted = false;
    // The channel status names a chosen channel that is listed.
    bool m_channelShown = false;
    cancellation::TaskHandle m_libraryVerificationTask;
    cancellation::TaskHandle m_localDetectionTask;
    std::list<cancellation::TaskHandle> m_tasks;
    cancellation::TaskHandle m_run; // last: cancelled first
};
