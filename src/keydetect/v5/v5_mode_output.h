#pragma once

#include "keydetect/v5/key_detector_v5.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <span>
#include <vector>

// What the neural test modes print and the raw float files they write and read. The
// line builders are pure; the file helpers do plain file I/O. Thread-safe.
namespace v5_mode_output {

// "--keytest-v5": "<name>\tkey=<key> confidence=<c>% margin=<m>% windows=0.0,7.5,15.0"
// for a measurement; otherwise "<name>\tV5 失败：" + `error`, or "unknown error" when
// there is none.
QString keytestV5Line(const QString& name, const std::optional<KeyDetectorV5::Measurement>& measurement,
                      const std::optional<QString>& error);

// "--v5-features": "key=<key> confidence=<c>% margin=<m>%" from the 24 probabilities
// (stable ranking); nothing unless there are exactly 24, which the mode reports as
// "模型预测失败".
std::optional<QString> featuresLine(std::span<const double> probabilities);

// The optional start operand of "--v5-cqt-dump" (the third operand): the whole text as
// a C-locale decimal number; 0 when absent, not a number, or not finite.
double startSecondsOperand(const QStringList& operands);

// Raw native-endian float32 files without a header.
bool writeFloats(const QString& path, std::span<const float> values);
// Nothing when the file cannot be read; trailing bytes short of a whole float are
// ignored (count = size / 4).
std::optional<std::vector<float>> readFloats(const QString& path);

} // namespace v5_mode_output
