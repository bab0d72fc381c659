#pragma once

#include <QMap>
#include <QString>
#include <functional>
#include <optional>

// The files shared with the host plug-in, and the application's state-file writer.
// Every file operation swallows its errors: the plug-in link never fails loudly.
//
// Thread safety: main thread only (lastSeq and the metadata provider are unguarded).
namespace PluginIPC {

using ParamMap = QMap<QString, double>;
using MetaProvider = std::function<QMap<QString, QString>()>;
// Milliseconds since the Unix epoch.
using Clock = std::function<qint64()>;

inline constexpr char kStateFile[] = "plugin_state.txt";
inline constexpr char kParamsBackFile[] = "plugin_params_back.txt";
inline constexpr char kAliveFile[] = "rigbox_alive.txt";
inline constexpr char kPreferVariantFile[] = "prefer_variant.txt";
inline constexpr char kPluginLogFile[] = "rigbox_debug.log";
inline constexpr char kAppLogFile[] = "app_debug.log";
// The logs of local detection and of the key-link self-check; appended with capped_log.
inline constexpr char kDetectLogFile[] = "detect_debug.log";
inline constexpr char kKeyLinkCheckLogFile[] = "keylink_check.log";

// ~/Library/Application Support/Tonivox (the host plug-in reads it there).
QString dir();
// Full path of a file in dir().
QString path(const char* fileName);
// The state file, "plugin_state.txt".
QString file();

void setMetaProvider(MetaProvider provider);
// The seq of the last non-heartbeat state write.
std::optional<qint64> lastSeq();

// Writes the whole parameter map. A real change gets a new seq (nextSeq); a heartbeat
// reuses the last one. Never fails.
void write(const ParamMap& params, bool heartbeat);
// Two lines "seq=<new seq>" and "appRunning=0", only when something was written before;
// lastSeq() stays as it was.
void markAppQuit();
// Appends one line to "app_debug.log", which is kept to capped_log's size.
void chainLog(const QString& text);

// The state file's text for a seq, a map and metadata (pure; used by write()). Numbers
// have four decimals and a point in any locale; control characters in names and values
// become spaces, so outside text (a song title) cannot forge a line for the plug-in.
QByteArray stateText(qint64 seq, const ParamMap& params, const QMap<QString, QString>& meta);
// The seq of a new record: the clock's milliseconds, but always above the last seq issued,
// so that the plug-in sees every change even within one millisecond or after the clock
// stepped back (pure).
qint64 nextSeq(std::optional<qint64> lastIssued, qint64 now_ms);
// Milliseconds since the Unix epoch, from the installed clock.
qint64 nowMillis();
// The clock seqs come from; nullptr restores the wall clock.
void setClock(Clock clock);
// Atomic replacement of a file without a disk sync (core/atomic_file.h); false on any
// failure. The state file, "prefer_variant.txt" and a new log file are written with it.
bool writeAtomically(const QString& filePath, const QByteArray& bytes);

// Forgets the seqs, the provider and an installed clock (tests only).
void resetForTests();

} // namespace PluginIPC
