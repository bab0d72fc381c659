#include "keydetect/audio_mixdown.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

std::optional<std::vector<float>> mixdownSingle(const AudioBufferRef& buffer)
{
    const size_t channels = buffer.channelCount == 0 ? 1 : buffer.channelCount;
    const size_t count = buffer.byteSize / sizeof(float);
    if (channels > count)
        return std::nullopt;
    const size_t frames = count / channels;
    if (channels <= 1)
        return std::vector<float>(buffer.data, buffer.data + frames);
    std::vector<float> mono(frames);
    for (size_t i = 0; i < frames; ++i) {
        float sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += buffer.data[i * channels + c];
        mono[i] = sum / static_cast<float>(channels);
    }
    return mono;
}

// One channel of a buffer: its samples k, k + stride, k + 2·stride … below `count`.
struct ChannelView {
    const float* data;
    size_t first;
    size_t stride;
    size_t length;
    float at(size_t i) const { return data[first + i * stride]; }
};

} // namespace

std::optional<std::vector<float>> mixdownToMono(std::span<const AudioBufferRef> buffers)
{
    if (buffers.size() == 1 && buffers.front().data && buffers.front().byteSize > 0)
        return mixdownSingle(buffers.front());

    std::vector<ChannelView> channels;
    for (const AudioBufferRef& buffer : buffers) {
        if (!buffer.data || buffer.byteSize == 0)
            continue;
        const size_t count = buffer.byteSize / sizeof(float);
        if (buffer.channelCount < 2) {
            channels.push_back({buffer.data, 0, 1, count});
            continue;
        }
        const size_t stride = buffer.channelCount;
        for (size_t k = 0; k < stride; ++k)
            channels.push_back({buffer.data, k, stride, count > k ? (count - k + stride - 1) / stride : 0});
    }
    if (channels.empty())
        return std::nullopt;
    size_t length = channels.front().length;
    for (const ChannelView& channel : channels)
        length = std::min(length, channel.length);
    if (length < 1)
        return std::nullopt;

    std::vector<float> mono(length);
    const auto channelCount = static_cast<float>(channels.size());
    for (size_t i = 0; i < length; ++i) {
        float sum = 0;
        for (const ChannelView& channel : channels)
            sum += channel.at(i);
        mono[i] = sum / channelCount;
    }
    return mono;
}

std::vector<float> resample(const std::vector<float>& samples, double fromHz, double toHz)
{
    if (samples.empty() || fromHz <= 0 || toHz <= 0 || std::abs(fromHz - toHz) <= 1.0)
        return samples;
    const double ratio = toHz / fromHz;
    const double length = std::floor(ratio * static_cast<double>(samples.size()));
    if (length < 2)
        return samples;
    const auto outCount = static_cast<size_t>(length);
    const size_t last = samples.size() - 1;
    std::vector<float> out(outCount);
    for (size_t i = 0; i < outCount; ++i) {
        const double p = static_cast<double>(i) / ratio;
        const auto j = static_cast<size_t>(p);
        const float a = samples[std::min(j, last)];
        const float b = samples[std::min(j + 1, last)];
        const auto fraction = static_cast<float>(p - static_cast<double>(j));
        out[i] = a + (b - a) * fraction;
    }
    return out;
}
