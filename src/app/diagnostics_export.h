#pragma once

#include <QString>

// The diagnostic report written from a terminal (--export-diagnostics FILE): no window, no
// launch sequence and no syncer, so a program running beside it keeps the only heartbeat
// writer of the plug-in state file. Needs a QCoreApplication.
struct DiagnosticsExport {
    bool written = false;
    QString message; // the file's absolute path, or why it could not be written
};
DiagnosticsExport exportDiagnostics(const QString& path);
