#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

// One running application as the player monitor sees it. On Linux every process counts:
// the executable's file name stands for the bundle identifier, the process name for the
// localized application name.
struct RunningApplication {
    qint64 processIdentifier = 0;
    QString bundleIdentifier;
    QString localizedName;
    // The Windows program a Wine process runs ("cloudmusic.exe"): the file name, after the
    // last backslash or slash, of the first command-line word that ends in ".exe". Empty otherwise.
    // Under Wine the executable is the loader, so this and the process name tell the players.
    QString windowsProgram = {};
};

// The windowsProgram of a raw /proc command line (words separated by NUL bytes).
// Pure; any thread.
QString windowsProgramOf(const QByteArray& commandLine);

// The running applications, in the order the system lists them.
// Thread safety: any thread.
class RunningApplications {
public:
    virtual ~RunningApplications() = default;
    virtual std::vector<RunningApplication> list() const = 0;
    // The localized name of the running application with this process identifier.
    virtual std::optional<QString> localizedName(qint64 processIdentifier) const = 0;
    // The running application with this process identifier, named as list() names it.
    virtual std::optional<RunningApplication> application(qint64 processIdentifier) const = 0;
};

// The /proc scan. Processes whose executable link cannot be read (other users' processes,
// kernel threads) fall back to the first command-line word, then are skipped.
//
// The names of a process are remembered while its /proc entry and its executable link stay
// the same (a new process under a reused id gets a new entry, an exec a new link). The link
// is read again only every `fullCheckEvery`: in between a scan reads the directory and looks
// only at entries it has not seen, so a process that execs is renamed up to that late. A
// Wine loader names its program (process name, command line) only after its exec, so its
// names are read again at every full check. The
// player monitor scans every 400 ms; two system calls for each of a hundred processes each
// time was half of the program's idle CPU.
class ProcRunningApplications : public RunningApplications {
public:
    explicit ProcRunningApplications(QString procRoot = QStringLiteral("/proc"),
                                     std::chrono::milliseconds fullCheckEvery = std::chrono::seconds(2));
    ~ProcRunningApplications() override;
    std::vector<RunningApplication> list() const override;
    std::optional<QString> localizedName(qint64 processIdentifier) const override;
    std::optional<RunningApplication> application(qint64 processIdentifier) const override;

private:
    struct Cache;
    QString m_procRoot;
    std::chrono::milliseconds m_fullCheckEvery;
    std::unique_ptr<Cache> m_cache;
};

std::shared_ptr<RunningApplications> defaultRunningApplications();

} // namespace platform
