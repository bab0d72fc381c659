#pragma once

#include <QString>
#include <optional>
#include <span>
#include <vector>

// Decodes the first audio stream of any file FFmpeg reads into mono 32-bit floats at
// `kDecodeRateHz`, through libswresample (windowed-sinc resampler, channel mean).
// Absent when the path is not a regular file, the file cannot be opened, holds no decodable audio, decodes to
// nothing, or holds more frames than fit in 32 bits. Damaged packets are skipped.
//
// Thread safety: reentrant; each call owns its decoder.
inline constexpr double kDecodeRateHz = 44100.0;
std::optional<std::vector<float>> decodeAudioFile(const QString& path);

// The test modes' slice: from `startSeconds` for at most `seconds`, each cut at the end of
// the audio; absent unless the slice holds more than 10 s (at least 441001 samples).
std::optional<std::vector<float>> sliceForTest(std::span<const float> samples, double startSeconds,
                                               double seconds);
