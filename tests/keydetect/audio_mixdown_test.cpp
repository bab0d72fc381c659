#include "keydetect/audio_channel_detector.h"
#include "keydetect/audio_mixdown.h"
#include "keydetect/synth.h"

#include <gtest/gtest.h>

namespace {

AudioBufferRef buffer(const std::vector<float>& samples, uint32_t channels)
{
    return {channels, static_cast<uint32_t>(samples.size() * sizeof(float)), samples.data()};
}

TEST(Mixdown, OneInterleavedBufferAveragesEachFrame)
{
    const std::vector<float> stereo = {1, 3, 5, 7};
    const std::array list{buffer(stereo, 2)};
    EXPECT_EQ(mixdownToMono(list), (std::vector<float>{2, 6}));

    const std::vector<float> threeWithTail = {1, 2, 3, 4, 5, 6, 7}; // a trailing partial frame is dropped
    const std::array three{buffer(threeWithTail, 3)};
    EXPECT_EQ(mixdownToMono(three), (std::vector<float>{2, 5}));

    const std::vector<float> mono = {0.5f, -0.5f, 0.25f};
    for (uint32_t channels : {0u, 1u}) {
        const std::array one{buffer(mono, channels)};
        EXPECT_EQ(mixdownToMono(one), mono);
    }
}

TEST(Mixdown, InconsistentOrEmptyBufferListsGiveNothing)
{
    const std::vector<float> two = {1, 2};
    const std::array tooManyChannels{buffer(two, 3)};
    EXPECT_FALSE(mixdownToMono(tooManyChannels));
    EXPECT_FALSE(mixdownToMono({}));
    const std::array noData{AudioBufferRef{2, 0, nullptr}};
    EXPECT_FALSE(mixdownToMono(noData));
    // Less than one float of data: no channel has a sample.
    const std::array crumbs{AudioBufferRef{1, 3, two.data()}, AudioBufferRef{1, 2, two.data()}};
    EXPECT_FALSE(mixdownToMono(crumbs));
}

TEST(Mixdown, SeveralBuffersAreChannelsCutToTheShortest)
{
    const std::vector<float> left = {1, 2, 3, 4};
    const std::vector<float> right = {3, 4, 5};
    const std::vector<float> pair = {10, 20, 30, 40, 50}; // channels (10, 30, 50) and (20, 40)
    const std::array list{buffer(left, 1), AudioBufferRef{1, 0, nullptr}, buffer(right, 1)};
    EXPECT_EQ(mixdownToMono(list), (std::vector<float>{2, 3, 4}));
    const std::array withStereo{buffer(left, 1), buffer(pair, 2)};
    EXPECT_EQ(mixdownToMono(withStereo), (std::vector<float>{31.0f / 3.0f, 24.0f}));
}

TEST(Resample, LeavesNearlyEqualRatesAndDegenerateInputAlone)
{
    const std::vector<float> input = {0, 1, 2, 3};
    EXPECT_EQ(resample(input, 44101, 44100), input);
    EXPECT_EQ(resample(input, 0, 44100), input);
    EXPECT_EQ(resample(input, 48000, -1), input);
    EXPECT_EQ(resample({}, 48000, 44100), std::vector<float>{});
    EXPECT_EQ(resample({1, 2}, 48000, 22000), (std::vector<float>{1, 2})); // would give 1 sample
}

TEST(Resample, InterpolatesLinearlyToTheNewLength)
{
    EXPECT_EQ(resample(std::vector<float>(48000, 0.25f), 48000, 44100).size(), 44100u);
    // Doubling the rate puts midpoints between samples; the last sample repeats at the end.
    EXPECT_EQ(resample({0, 2, 4}, 10, 20), (std::vector<float>{0, 1, 2, 3, 4, 4}));
    const auto tone = resample(synth::sine(1000, 1.0, 48000, 0.5f), 48000, 44100);
    EXPECT_NEAR(synth::zeroCrossingFrequency(tone, 44100), 1000, 2);
}

TEST(Musicality, ScoresLoudOrTonalAudioAboveTheGateAndSilenceAtZero)
{
    const auto sine = synth::sine(440, 1.0, 44100, 1.0f);
    EXPECT_EQ(AudioChannelDetector::musicality(std::span(sine).first(2048)), 0.0);
    EXPECT_GT(AudioChannelDetector::musicality(std::span(sine).first(2049)),
              AudioChannelDetector::kMusicalityGate);
    EXPECT_GT(AudioChannelDetector::musicality(sine), 7.0); // rms ≈ 0.707 alone gives 7
    EXPECT_EQ(AudioChannelDetector::musicality(std::vector<float>(44100, 0.0f)), 0.0);
    EXPECT_EQ(AudioChannelDetector::musicality(std::vector<float>(44100, 0.00005f)), 0.0);

    // A quiet tone passes through its concentration, quiet white noise does not.
    const auto quiet = synth::sine(440, 1.0, 44100, 0.001f);
    EXPECT_GT(AudioChannelDetector::musicality(quiet), AudioChannelDetector::kMusicalityGate);
    std::vector<float> noise(44100);
    uint32_t state = 12345;
    for (float& v : noise) {
        state = state * 1664525u + 1013904223u;
        v = 0.01f * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
    }
    EXPECT_LT(AudioChannelDetector::musicality(noise), AudioChannelDetector::kMusicalityGate);
}

TEST(ChannelListing, DropsSourcesWithoutChannelsAndFallsBackToTheNumber)
{
    std::vector<AudioSourceInfo> sources(3);
    sources[0] = {7, QStringLiteral("Monitor of Loopback"), QStringLiteral("loop.monitor"), 2, 48000.0, std::nullopt};
    sources[1] = {8, std::nullopt, std::nullopt, 1, std::nullopt, std::nullopt};
    sources[2] = {9, QStringLiteral("No inputs"), QStringLiteral("none"), 0, 44100.0, std::nullopt};
    const auto channels = AudioChannelDetector::channelsFrom(sources);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(channels[0],
              (AudioChannel{7, QStringLiteral("Monitor of Loopback"), QStringLiteral("loop.monitor")}));
    EXPECT_EQ(channels[1], (AudioChannel{8, QStringLiteral("Device 8"), QStringLiteral("8")}));
}

} // namespace
