#pragma once

#include "transpose/standing_backlog.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace RubberBand {
class RubberBandStretcher;
}
class LoopCapture;

// The render side of the transposer: pulls captured stereo frames from a LoopCapture,
// shifts their pitch with Rubber Band's real-time stretcher (or passes them through
// untouched at 0 semitones) and fills the output.
//
// Latency is bounded: what stays queued beyond captureTargetFrames() (two render periods plus
// a margin) through half a second of reads is dropped, oldest first: from the capture ring
// when passing through, from the stretcher's output when shifting (everything captured goes
// into the stretcher at once). Jitter drops nothing, so equal clocks lose no frame; a capture
// clock that runs ahead never lets the delay grow; more than 100 ms beyond the target is
// dropped at once. The ring's own 2 s rule is untouched.
//
// A new shift never reaches the running stretcher: Rubber Band forbids a change during
// process() and allocates on the first block at a new pitch. setSemitones only records the
// target and wakes the renderer's builder thread, which builds a fresh stretcher at the new
// pitch and feeds it the newest captured audio (more than its start delay), catching up with
// the capture until it is level, so its output is ready when it is handed over; the render
// thread swaps it in between blocks, feeds it what was captured since, and crossfades from
// what it played to the new output over kFadeFrames (so neither stale audio nor a gap follows
// a change, and leaving bypass starts from fresh audio). Towards bypass the old stretcher
// plays on, fed from the ring's history, until the bypass has a queue of its own. The old one
// goes back to the builder for disposal. Until the new one is ready the render thread keeps what it plays:
// the previous shift, the bypass, or silence at the start. Rapid changes coalesce: only the newest target is
// built. Dropping a standing backlog is faded the same way: the frames that would have followed fade out over
// the frames that follow the drop.
//
// Thread safety: construct, destroy, setSemitones, startDelayFrames and takeBuildFailure on
// the owner's thread, which never waits for a build. render() runs on one render thread and
// neither allocates nor blocks beyond the capture lock. takeLevelReport may be called from
// one other thread.
class TransposeRenderer {
public:
    static constexpr uint32_t kMaxSliceFrames = 8192; // staging buffer size; longer requests are split
    static constexpr double kSampleRate_Hz = 48000.0;
    static constexpr uint32_t kLevelReportFrames = 96000; // 2 s
    static constexpr uint32_t kFadeFrames = 240;          // 5 ms, a change of shift
    static constexpr uint32_t kSpliceFadeFrames = 144;    // 3 ms, a dropped backlog

    struct Config {
        uint32_t renderPeriodFrames = 256; // the output's usual request
        uint32_t marginFrames = 256;
        // Rubber Band options per shift; the default is the engine chosen by measurement.
        std::function<int(int semitones)> stretcherOptions = &defaultStretcherOptions;
        // Runs on the builder thread after each block a build or a delay measurement
        // processed (tests hold the builder at a known point with it).
        std::function<void()> onBuilderBlock;
    };
    static int defaultStretcherOptions(int semitones);

    // Throws when the builder thread cannot be started.
    TransposeRenderer(LoopCapture& capture, Config config);
    ~TransposeRenderer();
    TransposeRenderer(const TransposeRenderer&) = delete;
    TransposeRenderer& operator=(const TransposeRenderer&) = delete;

    // Ends the build in progress within a block, and every later one before it starts; the
    // render thread keeps what it plays. The destructor does this first, so that it joins a
    // builder that is about to end rather than one in the middle of a build.
    void stopBuilding();

    // Takes effect once the builder has the stretcher ready (at once for 0).
    void setSemitones(int semitones);
    int semitones() const { return m_targetSemitones.load(std::memory_order_relaxed); }
    // True once when a stretcher could not be built since the last call (the shift is not
    // applied; the render thread keeps what it plays).
    bool takeBuildFailure() { return m_buildFailed.exchange(false, std::memory_order_relaxed); }
    // Blocks until the newest requested stretcher is built (or failed): for tests and
    // benchmarks that drive render() themselves, never for a thread that must not wait.
    void waitUntilBuilt();

    // Fills `frames` interleaved stereo frames (render thread).
    void render(float* interleaved, uint32_t frames);

    // Most frames kept queued in the capture ring after a trim.
    uint32_t captureTargetFrames() const { return m_captureTarget; }
    // The stretcher's delay at the given shift as heard (stretcher_delay.h), frames, once a
    // stretcher for it has been built and measured (0 at 0 semitones).
    std::optional<uint32_t> startDelayFrames(int semitones) const;

