// PulseAudio realisation of the audio inputs: sources are the inputs (a sink's monitor is the
// loop-back input), the source index is the device id, the description the name, the source
// name the persistent uid and the sample format's rate the nominal rate.
#include "platform/pulse_audio_client.h"

#include "platform/pulse_streams.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <sys/time.h>

namespace {

using pulse_streams::LoopLock;
using pulse_streams::SourceRecord;

std::optional<QString> textOrAbsent(const char* text)
{
    if (!text || !*text)
        return std::nullopt;
    return QString::fromUtf8(text);
}

struct Lists {
    std::vector<SourceRecord> sources;
    std::vector<AudioSinkInfo> sinks;
    std::vector<AudioStreamInfo> streams;
    std::optional<QString> defaultSink;
};

std::optional<qint64> processIdOf(const pa_proplist* properties)
{
    const char* text = properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qint64 pid = QByteArray(text).toLongLong(&ok);
    if (!ok || pid <= 0)
        return std::nullopt;
    return pid;
}

QString propertyText(const pa_proplist* properties, const char* key)
{
    const char* text = properties ? pa_proplist_gets(properties, key) : nullptr;
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace

class PulseAudioClient::Impl {
public:
    explicit Impl(Options options) : m_options(std::move(options))
    {
        m_retryDelay = m_options.retryMin;
        m_loop = pa_threaded_mainloop_new();
        if (!m_loop)
            return;
        m_api = pa_threaded_mainloop_get_api(m_loop);
        pa_threaded_mainloop_set_name(m_loop, "tonivox-pulse");
        LoopLock lock(m_loop);
        if (pa_threaded_mainloop_start(m_loop) < 0)
            return;
        m_started = true;
        connect();
    }

    ~Impl()
    {
        if (!m_loop)
            return;
        if (m_started) {
            {
                LoopLock lock(m_loop);
                m_shuttingDown = true;
                freeTimer(m_retryTimer);
                freeTimer(m_keepaliveTimer);
                dropContext();
            }
            pa_threaded_mainloop_stop(m_loop);
        }
        pa_threaded_mainloop_free(m_loop);
    }

    pa_threaded_mainloop* loop() const { return m_loop; }

    // With the loop locked: the context when it is ready for streams.
    pa_context* readyContext() const
    {
        return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY ? m_context : nullptr;
    }

    std::optional<SourceRecord> source(uint32_t deviceID) const
    {
        std::lock_guard guard(m_listLock);
        const auto it = std::find_if(m_lists.sources.begin(), m_lists.sources.end(),
                                     [&](const SourceRecord& s) { return s.info.deviceID == deviceID; });
        if (it == m_lists.sources.end())
            return std::nullopt;
        return *it;
    }

    std::vector<AudioSourceInfo> sources() const
    {
        std::lock_guard guard(m_listLock);
        std::vector<AudioSourceInfo> out;
        out.reserve(m_lists.sources.size());
        for (const SourceRecord& s : m_lists.sources)
            out.push_back(s.info);
        return out;
    }

    std::vector<AudioSinkInfo> sinks() const
    {
        std::lock_guard guard(m_listLock);
        return m_lists.sinks;
    }

    std::vector<AudioStreamInfo> streams() const
    {
        std::lock_guard guard(m_listLock);
        return m_lists.streams;
    }

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

    static void onIndexAnswer(pa_context*, uint32_t index, void* userdata)
    {
        const auto* token = static_cast<RequestToken*>(userdata);
        token->self->answer(token->id, index != PA_INVALID_INDEX, index);
    }

    static void onSuccessAnswer(pa_context*, int success, void* userdata)
    {
        const auto* token = static_cast<RequestToken*>(userdata);
        token->self->answer(token->id, success != 0, 0);
    }

    std::optional<QString> defaultSink() const
    {
        std::lock_guard guard(m_listLock);
        return m_lists.defaultSink;
    }

    bool isConnected() const
    {
        std::lock_guard guard(m_listLock);
        return m_connected;
    }

    int connectionCount() const { return m_connections.load(); }

    void setChangeCallback(ChangeCallback onChange)
    {
        std::lock_guard guard(m_callbackLock);
        m_onChange = std::move(onChange);
    }

    ListenerId addListener(ChangeCallback onChange)
    {
        std::lock_guard guard(m_callbackLock);
        const ListenerId id = ++m_lastListener;
        m_listeners.emplace_back(id, std::move(onChange));
        return id;
    }

    void removeListener(ListenerId id)
    {
        std::lock_guard guard(m_callbackLock);
        std::erase_if(m_listeners, [id](const auto& entry) { return entry.first == id; });
    }

private:
    // Everything below runs on the loop's thread, or with the loop locked.

    struct RequestToken {
        Impl* self;
        quint64 id;
    };

    void answer(quint64 id, bool ok, uint32_t index)
    {
        auto node = m_requests.extract(id);
        if (node.empty())
            return;
        if (node.mapped().second)
            node.mapped().second(ok, index);
    }

    // Requests of a dropped connection get no answer: they are told so here.
    void failRequests()
    {
        auto requests = std::move(m_requests);
        m_requests.clear();
        for (auto& [id, entry] : requests) {
            if (entry.second)
                entry.second(false, 0);
        }
    }

    // A frozen server keeps the socket open and answers nothing: without this the client
    // would wait for ever. One cheap query at a time; no answer within the bound = lost.
    void keepalive()
    {
        if (!readyContext())
            return;
        const auto now = std::chrono::steady_clock::now();
        if (m_pingSent) {
            if (now - *m_pingSent < m_options.answerBound)
                return;
            m_pingSent.reset();
            dropContext();
            publish(Lists{}, false);
            scheduleRetry();
            return;
        }
        // The previous query was answered, so nothing refers to its token any more.
        m_pingToken = std::make_unique<PingToken>(PingToken{this, m_generation});
        pa_operation* operation = pa_context_get_server_info(
            m_context,
            [](pa_context*, const pa_server_info*, void* userdata) {
                const auto* ping = static_cast<PingToken*>(userdata);
                if (ping->self->m_generation == ping->generation)
                    ping->self->m_pingSent.reset();
            },
            m_pingToken.get());
        if (!operation)
            return;
        pa_operation_unref(operation);
        m_pingSent = now;
    }

    struct PingToken {
        Impl* self;
        quint64 generation;
    };

    void startKeepalive()
    {
        if (m_keepaliveTimer || m_shuttingDown)
            return;
        m_keepaliveTimer = startTimer(m_options.keepalive, [](Impl* self) {
            self->m_keepaliveTimer = nullptr;
            self->keepalive();
            self->startKeepalive();
        });
    }

    void connect()
    {
        m_context = pa_context_new(m_api, "Tonivox");
        if (!m_context) {
            scheduleRetry();
            return;
        }
        pa_context_set_state_callback(m_context, onContextState, this);
        const char* server = m_options.server ? m_options.server->constData() : nullptr;
        if (pa_context_connect(m_context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            dropContext();
            scheduleRetry();
            return;
        }
        // A server that accepts the socket but never answers would keep the attempt forever.
        m_connectDeadline = startTimer(m_options.connectTimeout, [](Impl* self) {
            self->m_connectDeadline = nullptr;
            self->dropContext();
            self->scheduleRetry();
        });
    }

    static void onContextState(pa_context* context, void* userdata)
    {
        auto* self = static_cast<Impl*>(userdata);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            self->freeTimer(self->m_connectDeadline);
            self->m_retryDelay = self->m_options.retryMin;
            ++self->m_connections;
            pa_context_set_subscribe_callback(context, onSubscription, self);
            pa_operation_unref(pa_context_subscribe(
                context,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                    PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr));
            self->refresh();
            self->startKeepalive();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->dropContext();
            self->publish(Lists{}, false);
            self->scheduleRetry();
            break;
        case PA_CONTEXT_UNCONNECTED:
        case PA_CONTEXT_CONNECTING:
        case PA_CONTEXT_AUTHORIZING:
        case PA_CONTEXT_SETTING_NAME:
            break;
        }
    }

    // Forgets the context; its pending operations are cancelled with it. Streams keep their
    // own reference and end (their recordings see EndedCallback).
    void dropContext()
    {
        freeTimer(m_connectDeadline);
        m_refreshing = false;
        m_refreshAgain = false;
        ++m_generation;
        m_pingSent.reset();
        if (!m_context)
            return;
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
        // Cancelled with the context: their callbacks never run, so their tokens go here.
        m_pingToken.reset();
        failRequests();
    }

    void scheduleRetry()
    {
        if (m_shuttingDown || m_retryTimer)
            return;
        m_retryTimer = startTimer(m_retryDelay, [](Impl* self) {
            self->m_retryTimer = nullptr;
            self->connect();
        });
        m_retryDelay = std::min(m_retryDelay * 2, m_options.retryMax);
    }

    static void onSubscription(pa_context*, pa_subscription_event_type_t, uint32_t, void* userdata)
    {
        // Any source, sink or server change: load the lists again (they are short).
        static_cast<Impl*>(userdata)->refresh();
    }

    // Loads the server's default sink, the sources and the sinks, then publishes them at once.
    // A change while loading loads again afterwards.
    void refresh()
    {
        if (!readyContext())
            return;
        if (m_refreshing) {
            m_refreshAgain = true;
            return;
        }
        m_refreshing = true;
        m_pending = Lists{};
        m_pendingParts = 4;
        const auto issue = [this](pa_operation* operation) {
            if (operation)
                pa_operation_unref(operation);
            else
                partDone();
        };
        auto* token = new RefreshToken{this, m_generation};
        m_refreshToken.reset(token);
        issue(pa_context_get_server_info(m_context, onServerInfo, token));
        issue(pa_context_get_source_info_list(m_context, onSourceInfo, token));
        issue(pa_context_get_sink_info_list(m_context, onSinkInfo, token));
        issue(pa_context_get_sink_input_info_list(m_context, onStreamInfo, token));
    }

    // Ties a loading round to the context it was issued on: answers of a dropped context are
    // never called (its operations are cancelled), but the token makes that explicit.
    struct RefreshToken {
        Impl* self;
        quint64 generation;
        Impl* current() const { return self->m_generation == generation ? self : nullptr; }
    };

    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata)
    {
        Impl* self = static_cast<RefreshToken*>(userdata)->current();
        if (!self)
            return;
        if (info)
            self->m_pending.defaultSink = textOrAbsent(info->default_sink_name);
        self->partDone();
    }

    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata)
    {
        Impl* self = static_cast<RefreshToken*>(userdata)->current();
        if (!self)
            return;
        if (eol != 0 || !info) {
            self->partDone();
            return;
        }
        SourceRecord source;
        source.info.deviceID = info->index;
        source.info.name = textOrAbsent(info->description);
        source.info.uid = textOrAbsent(info->name);
        source.info.channelCount = info->sample_spec.channels;
        source.info.monitorOfSink = textOrAbsent(info->monitor_of_sink_name);
        if (info->sample_spec.rate > 0)
            source.info.nominalRateHz = static_cast<double>(info->sample_spec.rate);
        source.name = QByteArray(info->name ? info->name : "");
        source.sampleFormat = info->sample_spec;
        source.map = info->channel_map;
        self->m_pending.sources.push_back(std::move(source));
    }

