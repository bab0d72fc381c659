// The client's connection: connect with a deadline, retry with back-off, a keepalive query
// that finds a frozen server, and the requests that wait for its answers.
#include "platform/pulse_context.h"

#include <sys/time.h>

using pulse_streams::LoopLock;

PulseAudioClient::Impl::Impl(Options options) : m_options(std::move(options))
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

PulseAudioClient::Impl::~Impl()
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

void PulseAudioClient::Impl::onIndexAnswer(pa_context*, uint32_t index, void* userdata)
{
    const auto* token = static_cast<RequestToken*>(userdata);
    token->self->answer(token->id, index != PA_INVALID_INDEX, index);
}

void PulseAudioClient::Impl::onSuccessAnswer(pa_context*, int success, void* userdata)
{
    const auto* token = static_cast<RequestToken*>(userdata);
    token->self->answer(token->id, success != 0, 0);
}

void PulseAudioClient::Impl::answer(quint64 id, bool ok, uint32_t index)
{
    auto node = m_requests.extract(id);
    if (node.empty())
        return;
    if (node.mapped().second)
        node.mapped().second(ok, index);
}

// Requests of a dropped connection get no answer: they are told so here.
void PulseAudioClient::Impl::failRequests()
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
void PulseAudioClient::Impl::keepalive()
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

void PulseAudioClient::Impl::startKeepalive()
{
    if (m_keepaliveTimer || m_shuttingDown)
        return;
    m_keepaliveTimer = startTimer(m_options.keepalive, [](Impl* self) {
        self->m_keepaliveTimer = nullptr;
        self->keepalive();
        self->startKeepalive();
    });
}

void PulseAudioClient::Impl::connect()
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

void PulseAudioClient::Impl::onContextState(pa_context* context, void* userdata)
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
void PulseAudioClient::Impl::dropContext()
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

void PulseAudioClient::Impl::scheduleRetry()
{
    if (m_shuttingDown || m_retryTimer)
        return;
    m_retryTimer = startTimer(m_retryDelay, [](Impl* self) {
        self->m_retryTimer = nullptr;
        self->connect();
    });
    m_retryDelay = std::min(m_retryDelay * 2, m_options.retryMax);
}

pa_time_event* PulseAudioClient::Impl::startTimer(std::chrono::milliseconds delay, TimerAction action)
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

void PulseAudioClient::Impl::freeTimer(pa_time_event*& event)
{
    if (event)
        m_api->time_free(event);
    event = nullptr;
}
