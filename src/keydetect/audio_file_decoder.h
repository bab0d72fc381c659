#pragma once

#include <QString>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

// Decodes the first audio stream of any file FFmpeg reads into mono 32-bit floats at
// `kDecodeRateHz`, through libswresample (windowed-sinc resampler, channel mean).
// Absent when the path is not a regular file, the file cannot be opened, holds no decodable audio, decodes to
// nothing, or holds more frames than fit in 32 bits. Damaged packets are skipped.
//
// Decoding stops once `sampleLimit` samples are out (the rest of the file is not read); the
// result then ends within one packet past the limit. The samples decoded are the same as
// the first ones of a whole decode.
//
// Thread safety: reentrant; each call owns its decoder.
inline constexpr double kDecodeRateHz = 44100.0;
inline constexpr std::size_t kWholeFile = std::numeric_limits<std::size_t>::max();
std::optional<std::vector<float>> decodeAudioFile(const QString& path, std::size_t sampleLimit = kWholeFile);

// The test modes' slice: from `startSeconds` for at most `seconds`, each cut at the end of
// the audio; absent unless the slice holds more than 10 s (at least 441001 samples).
std::optional<std::vector<float>> sliceForTest(std::span<const float> samples, double startSeconds,
                                               double seconds);

// That slice of a file, decoding only as far as the slice reaches: a long file costs no
// more than its first startSeconds + seconds.
struct DecodedSlice {
    std::vector<float> samples;
    std::size_t decodedSamples = 0; // how many the decoder produced to cut it
};
std::optional<DecodedSlice> decodeSliceForTest(const QString& path, double startSeconds, double seconds);
