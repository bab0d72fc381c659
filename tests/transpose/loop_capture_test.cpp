// The capture ring's rules: buffer shapes, the 2 s overwrite, reads that wait for enough
// frames, and the trim that bounds the reader's delay.
#include "transpose/loop_capture.h"

#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace {

AudioBufferRef bufferOf(const std::vector<float>& samples, uint32_t channels)
{
    return {channels, static_cast<uint32_t>(samples.size() * sizeof(float)), samples.data()};
}

// Interleaved stereo frames whose left sample is the frame number and right its negative.
std::vector<float> countingStereo(int64_t first, int64_t frames)
{
    std::vector<float> samples;
    for (int64_t i = 0; i < frames; ++i) {
        samples.push_back(static_cast<float>(first + i));
        samples.push_back(-static_cast<float>(first + i));
    }
    return samples;
}

TEST(LoopCapture, CaptureFarAheadDropsTheOldestFramesAndReadsFromCapacityBehindTheNewest)
{
    LoopCapture capture(7);
    const auto samples = countingStereo(0, 100000);
    const AudioBufferRef buffer = bufferOf(samples, 2);
    capture.append(std::span(&buffer, 1));
    EXPECT_EQ(capture.writeFrame(), 100000);
    EXPECT_EQ(capture.readFrame(), 4000);
    EXPECT_EQ(capture.queuedFrames(), LoopCapture::kCapacityFrames);

    std::vector<float> left(3), right(3);
    ASSERT_TRUE(capture.read(left.data(), right.data(), 3));
    EXPECT_EQ(left, (std::vector<float>{4000, 4001, 4002}));
    EXPECT_EQ(right, (std::vector<float>{-4000, -4001, -4002}));
}

TEST(LoopCapture, TooFewFramesGiveNothingAndConsumeNothing)
{
    LoopCapture capture(7);
    const auto samples = countingStereo(0, 100);
    const AudioBufferRef buffer = bufferOf(samples, 2);
    capture.append(std::span(&buffer, 1));
    std::vector<float> left(101, 5.0f), right(101, 5.0f);
    EXPECT_FALSE(capture.read(left.data(), right.data(), 101));
    EXPECT_EQ(left, std::vector<float>(101, 5.0f));
    EXPECT_EQ(capture.queuedFrames(), 100);
    EXPECT_TRUE(capture.read(left.data(), right.data(), 100));
    EXPECT_EQ(left[99], 99.0f);
}

TEST(LoopCapture, BufferShapes)
{
    LoopCapture capture(7, 16);
    std::vector<float> l(4), r(4);

    // One mono buffer: the sample on both sides; a channel count of 0 counts as mono.
    const std::vector<float> mono{0.1f, 0.2f};
    AudioBufferRef monoBuffer = bufferOf(mono, 1);
    capture.append(std::span(&monoBuffer, 1));
    monoBuffer.channelCount = 0;
    capture.append(std::span(&monoBuffer, 1));
    ASSERT_TRUE(capture.read(l.data(), r.data(), 4));
    EXPECT_EQ(l, (std::vector<float>{0.1f, 0.2f, 0.1f, 0.2f}));
    EXPECT_EQ(r, l);

    // Two buffers: non-interleaved, the shorter one decides; a third is ignored.
    const std::vector<float> left{1, 2, 3}, right{-1, -2}, other{9, 9, 9};
    const AudioBufferRef planar[] = {bufferOf(left, 1), bufferOf(right, 1), bufferOf(other, 1)};
    capture.append(planar);
    EXPECT_EQ(capture.queuedFrames(), 2);
    ASSERT_TRUE(capture.read(l.data(), r.data(), 2));
    EXPECT_EQ(l[1], 2.0f);
    EXPECT_EQ(r[1], -2.0f);

    // One interleaved buffer of four channels: the first two of each frame.
    const std::vector<float> quad{1, -1, 7, 7, 2, -2, 7, 7};
    const AudioBufferRef quadBuffer = bufferOf(quad, 4);
    capture.append(std::span(&quadBuffer, 1));
    ASSERT_TRUE(capture.read(l.data(), r.data(), 2));
    EXPECT_EQ(l[0], 1.0f);
    EXPECT_EQ(r[1], -2.0f);

    // Two buffers of which one is empty, or no buffer: nothing.
    const AudioBufferRef halfEmpty[] = {bufferOf(left, 1), AudioBufferRef{1, 0, nullptr}};
    capture.append(halfEmpty);
    capture.append({});
    EXPECT_EQ(capture.queuedFrames(), 0);
}

TEST(LoopCapture, OnlyTheFirstLayoutIsKeptForTheLog)
{
    LoopCapture capture(7);
    EXPECT_FALSE(capture.firstLayout());
    const std::vector<float> left{1}, right{2};
    const AudioBufferRef planar[] = {bufferOf(left, 1), bufferOf(right, 1)};
    capture.append(planar);
    const auto stereo = countingStereo(0, 1);
    const AudioBufferRef interleaved = bufferOf(stereo, 2);
    capture.append(std::span(&interleaved, 1));
    const auto layout = capture.firstLayout();
    ASSERT_TRUE(layout);
    EXPECT_EQ(LoopCapture::layoutLogLine(*layout), QStringLiteral("伴奏移调：采集格式 缓冲数=2 ch0=1 ch1=1"));
}

TEST(LoopCapture, TrimKeepsTheNewestFramesAndReadsWrapAroundTheRing)
{
    LoopCapture capture(7, 10);
    const auto samples = countingStereo(0, 8);
    const AudioBufferRef buffer = bufferOf(samples, 2);
    capture.append(std::span(&buffer, 1));
    EXPECT_EQ(capture.trimTo(3), 5);
    EXPECT_EQ(capture.trimTo(3), 0);
    const auto more = countingStereo(8, 5); // positions 8, 9, 0, 1, 2
    const AudioBufferRef moreBuffer = bufferOf(more, 2);
    capture.append(std::span(&moreBuffer, 1));
    std::vector<float> l(8), r(8);
    ASSERT_TRUE(capture.read(l.data(), r.data(), 8));
    std::vector<float> expected(8);
    std::iota(expected.begin(), expected.end(), 5.0f);
    EXPECT_EQ(l, expected);
}

} // namespace
