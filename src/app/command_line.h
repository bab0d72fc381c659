#pragma once

#include "core/offline_mode.h"

#include <QString>
#include <QStringList>
#include <optional>

// What the command line asks for, decided before any application object exists, so that
// --help and --version answer without a display. Pure; any thread.
struct CommandLine {
    enum class Action { run, offline, help, version, exportDiagnostics, invalid };
    Action action = Action::run;
    std::optional<OfflineMode> offlineMode; // with Action::offline
    QString problem;                        // with Action::invalid: what was wrong
    QString exportPath;                     // with Action::exportDiagnostics: the report file
    // With Action::run: a desktop action ("create-accompaniment-loop", ...) for the running
    // instance, or for this one once it is up.
    QString desktopAction;

    // `arguments` includes the program name first. An offline switch anywhere wins and
    // keeps its own argument rules; otherwise only --help, --version,
    // --export-diagnostics FILE, one desktop action (--create-accompaniment-loop,
    // --remove-accompaniment-loop) and the display options Qt itself takes are accepted.
    static CommandLine parse(const QStringList& arguments);
    // The usage text printed by --help; it names the settings file the run reads.
    static QString usage(const QString& programName, const QString& settingsFile);
};
