#pragma once

#include "core/offline_mode.h"

#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>
#include <span>

// The command-line test bench of the key detectors. Each mode prints its lines on standard
// output and returns the process exit status; nothing else is shown or stored.
//
// Thread safety: runs on the launch thread under a QCoreApplication.
int runOfflineKeyTest(OfflineMode mode, const QStringList& arguments);

// The arguments after the mode's switch.
QStringList offlineOperands(OfflineMode mode, const QStringList& arguments);

// "--keytest": one "name<TAB>verdict" line per file; always 0.
int runKeyTest(const QStringList& files, std::FILE* out);
// "--v5-pcm-dump input output": the decoded samples as raw floats; 2 without both operands.
int runPcmDump(const QStringList& operands, std::FILE* out);

// One output line (UTF-8, LF), flushed at once.
void printTestLine(std::FILE* out, const QString& line);

// The audio every mode analyses: 45 s from 8 s into the file, at 44.1 kHz mono.
std::optional<std::vector<float>> loadTestAudio(const QString& path);
// Writes floats as raw little-endian 32-bit values, no header; prints the "wrote" line.
bool writeFloatDump(const QString& path, std::span<const float> values, std::FILE* out);
