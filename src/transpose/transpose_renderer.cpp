#include "transpose/transpose_renderer.h"

#include "transpose/loop_capture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <rubberband/RubberBandStretcher.h>

using RubberBand::RubberBandStretcher;

namespace {

// Largest block handed to the stretcher at once.
constexpr uint32_t kFeedBlockFrames = 512;
// Backlog beyond the target is dropped once it stayed through this window (0.5 s)...
constexpr int64_t kBacklogWindowFrames = 24000;
// ...or at once beyond the target plus this (100 ms).
constexpr int64_t kHardBacklogFrames = 4800;
// Silence run through a new stretcher beyond its start pad.
constexpr size_t kPrimeFrames = 8192;

double pitchScale(int semitones)
{
    return std::pow(2.0, semitones * 100.0 / 1200.0);
}

} // namespace

// Measured with bench_transpose (a chord of pure tones, -6..+6): the "faster" engine leaves
// sidebands at -7..-18 dB; "finer" with its standard window is clean but starts 30-60 ms
// late at twice the CPU; "finer" with the short window keeps sidebands at -36..-60 dB with a
// 19-38 ms start at 60-90 ms of CPU per second. A running stretcher never changes pitch here
// (each shift gets its own), so the consistency option buys nothing, and it raised the
// sidebands of +4..+6 to -33..-35 dB.
int TransposeRenderer::defaultStretcherOptions()
{
    return RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionEngineFiner |
           RubberBandStretcher::OptionWindowShort | RubberBandStretcher::OptionChannelsTogether;
}

TransposeRenderer::TransposeRenderer(LoopCapture& capture, Config config)
    : m_capture(capture), m_config(config),
      m_captureTarget(2 * config.renderPeriodFrames + config.marginFrames),
      m_captureBacklog(m_captureTarget, kBacklogWindowFrames, m_captureTarget + kHardBacklogFrames),
      m_outputBacklog(m_captureTarget, kBacklogWindowFrames, m_captureTarget + kHardBacklogFrames),
      m_feedL(kMaxSliceFrames), m_feedR(kMaxSliceFrames), m_outL(kMaxSliceFrames), m_outR(kMaxSliceFrames),
      m_builder([this] { buildLoop(); })
{}

TransposeRenderer::Prepared::~Prepared() = default;

TransposeRenderer::~TransposeRenderer()
{
    {
        std::lock_guard guard(m_buildLock);
        m_quit = true;
    }
    m_buildWake.notify_all();
    m_builder.join();
    delete m_pending.exchange(nullptr);
    for (auto& slot : m_retired)
        delete slot.exchange(nullptr);
}

std::unique_ptr<TransposeRenderer::Prepared> TransposeRenderer::prepare(int semitones) const
{
    auto prepared = std::make_unique<Prepared>();
    prepared->semitones = semitones;
    auto& stretcher = prepared->stretcher;
    stretcher = std::make_unique<RubberBandStretcher>(
        static_cast<size_t>(kSampleRate_Hz), 2,
        static_cast<RubberBandStretcher::Options>(m_config.stretcherOptions), 1.0, pitchScale(semitones));
    // Room for the largest block up front, so process() never grows its buffers later.
    stretcher->setMaxProcessSize(kMaxSliceFrames);
    // The start pad its documentation asks for, then silence until output has come through
    // every stage once: the stretcher sizes its internal buffers and resampler state for this
    // pitch here, not on the render thread. The silence that comes out, and the start delay,
    // are discarded so that output lines up with input.
    const std::vector<float> zeros(kFeedBlockFrames);
    std::vector<float> sink(kMaxSliceFrames);
    const float* input[2] = {zeros.data(), zeros.data()};
    float* output[2] = {sink.data(), sink.data()};
    size_t fed = 0, retrieved = 0;
    const size_t pad = stretcher->getPreferredStartPad();
    while (fed < pad || retrieved == 0 || fed < pad + kPrimeFrames) {
        const size_t n = fed < pad ? std::min<size_t>(pad - fed, kFeedBlockFrames) : kFeedBlockFrames;
        stretcher->process(input, n, false);
        fed += n;
        while (stretcher->available() > 0)
            retrieved +=
                stretcher->retrieve(output, std::min<size_t>(stretcher->available(), kMaxSliceFrames));
    }
    // Output owed for the silence beyond the pad, plus the start delay, minus what came already.
    const size_t owed = stretcher->getStartDelay() + (fed - pad);
    prepared->skipFrames = static_cast<uint32_t>(owed > retrieved ? owed - retrieved : 0);
    prepared->startDelay = static_cast<uint32_t>(stretcher->getStartDelay());
    return prepared;
}

