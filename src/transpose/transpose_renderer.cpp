#include "transpose/transpose_renderer.h"

#include "transpose/loop_capture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <rubberband/RubberBandStretcher.h>

using RubberBand::RubberBandStretcher;

namespace {

// Backlog beyond the target is dropped once it stayed through this window (0.5 s)...
constexpr int64_t kBacklogWindowFrames = 24000;
// ...or at once beyond the target plus this (100 ms).
constexpr int64_t kHardBacklogFrames = 4800;
// At most this much captured since a stretcher was built is fed to it on the render thread
// (about 4 ms of CPU, within the playback buffer); a builder held up longer skips the rest.
constexpr int64_t kMaxCatchUpFrames = 2048;
// Output kept beyond the largest request when a stretcher starts from nothing: its output
// comes in uneven blocks. bench_transpose's BM_Engine counts underruns: 128 frames ran short
// at -5, -1 and +4 semitones (clicks, sidebands up to -40.7 dB), 256 at -5, 384 at none.
constexpr int64_t kSwapMarginFrames = 384;
// Longest the old stretcher plays on while the bypass builds its queue (a stalled capture
// does not hold the next change back longer).
constexpr uint32_t kMaxBypassWaitFrames = 4800;

} // namespace

TransposeRenderer::TransposeRenderer(LoopCapture& capture, Config config)
    : m_capture(capture), m_config(config),
      m_captureTarget(2 * config.renderPeriodFrames + config.marginFrames),
      m_captureBacklog(m_captureTarget, kBacklogWindowFrames, m_captureTarget + kHardBacklogFrames),
      m_outputBacklog(m_captureTarget, kBacklogWindowFrames, m_captureTarget + kHardBacklogFrames),
      m_feedL(kMaxSliceFrames), m_feedR(kMaxSliceFrames), m_outL(kMaxSliceFrames), m_outR(kMaxSliceFrames),
      m_fadeIn(kFadeFrames), m_oldL(kMaxSliceFrames), m_oldR(kMaxSliceFrames), m_spliceL(kFadeFrames),
      m_spliceR(kFadeFrames), m_builder([this] { buildLoop(); })
{
    // Equal power: the two sides of a change are unrelated (another pitch, another moment).
    for (uint32_t i = 0; i < kFadeFrames; ++i)
        m_fadeIn[i] = static_cast<float>(std::sin(0.5 * std::numbers::pi * (i + 1) / kFadeFrames));
}

TransposeRenderer::Prepared::~Prepared() = default;

