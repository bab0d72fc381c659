#include "keydetect/audio_channel_detector.h"
#include "keydetect/audio_mixdown.h"
#include "keydetect/synth.h"
#include "transpose/tone_measure.h"

#include <gtest/gtest.h>

namespace {

TEST(Mixdown, BufferListsOfEveryShape)
{
    const std::vector<float> a = {1, 3, 5, 7}, b = {1, 2, 3, 4, 5, 6, 7}, c = {0.5f, -0.5f, 0.25f},
                             d = {3, 4, 5}, e = {10, 20, 30, 40, 50}, f = {1, 2, 3, 4}, two = {1, 2};
    const auto buffer = [](const std::vector<float>& samples, uint32_t channels) {
        return AudioBufferRef{channels, static_cast<uint32_t>(samples.size() * sizeof(float)),
                              samples.data()};
    };
    struct Case {
        const char* name;
        std::vector<AudioBufferRef> list;
        std::optional<std::vector<float>> mono;
    };
    const Case cases[] = {
        {"interleaved stereo averages each frame", {buffer(a, 2)}, std::vector<float>{2, 6}},
        {"a trailing partial frame is dropped", {buffer(b, 3)}, std::vector<float>{2, 5}},
        {"mono", {buffer(c, 1)}, c},
        {"no channel count is mono", {buffer(c, 0)}, c},
        {"planar channels cut to the shortest, empty ones skipped",
         {buffer(f, 1), AudioBufferRef{1, 0, nullptr}, buffer(d, 1)},
         std::vector<float>{2, 3, 4}},
        {"planar beside interleaved: (10, 30, 50) and (20, 40)",
         {buffer(f, 1), buffer(e, 2)},
         std::vector<float>{31.0f / 3.0f, 24.0f}},
        {"more channels than samples", {buffer(two, 3)}, std::nullopt},
        {"no buffer", {}, std::nullopt},
        {"no data", {AudioBufferRef{2, 0, nullptr}}, std::nullopt},
        {"less than one float",
         {AudioBufferRef{1, 3, a.data()}, AudioBufferRef{1, 2, a.data()}},
         std::nullopt},
    };
    for (const Case& k : cases)
        EXPECT_EQ(mixdownToMono(k.list), k.mono) << k.name;
}

TEST(Resample, InterpolatesLinearlyAndLeavesNearlyEqualRatesAndDegenerateInputAlone)
{
    const std::vector<float> input = {0, 1, 2, 3};
    EXPECT_EQ(resample(input, 44101, 44100), input);
    EXPECT_EQ(resample(input, 0, 44100), input);
    EXPECT_EQ(resample(input, 48000, -1), input);
    EXPECT_EQ(resample({}, 48000, 44100), std::vector<float>{});
    EXPECT_EQ(resample({1, 2}, 48000, 22000), (std::vector<float>{1, 2})); // would give 1 sample
    // Doubling the rate puts midpoints between samples; the last sample repeats at the end.
    EXPECT_EQ(resample({0, 2, 4}, 10, 20), (std::vector<float>{0, 1, 2, 3, 4, 4}));
    const auto tone = resample(synth::sine(1000, 1.0, 48000, 0.5f), 48000, 44100);
    EXPECT_EQ(tone.size(), 44100u);
    EXPECT_NEAR(tone_measure::peakFrequency(tone, 44100, 900, 1100), 1000, 2);
}

TEST(Musicality, ScoresLoudOrTonalAudioAboveTheGateAndSilenceAndNoiseBelow)
{
    std::vector<float> noise(44100);
    uint32_t state = 12345;
    for (float& v : noise) {
        state = state * 1664525u + 1013904223u;
        v = 0.01f * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
    }
    const auto sine = synth::sine(440, 1.0, 44100, 1.0f);
    EXPECT_GT(AudioChannelDetector::musicality(sine), AudioChannelDetector::kMusicalityGate);
    // A quiet tone passes through its concentration; quiet noise does not.
    EXPECT_GT(AudioChannelDetector::musicality(synth::sine(440, 1.0, 44100, 0.001f)),
              AudioChannelDetector::kMusicalityGate);
    EXPECT_LT(AudioChannelDetector::musicality(noise), AudioChannelDetector::kMusicalityGate);
    EXPECT_EQ(AudioChannelDetector::musicality(std::span(sine).first(2048)), 0.0); // too short
    EXPECT_EQ(AudioChannelDetector::musicality(std::vector<float>(44100, 0.0f)), 0.0);
    EXPECT_EQ(AudioChannelDetector::musicality(std::vector<float>(44100, 0.00005f)), 0.0);
}

TEST(ChannelListing, DropsSourcesWithoutChannelsAndFallsBackToTheNumber)
{
    const std::vector<AudioSourceInfo> sources = {
        {7, QStringLiteral("Monitor of Loopback"), QStringLiteral("loop.monitor"), 2, 48000.0, std::nullopt},
        {8, std::nullopt, std::nullopt, 1, std::nullopt, std::nullopt},
        {9, QStringLiteral("No inputs"), QStringLiteral("none"), 0, 44100.0, std::nullopt},
    };
    EXPECT_EQ(
        AudioChannelDetector::channelsFrom(sources),
        (std::vector<AudioChannel>{{7, QStringLiteral("Monitor of Loopback"), QStringLiteral("loop.monitor")},
                                   {8, QStringLiteral("Device 8"), QStringLiteral("8")}}));
}

} // namespace