void TransposeRenderer::setSemitones(int semitones)
{
    if (semitones != 0) {
        std::lock_guard guard(m_buildLock);
        m_requested = semitones;
        ++m_requestSeq;
    }
    m_buildWake.notify_one();
    m_targetSemitones.store(semitones, std::memory_order_release);
}

void TransposeRenderer::buildLoop()
{
    std::unique_lock lock(m_buildLock);
    while (!m_quit) {
        if (m_builtSeq == m_requestSeq) {
            // Woken by a request, or now and then to free what the render thread let go of.
            m_buildWake.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            collectRetired();
            lock.lock();
            continue;
        }
        const uint64_t seq = m_requestSeq;
        const int semitones = m_requested;
        lock.unlock();
        std::unique_ptr<Prepared> prepared;
        try {
            prepared = prepare(semitones);
        } catch (const std::exception&) {
            m_buildFailed.store(true, std::memory_order_relaxed);
        }
        const uint32_t startDelay = prepared ? prepared->startDelay : 0;
        lock.lock();
        // A newer request makes this one moot: that one is built next instead.
        if (prepared)
            m_startDelays[semitones] = startDelay;
        // Freed below, outside the lock the owner's thread takes.
        std::unique_ptr<Prepared> unplayed;
        if (prepared && seq == m_requestSeq)
            unplayed.reset(m_pending.exchange(prepared.release(), std::memory_order_acq_rel));
        m_builtSeq = seq;
        lock.unlock();
        unplayed.reset();
        prepared.reset();
        collectRetired();
        m_buildDone.notify_all();
        lock.lock();
    }
}

void TransposeRenderer::waitUntilBuilt()
{
    std::unique_lock lock(m_buildLock);
    m_buildDone.wait(lock, [this] { return m_builtSeq == m_requestSeq; });
}

void TransposeRenderer::collectRetired()
{
    while (Prepared* old = m_retired[m_retireRead].exchange(nullptr, std::memory_order_acquire)) {
        delete old;
        m_retireRead = (m_retireRead + 1) % kRetiredSlots;
    }
}

std::optional<uint32_t> TransposeRenderer::startDelayFrames(int semitones) const
{
    if (semitones == 0)
        return 0u;
    std::lock_guard guard(m_buildLock);
    const auto it = m_startDelays.find(semitones);
    if (it == m_startDelays.end())
        return std::nullopt;
    return it->second;
}

void TransposeRenderer::render(float* interleaved, uint32_t frames)
{
    applyTarget();
    while (frames > 0) {
        const uint32_t slice = std::min(frames, kMaxSliceFrames);
        m_requestLeft = frames;
        renderSlice(m_outL.data(), m_outR.data(), slice);
        for (uint32_t i = 0; i < slice; ++i) {
            interleaved[2 * i] = m_outL[i];
            interleaved[2 * i + 1] = m_outR[i];
        }
        interleaved += 2 * slice;
        frames -= slice;
    }
}

void TransposeRenderer::applyTarget()
{
    const int target = m_targetSemitones.load(std::memory_order_acquire);
    // Taken only with a free slot to hand a stretcher back; otherwise next block. One built
    // for an older target goes back unused.
    std::atomic<Prepared*>& slot = m_retired[m_retireWrite];
    if (!slot.load(std::memory_order_acquire)) {
        if (Prepared* fresh = m_pending.exchange(nullptr, std::memory_order_acq_rel)) {
            Prepared* old = fresh;
            if (fresh->semitones == target) {
                old = m_current.release();
                m_current.reset(fresh);
                m_stretcher = fresh->stretcher.get();
                m_skipFrames = fresh->skipFrames;
                m_currentStale = false;
                m_outputBacklog.reset();
            }
            if (old) {
                slot.store(old, std::memory_order_release);
                m_retireWrite = (m_retireWrite + 1) % kRetiredSlots;
            }
        }
    }
    if (target == 0) {
        if (m_mode == Mode::Shift)
            m_currentStale = true; // what it holds grows old while the capture passes by
        m_mode = Mode::Bypass;
    } else if (m_current && !m_currentStale) {
        // The target's stretcher, or the previous shift until that one is ready.
        m_mode = Mode::Shift;
    }
}