TransposeRenderer::~TransposeRenderer()
{
    stopBuilding(); // a build in progress ends within a block
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

void TransposeRenderer::render(float* interleaved, uint32_t frames)
{
    // The largest request of the last 2 to 4 s: the server's requests vary in size.
    m_requestPeak = std::max(m_requestPeak, frames);
    m_requestPeakFrames += frames;
    if (m_requestPeakFrames >= kLevelReportFrames) {
        m_previousRequestPeak = m_requestPeak;
        m_requestPeak = m_requestPeakFrames = 0;
    }
    applyTarget(std::max(m_requestPeak, m_previousRequestPeak));
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

bool TransposeRenderer::retire(Prepared* old)
{
    std::atomic<Prepared*>& slot = m_retired[m_retireWrite];
    if (slot.load(std::memory_order_acquire))
        return false;
    slot.store(old, std::memory_order_release);
    m_retireWrite = (m_retireWrite + 1) % kRetiredSlots;
    return true;
}

void TransposeRenderer::applyTarget(uint32_t largestRequest)
{
    if (m_fadeStretcher)
        return; // a change finishes first (a few ms)
    const int target = m_targetSemitones.load(std::memory_order_acquire);
    // Taken only with a free slot to hand a stretcher back (the one replaced, once its fade
    // is over); otherwise next block. One built for an older target goes back unused.
    if (!m_retired[m_retireWrite].load(std::memory_order_acquire)) {
        if (Prepared* fresh = m_pending.exchange(nullptr, std::memory_order_acq_rel)) {
            if (fresh->semitones == target) {
                swapIn(fresh, largestRequest);
                return;
            }
            retire(fresh);
        }
    }
    if (target == 0) {
        if (m_mode == Mode::Shift) {
            // What it holds grows old while the capture passes by.
            m_currentStale = true;
            beginFade(m_stretcher);
            m_fadeInput = m_capture.readFrame(); // the shift fed it everything read
        }
        m_mode = Mode::Bypass;
    } else if (m_current && !m_currentStale && m_mode != Mode::Shift) {
        // The previous shift until the target's stretcher is ready.
        m_mode = Mode::Shift;
    }
}

void TransposeRenderer::swapIn(Prepared* fresh, uint32_t largestRequest)
{
    RubberBandStretcher& stretcher = *fresh->stretcher;
    const int64_t read = m_capture.readFrame();
    // Leaving bypass: what it would have played next, still in the ring, fades out over the
    // new output (like a splice).
    if (m_mode == Mode::Bypass) {
        const LoopCapture::Span next =
            m_capture.copyHistory(m_spliceL.data(), m_spliceR.data(), read, kFadeFrames);
        m_spliceLength = static_cast<uint32_t>(next.frames);
        m_splicePos = 0;
    }
    // What was captured since the builder's last frame: fed from the ring's history when it
    // has been read already, consumed when it has not (the new stretcher has it).
    if (fresh->nextInput < read)
        feedHistory(stretcher, std::max(fresh->nextInput, read - kMaxCatchUpFrames), read);
    else
        m_capture.discardBefore(fresh->nextInput);
    // Start as deep as what it replaces (its delay stays what it was), and at least the largest
    // recent request plus a margin: output comes in uneven blocks, and exactly one request
    // runs a sample or two short now and then.
    int64_t depth = 0;
    if (m_mode == Mode::Shift)
        depth = std::max(0, m_stretcher->available());
    else if (m_mode == Mode::Bypass)
        depth = m_capture.queuedFrames();
    const int64_t keep =
        std::max<int64_t>(depth, std::min(largestRequest, kMaxSliceFrames) + kSwapMarginFrames);
    for (int64_t drop = std::max(0, stretcher.available()) - keep; drop > 0;) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(drop, kMaxSliceFrames));
        take(stretcher, m_feedL.data(), m_feedR.data(), n);
        drop -= n;
    }

    std::unique_ptr<Prepared> previous = std::move(m_current);
    m_current.reset(fresh);
    m_stretcher = &stretcher;
    m_currentStale = false;
    m_outputBacklog.reset();
    if (m_mode == Mode::Shift) {
        beginFade(previous->stretcher.get());
        m_fadeOwned = std::move(previous);
    } else {
        if (previous && retire(previous.get())) // the slot was checked free
            static_cast<void>(previous.release());
    }
    m_mode = Mode::Shift;
}

void TransposeRenderer::beginFade(RubberBandStretcher* old)
{
    m_fadeStretcher = old;
    m_fadePos = 0;
    m_fadeWaited = 0;
    m_splicePos = m_spliceLength = 0; // the change's own fade covers a splice in progress
}

void TransposeRenderer::endFade()
{
    m_fadeStretcher = nullptr;
    // The slot stayed free: nothing is swapped in meanwhile.
    if (m_fadeOwned && retire(m_fadeOwned.get()))
        static_cast<void>(m_fadeOwned.release());
}

