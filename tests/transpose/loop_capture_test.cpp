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
void appendCounting(LoopCapture& capture, int64_t first, int64_t frames)
{
    std::vector<float> samples;
    for (int64_t i = first; i < first + frames; ++i)
        samples.insert(samples.end(), {static_cast<float>(i), -static_cast<float>(i)});
    const AudioBufferRef buffer = bufferOf(samples, 2);
    capture.append(std::span(&buffer, 1));
}

TEST(LoopCapture, ReadsWaitForEnoughFramesAndAFullRingKeepsTheNewest)
{
    LoopCapture full(7);
    appendCounting(full, 0, 100000);
    EXPECT_EQ(full.readFrame(), 100000 - LoopCapture::kCapacityFrames);
    EXPECT_EQ(full.queuedFrames(), LoopCapture::kCapacityFrames);
    std::vector<float> l(3), r(3);
    ASSERT_TRUE(full.read(l.data(), r.data(), 3));
    EXPECT_EQ(l, (std::vector<float>{4000, 4001, 4002}));
    EXPECT_EQ(r, (std::vector<float>{-4000, -4001, -4002}));

    LoopCapture capture(7, 10);
    appendCounting(capture, 0, 8);
    std::vector<float> left(9, 5.0f), right(9);
    EXPECT_FALSE(capture.read(left.data(), right.data(), 9));
    EXPECT_EQ(left, std::vector<float>(9, 5.0f));
    EXPECT_EQ(capture.trimTo(3), 5);
    EXPECT_EQ(capture.trimTo(3), 0);
    appendCounting(capture, 8, 5); // positions 8, 9, 0, 1, 2
    ASSERT_TRUE(capture.read(left.data(), right.data(), 8));
    std::vector<float> expected(8);
    std::iota(expected.begin(), expected.end(), 5.0f);
    EXPECT_EQ(std::vector<float>(left.begin(), left.begin() + 8), expected);
}

TEST(LoopCapture, BufferShapes)
{
    struct Case {
        const char* name;
        std::vector<std::vector<float>> buffers;
        std::vector<uint32_t> channels;
        std::vector<float> left, right; // what was queued
    };
    const Case cases[] = {
        {"mono on both sides", {{0.1f, 0.2f}}, {1}, {0.1f, 0.2f}, {0.1f, 0.2f}},
        {"no channel count is mono", {{0.1f, 0.2f}}, {0}, {0.1f, 0.2f}, {0.1f, 0.2f}},
        {"planar: the shorter decides, a third is ignored",
         {{1, 2, 3}, {-1, -2}, {9, 9, 9}},
         {1, 1, 1},
         {1, 2},
         {-1, -2}},
        {"interleaved: the first two channels", {{1, -1, 7, 7, 2, -2, 7, 7}}, {4}, {1, 2}, {-1, -2}},
        {"planar with an empty buffer", {{1, 2, 3}, {}}, {1, 1}, {}, {}},
        {"no buffer", {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopCapture capture(7, 16);
        std::vector<AudioBufferRef> list;
        for (size_t i = 0; i < c.buffers.size(); ++i)
            list.push_back(bufferOf(c.buffers[i], c.channels[i]));
        capture.append(list);
        ASSERT_EQ(capture.queuedFrames(), static_cast<int64_t>(c.left.size()));
        std::vector<float> l(c.left.size()), r(c.left.size());
        capture.read(l.data(), r.data(), static_cast<int64_t>(l.size()));
        EXPECT_EQ(l, c.left);
        EXPECT_EQ(r, c.right);
    }
}

} // namespace