void TransposeRenderer::renderSlice(float* left, float* right, uint32_t frames)
{
    switch (m_mode) {
    case Mode::Silence:
        trimCapture(m_captureTarget);
        std::memset(left, 0, frames * sizeof(float));
        std::memset(right, 0, frames * sizeof(float));
        break;
    case Mode::Bypass:
        passThrough(left, right, frames);
        break;
    case Mode::Shift:
        shift(left, right, frames);
        break;
    }

    countLevels(left, right, frames, m_outSumSq);
    m_outFrames += frames;
    if (m_outFrames >= kLevelReportFrames) {
        m_reportIn.store(m_inFrames ? std::sqrt(m_inSumSq / (2.0 * static_cast<double>(m_inFrames))) : 0.0,
                         std::memory_order_relaxed);
        m_reportOut.store(std::sqrt(m_outSumSq / (2.0 * static_cast<double>(m_outFrames))),
                          std::memory_order_relaxed);
        m_reportSeq.fetch_add(1, std::memory_order_release);
        m_inSumSq = m_outSumSq = 0;
        m_inFrames = m_outFrames = 0;
    }
}

void TransposeRenderer::trimCapture(int64_t maxQueued)
{
    const int64_t dropped = m_capture.trimTo(maxQueued);
    if (dropped > 0)
        m_trimmed.fetch_add(dropped, std::memory_order_relaxed);
}

void TransposeRenderer::passThrough(float* left, float* right, uint32_t frames)
{
    const int64_t needed = std::max(frames, m_requestLeft);
    const int64_t queued = m_capture.queuedFrames();
    if (const int64_t drop = m_captureBacklog.excess(queued - needed, frames); drop > 0)
        trimCapture(queued - drop);
    if (!m_capture.read(left, right, frames)) {
        std::memset(left, 0, frames * sizeof(float));
        std::memset(right, 0, frames * sizeof(float));
        return;
    }
    countLevels(left, right, frames, m_inSumSq);
    m_inFrames += frames;
}

bool TransposeRenderer::feed(uint32_t frames)
{
    if (!m_capture.read(m_feedL.data(), m_feedR.data(), frames))
        return false;
    countLevels(m_feedL.data(), m_feedR.data(), frames, m_inSumSq);
    m_inFrames += frames;
    const float* input[2] = {m_feedL.data(), m_feedR.data()};
    m_stretcher->process(input, frames, false);
    return true;
}

void TransposeRenderer::shift(float* left, float* right, uint32_t frames)
{
    // Everything captured goes in at once (the stretcher collects its own blocks), so no
    // frame waits in the ring for a block to fill; the ring only needs its hard bound.
    trimCapture(m_captureBacklog.hardLimit());
    for (int64_t queued = m_capture.queuedFrames(); queued > 0; queued = m_capture.queuedFrames()) {
        if (!feed(static_cast<uint32_t>(std::min<int64_t>(queued, kFeedBlockFrames))))
            break;
    }
    // A capture clock ahead of the output piles up output here instead: drop what stays.
    if (m_skipFrames == 0) {
        const int64_t available = std::max(0, m_stretcher->available());
        for (int64_t drop = m_outputBacklog.excess(available - frames, frames); drop > 0;) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(drop, kMaxSliceFrames));
            float* scratch[2] = {m_feedL.data(), m_feedR.data()};
            m_stretcher->retrieve(scratch, n);
            m_trimmed.fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
            drop -= static_cast<int64_t>(n);
        }
    }
    while (m_skipFrames > 0 && m_stretcher->available() > 0) {
        const size_t n =
            std::min<size_t>({m_skipFrames, static_cast<size_t>(m_stretcher->available()), kMaxSliceFrames});
        float* scratch[2] = {m_feedL.data(), m_feedR.data()};
        m_stretcher->retrieve(scratch, n);
        m_skipFrames -= static_cast<uint32_t>(n);
    }
    // What the stretcher has, then silence for an underrun.
    const size_t got =
        m_skipFrames > 0
            ? 0
            : std::min<size_t>(frames, static_cast<size_t>(std::max(0, m_stretcher->available())));
    if (got > 0) {
        float* output[2] = {left, right};
        m_stretcher->retrieve(output, got);
    }
    std::memset(left + got, 0, (frames - got) * sizeof(float));
    std::memset(right + got, 0, (frames - got) * sizeof(float));
}

void TransposeRenderer::countLevels(const float* left, const float* right, uint32_t frames, double& sum)
{
    for (uint32_t i = 0; i < frames; ++i)
        sum += static_cast<double>(left[i]) * left[i] + static_cast<double>(right[i]) * right[i];
}

std::optional<TransposeRenderer::LevelReport> TransposeRenderer::takeLevelReport()
{
    const uint64_t seq = m_reportSeq.load(std::memory_order_acquire);
    if (seq == m_takenSeq)
        return std::nullopt;
    LevelReport report{m_reportIn.load(std::memory_order_relaxed),
                       m_reportOut.load(std::memory_order_relaxed)};
    if (m_reportSeq.load(std::memory_order_acquire) != seq)
        return std::nullopt; // a newer one is being written; take it next time
    m_takenSeq = seq;
    return report;
}