void TransposeRenderer::renderSlice(float* left, float* right, uint32_t frames)
{
    if (m_fadeStretcher) {
        crossfade(left, right, frames);
    } else {
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
    }
    spliceFade(left, right, frames);

    countLevels(left, right, frames, m_outSumSq);
    m_outFrames += frames;
    if (m_outFrames >= kLevelReportFrames) {
        m_reportIn.store(m_inFrames ? std::sqrt(m_inSumSq / (2.0 * static_cast<double>(m_inFrames))) : 0.0,
                         std::memory_order_relaxed);
        m_reportOut.store(std::sqrt(m_outSumSq / (2.0 * static_cast<double>(m_outFrames))),
                          std::memory_order_relaxed);
        m_reportTrimmed.store(m_trimmed.load(std::memory_order_relaxed), std::memory_order_relaxed);
        m_reportUnderrun.store(m_underrun.load(std::memory_order_relaxed), std::memory_order_relaxed);
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

bool TransposeRenderer::silence(float* left, float* right, uint32_t frames)
{
    std::memset(left, 0, frames * sizeof(float));
    std::memset(right, 0, frames * sizeof(float));
    // Silence in the middle of the sound, as a stretcher's shortfall is; not before the first
    // frames played.
    if (m_sounding)
        m_underrun.fetch_add(frames, std::memory_order_relaxed);
    return false;
}

bool TransposeRenderer::passThrough(float* left, float* right, uint32_t frames)
{
    const int64_t needed = std::max(frames, m_requestLeft);
    const int64_t queued = m_capture.queuedFrames();
    // The bypass starts, and starts again after a gap, only with a margin beyond the request
    // queued. Where one graph runs both streams (PipeWire) each fragment otherwise arrives just
    // before the request it serves, and the first late one (a change being built) is a gap.
    if (!m_bypassPrimed) {
        if (queued < needed + m_config.marginFrames)
            return silence(left, right, frames);
        m_bypassPrimed = true;
        if (m_sounding) {
            // Back from a gap: faded in, like a splice from silence.
            std::fill_n(m_spliceL.data(), kSpliceFadeFrames, 0.0f);
            std::fill_n(m_spliceR.data(), kSpliceFadeFrames, 0.0f);
            m_spliceLength = kSpliceFadeFrames;
            m_splicePos = 0;
        }
    }
    if (const int64_t drop = m_captureBacklog.excess(queued - needed, frames); drop > 0) {
        // What would have played next fades out over what plays after the drop.
        const LoopCapture::Span next = m_capture.copyHistory(m_spliceL.data(), m_spliceR.data(),
                                                             m_capture.readFrame(), kSpliceFadeFrames);
        m_spliceLength = static_cast<uint32_t>(next.frames);
        m_splicePos = 0;
        trimCapture(queued - drop);
    }
    if (!m_capture.read(left, right, frames)) {
        m_bypassPrimed = false;
        return silence(left, right, frames);
    }
    m_sounding = true;
    countLevels(left, right, frames, m_inSumSq);
    m_inFrames += frames;
    return true;
}

bool TransposeRenderer::feed(uint32_t frames, RubberBandStretcher* also)
{
    if (!m_capture.read(m_feedL.data(), m_feedR.data(), frames))
        return false;
    countLevels(m_feedL.data(), m_feedR.data(), frames, m_inSumSq);
    m_inFrames += frames;
    const float* input[2] = {m_feedL.data(), m_feedR.data()};
    m_stretcher->process(input, frames, false);
    if (also)
        also->process(input, frames, false);
    return true;
}

void TransposeRenderer::feedAllQueued(RubberBandStretcher* also)
{
    // Everything captured goes in at once (the stretcher collects its own blocks), so no
    // frame waits in the ring for a block to fill; the ring only needs its hard bound.
    trimCapture(m_captureBacklog.hardLimit());
    for (int64_t queued = m_capture.queuedFrames(); queued > 0; queued = m_capture.queuedFrames()) {
        if (!feed(static_cast<uint32_t>(std::min<int64_t>(queued, kFeedBlockFrames)), also))
            break;
    }
}

int64_t TransposeRenderer::feedHistory(RubberBandStretcher& stretcher, int64_t from, int64_t to)
{
    while (from < to) {
        const LoopCapture::Span span = m_capture.copyHistory(m_feedL.data(), m_feedR.data(), from,
                                                             std::min<int64_t>(to - from, kFeedBlockFrames));
        if (span.frames == 0)
            break;
        const float* input[2] = {m_feedL.data(), m_feedR.data()};
        stretcher.process(input, static_cast<size_t>(span.frames), false);
        from = span.from + span.frames;
    }
    return from;
}

// What the stretcher has, then silence for an underrun; returns the frames it was short.
uint32_t TransposeRenderer::take(RubberBandStretcher& stretcher, float* left, float* right, uint32_t frames)
{
    const size_t got = std::min<size_t>(frames, static_cast<size_t>(std::max(0, stretcher.available())));
    if (got > 0) {
        float* output[2] = {left, right};
        stretcher.retrieve(output, got);
    }
    std::memset(left + got, 0, (frames - got) * sizeof(float));
    std::memset(right + got, 0, (frames - got) * sizeof(float));
    return frames - static_cast<uint32_t>(got);
}

void TransposeRenderer::play(RubberBandStretcher& stretcher, float* left, float* right, uint32_t frames)
{
    // A stretcher built before the capture delivered anything plays its silent start pad
    // and then runs dry until the first audio comes: nothing was cut, so nothing is counted.
    if (const uint32_t short_ = take(stretcher, left, right, frames); short_ > 0 && m_capture.writeFrame() > 0)
        m_underrun.fetch_add(short_, std::memory_order_relaxed);
}

void TransposeRenderer::dropOutput(int64_t frames)
{
    // The first of the dropped frames are what would have played next.
    bool first = true;
    while (frames > 0) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(frames, kMaxSliceFrames));
        take(*m_stretcher, m_feedL.data(), m_feedR.data(), n);
        if (first) {
            m_spliceLength = std::min(n, kSpliceFadeFrames);
            m_splicePos = 0;
            std::memcpy(m_spliceL.data(), m_feedL.data(), m_spliceLength * sizeof(float));
            std::memcpy(m_spliceR.data(), m_feedR.data(), m_spliceLength * sizeof(float));
            first = false;
        }
        m_trimmed.fetch_add(n, std::memory_order_relaxed);
        frames -= n;
    }
}

