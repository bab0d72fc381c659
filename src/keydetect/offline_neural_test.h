#pragma once

#include "core/key_decision_engine.h"

#include <QStringList>
#include <cstdio>

// The neural detector's test modes. Each waits on the detector's own executor (the
// launch thread has nothing else to do in a test mode) and returns the exit status:
// 0 on success, 1 when decoding or a stage fails, 2 when operands are missing.
//
// Thread safety: launch thread, under a QCoreApplication.

// "--keytest-v5 files…": one line per file; always 0.
int runKeyTestV5(const QStringList& files, std::FILE* out);
// "--v5-cqt-dump input output [start]": the window's 23040 features as raw floats.
int runCqtDump(const QStringList& operands, std::FILE* out);
// "--v5-resampled-dump input output": the 661500 samples of the first window.
int runResampledDump(const QStringList& operands, std::FILE* out);
// "--v5-features file": the model's verdict on a raw feature file.
int runFeatures(const QStringList& operands, std::FILE* out);
// "--keytest-decide files…": per file, what the running program would decide from the
// same 45 s under `engine`: "name<TAB>key=… engine=…" or "name<TAB>未决定"; always 0.
int runKeyTestDecide(const QStringList& files, KeyDecisionEngine engine, std::FILE* out);
