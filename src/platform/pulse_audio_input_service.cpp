// PulseAudio realisation of the audio inputs: sources are the inputs (a sink's monitor is the
// loop-back input), the source index is the device id, the description the name, the source
// name the persistent uid and the sample spec rate the nominal rate.
#include "platform/audio_input_service.h"

#include <atomic>
#include <pulse/pulseaudio.h>
#include <sys/time.h>

namespace {

// Holds the threaded mainloop's lock for a scope.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

void signalLoop(pa_threaded_mainloop* loop)
{
    pa_threaded_mainloop_signal(loop, 0);
}

// One client connection on its own libpulse thread, connected within a bounded time.
class PulseConnection {
public:
    explicit PulseConnection(int timeout_ms) : m_timeout_ms(timeout_ms)
    {
        m_loop = pa_threaded_mainloop_new();
        if (!m_loop)
            return;
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Tonivox");
        if (!m_context)
            return;
        pa_context_set_state_callback(
            m_context, [](pa_context*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); },
            m_loop);
        if (pa_threaded_mainloop_start(m_loop) < 0)
            return;
        m_started = true;
        LoopLock lock(m_loop);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return;
        waitLocked(
            [this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)) || isReadyLocked(); });
        m_ready = isReadyLocked();
    }

    ~PulseConnection()
    {
        if (m_context) {
            if (m_started) {
                LoopLock lock(m_loop);
                pa_context_set_state_callback(m_context, nullptr, nullptr);
                pa_context_disconnect(m_context);
                pa_context_unref(m_context);
            } else {
                pa_context_unref(m_context);
            }
        }
        if (m_loop) {
            if (m_started)
                pa_threaded_mainloop_stop(m_loop);
            pa_threaded_mainloop_free(m_loop);
        }
    }

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    bool isReady() const { return m_ready; }
    pa_threaded_mainloop* loop() const { return m_loop; }
    pa_context* context() const { return m_context; }

    // With the loop locked: waits until `done` holds or the connection's time limit passes.
    // Every callback that changes what `done` reads must signal the loop.
    template <typename Done> bool waitLocked(Done done)
    {
        struct Deadline {
            pa_threaded_mainloop* loop;
            bool expired = false;
        } deadline{m_loop};
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(m_timeout_ms) * PA_USEC_PER_MSEC);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
        pa_time_event* event = api->time_new(
            api, &when,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
                auto* d = static_cast<Deadline*>(userdata);
                d->expired = true;
                signalLoop(d->loop);
            },
            &deadline);
        while (!done() && !deadline.expired)
            pa_threaded_mainloop_wait(m_loop);
        api->time_free(event);
        return done();
    }

    // With the loop locked: runs an introspection operation to its end within the time limit.
    bool finishLocked(pa_operation* operation)
    {
        if (!operation)
            return false;
        const bool done =
            waitLocked([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
        if (!done)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return done;
    }

private:
    bool isReadyLocked() const { return pa_context_get_state(m_context) == PA_CONTEXT_READY; }

    int m_timeout_ms;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    bool m_started = false;
    bool m_ready = false;
};

std::optional<QString> textOrAbsent(const char* text)
{
    if (!text || !*text)
        return std::nullopt;
    return QString::fromUtf8(text);
}

struct SourceQuery {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<AudioSourceInfo> sources;
    std::vector<pa_sample_spec> specs;
    std::vector<pa_channel_map> maps;
    std::vector<QByteArray> names;
};

void collectSource(pa_context*, const pa_source_info* info, int eol, void* userdata)
{
    auto* query = static_cast<SourceQuery*>(userdata);
    if (eol != 0 || !info) {
        signalLoop(query->loop);
        return;
    }
    AudioSourceInfo source;
    source.deviceID = info->index;
    source.name = textOrAbsent(info->description);
    source.uid = textOrAbsent(info->name);
    source.channelCount = info->sample_spec.channels;
    if (info->sample_spec.rate > 0)
        source.nominalRateHz = static_cast<double>(info->sample_spec.rate);
    query->sources.push_back(source);
    query->specs.push_back(info->sample_spec);
    query->maps.push_back(info->channel_map);
    query->names.push_back(QByteArray(info->name ? info->name : ""));
}

class PulseRecording final : public AudioRecording {
public:
    PulseRecording(int timeout_ms, AudioInputService::InputCallback onInput,
                   AudioInputService::EndedCallback onEnded)
        : m_connection(timeout_ms), m_onInput(std::move(onInput)), m_onEnded(std::move(onEnded))
    {}

    ~PulseRecording() override
    {
        if (!m_stream)
            return;
        LoopLock lock(m_connection.loop());
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }

    bool start(uint32_t deviceID)
    {
        if (!m_connection.isReady())
            return false;
        LoopLock lock(m_connection.loop());
        SourceQuery query{m_connection.loop(), {}, {}, {}, {}};
        if (!m_connection.finishLocked(pa_context_get_source_info_by_index(m_connection.context(), deviceID,
                                                                           collectSource, &query)) ||
            query.sources.empty())
            return false;

        // Float samples at the source's own rate and channel count: the caller mixes and resamples.
        pa_sample_spec sampleSpec = query.specs.front();
        sampleSpec.format = PA_SAMPLE_FLOAT32NE;
        if (!pa_sample_spec_valid(&sampleSpec))
            return false;
        pa_channel_map map = query.maps.front();
        if (!pa_channel_map_compatible(&map, &sampleSpec))
            pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
        m_rate = sampleSpec.rate;
        m_channels = sampleSpec.channels;

        m_stream = pa_stream_new(m_connection.context(), "Tonivox key detection", &sampleSpec, &map);
        if (!m_stream)
            return false;
        pa_stream_set_state_callback(m_stream, onState, this);
        pa_stream_set_read_callback(m_stream, onRead, this);

        // A small fragment makes an idle monitor hand over data at once instead of a second late.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(-1);
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &sampleSpec));
        // Never moved to another source: a source that goes away ends the recording.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(m_stream, query.names.front().constData(), &attr, flags) < 0)
            return false;
        m_connection.waitLocked([this] {
            const pa_stream_state_t state = pa_stream_get_state(m_stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        return pa_stream_get_state(m_stream) == PA_STREAM_READY;
    }

    double sampleRateHz() const override { return m_rate; }
    uint32_t channelCount() const override { return m_channels; }

private:
    static void onState(pa_stream* stream, void* userdata)
    {
        auto* self = static_cast<PulseRecording*>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            self->m_wasReady = true;
        if (!PA_STREAM_IS_GOOD(state) && self->m_wasReady && !self->m_endReported.exchange(true) &&
            self->m_onEnded)
            self->m_onEnded();
        signalLoop(self->m_connection.loop());
    }

    static void onRead(pa_stream* stream, size_t, void* userdata)
    {
        auto* self = static_cast<PulseRecording*>(userdata);
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            // A hole (no data but a size) is dropped; real data goes to the caller as one buffer.
            if (data && self->m_onInput) {
                self->m_onInput(AudioBufferRef{self->m_channels, static_cast<uint32_t>(bytes),
                                               static_cast<const float*>(data)});
            }
            pa_stream_drop(stream);
        }
    }

    PulseConnection m_connection; // first member: destroyed last, after the stream
    AudioInputService::InputCallback m_onInput;
    AudioInputService::EndedCallback m_onEnded;
    pa_stream* m_stream = nullptr;
    double m_rate = 0;
    uint32_t m_channels = 0;
    bool m_wasReady = false;
    std::atomic<bool> m_endReported{false};
};

class PulseAudioInputService final : public AudioInputService {
public:
    explicit PulseAudioInputService(int timeout_ms) : m_timeout_ms(timeout_ms) {}

    std::vector<AudioSourceInfo> listSources() override
    {
        PulseConnection connection(m_timeout_ms);
        if (!connection.isReady())
            return {};
        LoopLock lock(connection.loop());
        SourceQuery query{connection.loop(), {}, {}, {}, {}};
        if (!connection.finishLocked(
                pa_context_get_source_info_list(connection.context(), collectSource, &query)))
            return {};
        return query.sources;
    }

    std::unique_ptr<AudioRecording> startRecording(uint32_t deviceID, InputCallback onInput,
                                                   EndedCallback onEnded) override
    {
        auto recording =
            std::make_unique<PulseRecording>(m_timeout_ms, std::move(onInput), std::move(onEnded));
        if (!recording->start(deviceID))
            return nullptr;
        return recording;
    }

private:
    int m_timeout_ms;
};

} // namespace

std::unique_ptr<AudioInputService> makePulseAudioInputService(int connectTimeout_ms)
{
    return std::make_unique<PulseAudioInputService>(connectTimeout_ms);
}
