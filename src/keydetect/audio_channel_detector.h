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
// recordings as mono 44100 Hz floats, and how music-like a recording is. Every operation on
// audio goes through the run's one sound server client, which the caller lends.
//
// Thread safety: listInputs and musicality may be called from any thread but the client's;
// selectedChannel reads the shared settings, so in practice the main thread; capture is a
// main-thread coroutine whose audio arrives on the client's thread. listInputs and
// selectedChannel answer from the client's current list and never wait for the server.
struct AudioChannelDetector {
    using Channel = AudioChannel;

    static constexpr double kCaptureRateHz = 44100.0;
    // The score above which callers accept a recording as music.
    static constexpr double kMusicalityGate = 0.5;
    // A new stream's first data can arrive late (an idle monitor starts about a second late),
    // so a recording waits for its samples at most this much longer than its duration.
    static constexpr std::chrono::seconds kLateStartAllowance{3};

    // Inputs in the order the sound server lists them; empty while it is not reachable.
    static std::vector<Channel> listInputs(const AudioInputService& audio);
    // The input whose uid is the stored "accompanimentChannelUID"; absent when none is stored
    // or that input is gone.
    static std::optional<Channel> selectedChannel(const AudioInputService& audio);

    // Records `duration` from the device and returns mono samples at 44100 Hz; absent when
    // nothing could be recorded. Suspends (never blocks the caller's thread) while the stream
    // starts and records, at most `duration` + kLateStartAllowance. A stop request ends the
    // wait at once, also while the stream is still starting, with what was captured; so does
    // the device or the server going away. The stream is closed before the task completes.
    // `audio` must outlive the task.
    static QCoro::Task<std::optional<std::vector<float>>> capture(AudioInputService& audio, uint32_t deviceID,
                                                                  std::chrono::duration<double> duration,
                                                                  std::stop_token stop = {});

    // Music-likeness (≥ 0) of 44100 Hz mono samples: rms·10 + peak concentration·5.
    static double musicality(std::span<const float> samples);

    // The listing rules over what the server reports: sources without channels are dropped,
    // an unreadable name becomes "Device <id>" and an unreadable uid the decimal id.
    static std::vector<Channel> channelsFrom(const std::vector<AudioSourceInfo>& sources);
};
