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
    uint32_t deviceID = 0;                // the server's index of the source
    std::optional<QString> name;          // human-readable description
    std::optional<QString> uid;           // persistent identifier (the source's name)
    uint32_t channelCount = 0;            // channels the source delivers; 0 = no input streams
    std::optional<double> nominalRateHz;  // the source's sample rate
    std::optional<QString> monitorOfSink; // for a sink's monitor: that sink's name
};

// A running recording. Destroying it stops the stream without waiting for the server; once
// the destructor returns no callback of this recording runs any more. Destroy it on any
// thread but the sound server client's own (never from inside its callbacks), and before
// the service that made it.
class AudioRecording {
public:
    virtual ~AudioRecording() = default;
    // The rate the samples arrive at (the source's nominal rate), Hz.
    virtual double sampleRateHz() const = 0;
    // Channels per frame in the delivered buffers.
    virtual uint32_t channelCount() const = 0;
};

// Audio inputs of the desktop's sound server, as one long-lived client sees them.
//
// Thread safety: every member may be called from any thread except the client's own.
// listSources() answers from the client's current list and never waits for the server.
class AudioInputService {
public:
    // Called with one interleaved float buffer at the source's native rate and channel count.
    // Runs on the client's thread: copy the data out (a short lock is fine) and return.
    using InputCallback = std::function<void(const AudioBufferRef& buffer)>;
    // Called at most once, on the client's thread, when the stream ends without being
    // destroyed: it failed to start, its source went away, or the server went away. It must
    // not destroy the recording or the service, nor call into either, nor block: record the
    // fact, wake whoever waits, and return. Never called after the recording's destructor.
    using EndedCallback = std::function<void()>;
    // Called on the client's thread after the lists changed (or the connection came or went).
    // Same rules as EndedCallback.
    using ChangeCallback = std::function<void()>;

    virtual ~AudioInputService() = default;
    // Sources in the order the server lists them, sources without channels included; empty
    // while the client is not connected.
    virtual std::vector<AudioSourceInfo> listSources() const = 0;
    // Starts recording from a source of the current list without waiting for the server:
    // absent when the source is not listed or the client is not connected. Whether data ever
    // comes is told by the callbacks.
    virtual std::unique_ptr<AudioRecording> startRecording(uint32_t deviceID, InputCallback onInput,
                                                           EndedCallback onEnded) = 0;
    // Replaces the one change listener (nothing: none). The old listener is not called any
    // more once this returns.
    virtual void setChangeCallback(ChangeCallback onChange) = 0;
};
