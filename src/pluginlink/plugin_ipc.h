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

inline constexpr char kStateFile[] = "plugin_state.txt";
inline constexpr char kParamsBackFile[] = "plugin_params_back.txt";
inline constexpr char kAliveFile[] = "rigbox_alive.txt";
inline constexpr char kPreferVariantFile[] = "prefer_variant.txt";
inline constexpr char kPluginLogFile[] = "rigbox_debug.log";
inline constexpr char kAppLogFile[] = "app_debug.log";

// ~/Library/Application Support/Tonivox (the host plug-in reads it there).
QString dir();
// Full path of a file in dir().
QString path(const char* fileName);
// The state file, "plugin_state.txt".
QString file();

void setMetaProvider(MetaProvider provider);
std::optional<qint64> lastSeq();

// Writes the whole parameter map; a heartbeat reuses the last real seq. Never fails.
void write(const ParamMap& params, bool heartbeat);
// Two lines "seq=<now ms>" and "appRunning=0", only when something was written before.
void markAppQuit();
// Appends one line to "app_debug.log".
void chainLog(const QString& text);

// The state file's text for a seq, a map and metadata (pure; used by write()).
QByteArray stateText(qint64 seq, const ParamMap& params, const QMap<QString, QString>& meta);
// Milliseconds since the Unix epoch.
qint64 nowMillis();
// Atomic UTF-8 replacement of a file; false on any failure.
bool writeAtomically(const QString& filePath, const QByteArray& bytes);

// Forgets lastSeq and the provider (tests only).
void resetForTests();

} // namespace PluginIPC
