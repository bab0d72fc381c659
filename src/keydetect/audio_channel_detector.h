#pragma once

#include "core/audio_channel.h"
#include "platform/audio_input_service.h"

#include <QCoro/QCoroTask>
#include <chrono>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

// The audio inputs offered as accompaniment channel, the user's chosen one, fixed-length
// recordings as mono 44100 Hz floats, and how music-like a recording is.
//
// Thread safety: listInputs, selectedChannel and musicality may be called from any thread
// (selectedChannel reads the shared settings, so in practice the main thread); capture is a
// main-thread coroutine whose audio arrives on the sound server client's thread.
// listInputs and selectedChannel ask the server synchronously: a few milliseconds locally,
// at most the 2 s connect limit when the server does not answer.
struct AudioChannelDetector {
    using Channel = AudioChannel;

    static constexpr double kCaptureRateHz = 44100.0;
    // The score above which callers accept a recording as music.
    static constexpr double kMusicalityGate = 0.5;

    // Inputs in the order the sound server lists them.
    static std::vector<Channel> listInputs();
    // The input whose uid is the stored "accompanimentChannelUID"; absent when none is stored
    // or that input is gone.
    static std::optional<Channel> selectedChannel();

    // Records `duration` from the device and returns mono samples at 44100 Hz; absent when
    // nothing could be recorded. Suspends (never blocks the caller's thread) while recording.
    // A stop request ends the recording at once with what was captured; so does the device
    // going away. The stream is always closed before the task completes.
    static QCoro::Task<std::optional<std::vector<float>>>
    capture(uint32_t deviceID, std::chrono::duration<double> duration, std::stop_token stop = {});

    // Music-likeness (≥ 0) of 44100 Hz mono samples: rms·10 + peak concentration·5.
    static double musicality(std::span<const float> samples);

    // The listing rules over what the server reports: sources without channels are dropped,
    // an unreadable name becomes "Device <id>" and an unreadable uid the decimal id.
    static std::vector<Channel> channelsFrom(const std::vector<AudioSourceInfo>& sources);

    // The sound server every operation uses: PulseAudio (or pipewire-pulse), connected per call.
    static AudioInputService& inputService();
};