    static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata)
    {
        Impl* self = static_cast<RefreshToken*>(userdata)->current();
        if (!self)
            return;
        if (eol != 0 || !info) {
            self->partDone();
            return;
        }
        AudioSinkInfo sink;
        sink.index = info->index;
        sink.name = QString::fromUtf8(info->name ? info->name : "");
        sink.description = QString::fromUtf8(info->description ? info->description : "");
        sink.channelCount = info->sample_spec.channels;
        if (info->sample_spec.rate > 0)
            sink.nominalRateHz = static_cast<double>(info->sample_spec.rate);
        if (info->owner_module != PA_INVALID_INDEX)
            sink.ownerModule = info->owner_module;
        self->m_pending.sinks.push_back(std::move(sink));
    }

    static void onStreamInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata)
    {
        Impl* self = static_cast<RefreshToken*>(userdata)->current();
        if (!self)
            return;
        if (eol != 0 || !info) {
            self->partDone();
            return;
        }
        AudioStreamInfo stream;
        stream.index = info->index;
        stream.sinkIndex = info->sink;
        stream.processId = processIdOf(info->proplist);
        stream.processBinary = propertyText(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
        stream.applicationName = propertyText(info->proplist, PA_PROP_APPLICATION_NAME);
        self->m_pending.streams.push_back(std::move(stream));
    }

    void partDone()
    {
        if (--m_pendingParts > 0)
            return;
        m_refreshing = false;
        publish(std::move(m_pending), true);
        if (m_refreshAgain) {
            m_refreshAgain = false;
            refresh();
        }
    }

    void publish(Lists lists, bool connected)
    {
        {
            std::lock_guard guard(m_listLock);
            m_lists = std::move(lists);
            m_connected = connected;
        }
        std::lock_guard guard(m_callbackLock);
        if (m_onChange)
            m_onChange();
        for (const auto& [id, listener] : m_listeners)
            listener();
    }

    using TimerAction = void (*)(Impl*);
    struct Timer {
        Impl* self;
        TimerAction action;
    };

    pa_time_event* startTimer(std::chrono::milliseconds delay, TimerAction action)
    {
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(delay.count()) * PA_USEC_PER_MSEC);
        auto* timer = new Timer{this, action};
        pa_time_event* event = m_api->time_new(
            m_api, &when,
            [](pa_mainloop_api* api, pa_time_event* e, const timeval*, void* userdata) {
                const Timer timer = *static_cast<Timer*>(userdata);
                api->time_free(e); // the destroy callback frees the Timer
                timer.action(timer.self);
            },
            timer);
        m_api->time_set_destroy(event, [](pa_mainloop_api*, pa_time_event*, void* userdata) {
            delete static_cast<Timer*>(userdata);
        });
        return event;
    }

    void freeTimer(pa_time_event*& event)
    {
        if (event)
            m_api->time_free(event);
        event = nullptr;
    }

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

