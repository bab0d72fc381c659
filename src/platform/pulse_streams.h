#pragma once

// The streams of the PulseAudio client (pulse_audio_client.cpp), apart from its connection
// and lists: a record stream feeding an InputCallback and a playback stream pulling a
// RenderCallback, both on the client's threaded main loop. Internal to the client.
#include "platform/pulse_audio_client.h"

#include <memory>
#include <optional>
#include <pulse/pulseaudio.h>

namespace pulse_streams {

// Holds the threaded main loop's lock for a scope; never taken on the loop's own thread.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

// What a recording needs of a source besides what callers see.
struct SourceRecord {
    AudioSourceInfo info;
    QByteArray name;
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
};

// With the loop locked: opens a record stream of `source`; absent when the server refuses at
// once. Without options: float samples at the source's own rate and channel count.
std::unique_ptr<AudioRecording>
startRecordingLocked(pa_threaded_mainloop* loop, pa_context* context, const SourceRecord& source,
                     const std::optional<PulseAudioClient::RecordOptions>& options,
                     AudioInputService::InputCallback onInput, AudioInputService::EndedCallback onEnded);

// With the loop locked: opens a playback stream on the default sink; absent when the server
// refuses at once.
std::unique_ptr<AudioPlayback> startPlaybackLocked(pa_threaded_mainloop* loop, pa_context* context,
                                                   const PulseAudioClient::PlaybackOptions& options,
                                                   PulseAudioClient::RenderCallback render,
                                                   AudioInputService::EndedCallback onEnded);

} // namespace pulse_streams
