#pragma once

#include "platform/tool_process.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace platform {
class AudioComponentLookup;
}

// The key-link self-check: for each installed Auto-Tune variant the `keycheck` tool loads
// it, sets two keys and a scale and says whether the key took effect. From the verdicts
// the check picks the variant the host plug-in should load ("prefer_variant.txt"), logs
// everything to "keylink_check.log" and, when something is wrong, publishes a warning.
//
// Thread safety: create and destroy on the main thread. checkAndPublish() returns at once:
// the check runs on the object's own serial executor (it may take minutes: up to 90 s per
// tool run, two attempts per plan, five plans) and only the publication comes back to the
// main thread. selectAndVerify(), verify() and run() block their thread for the tool; the
// other members are safe on any thread. The destructor stops a running check (the tool's
// process group is ended) and waits for its thread.
class KeyLinkCheck : public QObject {
    Q_OBJECT
public:
    // One Auto-Tune variant and how to drive it.
    struct Plan {
        QString name;
        QString type;
        QString subtype;
        QString manu;
        int keyID;
        double keyC;
        double keyBb;
        int scaleID;
        double chromatic;
        double major;
        double minor;
        QStringList extra; // further settings "identifier:value"
    };

    // One tool run.
    struct Outcome {
        enum class Kind { exited, failed, notInstalled };
        Kind kind = Kind::failed;
        int code = 0;    // exited
        QString output;  // exited: combined output as UTF-8, empty when it is not UTF-8
        QString message; // failed
    };

    struct Verdict {
        enum class Kind { wrong, inconclusive, passed };
        Kind kind = Kind::passed;
        QString text; // wrong: the detail; inconclusive: the message
    };

    struct Config {
        // The `keycheck` tool; none when the application does not carry one.
        std::optional<QString> tool;
        std::shared_ptr<const platform::AudioComponentLookup> lookup;
        // The plug-in link directory (the alive, preference and log files).
        QString linkDir;
        platform::ToolLimits limits; // 90 s per run
        // The resource "keycheck" beside the executable, the VST3 folders, PluginIPC::dir().
        static Config defaults();
    };

    // Set by the launch sequence when it schedules the check: one run per process.
    static std::atomic<bool> started;

    static constexpr std::chrono::milliseconds kToolLimit{90'000};

    // The variants in default test order.
    static const std::vector<Plan>& plans();
    // The tool's command line for a plan: "run", the codes, then the numbers ("%.8f" for
    // the doubles, in any process locale) and every extra entry as its own argument.
    static QStringList arguments(const Plan& plan);
    // Exit code 3 → notInstalled; other exits → exited; anything else → failed ("超时"
    // after the limit).
    static Outcome outcomeOf(const platform::ToolRun& run);

    explicit KeyLinkCheck(Config config, QObject* parent = nullptr);
    ~KeyLinkCheck() override;

    // Runs selectAndVerify() on the serial executor, logs "结论：" and the warning when there
    // is one, then calls `publish` with the warning or none on this object's thread.
    void checkAndPublish(std::function<void(std::optional<QString>)> publish);

    std::optional<QString> selectAndVerify();
    Verdict verify(const Plan& plan, const QString& tool);
    Outcome run(const QString& tool, const QStringList& args);

    std::optional<QString> savedPreference() const;
    // None deletes the file.
    void savePreference(const std::optional<QString>& name);
    // The first "variant" line of a fresh alive file; "none" and a stale file give none.
    std::optional<QString> inUseVariantName() const;
    // Appends "<date> <time> <text>" to "keylink_check.log"; errors are ignored.
    void logToFile(const QString& text);

private:
    bool isInstalled(const Plan& plan) const;
    QString filePath(const char* name) const;

    Config m_config;
    std::stop_source m_stop;
    QThreadPool m_queue; // last: destroyed (and drained) first
};