    // A level report of the last 2 s of output: RMS of the input fed and of the output, and
    // the trim and underrun counts (frames since construction) as they stood at its end.
    struct LevelReport {
        double inRms = 0;
        double outRms = 0;
        int64_t trimmedFrames = 0;
        int64_t underrunFrames = 0;
    };
    // The report completed since the last call, if any (one reader thread).
    std::optional<LevelReport> takeLevelReport();
    // Frames dropped by the trim so far.
    int64_t trimmedFrames() const { return m_trimmed.load(std::memory_order_relaxed); }
    // Frames of silence played so far because a stretcher, or the bypass, had less than asked.
    int64_t underrunFrames() const { return m_underrun.load(std::memory_order_relaxed); }

private:
    void renderSlice(float* left, float* right, uint32_t frames);
    void applyTarget(uint32_t largestRequest);
    // A stretcher ready for the render thread; it has been fed the capture up to nextInput.
    struct Prepared {
        std::unique_ptr<RubberBand::RubberBandStretcher> stretcher;
        int semitones = 0;
        uint32_t startDelay = 0;
        int64_t nextInput = 0;
        ~Prepared();
    };
    std::unique_ptr<Prepared> prepare(int semitones) const;
    std::optional<uint32_t> measuredDelay(int semitones) const;
    // After each block of a build: the test hook, then whether to go on.
    bool builderBlockDone() const;
    void buildLoop();
    void collectRetired();
    bool retire(Prepared* old);
    enum class Mode { Silence, Bypass, Shift };
    void beginFade(RubberBand::RubberBandStretcher* old);
    void swapIn(Prepared* fresh, uint32_t largestRequest);
    void endFade();
    bool passThrough(float* left, float* right, uint32_t frames);
    bool silence(float* left, float* right, uint32_t frames);
    void shift(float* left, float* right, uint32_t frames);
    void crossfade(float* left, float* right, uint32_t frames);
    bool feed(uint32_t frames, RubberBand::RubberBandStretcher* also = nullptr);
    void feedAllQueued(RubberBand::RubberBandStretcher* also = nullptr);
    // Feeds frames [from, to) that the ring still holds without consuming them; returns
    // the frame after the last one fed.
    int64_t feedHistory(RubberBand::RubberBandStretcher& stretcher, int64_t from, int64_t to);
    static uint32_t take(RubberBand::RubberBandStretcher& stretcher, float* left, float* right,
                         uint32_t frames);
    void play(RubberBand::RubberBandStretcher& stretcher, float* left, float* right, uint32_t frames);
    void dropOutput(int64_t frames);
    void trimCapture(int64_t maxQueued);
    void spliceFade(float* left, float* right, uint32_t frames);
    void countLevels(const float* left, const float* right, uint32_t frames, double& sum);

    LoopCapture& m_capture;
    Config m_config;
    uint32_t m_captureTarget;
    StandingBacklog m_captureBacklog; // bypass: the ring
    StandingBacklog m_outputBacklog;  // shift: the stretcher's output
    // What the render thread plays: silence until the first stretcher at a start with a
    // shift, the capture itself at 0, or the current stretcher.
    std::unique_ptr<Prepared> m_current; // render thread's
    RubberBand::RubberBandStretcher* m_stretcher = nullptr;
    Mode m_mode = Mode::Silence;
    bool m_currentStale = false; // the current stretcher holds audio from before a bypass
    bool m_sounding = false;     // the bypass has played captured audio
    bool m_bypassPrimed = false; // the bypass had its margin queued since its last gap
    std::vector<float> m_feedL, m_feedR, m_outL, m_outR;
    // A change from a shift in progress: m_fadeStretcher (owned by m_fadeOwned when it is not
    // m_current) fades out over what m_mode plays. Leaving bypass fades like a splice.
    RubberBand::RubberBandStretcher* m_fadeStretcher = nullptr;
    std::unique_ptr<Prepared> m_fadeOwned;
    uint32_t m_fadePos = 0, m_fadeWaited = 0;
    int64_t m_fadeInput = 0;           // capture frame the old stretcher is fed up to, towards bypass
    std::vector<float> m_fadeIn;       // equal-power gains of the incoming side
    std::vector<float> m_oldL, m_oldR; // the outgoing side of a block
    // What a dropped backlog, or the bypass left behind, would have played next.
    std::vector<float> m_spliceL, m_spliceR;
    uint32_t m_spliceLength = 0, m_splicePos = 0;
    std::atomic<int> m_targetSemitones{0};
    std::atomic<Prepared*> m_pending{nullptr}; // owner → render
    // Render → builder: a single-producer single-consumer ring of stretchers to free.
    static constexpr size_t kRetiredSlots = 8;
    static constexpr uint32_t kFeedBlockFrames = 512; // largest block handed to a stretcher at once
    std::array<std::atomic<Prepared*>, kRetiredSlots> m_retired{};
    size_t m_retireWrite = 0, m_retireRead = 0;

    // Owner → builder requests, newest wins; guarded by m_buildLock.
    mutable std::mutex m_buildLock;
    std::condition_variable m_buildWake;
    std::condition_variable m_buildDone;
    int m_requested = 0;
    uint64_t m_requestSeq = 0, m_builtSeq = 0;
    bool m_quit = false;
    std::atomic<bool> m_stopping{false};
    std::map<int, uint32_t> m_startDelays; // by semitones, measured once per shift
    std::atomic<bool> m_buildFailed{false};
    std::thread m_builder;      // last: starts once everything above exists
    uint32_t m_requestLeft = 0; // frames of the current request not rendered yet
    uint32_t m_requestPeak = 0, m_previousRequestPeak = 0, m_requestPeakFrames = 0;

    // Level check, render thread only, published through the atomics below.
    double m_inSumSq = 0, m_outSumSq = 0;
    uint64_t m_inFrames = 0, m_outFrames = 0;
    std::atomic<double> m_reportIn{0}, m_reportOut{0};
    std::atomic<int64_t> m_reportTrimmed{0}, m_reportUnderrun{0};
    std::atomic<uint64_t> m_reportSeq{0};
    uint64_t m_takenSeq = 0;
    std::atomic<int64_t> m_trimmed{0};
    std::atomic<int64_t> m_underrun{0};
};
