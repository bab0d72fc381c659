#include "keydetect/audio_file_decoder.h"

#include "keydetect/key_detector_v2.h"

#include <QFileInfo>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>

namespace {

constexpr size_t kMinSliceSamples = 441001;
constexpr uint64_t kMaxFrames = std::numeric_limits<uint32_t>::max();

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrFreer {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Samples at 44.1 kHz of a span in seconds; negative spans are empty.
size_t samplesOf(double seconds)
{
    return static_cast<size_t>(std::max(0.0, seconds * kDecodeRateHz));
}

// The file as 44.1 kHz mono floats, converted frame by frame as it decodes.
class Decoder {
public:
    bool open(const QString& path)
    {
        AVFormatContext* format = nullptr;
        if (avformat_open_input(&format, path.toUtf8().constData(), nullptr, nullptr) < 0)
            return false;
        m_format.reset(format);
        if (avformat_find_stream_info(format, nullptr) < 0)
            return false;
        const AVCodec* codec = nullptr;
        m_stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (m_stream < 0 || !codec)
            return false;
        m_codec.reset(avcodec_alloc_context3(codec));
        if (!m_codec ||
            avcodec_parameters_to_context(m_codec.get(), format->streams[m_stream]->codecpar) < 0 ||
            avcodec_open2(m_codec.get(), codec, nullptr) < 0)
            return false;
        return m_codec->sample_rate > 0 && m_codec->ch_layout.nb_channels > 0;
    }

    // Up to the end of the file, or until `sampleLimit` samples are out. Samples the
    // resampler has put out are final, so stopping early changes none of them.
    std::optional<std::vector<float>> decode(size_t sampleLimit)
    {
        std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
        std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
        if (!packet || !frame)
            return std::nullopt;
        while (m_output.size() < sampleLimit && av_read_frame(m_format.get(), packet.get()) >= 0) {
            if (packet->stream_index == m_stream) {
                // A damaged packet is skipped, as players do.
                if (avcodec_send_packet(m_codec.get(), packet.get()) >= 0 && !receive(frame.get()))
                    return std::nullopt;
            }
            av_packet_unref(packet.get());
        }
        if (m_output.size() < sampleLimit) {
            avcodec_send_packet(m_codec.get(), nullptr);
            if (!receive(frame.get()) || !flushResampler())
                return std::nullopt;
        }
        if (m_output.empty())
            return std::nullopt;
        return std::move(m_output);
    }

private:
    bool receive(AVFrame* frame)
    {
        while (avcodec_receive_frame(m_codec.get(), frame) >= 0) {
            const bool ok = convert(frame);
            av_frame_unref(frame);
            if (!ok)
                return false;
        }
        return true;
    }

    // The converter follows the decoded frames' own format, which may differ from the
    // stream header (and may change mid-stream).
    bool ensureResampler(const AVFrame* frame)
    {
        AVChannelLayout layout{};
        if (frame->ch_layout.nb_channels > 0 && frame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_copy(&layout, &frame->ch_layout);
        else
            av_channel_layout_default(&layout, frame->ch_layout.nb_channels > 0
                                                   ? frame->ch_layout.nb_channels
                                                   : m_codec->ch_layout.nb_channels);
        const auto format = static_cast<AVSampleFormat>(frame->format);
        const int rate = frame->sample_rate > 0 ? frame->sample_rate : m_codec->sample_rate;
        const bool same = m_resampler && m_inRate == rate && m_inFormat == format &&
                          av_channel_layout_compare(&m_inLayout, &layout) == 0;
        if (same) {
            av_channel_layout_uninit(&layout);
            return true;
        }
        if (m_resampler && !flushResampler())
            return false;
        m_resampler.reset();
        av_channel_layout_uninit(&m_inLayout);
        m_inLayout = layout;
        m_inRate = rate;
        m_inFormat = format;

        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (rate <= 0 || swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, static_cast<int>(kDecodeRateHz),
                                             &m_inLayout, format, rate, 0, nullptr) < 0)
            return false;
        m_resampler.reset(swr);
        return swr_init(swr) >= 0;
    }

    bool convert(const AVFrame* frame)
    {
        if (frame->nb_samples <= 0)
            return true;
        if (!ensureResampler(frame))
            return false;
        const int capacity = swr_get_out_samples(m_resampler.get(), frame->nb_samples);
        return capacity < 0
                   ? false
                   : append(capacity, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    }

    bool flushResampler()
    {
        if (!m_resampler)
            return true;
        const int capacity = swr_get_out_samples(m_resampler.get(), 0);
        return capacity < 0 ? false : append(capacity, nullptr, 0);
    }

    bool append(int capacity, const uint8_t** input, int inputFrames)
    {
        const size_t before = m_output.size();
        if (before + static_cast<size_t>(capacity) > kMaxFrames)
            return false;
        m_output.resize(before + static_cast<size_t>(capacity));
        auto* out = reinterpret_cast<uint8_t*>(m_output.data() + before);
        const int written = swr_convert(m_resampler.get(), &out, capacity, input, inputFrames);
        if (written < 0)
            return false;
        m_output.resize(before + static_cast<size_t>(written));
        return true;
    }

public:
    ~Decoder() { av_channel_layout_uninit(&m_inLayout); }

private:
    std::unique_ptr<AVFormatContext, FormatCloser> m_format;
    std::unique_ptr<AVCodecContext, CodecFreer> m_codec;
    std::unique_ptr<SwrContext, SwrFreer> m_resampler;
    AVChannelLayout m_inLayout{};
    int m_inRate = 0;
    AVSampleFormat m_inFormat = AV_SAMPLE_FMT_NONE;
    int m_stream = -1;
    std::vector<float> m_output;
};

} // namespace

std::optional<std::vector<float>> decodeAudioFile(const QString& path, size_t sampleLimit)
{
    // The test modes print their own verdicts; FFmpeg's diagnostics would only mix into them.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    // Devices and pipes never end (a stream of random bytes can even look like MP3 frames).
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    Decoder decoder;
    if (!decoder.open(path))
        return std::nullopt;
    return decoder.decode(sampleLimit);
}

std::optional<std::vector<float>> sliceForTest(std::span<const float> samples, double startSeconds,
                                               double seconds)
{
    const size_t count = samples.size();
    const size_t startOffset = samplesOf(startSeconds);
    const size_t length = samplesOf(seconds);
    const size_t start = std::min(count, startOffset);
    const size_t end = std::min(start + length, count);
    if (end - start < kMinSliceSamples)
        return std::nullopt;
    return std::vector<float>(samples.begin() + static_cast<long>(start),
                              samples.begin() + static_cast<long>(end));
}

std::optional<DecodedSlice> decodeSliceForTest(const QString& path, double startSeconds, double seconds)
{
    const auto decoded = decodeAudioFile(path, samplesOf(startSeconds) + samplesOf(seconds));
    if (!decoded)
        return std::nullopt;
    auto slice = sliceForTest(*decoded, startSeconds, seconds);
    if (!slice)
        return std::nullopt;
    return DecodedSlice{std::move(*slice), decoded->size()};
}

std::optional<KeyDetectorV2::LoadedAudio> KeyDetectorV2::loadForTest(const QString& path, double startSeconds,
                                                                     double seconds)
{
    auto slice = decodeSliceForTest(path, startSeconds, seconds);
    if (!slice)
        return std::nullopt;
    return LoadedAudio{std::move(slice->samples), kDecodeRateHz};
}
