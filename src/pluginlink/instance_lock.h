#pragma once

#include <QLockFile>
#include <QString>
#include <memory>
#include <optional>

// One running application per user: a lock file in the plug-in link directory, held for
// the whole run. A second instance would heartbeat the same state file with its own seqs
// and its quit record would tell the plug-in the application quit while the first still
// runs. A lock left by a process that died is taken over.
//
// Thread safety: main thread only.
class InstanceLock {
public:
    inline static const char kFileName[] = "tonivox.lock";

    explicit InstanceLock(const QString& directory);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Outcome {
        acquired,      // this process holds the lock now
        heldElsewhere, // another running instance holds it
        unavailable,   // the lock file cannot be created (the link directory is unusable)
    };
    // Takes the lock without waiting.
    Outcome tryLock();
    // The process id of the holder when tryLock() failed because another instance runs.
    std::optional<qint64> holderPid() const;
    // Why tryLock() did not acquire, as a sentence for the user.
    QString failureText() const;

private:
    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
};
