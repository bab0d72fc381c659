// The builder thread: each shift gets a stretcher of its own, built and primed with recent
// audio here, then handed to the render thread; its start delay is measured once per shift.
#include "transpose/loop_capture.h"
#include "transpose/stretcher_delay.h"
#include "transpose/transpose_renderer.h"

#include <algorithm>
#include <cmath>
#include <rubberband/RubberBandStretcher.h>
#include <sys/resource.h>
#include <unistd.h>

using RubberBand::RubberBandStretcher;

namespace {

// Captured audio fed to a new stretcher beyond its start pad: well over the longest start
// delay, and enough for every stage to have produced output once (its buffers are sized here,
// on the builder thread, not on the render thread).
constexpr int64_t kPrimeFrames = 8192;
// Output a new stretcher keeps ready for the render thread; older output is discarded.
constexpr int kReadyFrames = 2048;
constexpr int kBuilderNiceness = 10;

double pitchScale(int semitones)
{
    return std::pow(2.0, semitones * 100.0 / 1200.0);
}

} // namespace

// Measured with bench_transpose (a chord of pure tones and drum hits, -6..+6; delays as heard,
// stretcher_delay.h): the "faster" engine leaves sidebands at -7..-18 dB; with smooth
// transients it is nearly clean on tones (-39.7 dB at +3, -43..-56 dB elsewhere; 45-48 ms)
// but smears drum hits (a third to a half of each hit's energy spread over the beat) and its
// uneven output makes the render path no shorter at -6; "finer" with its standard window is
// clean but 100 ms late at twice the CPU; "finer" with the short window keeps sidebands at
// -36..-60 dB and hits sharp, 57-63 ms at +/-6, 60-90 ms of CPU per second. A running
// stretcher never changes pitch here (each shift gets its own); the consistency option raises
// the sidebands of +4..+6 to -33..-35 dB, but up to +3 it is cleaner and sooner (+3: -37.8
// instead of -35.5 dB, 49 instead of 58 ms; +2: 50 instead of 56 ms; hits as sharp); the
// high-quality pitch option smears -4..-6 beyond recognition. No option of the short window
// brings +3 to -40 dB; the standard window does (-57 dB) at 94 ms.
int TransposeRenderer::defaultStretcherOptions(int semitones)
{
    const int options = RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionEngineFiner |
                        RubberBandStretcher::OptionWindowShort | RubberBandStretcher::OptionChannelsTogether;
    if (semitones > 0 && semitones <= 3)
        return options | RubberBandStretcher::OptionPitchHighConsistency;
    return options;
}

void TransposeRenderer::stopBuilding()
{
    m_stopping.store(true, std::memory_order_relaxed);
}

bool TransposeRenderer::builderBlockDone() const
{
    if (m_config.onBuilderBlock)
        m_config.onBuilderBlock();
    return !m_stopping.load(std::memory_order_relaxed);
}

std::unique_ptr<TransposeRenderer::Prepared> TransposeRenderer::prepare(int semitones) const
{
    auto prepared = std::make_unique<Prepared>();
    prepared->semitones = semitones;
    auto& stretcher = prepared->stretcher;
    stretcher = std::make_unique<RubberBandStretcher>(
        static_cast<size_t>(kSampleRate_Hz), 2,
        static_cast<RubberBandStretcher::Options>(m_config.stretcherOptions(semitones)), 1.0,
        pitchScale(semitones));
    // Room for the largest block up front, so process() never grows its buffers later.
    stretcher->setMaxProcessSize(kMaxSliceFrames);
    std::vector<float> inL(kFeedBlockFrames), inR(kFeedBlockFrames), sinkL(kMaxSliceFrames),
        sinkR(kMaxSliceFrames);
    // False once the build is to stop.
    const auto process = [&](size_t n) {
        const float* input[2] = {inL.data(), inR.data()};
        stretcher->process(input, n, false);
        // Only the newest output is kept ready: the start delay and older audio go.
        float* output[2] = {sinkL.data(), sinkR.data()};
        while (stretcher->available() > kReadyFrames)
            stretcher->retrieve(output,
                                std::min<size_t>(static_cast<size_t>(stretcher->available() - kReadyFrames),
                                                 kMaxSliceFrames));
        return builderBlockDone();
    };
    // The start pad its documentation asks for, and silence for what precedes the capture.
    int64_t next = m_capture.writeFrame() - kPrimeFrames;
    for (int64_t silence =
             static_cast<int64_t>(stretcher->getPreferredStartPad()) + std::max<int64_t>(0, -next);
         silence > 0;) {
        const auto n = static_cast<size_t>(std::min<int64_t>(silence, kFeedBlockFrames));
        std::fill_n(inL.data(), n, 0.0f);
        std::fill_n(inR.data(), n, 0.0f);
        if (!process(n))
            return nullptr;
        silence -= static_cast<int64_t>(n);
    }
    next = std::max<int64_t>(next, 0);
    // Then the newest captured audio, catching up with the capture until nothing new came.
    for (int round = 0; round < 16; ++round) {
        const int64_t newest = m_capture.writeFrame();
        if (newest <= next)
            break;
        while (next < newest) {
            const LoopCapture::Span span = m_capture.copyHistory(
                inL.data(), inR.data(), next, std::min<int64_t>(newest - next, kFeedBlockFrames));
            if (span.frames == 0)
                break;
            next = span.from + span.frames; // forward over what the ring lost meanwhile
            if (!process(static_cast<size_t>(span.frames)))
                return nullptr;
        }
    }
    prepared->nextInput = next;
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
    // A build costs tens of milliseconds of CPU; on a busy machine the render thread, which
    // must answer within a period, goes first. Raising one's own niceness needs no privilege.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kBuilderNiceness);
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
        const bool built = prepared != nullptr;
        const uint32_t reportedDelay = built ? prepared->startDelay : 0;
        lock.lock();
        const bool delayKnown = m_startDelays.contains(semitones);
        // Freed below, outside the lock the owner's thread takes.
        std::unique_ptr<Prepared> unplayed;
        // A newer request makes this one moot: that one is built next instead.
        if (prepared && seq == m_requestSeq)
            unplayed.reset(m_pending.exchange(prepared.release(), std::memory_order_acq_rel));
        lock.unlock();
        unplayed.reset();
        prepared.reset();
        // The delay is measured once per shift, after the stretcher went to the render thread,
        // so that the change is not held up by it.
        std::optional<uint32_t> delay;
        if (built && !delayKnown) {
            delay = measuredDelay(semitones);
            if (!delay && !m_stopping.load(std::memory_order_relaxed))
                delay = reportedDelay;
        }
        lock.lock();
        if (delay)
            m_startDelays[semitones] = *delay;
        m_builtSeq = seq;
        lock.unlock();
        collectRetired();
        m_buildDone.notify_all();
        lock.lock();
    }
}

std::optional<uint32_t> TransposeRenderer::measuredDelay(int semitones) const
{
    try {
        return stretcher_delay::measureFrames(m_config.stretcherOptions(semitones), kSampleRate_Hz,
                                              pitchScale(semitones), m_config.renderPeriodFrames,
                                              [this] { return builderBlockDone(); });
    } catch (const std::exception&) {
        return std::nullopt;
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
