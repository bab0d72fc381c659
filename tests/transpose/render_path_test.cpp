// The render path in virtual time, without a server: allocations and clock drift are exact.
#include "transpose/loop_capture.h"
#include "transpose/tone_measure.h"
#include "transpose/transpose_renderer.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <latch>
#include <memory>

namespace {
// Counted on the render thread (the test's) only: the builder thread allocates by design.
thread_local bool g_counting = false;
std::atomic<long> g_allocations{0};
[[maybe_unused]] void count()
{
    if (g_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

// Rubber Band allocates with malloc and posix_memalign as well as new (which calls malloc):
// the C allocator is interposed. Not under AddressSanitizer, which owns the allocator.
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
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
void* aligned_alloc(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}
}
#endif

namespace {

constexpr double kRate = 48000.0;

struct Output {
    std::vector<float> left, right;
};

// A renderer on a ring fed with 440 Hz left and 660 Hz right at 0.4 (silence before `onset`
// frames), as a capture stream delivers it at `speed` times the output's rate.
class Rig {
public:
    explicit Rig(std::optional<int> semitones = {}, double speed = 1.0, int64_t onset = 0)
        : m_speed(speed), m_onset(onset)
    {
        if (semitones) {
            renderer.setSemitones(*semitones);
            renderer.waitUntilBuilt();
        }
    }

    // Appends what the capture clock delivered while the output played `outputFrames`.
    void feed(uint32_t outputFrames)
    {
        m_owed += outputFrames * m_speed;
        const auto frames = static_cast<uint32_t>(m_owed);
        m_owed -= frames;
        for (uint32_t i = 0; i < frames; ++i, ++m_frame) {
            const double t = static_cast<double>(m_frame) / kRate, level = m_frame < m_onset ? 0.0 : 0.4;
            m_block[2 * i] = static_cast<float>(level * std::sin(2 * std::numbers::pi * 440 * t));
            m_block[2 * i + 1] = static_cast<float>(level * std::sin(2 * std::numbers::pi * 660 * t));
        }
        const AudioBufferRef buffer{2, frames * 8, m_block.data()};
        capture.append(std::span(&buffer, 1));
    }
    // One output request, after `delivered` frames of the capture clock.
    void period(uint32_t delivered, uint32_t frames = 256)
    {
        if (delivered > 0)
            feed(delivered);
        renderer.render(m_out.data(), frames);
    }
    // Plays `seconds` in periods of 256 frames; calls `each` before every period.
    template <typename Each = void (*)(int64_t)> Output play(double seconds, Each each = [](int64_t) {})
    {
        Output out;
        for (int64_t p = 0; p < static_cast<int64_t>(seconds * kRate / 256); ++p) {
            each(p);
            period(256);
            for (uint32_t i = 0; i < 256; ++i) {
                out.left.push_back(m_out[2 * i]);
                out.right.push_back(m_out[2 * i + 1]);
            }
        }
        return out;
    }

    LoopCapture capture{1};
    TransposeRenderer renderer{capture, {}};

private:
    double m_speed, m_owed = 0;
    int64_t m_onset, m_frame = 0;
    std::vector<float> m_block = std::vector<float>(2 * 10000), m_out = std::vector<float>(2 * 9000);
};

float largestStep(const std::vector<float>& side, size_t from)
{
    float largest = 0;
    for (size_t i = from + 1; i < side.size(); ++i)
        largest = std::max(largest, std::abs(side[i] - side[i - 1]));
    return largest;
}

TEST(TransposeRenderer, RenderPathAllocatesNothingOverTenSecondsOfShiftsAndBypass)
{
    Rig rig(3);
    for (int i = 0; i < 50; ++i) // a stretcher's first blocks are not the render path
        rig.period(256);
    g_allocations = 0;
    g_counting = true;
    const int periods = static_cast<int>(10 * kRate / 256);
    for (int p = 0; p < periods; ++p) {
        // Built on the renderer's own thread, outside the render path; 5 leaves bypass.
        for (const auto& [at, semitones] :
             {std::pair{periods / 4, -2}, {periods / 2, 0}, {3 * periods / 4, 5}}) {
            if (p == at) {
                rig.renderer.setSemitones(semitones);
                rig.renderer.waitUntilBuilt();
            }
        }
        rig.period(256);
    }
    rig.period(9000, 9000); // a request over the staging size is split, not refused
    g_counting = false;
    if (TONIVOX_COUNTS_ALLOCATIONS) {
        EXPECT_EQ(g_allocations.load(), 0);
    }
}

TEST(TransposeRenderer, AtZeroTheOutputIsTheInputSampleForSampleAlsoForLongRequests)
{
    Rig rig;
    std::vector<float> input(2 * (8193 + 256)); // the request and the bypass's starting margin
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<float>(std::sin(0.001 * static_cast<double>(i * i % 100000)));
    const AudioBufferRef buffer{2, static_cast<uint32_t>(input.size() * 4), input.data()};
    rig.capture.append(std::span(&buffer, 1));
    std::vector<float> output(2 * 8193, 9.0f);
    rig.renderer.render(output.data(), 8193);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), input.begin()));
}

