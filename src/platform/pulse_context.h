#pragma once

// The PulseAudio client's one context (pulse_audio_client.cpp): its connection with retry and
// keepalive (pulse_context.cpp), its subscription and the lists it keeps current
// (pulse_lists.cpp). Internal to the client.
#include "platform/pulse_audio_client.h"
#include "platform/pulse_streams.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <pulse/pulseaudio.h>

namespace pulse_lists {

struct Lists {
    std::vector<pulse_streams::SourceRecord> sources;
    std::vector<AudioSinkInfo> sinks;
    std::vector<AudioStreamInfo> streams;
    std::optional<QString> defaultSink;
};

// What the server's list entries say, in our terms.
pulse_streams::SourceRecord sourceOf(const pa_source_info& info);
AudioSinkInfo sinkOf(const pa_sink_info& info);
AudioStreamInfo streamOf(const pa_sink_input_info& info);
// The same, added to its list.
void append(Lists& lists, const pa_source_info& info);
void append(Lists& lists, const pa_sink_info& info);
void append(Lists& lists, const pa_sink_input_info& info);

} // namespace pulse_lists

class PulseAudioClient::Impl {
public:
    using Lists = pulse_lists::Lists;
    using SourceRecord = pulse_streams::SourceRecord;

    explicit Impl(Options options);
    ~Impl();

    pa_threaded_mainloop* loop() const { return m_loop; }

    // With the loop locked: the context when it is ready for streams.
    pa_context* readyContext() const
    {
        return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY ? m_context : nullptr;
    }

    // Copies of the current lists, under their own short lock.
    std::optional<SourceRecord> source(uint32_t deviceID) const;
    std::vector<AudioSourceInfo> sources() const;
    std::vector<AudioSinkInfo> sinks() const;
    std::vector<AudioStreamInfo> streams() const;
    std::optional<QString> defaultSink() const;
    bool isConnected() const;
    int connectionCount() const { return m_connections.load(); }

    void setChangeCallback(ChangeCallback onChange);
    ListenerId addListener(ChangeCallback onChange);
    void removeListener(ListenerId id);

    // With the loop locked: sends a request whose answer goes to `done`; false when not
    // connected or refused at once.
    template <typename Issue> bool request(DoneCallback done, Issue issue)
    {
        if (!readyContext())
            return false;
        const quint64 id = ++m_lastRequest;
        auto token = std::make_unique<RequestToken>(RequestToken{this, id});
        pa_operation* operation = issue(m_context, token.get());
        if (!operation)
            return false;
        pa_operation_unref(operation);
        m_requests.emplace(id, std::make_pair(std::move(token), std::move(done)));
        return true;
    }

    static void onIndexAnswer(pa_context*, uint32_t index, void* userdata);
    static void onSuccessAnswer(pa_context*, int success, void* userdata);

private:
    // Everything below runs on the loop's thread, or with the loop locked.

    struct RequestToken {
        Impl* self;
        quint64 id;
    };
    struct PingToken {
        Impl* self;
        quint64 generation;
    };
    // Ties a loading round to the context it was issued on: answers of a dropped context are
    // never called (its operations are cancelled), but the token makes that explicit.
    struct RefreshToken {
        Impl* self;
        quint64 generation;
        Impl* current() const { return self->m_generation == generation ? self : nullptr; }
    };

    // The connection (pulse_context.cpp).
    void answer(quint64 id, bool ok, uint32_t index);
    void failRequests();
    void keepalive();
    void startKeepalive();
    void connect();
    static void onContextState(pa_context* context, void* userdata);
    void dropContext();
    void scheduleRetry();

    // The subscription and the lists (pulse_lists.cpp).
    static void onSubscription(pa_context*, pa_subscription_event_type_t, uint32_t, void* userdata);
    void refresh();
    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata);
    template <typename Info, void (*add)(pulse_lists::Lists&, const Info&)>
    static void onListEntry(pa_context*, const Info* info, int eol, void* userdata);
    void partDone();
    void publish(Lists lists, bool connected);

    using TimerAction = void (*)(Impl*);
    struct Timer {
        Impl* self;
        TimerAction action;
    };
    pa_time_event* startTimer(std::chrono::milliseconds delay, TimerAction action);
    void freeTimer(pa_time_event*& event);

    Options m_options;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_mainloop_api* m_api = nullptr;
    bool m_started = false;
    bool m_shuttingDown = false;
    pa_context* m_context = nullptr;
    pa_time_event* m_connectDeadline = nullptr;
    pa_time_event* m_retryTimer = nullptr;
    pa_time_event* m_keepaliveTimer = nullptr;
    std::optional<std::chrono::steady_clock::time_point> m_pingSent;
    std::unique_ptr<PingToken> m_pingToken;
    std::map<quint64, std::pair<std::unique_ptr<RequestToken>, DoneCallback>> m_requests;
    quint64 m_lastRequest = 0;
    std::chrono::milliseconds m_retryDelay{0};
    std::atomic<int> m_connections{0};

    bool m_refreshing = false;
    bool m_refreshAgain = false;
    int m_pendingParts = 0;
    quint64 m_generation = 0;
    Lists m_pending;
    std::unique_ptr<RefreshToken> m_refreshToken;

    mutable std::mutex m_listLock; // guards m_lists and m_connected
    Lists m_lists;
    bool m_connected = false;

    std::mutex m_callbackLock; // held while the change callbacks run
    ChangeCallback m_onChange;
    std::vector<std::pair<ListenerId, ChangeCallback>> m_listeners;
    ListenerId m_lastListener = 0;
};
