#pragma once

#include "diagnostics/diagnostic_report.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class AppState;
class AutoTuneSyncer;
class KuGouDetector;
class NeteaseMusicDetector;
class QQMusicDetector;
namespace platform {
class RunningApplications;
}

// Gathers the facts of the diagnostic report from the live state, the file system and the
// running processes, and formats them (diagnostic_report.h). Every read is bounded: files
// are read up to a cap (the plug-in log only its last 200000 bytes), folder listings are
// capped, and every command runs with a time-out.
//
// Thread safety: buildText, gather and liveFacts read the state and the syncer: main thread.
// gatherSystem reads files and runs short commands (seconds at worst): call it on a worker
// with the facts liveFacts took, then textOf, so that a window never waits for it.
class DiagnosticExporter {
public:
    static constexpr qint64 kLogTailBytes = 200000;
    static constexpr int kLogTailLines = 100;

    struct Sources {
        QString home;            // the user's home (players' data, crash names)
        QString linkDir;         // the plug-in link directory
        QStringList vst3Folders; // where the Auto-Tune family is looked for
        QString componentsDir;   // where the host plug-in is installed (~/.vst3)
        std::shared_ptr<const platform::RunningApplications> applications;
        QString procRoot = QStringLiteral("/proc");
        // The readers of the run, for their recorded locations and status; none reads the
        // fixed locations below home.
        const KuGouDetector* kugou = nullptr;
        const QQMusicDetector* qqMusic = nullptr;
        const NeteaseMusicDetector* netease = nullptr;
        // The player window recognition last recognised; none shows "无".
        std::optional<QString> lastRecognisedPlayer;
        // How the current song was found ("网易云（Wine）", "网易云 1.2.1", "MPRIS：Spotify");
        // none shows "无".
        std::optional<QString> songForm;
        // The service access tokens (environment and settings): masked wherever they
        // occur in the report, logs and files included.
        QStringList secrets;
        // The core-dump lister; empty: no crash section entries.
        QString coredumpctl = QStringLiteral("coredumpctl");
        // The user's real locations, processes and token.
        static Sources defaults();
    };

    static QString buildText(const AppState& appState, const AutoTuneSyncer* syncer, const Sources& sources);
    static diagnostic_report::Facts gather(const AppState& appState, const AutoTuneSyncer* syncer,
                                           const Sources& sources);
    // The facts only the main thread may read: the time, the state and the syncer.
    static diagnostic_report::Facts liveFacts(const AppState& appState, const AutoTuneSyncer* syncer);
    // Everything else: files, folders, processes and commands. Any thread.
    static void gatherSystem(diagnostic_report::Facts& facts, const Sources& sources);
    // The report of gathered facts, with the secrets masked. Any thread.
    static QString textOf(const diagnostic_report::Facts& facts, const Sources& sources);

    // The last `maxBytes` of a file (seek to size − maxBytes) and whether the read began
    // mid-file; none when missing or unreadable.
    static std::optional<std::pair<QByteArray, bool>> readTail(const QString& path, qint64 maxBytes);
    // Runs a command with a time-out; its trimmed output, empty when it could not run.
    static QString shell(const QString& program, const QStringList& args);
};