// The delay reported for a shift (the latency the user sees) is its output's delay, less no
// more than the queue target.
TEST(TransposeRenderer, TheDelayItReportsIsTheDelayItsOutputHas)
{
    for (const int semitones : {-6, 6}) {
        Rig rig(semitones, 1.0, 48000);
        const Output out = rig.play(2.0);
        const auto heard =
            std::find_if(out.left.begin(), out.left.end(), [](float x) { return std::abs(x) > 0.1f; });
        ASSERT_NE(heard, out.left.end()) << semitones;
        const int64_t delay = (heard - out.left.begin()) - 48000;
        const auto reported = rig.renderer.startDelayFrames(semitones);
        ASSERT_TRUE(reported) << semitones;
        EXPECT_GE(delay, static_cast<int64_t>(*reported) - 96) << semitones; // 2 ms
        EXPECT_LE(delay, static_cast<int64_t>(*reported + rig.renderer.captureTargetFrames())) << semitones;
    }
}

TEST(TransposeRenderer, ACaptureClockAheadOrInBurstsNeitherGrowsTheDelayNorCutsTheSound)
{
    // 0.1 % faster capture over five minutes would queue 14400 frames (300 ms) untrimmed.
    for (const int semitones : {0, 4}) {
        Rig rig(semitones, 1.001);
        int64_t worst = 0;
        const double seconds = semitones == 0 ? 300.0 : 60.0; // the stretcher costs real time
        const Output out =
            rig.play(seconds, [&](int64_t) { worst = std::max(worst, rig.capture.queuedFrames()); });
        EXPECT_LE(worst, rig.renderer.captureTargetFrames() + 256) << semitones;
        EXPECT_NEAR(static_cast<double>(rig.renderer.trimmedFrames()), seconds * kRate * 0.001, 2048)
            << semitones;
        EXPECT_EQ(rig.renderer.underrunFrames(), 0) << semitones;
        // A tone's own step is at most 2 pi f / rate times its peak (0.4, within 3 dB after the
        // stretcher); frames dropped unfaded cut it at a random phase, up to twice the peak.
        const double ratio = std::pow(2.0, semitones / 12.0),
                     peak = 0.4 * (semitones == 0 ? 1.0 : std::sqrt(2.0));
        const auto step = [&](double f) {
            return static_cast<float>(4 * std::numbers::pi * f * ratio / kRate * peak);
        };
        EXPECT_LT(largestStep(out.left, 24000), step(440)) << semitones;
        EXPECT_LT(largestStep(out.right, 24000), step(660)) << semitones;
        // The 2 s level report of the field log: input and output at the tone's level.
        const auto report = rig.renderer.takeLevelReport();
        ASSERT_TRUE(report) << semitones;
        EXPECT_NEAR(report->inRms, 0.4 / std::sqrt(2.0), 0.01) << semitones;
        EXPECT_NEAR(20 * std::log10(report->outRms / report->inRms), 0.0, 3.0) << semitones;

        // Fragments of five periods every fifth period: the queue swings past the target, but
        // nothing stays.
        Rig bursts(semitones);
        for (int p = 0; p < static_cast<int>(20 * kRate / 256); ++p)
            bursts.period(p % 5 == 0 ? 5 * 256 : 0);
        EXPECT_EQ(bursts.renderer.trimmedFrames(), 0) << semitones;
    }
}