void TransposeRenderer::shift(float* left, float* right, uint32_t frames)
{
    feedAllQueued();
    // A capture clock ahead of the output piles up output here instead: drop what stays.
    const int64_t available = std::max(0, m_stretcher->available());
    // At least a splice fade's worth, so that the fade has what would have played next; the
    // backlog left is still above the target less that, so this block cannot run short.
    if (const int64_t drop = m_outputBacklog.excess(available - frames, frames); drop > 0)
        dropOutput(std::min<int64_t>(std::max<int64_t>(drop, kSpliceFadeFrames), available - frames));
    play(*m_stretcher, left, right, frames);
}

void TransposeRenderer::crossfade(float* left, float* right, uint32_t frames)
{
    // The old side into m_old*, the new one into left/right.
    if (m_mode == Mode::Bypass) {
        // The old stretcher is fed from the ring's history, which the bypass still has to
        // play, so that the bypass can build up its queue meanwhile: the shift fed the
        // stretcher everything captured, and a bypass that starts without a queue runs short
        // at the next uneven fragment. Until then the old stretcher plays on alone.
        m_fadeInput =
            feedHistory(*m_fadeStretcher, std::max(m_fadeInput, m_capture.writeFrame() - kMaxCatchUpFrames),
                        m_capture.writeFrame());
        if (m_fadePos == 0 && m_capture.queuedFrames() < m_captureTarget &&
            m_fadeWaited < kMaxBypassWaitFrames) {
            play(*m_fadeStretcher, left, right, frames);
            m_fadeWaited += frames;
            return;
        }
        passThrough(left, right, frames);
    } else {
        feedAllQueued(m_fadeStretcher);
        play(*m_stretcher, left, right, frames);
    }
    play(*m_fadeStretcher, m_oldL.data(), m_oldR.data(), frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const uint32_t at = m_fadePos + i;
        const float in = at < kFadeFrames ? m_fadeIn[at] : 1.0f;
        const float out = at < kFadeFrames ? m_fadeIn[kFadeFrames - 1 - at] : 0.0f;
        left[i] = in * left[i] + out * m_oldL[i];
        right[i] = in * right[i] + out * m_oldR[i];
    }
    m_fadePos += frames;
    if (m_fadePos >= kFadeFrames)
        endFade();
}

void TransposeRenderer::spliceFade(float* left, float* right, uint32_t frames)
{
    const uint32_t n = std::min(frames, m_spliceLength - m_splicePos);
    for (uint32_t i = 0; i < n; ++i, ++m_splicePos) {
        const double phase = 0.5 * std::numbers::pi * (m_splicePos + 1) / m_spliceLength;
        const auto in = static_cast<float>(std::sin(phase)), out = static_cast<float>(std::cos(phase));
        left[i] = in * left[i] + out * m_spliceL[m_splicePos];
        right[i] = in * right[i] + out * m_spliceR[m_splicePos];
    }
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
    LevelReport report{
        m_reportIn.load(std::memory_order_relaxed), m_reportOut.load(std::memory_order_relaxed),
        m_reportTrimmed.load(std::memory_order_relaxed), m_reportUnderrun.load(std::memory_order_relaxed)};
    if (m_reportSeq.load(std::memory_order_acquire) != seq)
        return std::nullopt; // a newer one is being written; take it next time
    m_takenSeq = seq;
    return report;
}
