#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// One buffer of 32-bit float samples as an input callback receives it: a channel count
// (interleaved when above 1) and a size in bytes. Mirrors one entry of a buffer list.
struct AudioBufferRef {
    uint32_t channelCount = 0;
    uint32_t byteSize = 0;
    const float* data = nullptr;
};

// An audio input as the sound server describes it. Fields the server could not give are absent.
struct AudioSourceInfo {
    uint32_t deviceID = 0;               // the server's index of the source
    std::optional<QString> name;         // human-readable description
    std::optional<QString> uid;          // persistent identifier (the source's name)
    uint32_t channelCount = 0;           // channels the source delivers; 0 = no input streams
    std::optional<double> nominalRateHz; // the source's sample rate
};

// A running recording. Destroying it stops the stream; once the destructor returns no
// callback of this recording runs any more.
class AudioRecording {
public:
    virtual ~AudioRecording() = default;
    // The rate the samples arrive at (the source's nominal rate), Hz.
    virtual double sampleRateHz() const = 0;
    // Channels per frame in the delivered buffers.
    virtual uint32_t channelCount() const = 0;
};

// Audio inputs of the desktop's sound server. Every call queries the server afresh; a server
// that is not running gives an empty list and no recording within a bounded time.
//
// Thread safety: callable from any thread. The callbacks run on the server client's own
// thread and must only copy the data out (they may take a short lock).
class AudioInputService {
public:
    // Called with one interleaved float buffer at the source's native rate and channel count.
    using InputCallback = std::function<void(const AudioBufferRef& buffer)>;
    // Called once when the stream ends on its own (the source disappeared, the server went away).
    using EndedCallback = std::function<void()>;

    virtual ~AudioInputService() = default;
    // Sources in the order the server lists them, sources without channels included.
    virtual std::vector<AudioSourceInfo> listSources() = 0;
    // Starts recording from a source; absent when the source is unknown or the stream fails.
    virtual std::unique_ptr<AudioRecording> startRecording(uint32_t deviceID, InputCallback onInput,
                                                           EndedCallback onEnded) = 0;
};

// The PulseAudio client (also served by pipewire-pulse). Connects for every call, at most
// `connectTimeout_ms` long, and never spawns a server.
std::unique_ptr<AudioInputService> makePulseAudioInputService(int connectTimeout_ms = 2000);
