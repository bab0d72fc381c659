#include "platform/pulse_streams.h"

#include <algorithm>
#include <atomic>

namespace pulse_streams {

namespace {

// Closes a stream on the loop (locked): at once, or once the server has answered its creation.
void closeStreamLocked(pa_stream* stream)
{
    // Every callback that carries the stream's owner goes before the owner does: a timing
    // update the server already sent would otherwise land on freed memory.
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) == PA_STREAM_CREATING) {
        // The server has not answered the creation yet and a stream cannot be disconnected
        // before it has: keep our reference until it settles, then close it there, or the
        // server would keep the stream for the rest of the connection.
        pa_stream_set_state_callback(
            stream,
            [](pa_stream* s, void*) {
                const pa_stream_state_t state = pa_stream_get_state(s);
                if (state == PA_STREAM_READY) {
                    pa_stream_disconnect(s);
                } else if (!PA_STREAM_IS_GOOD(state)) {
                    pa_stream_set_state_callback(s, nullptr, nullptr);
                    pa_stream_unref(s);
                }
            },
            nullptr);
        return;
    }
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

// What recording and playback share: the stream on the client's loop, its end told once, and
// its closing; each adds the data callbacks of its direction.
class PulseStream {
public:
    PulseStream(pa_threaded_mainloop* loop, AudioInputService::EndedCallback onEnded)
        : m_loop(loop), m_onEnded(std::move(onEnded))
    {}

    ~PulseStream() { close(); }

    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

protected:
    // Owners call this first in their destructor: their callbacks must be gone before the
    // members those callbacks use are.
    void close()
    {
        if (!m_stream)
            return;
        LoopLock lock(m_loop);
        closeLocked();
    }

    // With the loop locked: the new stream with its state callback; false when refused.
    bool createLocked(pa_context* context, const char* name, const pa_sample_spec& format,
                      const pa_channel_map& map)
    {
        m_stream = pa_stream_new(context, name, &format, &map);
        if (!m_stream)
            return false;
        pa_stream_set_state_callback(m_stream, onState, this);
        return true;
    }

    void closeLocked()
    {
        closeStreamLocked(m_stream);
        m_stream = nullptr;
    }

    pa_threaded_mainloop* m_loop;
    pa_stream* m_stream = nullptr;

private:
    static void onState(pa_stream* stream, void* userdata)
    {
        auto* self = static_cast<PulseStream*>(userdata);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) && !self->m_endReported) {
            self->m_endReported = true;
            if (self->m_onEnded)
                self->m_onEnded();
        }
    }

    AudioInputService::EndedCallback m_onEnded;
    bool m_endReported = false; // loop thread only
};

class PulseRecording final : public AudioRecording, PulseStream {
public:
    PulseRecording(pa_threaded_mainloop* loop, AudioInputService::InputCallback onInput,
                   AudioInputService::EndedCallback onEnded)
        : PulseStream(loop, std::move(onEnded)), m_onInput(std::move(onInput))
    {}

    ~PulseRecording() override { close(); }

    // With the loop locked: opens the record stream; false when the server refuses at once.
    // Without options: float samples at the source's own rate and channel count.
    bool startLocked(pa_context* context, const SourceRecord& source,
                     const std::optional<PulseAudioClient::RecordOptions>& options)
    {
        pa_sample_spec sampleSpec = source.sampleFormat;
        sampleSpec.format = PA_SAMPLE_FLOAT32NE;
        pa_channel_map map = source.map;
        if (options) {
            sampleSpec.rate = options->rate_Hz;
            sampleSpec.channels =
                static_cast<uint8_t>(std::min<uint32_t>(options->channels, PA_CHANNELS_MAX));
            pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
        }
        if (!pa_sample_spec_valid(&sampleSpec))
            return false;
        if (!pa_channel_map_compatible(&map, &sampleSpec))
            pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
        m_rate = sampleSpec.rate;
        m_channels = sampleSpec.channels;

        const QByteArray name = options ? options->streamName : QByteArray("Tonivox key detection");
        if (!createLocked(context, name.constData(), sampleSpec, map))
            return false;
        pa_stream_set_read_callback(m_stream, onRead, this);

        // A small fragment makes an idle monitor hand over data at once instead of a second late.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(-1);
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = options ? options->fragmentFrames * static_cast<uint32_t>(pa_frame_size(&sampleSpec))
                                : static_cast<uint32_t>(pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &sampleSpec));
        // Never moved to another source: a source that goes away ends the recording.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(m_stream, source.name.constData(), &attr, flags) < 0) {
            closeLocked();
            return false;
        }
        return true;
    }

    double sampleRateHz() const override { return m_rate; }
    uint32_t channelCount() const override { return m_channels; }

private:
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

    AudioInputService::InputCallback m_onInput;
    double m_rate = 0;
    uint32_t m_channels = 0;
};

class PulsePlayback final : public AudioPlayback, PulseStream {
public:
    PulsePlayback(pa_threaded_mainloop* loop, PulseAudioClient::RenderCallback render,
                  AudioInputService::EndedCallback onEnded)
        : PulseStream(loop, std::move(onEnded)), m_render(std::move(render))
    {}

    ~PulsePlayback() override { close(); }