// Each change is built while the output plays on: the output never falls silent, the new
// pitch is there once the build and fade are through, and the old one never comes back.
TEST(TransposeRenderer, AChangeOfShiftPlaysOnWithoutAGap)
{
    Rig rig;
    rig.play(0.5);
    double pitch_Hz = 440;
    for (const int semitones : {7, -5, 0, 3}) {
        rig.renderer.setSemitones(semitones);
        const Output out = rig.play(0.5, [&](int64_t period) {
            if (period == 4)
                rig.renderer.waitUntilBuilt();
        });
        // A 0.4 tone is under 0.01 for a sample or two at each zero crossing, two tones in a
        // fade for a few dozen where their phases oppose; a render period of silence is a gap.
        size_t longest = 0;
        for (size_t i = 0, run = 0; i < out.left.size(); ++i) {
            run = std::abs(out.left[i]) < 0.01f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        EXPECT_LT(longest, 96u) << semitones;
        const double next_Hz = 440 * std::pow(2.0, semitones / 12.0);
        for (size_t at = 6 * 256; at + 960 <= out.left.size(); at += 480) {
            const std::vector<float> window(out.left.begin() + static_cast<std::ptrdiff_t>(at),
                                            out.left.begin() + static_cast<std::ptrdiff_t>(at + 960));
            EXPECT_GT(tone_measure::magnitudeAt(window, kRate, next_Hz),
                      4 * tone_measure::magnitudeAt(window, kRate, pitch_Hz))
                << semitones << " at " << at;
        }
        pitch_Hz = next_Hz;
    }
    EXPECT_EQ(rig.renderer.underrunFrames(), 0);
}

// Capture and output in one graph (PipeWire): each fragment arrives just before the request
// it serves. The bypass starts with a margin queued, so a late fragment costs nothing; a lost
// one costs one gap, after which the margin is queued again before the sound comes back.
TEST(TransposeRenderer, TheBypassKeepsAMarginSoThatALateFragmentLeavesNoGap)
{
    Rig rig;
    const auto periods = [&](std::initializer_list<uint32_t> delivered, int times = 1) {
        for (int i = 0; i < times; ++i) {
            for (const uint32_t frames : delivered)
                rig.period(frames);
        }
    };
    periods({256}, 100);
    periods({0, 512}); // late, then delivered with the next
    periods({256}, 100);
    EXPECT_EQ(rig.renderer.underrunFrames(), 0);
    EXPECT_EQ(rig.renderer.trimmedFrames(), 0);
    periods({0, 0}); // lost: dry twice, the second time while the margin refills
    periods({256}, 100);
    EXPECT_EQ(rig.renderer.underrunFrames(), 512);
    periods({0, 512});
    EXPECT_EQ(rig.renderer.underrunFrames(), 512);
}

// The program starts with a stored shift before the capture delivers anything: the stretcher's
// silent start is no gap in the sound, so the field log's underrun count stays at zero; a gap
// once the sound runs counts.
TEST(TransposeRenderer, OnlyAGapInTheSoundCountsAsAnUnderrun)
{
    Rig rig(4);
    for (int i = 0; i < 50; ++i)
        rig.period(0);
    EXPECT_EQ(rig.renderer.underrunFrames(), 0);
    rig.play(1.0);
    const int64_t running = rig.renderer.underrunFrames();
    for (int i = 0; i < 50; ++i)
        rig.period(0);
    EXPECT_GT(rig.renderer.underrunFrames(), running + 40 * 256);
}

// A stop while the builder is in the start pad of a build, or in the delay measurement after
// it, ends that work within the block: a quit right after a change waits for no whole build.
TEST(TransposeRenderer, AStopEndsABuildAndItsDelayMeasurementWithinTheBlock)
{
    const int wholeBuild = [] {
        std::atomic<int> blocks{0};
        LoopCapture capture(1);
        TransposeRenderer renderer(capture, {.onBuilderBlock = [&] { ++blocks; }});
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
        auto renderer =
            std::make_unique<TransposeRenderer>(capture, TransposeRenderer::Config{.onBuilderBlock = [&] {
                                                    if (++blocks == heldAt) {
                                                        reached.count_down();
                                                        released.wait();
                                                    }
                                                }});
        renderer->setSemitones(4);
        reached.wait();
        renderer->stopBuilding();
        released.count_down();
        renderer.reset();
        EXPECT_EQ(blocks.load(), heldAt);
    }
}

} // namespace