PulseAudioClient::PulseAudioClient() : PulseAudioClient(Options{}) {}

PulseAudioClient::PulseAudioClient(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

PulseAudioClient::~PulseAudioClient() = default;

std::vector<AudioSourceInfo> PulseAudioClient::listSources() const
{
    return m_impl->sources();
}

std::vector<AudioSinkInfo> PulseAudioClient::listSinks() const
{
    return m_impl->sinks();
}

std::vector<AudioStreamInfo> PulseAudioClient::listPlaybackStreams() const
{
    return m_impl->streams();
}

bool PulseAudioClient::loadModule(const QByteArray& name, const QByteArray& arguments, DoneCallback done)
{
    pa_threaded_mainloop* loop = m_impl->loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return false;
    LoopLock lock(loop);
    return m_impl->request(std::move(done), [&](pa_context* context, void* token) {
        return pa_context_load_module(context, name.constData(), arguments.constData(), Impl::onIndexAnswer,
                                      token);
    });
}

bool PulseAudioClient::unloadModule(uint32_t module, DoneCallback done)
{
    pa_threaded_mainloop* loop = m_impl->loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return false;
    LoopLock lock(loop);
    return m_impl->request(std::move(done), [&](pa_context* context, void* token) {
        return pa_context_unload_module(context, module, Impl::onSuccessAnswer, token);
    });
}

bool PulseAudioClient::moveStream(uint32_t stream, const QByteArray& sinkName, DoneCallback done)
{
    pa_threaded_mainloop* loop = m_impl->loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return false;
    LoopLock lock(loop);
    return m_impl->request(std::move(done), [&](pa_context* context, void* token) {
        return pa_context_move_sink_input_by_name(context, stream, sinkName.constData(),
                                                  Impl::onSuccessAnswer, token);
    });
}

std::optional<QString> PulseAudioClient::defaultSinkName() const
{
    return m_impl->defaultSink();
}

bool PulseAudioClient::isConnected() const
{
    return m_impl->isConnected();
}

int PulseAudioClient::connectionCount() const
{
    return m_impl->connectionCount();
}

void PulseAudioClient::setChangeCallback(ChangeCallback onChange)
{
    m_impl->setChangeCallback(std::move(onChange));
}

namespace {

std::unique_ptr<AudioRecording>
startRecordingOn(PulseAudioClient::Impl& impl, uint32_t deviceID,
                 const std::optional<PulseAudioClient::RecordOptions>& options,
                 AudioInputService::InputCallback onInput, AudioInputService::EndedCallback onEnded)
{
    pa_threaded_mainloop* loop = impl.loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return nullptr;
    const std::optional<SourceRecord> source = impl.source(deviceID);
    if (!source)
        return nullptr;
    LoopLock lock(loop);
    pa_context* context = impl.readyContext();
    if (!context)
        return nullptr;
    return pulse_streams::startRecordingLocked(loop, context, *source, options, std::move(onInput),
                                               std::move(onEnded));
}

} // namespace

std::unique_ptr<AudioRecording> PulseAudioClient::startRecording(uint32_t deviceID, InputCallback onInput,
                                                                 EndedCallback onEnded)
{
    return startRecordingOn(*m_impl, deviceID, std::nullopt, std::move(onInput), std::move(onEnded));
}

std::unique_ptr<AudioRecording> PulseAudioClient::startRecording(uint32_t deviceID,
                                                                 const RecordOptions& options,
                                                                 InputCallback onInput, EndedCallback onEnded)
{
    return startRecordingOn(*m_impl, deviceID, options, std::move(onInput), std::move(onEnded));
}

PulseAudioClient::ListenerId PulseAudioClient::addChangeListener(ChangeCallback onChange)
{
    return m_impl->addListener(std::move(onChange));
}

void PulseAudioClient::removeChangeListener(ListenerId id)
{
    m_impl->removeListener(id);
}

std::unique_ptr<AudioPlayback> PulseAudioClient::startPlayback(const PlaybackOptions& options,
                                                               RenderCallback render, EndedCallback onEnded)
{
    pa_threaded_mainloop* loop = m_impl->loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return nullptr;
    LoopLock lock(loop);
    pa_context* context = m_impl->readyContext();
    if (!context)
        return nullptr;
    return pulse_streams::startPlaybackLocked(loop, context, options, std::move(render), std::move(onEnded));
}
