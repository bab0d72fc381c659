// The render path in virtual time: the capture ring is filled and the renderer pulled as the
// two stream callbacks would, without a server, so allocations and clock drift can be
// counted exactly.
#include "transpose/loop_capture.h"
#include "transpose/tone_measure.h"
#include "transpose/transpose_renderer.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <latch>
#include <memory>
#include <new>
#include <numbers>
#include <vector>

namespace {
// Counts on the render thread (the test's) only: the renderer's builder thread allocates
// stretchers by design.
thread_local bool g_counting = false;
std::atomic<long> g_allocations{0};
[[maybe_unused]] void count()
{
    if (g_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

// Rubber Band allocates with malloc and posix_memalign, not only with new: the C allocator
// is replaced too (glibc lets a program interpose it), so nothing escapes the count. Not
// under AddressSanitizer, whose own allocator must see every allocation and free.
#if defined(__SANITIZE_ADDRESS__)
#define TONIVOX_COUNTS_ALLOCATIONS 0
#else
#define TONIVOX_COUNTS_ALLOCATIONS 1
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size)
{
    count();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size)
{
    count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size)
{
    count();
    return __libc_realloc(p, size);
}
int posix_memalign(void** out, size_t alignment, size_t size)
{
    count();
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
void* aligned_alloc(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}
}

// Every allocation of the test binary passes here; only those made while counting are counted.
void* operator new(std::size_t size)
{
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
#endif

namespace {

constexpr double kRate = 48000.0;

// A stereo source of known content: 440 Hz left, 660 Hz right (silence before `onset`
// frames), fed to the ring in blocks as a capture stream would deliver it, at a rate `speed`
// times the output's.
class Source {
public:
    explicit Source(LoopCapture& capture, double speed = 1.0, int64_t onset = 0)
        : m_capture(capture), m_speed(speed), m_onset(onset), m_block(2 * 10000)
    {}

    // Appends what the capture clock delivered while the output played `outputFrames`.
    void advance(uint32_t outputFrames)
    {
        m_owed += outputFrames * m_speed;
        const auto frames = static_cast<uint32_t>(m_owed);
        m_owed -= frames;
        for (uint32_t i = 0; i < frames; ++i, ++m_frame) {
            const double t = static_cast<double>(m_frame) / kRate;
            const double level = m_frame < m_onset ? 0.0 : 0.4;
            m_block[2 * i] = static_cast<float>(level * std::sin(2 * std::numbers::pi * 440 * t));
            m_block[2 * i + 1] = static_cast<float>(level * std::sin(2 * std::numbers::pi * 660 * t));
        }
        const AudioBufferRef buffer{2, frames * 8, m_block.data()};
        m_capture.append(std::span(&buffer, 1));
    }

private:
    LoopCapture& m_capture;
    double m_speed;
    int64_t m_onset;
    double m_owed = 0;
    int64_t m_frame = 0;
    std::vector<float> m_block;
};

struct Output {
    std::vector<float> left, right;
};

// Plays `seconds` in periods of `period` frames; calls `each` before every period.
template <typename Each>
Output play(TransposeRenderer& renderer, Source& source, double seconds, uint32_t period, Each each)
{
    Output out;
    std::vector<float> interleaved(2 * period);
    const auto periods = static_cast<int64_t>(seconds * kRate / period);
    out.left.reserve(static_cast<size_t>(periods * period));
    out.right.reserve(static_cast<size_t>(periods * period));
    for (int64_t p = 0; p < periods; ++p) {
        each(p);
        source.advance(period);
        renderer.render(interleaved.data(), period);
        for (uint32_t i = 0; i < period; ++i) {
            out.left.push_back(interleaved[2 * i]);
            out.right.push_back(interleaved[2 * i + 1]);
        }
    }
    return out;
}

std::vector<float> tail(const std::vector<float>& samples, double seconds)
{
    return {samples.end() - static_cast<std::ptrdiff_t>(seconds * kRate), samples.end()};
}

// Under AddressSanitizer the changes still run (swaps, fades, frees across threads); only
// the count is not taken.
TEST(TransposeRenderer, RenderPathAllocatesNothingOverTenSecondsOfShiftsAndBypass)
{
    LoopCapture capture(1);
    TransposeRenderer renderer(capture, {});
    Source source(capture);
    renderer.setSemitones(3);
    renderer.waitUntilBuilt();
    constexpr uint32_t kPeriod = 256;
    std::vector<float> interleaved(2 * 9000);
    // Warm up outside the count: the first blocks of a stretcher are not the render path.
    for (int i = 0; i < 50; ++i) {
        source.advance(kPeriod);
        renderer.render(interleaved.data(), kPeriod);
    }
    g_allocations = 0;
    g_counting = true;
    // A change is built on the renderer's own thread, outside the render path.
    const auto change = [&](int semitones) {
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
    };
    const auto periods = static_cast<int>(10 * kRate / kPeriod);
    for (int p = 0; p < periods; ++p) {
        if (p == periods / 4)
            change(-2);
        if (p == periods / 2)
            change(0);
        if (p == 3 * periods / 4)
            change(5); // leaving bypass
        source.advance(kPeriod);
        renderer.render(interleaved.data(), kPeriod);
    }
    source.advance(9000); // a request over the staging size is split, not refused
    renderer.render(interleaved.data(), 9000);
    g_counting = false;
    if (TONIVOX_COUNTS_ALLOCATIONS) {
        EXPECT_EQ(g_allocations.load(), 0);
    }
}

TEST(TransposeRenderer, AtZeroTheOutputIsTheInputSampleForSampleAlsoForLongRequests)
{
    LoopCapture capture(1);
    TransposeRenderer renderer(capture, {});
    // The request and the margin the bypass starts with.
    std::vector<float> input(2 * (8193 + 256));
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<float>(std::sin(0.001 * static_cast<double>(i * i % 100000)));
    const AudioBufferRef buffer{2, static_cast<uint32_t>(input.size() * 4), input.data()};
    capture.append(std::span(&buffer, 1));
    std::vector<float> output(2 * 8193, 9.0f);
    renderer.render(output.data(), 8193);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), input.begin()));
}

TEST(TransposeRenderer, ShiftsEachSideByTheRatioOfTheSemitones)
{
    for (const int semitones : {-5, 2, 7}) {
        LoopCapture capture(1);
        TransposeRenderer renderer(capture, {});
        Source source(capture);
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
        const Output out = play(renderer, source, 2.0, 256, [](int64_t) {});
        const double ratio = std::pow(2.0, semitones / 12.0);
        const auto left = tail(out.left, 1.0), right = tail(out.right, 1.0);
        const auto peak = [&](const std::vector<float>& side, double expected) {
            return tone_measure::peakFrequency(side, kRate, expected * 0.9, expected * 1.1) / expected;
        };
        EXPECT_NEAR(peak(left, 440 * ratio), 1.0, 0.005) << semitones;
        EXPECT_NEAR(peak(right, 660 * ratio), 1.0, 0.005) << semitones;
        EXPECT_EQ(renderer.underrunFrames(), 0) << semitones;
        // Level within 3 dB of the input's (0.4 peak).
        EXPECT_NEAR(20 * std::log10(tone_measure::rms(left) / (0.4 / std::sqrt(2.0))), 0.0, 3.0) << semitones;
    }
}

// The delay the renderer reports for a shift (the latency shown to the user) is the delay
// its output has, less no more than its queue target.
TEST(TransposeRenderer, TheDelayItReportsIsTheDelayItsOutputHas)
{
    for (const int semitones : {-6, 6}) {
        LoopCapture capture(1);
        TransposeRenderer renderer(capture, {});
        constexpr int64_t kOnset = 48000;
        Source source(capture, 1.0, kOnset);
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
        const Output out = play(renderer, source, 2.0, 256, [](int64_t) {});
        const auto heard =
            std::find_if(out.left.begin(), out.left.end(), [](float x) { return std::abs(x) > 0.1f; });
        ASSERT_NE(heard, out.left.end()) << semitones;
        const int64_t delay = (heard - out.left.begin()) - kOnset;
        const auto reported = renderer.startDelayFrames(semitones);
        ASSERT_TRUE(reported) << semitones;
        EXPECT_GE(delay, static_cast<int64_t>(*reported) - 96) << semitones; // 2 ms
        EXPECT_LE(delay, static_cast<int64_t>(*reported + renderer.captureTargetFrames())) << semitones;
    }
}

// The largest sample-to-sample step of `side` from `from` on.
float largestStep(const std::vector<float>& side, size_t from)
{
    float largest = 0;
    for (size_t i = from + 1; i < side.size(); ++i)
        largest = std::max(largest, std::abs(side[i] - side[i - 1]));
    return largest;
}

TEST(TransposeRenderer, ACaptureClockAheadOfTheOutputNeverLetsTheDelayGrowNorCutsTheSound)
{
    // 0.1 % faster capture over five minutes would queue 14400 frames (300 ms) untrimmed.
    for (const int semitones : {0, 4}) {
        LoopCapture capture(1);
        TransposeRenderer renderer(capture, {});
        Source source(capture, 1.001);
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
        int64_t worst = 0;
        const double seconds = semitones == 0 ? 300.0 : 60.0; // the stretcher costs real time
        const Output out = play(renderer, source, seconds, 256,
                                [&](int64_t) { worst = std::max(worst, capture.queuedFrames()); });
        EXPECT_LE(worst, renderer.captureTargetFrames() + 256) << semitones;
        EXPECT_NEAR(static_cast<double>(renderer.trimmedFrames()), seconds * kRate * 0.001, 2048)
            << semitones;
        EXPECT_EQ(renderer.underrunFrames(), 0) << semitones;
        // A tone's own step is at most 2 pi f / rate times its peak (0.4, and within 3 dB after
        // the stretcher); dropped frames cut it at a random phase, up to twice the peak. The
        // faded splice mixes two phases of the tone at gains whose squares sum to one: at most
        // sqrt 2 times the tone's step plus the gains' own slope, well under twice the step.
        const double ratio = std::pow(2.0, semitones / 12.0);
        const double peak = 0.4 * (semitones == 0 ? 1.0 : std::sqrt(2.0));
        const auto step = [&](double f) {
            return static_cast<float>(2 * 2 * std::numbers::pi * f * ratio / kRate * peak);
        };
        EXPECT_LT(largestStep(out.left, 24000), step(440)) << semitones;
        EXPECT_LT(largestStep(out.right, 24000), step(660)) << semitones;
    }
}

TEST(TransposeRenderer, CaptureInBurstsAtTheOutputsRateLosesNoFrame)
{
    // Fragments of 1280 frames every fifth period of 256: the queue swings by more than the
    // target, but nothing stays.
    for (const int semitones : {0, 4}) {
        LoopCapture capture(1);
        TransposeRenderer renderer(capture, {});
        Source source(capture);
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
        std::vector<float> interleaved(2 * 256);
        for (int p = 0; p < static_cast<int>(20 * kRate / 256); ++p) {
            if (p % 5 == 0)
                source.advance(5 * 256);
            renderer.render(interleaved.data(), 256);
        }
        EXPECT_EQ(renderer.trimmedFrames(), 0) << semitones;
    }
}

// Each change is built while the output plays on (the build ends a few periods after the
// call, the capture having moved on meanwhile): the output never falls silent, the new pitch
// is there at once after the fade, and the old one never comes back.
TEST(TransposeRenderer, AChangeOfShiftPlaysOnWithoutAGap)
{
    LoopCapture capture(1);
    TransposeRenderer renderer(capture, {});
    Source source(capture);
    play(renderer, source, 0.5, 256, [](int64_t) {});
    double pitch_Hz = 440;
    for (const int semitones : {7, -5, 0, 3}) {
        renderer.setSemitones(semitones);
        const Output out = play(renderer, source, 0.5, 256, [&](int64_t period) {
            if (period == 4)
                renderer.waitUntilBuilt();
        });
        // A 0.4 tone is under 0.01 for a sample or two at each zero crossing; two tones in the
        // middle of a fade cancel for a few dozen where their phases oppose. A render period
        // of silence is a gap.
        size_t longest = 0;
        for (size_t i = 0, run = 0; i < out.left.size(); ++i) {
            run = std::abs(out.left[i]) < 0.01f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        EXPECT_LT(longest, 96u) << semitones;
        const double next_Hz = 440 * std::pow(2.0, semitones / 12.0);
        // From the sixth period on (the build, the fade) only the new pitch, in 20 ms windows.
        for (size_t at = 6 * 256; at + 960 <= out.left.size(); at += 480) {
            const std::vector<float> window(out.left.begin() + static_cast<std::ptrdiff_t>(at),
                                            out.left.begin() + static_cast<std::ptrdiff_t>(at + 960));
            EXPECT_GT(tone_measure::magnitudeAt(window, kRate, next_Hz),
                      4 * tone_measure::magnitudeAt(window, kRate, pitch_Hz))
                << semitones << " at " << at;
        }
        pitch_Hz = next_Hz;
    }
    EXPECT_EQ(renderer.underrunFrames(), 0);
}

// Capture and output run in one graph (PipeWire): each fragment arrives just before the
// request it serves. The bypass starts with a margin queued, so a late fragment (the machine
// busy with a change) costs nothing; a lost one costs one gap, after which the margin is
// queued again before the sound comes back.
TEST(TransposeRenderer, TheBypassKeepsAMarginSoThatALateFragmentLeavesNoGap)
{
    LoopCapture capture(1);
    TransposeRenderer renderer(capture, {});
    Source source(capture);
    std::vector<float> interleaved(2 * 256);
    const auto period = [&](uint32_t delivered) {
        if (delivered > 0)
            source.advance(delivered);
        renderer.render(interleaved.data(), 256);
    };
    for (int i = 0; i < 100; ++i)
        period(256);
    period(0);   // late...
    period(512); // ...and delivered with the next
    for (int i = 0; i < 100; ++i)
        period(256);
    EXPECT_EQ(renderer.underrunFrames(), 0);
    EXPECT_EQ(renderer.trimmedFrames(), 0);

    // Lost: the queue runs dry twice (the second time while the margin refills).
    period(0);
    period(0);
    for (int i = 0; i < 100; ++i)
        period(256);
    EXPECT_EQ(renderer.underrunFrames(), 512);
    period(0);
    period(512);
    EXPECT_EQ(renderer.underrunFrames(), 512);
}

TEST(TransposeRenderer, LevelReportEveryTwoSecondsOfOutput)
{
    LoopCapture capture(1);
    TransposeRenderer renderer(capture, {});
    Source source(capture);
    play(renderer, source, 1.9, 256, [](int64_t) {});
    EXPECT_FALSE(renderer.takeLevelReport());
    play(renderer, source, 0.2, 256, [](int64_t) {});
    const auto report = renderer.takeLevelReport();
    ASSERT_TRUE(report);
    EXPECT_NEAR(report->inRms, 0.4 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(report->outRms, report->inRms, 0.01);
    EXPECT_FALSE(renderer.takeLevelReport());
}

// A stop while the builder is in the start pad of a build, or in the delay measurement after
// it, ends that work within the block: a quit right after a change waits for no whole build.
TEST(TransposeRenderer, AStopEndsABuildAndItsDelayMeasurementWithinTheBlock)
{
    const int wholeBuild = [] {
        std::atomic<int> blocks{0};
        LoopCapture capture(1);
        TransposeRenderer::Config config;
        config.onBuilderBlock = [&] { ++blocks; };
        TransposeRenderer renderer(capture, config);
        renderer.setSemitones(4);
        renderer.waitUntilBuilt();
        return blocks.load();
    }();
    // An empty capture: the start pad and the prime are a few dozen blocks, the measurement
    // over a hundred more.
    ASSERT_GT(wholeBuild, 100);
    for (const int heldAt : {1, wholeBuild - 5}) {
        std::atomic<int> blocks{0};
        std::latch reached(1), released(1);
        LoopCapture capture(1);
        TransposeRenderer::Config config;
        config.onBuilderBlock = [&] {
            if (++blocks == heldAt) {
                reached.count_down();
                released.wait();
            }
        };
        auto renderer = std::make_unique<TransposeRenderer>(capture, config);
        renderer->setSemitones(4);
        reached.wait();
        renderer->stopBuilding();
        released.count_down();
        renderer.reset();
        EXPECT_EQ(blocks.load(), heldAt);
    }
}

} // namespace
