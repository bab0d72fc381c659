#pragma once

#include "platform/audio_input_service.h"

#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

class PulseAudioClient;

// The capture ring of one running transposer: a stereo ring of `capacity` frames per channel
// filled from the loop-back input and read by the render side. Writing never fails: when the
// reader falls behind, the oldest frames are dropped, so 0 <= written - read <= capacity.
//
// Thread safety: append runs on the capture thread, read/trimTo on the render thread, the
// rest on the owner's thread. `m_lock` (the capture lock) guards the rings and counters and
// is held for the whole of append, read and trimTo; none of them allocates.
class LoopCapture {
public:
    static constexpr int64_t kCapacityFrames = 96000; // 2 s at 48 kHz
    static constexpr int kMaxLoggedBuffers = 8;

    // The buffer layout of the first append, for the log line.
    struct Layout {
        int bufferCount = 0;
        std::array<uint32_t, kMaxLoggedBuffers> channels{};
    };

    LoopCapture(uint32_t deviceID, int64_t capacityFrames = kCapacityFrames);
    ~LoopCapture();
    LoopCapture(const LoopCapture&) = delete;
    LoopCapture& operator=(const LoopCapture&) = delete;

    uint32_t deviceID() const { return m_deviceID; }
    int64_t capacity() const { return m_capacity; }

    // Records the device as 48 kHz float stereo through `audio` into the ring, in fragments of
    // `fragmentFrames` (the render period: a fragment never waits for the next request). True
    // when the server took the request (or it runs already); `onEnded` follows
    // AudioInputService's rules.
    bool start(PulseAudioClient& audio, AudioInputService::EndedCallback onEnded, uint32_t fragmentFrames);
    // Ends the recording; no append runs once this returns.
    void stop();

    // A buffer list as the capture delivers it: two or more buffers with data are
    // non-interleaved stereo (further buffers ignored); one buffer is mono (both sides) or
    // interleaved (the first two channels); anything else adds nothing.
    void append(std::span<const AudioBufferRef> buffers);
    // Copies the oldest `frames` frames out and consumes them; false, with nothing consumed
    // or written, when fewer are queued.
    bool read(float* left, float* right, int64_t frames);
    // Drops the oldest frames so that at most `maxQueued` stay queued; returns how many went.
    int64_t trimTo(int64_t maxQueued);
    // Consumes what is queued before `frame` (absolute); returns how many went.
    int64_t discardBefore(int64_t frame);
    // Copies frames [`from`, `from` + `frames`) that were written, read or not, as long as the
    // ring still holds them; clamped to what it holds. Returns the first frame copied and how
    // many were; nothing is consumed.
    struct Span {
        int64_t from = 0;
        int64_t frames = 0;
    };
    Span copyHistory(float* left, float* right, int64_t from, int64_t frames) const;
    int64_t queuedFrames() const;
    int64_t writeFrame() const;
    int64_t readFrame() const;

    // The layout of the first append, once there was one (any thread).
    std::optional<Layout> firstLayout() const;
    // "伴奏移调：采集格式 缓冲数=2 ch0=1 ch1=1".
    static QString layoutLogLine(const Layout& layout);

private:
    void put(int64_t frame, float left, float right);
    void copyOut(float* left, float* right, int64_t from, int64_t frames) const; // under m_lock

    const uint32_t m_deviceID;
    const int64_t m_capacity;
    mutable std::mutex m_lock;
    std::vector<float> m_left;
    std::vector<float> m_right;
    int64_t m_writeFrame = 0;
    int64_t m_readFrame = 0;
    bool m_layoutSeen = false; // capture thread, under m_lock
    Layout m_layout;           // written once before m_layoutLogged
    std::atomic<bool> m_layoutLogged{false};
    std::unique_ptr<AudioRecording> m_recording;
};
