#pragma once

#include "core/audio_channel.h"
#include "transpose/loop_routing.h"

#include <QFuture>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AccompanimentProcessor;
class AppState;
class PulseAudioClient;
class SettingsStore;

// The accompaniment loop made with one action: a null sink of ours on the sound server,
// its monitor stored as the accompaniment channel, and the followed player's playback
// streams moved onto it, so that the player's sound reaches the transposer and the key
// detection without the user setting anything up.
//
// While the stored channel is the loop's monitor, the loop is kept: the player's new streams
// (next song, restart) are moved onto it, and a missing sink (at launch, after the server
// restarted, as modules do not survive that) is made again. Removing it moves the streams on
// it to the default output, unloads it and clears the stored channel.
//
// Every failure shows in the channel status and changes nothing stored.
//
// Thread safety: main thread only; the server's answers arrive as queued calls.
class AccompanimentLoop : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool exists READ exists NOTIFY existsChanged)

public:
    static const QString kCreatedStatus;
    static const QString kNoPlayerStatus;
    static const QString kRemovedStatus;
    static const QString kNoServerStatus;
    static const QString kRefusedStatus;
    static const QString kRemoveFailedStatus;
    static constexpr char kCreateAction[] = "create-accompaniment-loop";
    static constexpr char kRemoveAction[] = "remove-accompaniment-loop";

    struct Deps {
        PulseAudioClient& audio;
        SettingsStore& settings;
        AppState& state;
        AccompanimentProcessor& transposer;
        // Which of these streams' processes and executables are the followed (elected) player's
        // now; nothing when no player is followed. Called on the main thread; the answer may
        // come later (the processes are looked up on a worker) and is taken on the main thread.
        std::function<QFuture<std::optional<loop_routing::PlayerProcesses>>(std::vector<AudioStreamInfo>)>
            electedPlayer;
        // Stores a channel as the user's choice does: status, transposer restart.
        std::function<void(const AudioChannel&)> useChannel;
    };

    explicit AccompanimentLoop(Deps deps, QObject* parent = nullptr);
    ~AccompanimentLoop() override;

    // The user's actions.
    void create();
    void remove();
    // The same by the desktop actions' names ("create-accompaniment-loop",
    // "remove-accompaniment-loop"); false for another name.
    bool performAction(const QString& name);
    // For an action asked for at launch: performed once the sound server is connected;
    // the no-server status when it is not within `wait`. False for an unknown name.
    bool performActionOnceConnected(const QString& name, std::chrono::milliseconds wait);

    // Our sink is on the server now.
    bool exists() const;

signals:
    void existsChanged();

private:
    class Poster;
    void onAudioChanged();
    void load(bool byUser);
    void finishCreate();
    // Asks which new streams are the player's and moves them once the answer comes; after a
    // user's create, the answer also sets the status (a player was found, or none).
    void moveNewStreams(bool afterCreate = false);
    void moveAnswered(const std::vector<AudioStreamInfo>& candidates,
                      const std::optional<loop_routing::PlayerProcesses>& player, bool afterCreate);
    void onRemoved(bool ok);
    bool stored() const;
    void setStatus(const QString& text);

    Deps m_deps;
    std::shared_ptr<Poster> m_poster;
    quint64 m_listener = 0;
    QTimer m_poll;
    int m_connection = 0;
    bool m_loading = false;
    bool m_removing = false;
    // A user's create waits for the monitor to be listed.
    bool m_finishPending = false;
    // A load made again after a restart is tried once per connection.
    bool m_recreateTried = false;
    bool m_exists = false;
    // A question about the player's streams is out; the next waits for its answer.
    bool m_asking = false;
    bool m_createAnswerPending = false;
    // An action that waits for the connection, or for the server's answer to the one before.
    QString m_deferredAction;
    // Streams moved (or left where the user put them) on this connection.
    QSet<uint32_t> m_handled;
};