    bool startLocked(pa_context* context, const PulseAudioClient::PlaybackOptions& options)
    {
        pa_sample_spec sampleFormat{};
        sampleFormat.format = PA_SAMPLE_FLOAT32NE;
        sampleFormat.rate = options.rate_Hz;
        sampleFormat.channels = static_cast<uint8_t>(std::min<uint32_t>(options.channels, PA_CHANNELS_MAX));
        if (!pa_sample_spec_valid(&sampleFormat))
            return false;
        pa_channel_map map{};
        pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
        m_frameBytes = pa_frame_size(&sampleFormat);

        if (!createLocked(context, options.streamName.constData(), sampleFormat, map))
            return false;
        pa_stream_set_write_callback(m_stream, onWrite, this);
        pa_stream_set_latency_update_callback(m_stream, onLatencyUpdate, this);
        pa_stream_set_underflow_callback(m_stream, onUnderflow, this);

        // The server's default target is about 2 s; ask for a small one, counted over the
        // whole path to the sink (ADJUST_LATENCY).
        const auto frameBytes = static_cast<uint32_t>(m_frameBytes);
        m_attr.maxlength = static_cast<uint32_t>(-1);
        m_attr.tlength = options.targetFrames * frameBytes;
        m_attr.prebuf = static_cast<uint32_t>(-1);
        m_attr.minreq = options.requestFrames * frameBytes;
        m_attr.fragsize = static_cast<uint32_t>(-1);
        m_maxTargetBytes = std::max(options.maxTargetFrames, options.targetFrames) * frameBytes;
        m_targetFrames.store(options.targetFrames, std::memory_order_relaxed);
        // No device: the default sink, followed when it changes.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
        if (pa_stream_connect_playback(m_stream, nullptr, &m_attr, flags, nullptr, nullptr) < 0) {
            closeLocked();
            return false;
        }
        return true;
    }

    std::optional<std::chrono::microseconds> latency() const override
    {
        const int64_t usec = m_latency_us.load(std::memory_order_relaxed);
        if (usec < 0)
            return std::nullopt;
        return std::chrono::microseconds(usec);
    }

    uint64_t underflows() const override { return m_underflows.load(std::memory_order_relaxed); }

    uint32_t targetFrames() const override { return m_targetFrames.load(std::memory_order_relaxed); }

    std::optional<uint32_t> sinkIndex() const override
    {
        if (!m_stream)
            return std::nullopt;
        LoopLock lock(m_loop);
        if (pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return std::nullopt;
        const uint32_t index = pa_stream_get_device_index(m_stream);
        if (index == PA_INVALID_INDEX)
            return std::nullopt;
        return index;
    }

private:
    // A timing update from the server (AUTO_TIMING_UPDATE asks for one now and then): the
    // delay is read here, on the loop, so that callers never take the loop lock for it.
    static void onLatencyUpdate(pa_stream* stream, void* userdata)
    {
        auto* self = static_cast<PulsePlayback*>(userdata);
        pa_usec_t usec = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &usec, &negative) < 0)
            return;
        self->m_latency_us.store(negative ? 0 : static_cast<int64_t>(usec), std::memory_order_relaxed);
    }

    // The server ran dry: its requests came later than the buffer lasts (a busy server or
    // machine, not our render). Each time the buffer grows by half, at least one request, up
    // to the ceiling: a machine that stalls settles at the depth it needs after a few clicks.
    static void onUnderflow(pa_stream* stream, void* userdata)
    {
        auto* self = static_cast<PulsePlayback*>(userdata);
        self->m_underflows.fetch_add(1, std::memory_order_relaxed);
        if (self->m_attr.tlength >= self->m_maxTargetBytes)
            return;
        pa_buffer_attr& attr = self->m_attr;
        const uint32_t halfInRequests = attr.tlength / 2 / attr.minreq * attr.minreq;
        attr.tlength = std::min(attr.tlength + std::max(attr.minreq, halfInRequests), self->m_maxTargetBytes);
        if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr))
            pa_operation_unref(op);
        self->m_targetFrames.store(attr.tlength / static_cast<uint32_t>(self->m_frameBytes),
                                   std::memory_order_relaxed);
    }

    static void onWrite(pa_stream* stream, size_t bytes, void* userdata)
    {
        auto* self = static_cast<PulsePlayback*>(userdata);
        while (bytes >= self->m_frameBytes) {
            void* data = nullptr;
            size_t size = bytes;
            // The server's own memory block: nothing is allocated per request.
            if (pa_stream_begin_write(stream, &data, &size) < 0 || !data || size < self->m_frameBytes)
                return;
            const size_t frames = size / self->m_frameBytes;
            self->m_render(static_cast<float*>(data), static_cast<uint32_t>(frames));
            if (pa_stream_write(stream, data, frames * self->m_frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return;
            bytes -= frames * self->m_frameBytes;
        }
    }

    PulseAudioClient::RenderCallback m_render;
    size_t m_frameBytes = 8;
    std::atomic<int64_t> m_latency_us{-1}; // -1: no timing update yet
    std::atomic<uint64_t> m_underflows{0};
    pa_buffer_attr m_attr{}; // as last asked for; touched on the loop only
    uint32_t m_maxTargetBytes = 0;
    std::atomic<uint32_t> m_targetFrames{0};
};
} // namespace

std::unique_ptr<AudioRecording>
startRecordingLocked(pa_threaded_mainloop* loop, pa_context* context, const SourceRecord& source,
                     const std::optional<PulseAudioClient::RecordOptions>& options,
                     AudioInputService::InputCallback onInput, AudioInputService::EndedCallback onEnded)
{
    auto recording = std::make_unique<PulseRecording>(loop, std::move(onInput), std::move(onEnded));
    if (!recording->startLocked(context, source, options))
        return nullptr;
    return recording;
}

std::unique_ptr<AudioPlayback> startPlaybackLocked(pa_threaded_mainloop* loop, pa_context* context,
                                                   const PulseAudioClient::PlaybackOptions& options,
                                                   PulseAudioClient::RenderCallback render,
                                                   AudioInputService::EndedCallback onEnded)
{
    auto playback = std::make_unique<PulsePlayback>(loop, std::move(render), std::move(onEnded));
    if (!playback->startLocked(context, options))
        return nullptr;
    return playback;
}

} // namespace pulse_streams
