#pragma once

#include <QString>
#include <QtGlobal>

// The application's plain-text logs ("app_debug.log", "detect_debug.log",
// "keylink_check.log"), appended line by line and kept to a bounded size: when a line
// would take a file over its cap, the file is renamed to "<name>.1" (replacing the previous
// one) and a new file starts with the line. So a log holds at most about twice its cap.
//
// Thread safety: any thread; appends from one process are serialised.
namespace capped_log {

inline constexpr qint64 kDefaultCapBytes = 4 * 1024 * 1024;

// Appends the text and a LF as UTF-8. Control characters in the text become spaces, so a
// message stays one line. A missing file is created whole (atomically). False when the
// line could not be written; the caller's log is never worth a failure.
bool appendLine(const QString& path, const QString& text, qint64 capBytes = kDefaultCapBytes);

// The rotated predecessor of a log: "<path>.1".
QString predecessorPath(const QString& path);

} // namespace capped_log
