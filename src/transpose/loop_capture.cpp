#include "transpose/loop_capture.h"

#include "platform/pulse_audio_client.h"

#include <algorithm>
#include <cstring>

LoopCapture::LoopCapture(uint32_t deviceID, int64_t capacityFrames)
    : m_deviceID(deviceID), m_capacity(std::max<int64_t>(1, capacityFrames)),
      m_left(static_cast<size_t>(m_capacity), 0.0f), m_right(static_cast<size_t>(m_capacity), 0.0f)
{}

LoopCapture::~LoopCapture()
{
    stop();
}

bool LoopCapture::start(PulseAudioClient& audio, AudioInputService::EndedCallback onEnded,
                        uint32_t fragmentFrames)
{
    if (m_recording)
        return true;
    PulseAudioClient::RecordOptions options;
    options.rate_Hz = 48000;
    options.channels = 2;
    options.fragmentFrames = fragmentFrames;
    options.streamName = "Tonivox accompaniment capture";
    m_recording = audio.startRecording(
        m_deviceID, options, [this](const AudioBufferRef& buffer) { append(std::span(&buffer, 1)); },
        std::move(onEnded));
    return m_recording != nullptr;
}

void LoopCapture::stop()
{
    m_recording.reset();
}

void LoopCapture::put(int64_t frame, float left, float right)
{
    const auto at = static_cast<size_t>(frame % m_capacity);
    m_left[at] = left;
    m_right[at] = right;
}

void LoopCapture::append(std::span<const AudioBufferRef> buffers)
{
    std::lock_guard guard(m_lock);
    if (!m_layoutSeen) {
        m_layoutSeen = true;
        m_layout.bufferCount = static_cast<int>(buffers.size());
        for (size_t i = 0; i < buffers.size() && i < m_layout.channels.size(); ++i)
            m_layout.channels[i] = buffers[i].channelCount;
        m_layoutLogged.store(true, std::memory_order_release);
    }

    const auto hasData = [](const AudioBufferRef& b) { return b.data && b.byteSize > 0; };
    int64_t frames = 0;
    if (buffers.size() >= 2 && hasData(buffers[0]) && hasData(buffers[1])) {
        frames = std::min(buffers[0].byteSize, buffers[1].byteSize) / 4;
        for (int64_t i = 0; i < frames; ++i)
            put(m_writeFrame + i, buffers[0].data[i], buffers[1].data[i]);
    } else if (buffers.size() == 1 && hasData(buffers[0])) {
        const AudioBufferRef& b = buffers[0];
        const int64_t channels = b.channelCount == 0 ? 1 : b.channelCount;
        frames = b.byteSize / (channels * 4);
        for (int64_t i = 0; i < frames; ++i) {
            const float* frame = b.data + i * channels;
            put(m_writeFrame + i, frame[0], channels >= 2 ? frame[1] : frame[0]);
        }
    }
    m_writeFrame += frames;
    if (m_writeFrame - m_readFrame > m_capacity)
        m_readFrame = m_writeFrame - m_capacity;
}

void LoopCapture::copyOut(float* left, float* right, int64_t from, int64_t frames) const
{
    // At most two contiguous pieces of the ring.
    int64_t done = 0;
    while (done < frames) {
        const int64_t at = (from + done) % m_capacity;
        const int64_t piece = std::min(frames - done, m_capacity - at);
        std::memcpy(left + done, m_left.data() + at, static_cast<size_t>(piece) * sizeof(float));
        std::memcpy(right + done, m_right.data() + at, static_cast<size_t>(piece) * sizeof(float));
        done += piece;
    }
}

bool LoopCapture::read(float* left, float* right, int64_t frames)
{
    std::lock_guard guard(m_lock);
    if (frames < 0 || m_writeFrame - m_readFrame < frames)
        return false;
    copyOut(left, right, m_readFrame, frames);
    m_readFrame += frames;
    return true;
}

LoopCapture::Span LoopCapture::copyHistory(float* left, float* right, int64_t from, int64_t frames) const
{
    std::lock_guard guard(m_lock);
    const int64_t first = std::max({from, m_writeFrame - m_capacity, int64_t{0}});
    const int64_t end = std::min(from + std::max<int64_t>(frames, 0), m_writeFrame);
    if (end <= first)
        return {first, 0};
    copyOut(left, right, first, end - first);
    return {first, end - first};
}

int64_t LoopCapture::discardBefore(int64_t frame)
{
    std::lock_guard guard(m_lock);
    const int64_t to = std::min(frame, m_writeFrame);
    if (to <= m_readFrame)
        return 0;
    const int64_t dropped = to - m_readFrame;
    m_readFrame = to;
    return dropped;
}

int64_t LoopCapture::trimTo(int64_t maxQueued)
{
    std::lock_guard guard(m_lock);
    const int64_t excess = m_writeFrame - m_readFrame - std::max<int64_t>(0, maxQueued);
    if (excess <= 0)
        return 0;
    m_readFrame += excess;
    return excess;
}

int64_t LoopCapture::queuedFrames() const
{
    std::lock_guard guard(m_lock);
    return m_writeFrame - m_readFrame;
}

int64_t LoopCapture::writeFrame() const
{
    std::lock_guard guard(m_lock);
    return m_writeFrame;
}

int64_t LoopCapture::readFrame() const
{
    std::lock_guard guard(m_lock);
    return m_readFrame;
}

std::optional<LoopCapture::Layout> LoopCapture::firstLayout() const
{
    if (!m_layoutLogged.load(std::memory_order_acquire))
        return std::nullopt;
    return m_layout;
}

QString LoopCapture::layoutLogLine(const Layout& layout)
{
    QString line = QStringLiteral("伴奏移调：采集格式 缓冲数=") + QString::number(layout.bufferCount);
    for (int i = 0; i < layout.bufferCount && i < kMaxLoggedBuffers; ++i)
        line += QStringLiteral(" ch%1=%2").arg(i).arg(layout.channels[static_cast<size_t>(i)]);
    return line;
}
