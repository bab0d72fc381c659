#pragma once

#include "core/audio_channel.h"
#include "transpose/loop_routing.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
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

    struct Deps {
        PulseAudioClient& audio;
        SettingsStore& settings;
        AppState& state;
        AccompanimentProcessor& transposer;
        // Which of these streams' processes and executables are the followed (elected) player's
        // now; nothing when no player is followed.
        std::function<std::optional<loop_routing::PlayerProcesses>(const std::vector<AudioStreamInfo>&)>
            electedPlayer;
        // Stores a channel as the user's choice does: status, transposer restart.
        std::function<void(const AudioChannel&)> useChannel;
    };

    explicit AccompanimentLoop(Deps deps, QObject* parent = nullptr);
    ~AccompanimentLoop() override;

    // The user's actions.
    void create();
    void remove();

    // Our sink is on the server now.
    bool exists() const;

signals:
    void existsChanged();

private:
    class Poster;
    void onAudioChanged();
    void load(bool byUser);
    void finishCreate();
    void moveNewStreams();
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
    // Streams moved (or left where the user put them) on this connection.
    QSet<uint32_t> m_handled;
};
