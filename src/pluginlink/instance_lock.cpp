#include "pluginlink/instance_lock.h"

#include <QDir>

InstanceLock::InstanceLock(const QString& directory) : m_directory(directory) {}

InstanceLock::~InstanceLock() = default;

InstanceLock::Outcome InstanceLock::tryLock()
{
    QDir().mkpath(m_directory);
    if (!m_lock) {
        m_lock = std::make_unique<QLockFile>(m_directory + QLatin1Char('/') + QLatin1String(kFileName));
        // Never stale by age, or a second start after 30 s would take over a live lock; a
        // holder that no longer runs is still detected by its pid.
        m_lock->setStaleLockTime(0);
    }
    if (m_lock->tryLock(0))
        return Outcome::acquired;
    return m_lock->error() == QLockFile::LockFailedError ? Outcome::heldElsewhere : Outcome::unavailable;
}

std::optional<qint64> InstanceLock::holderPid() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (m_lock && m_lock->getLockInfo(&pid, &host, &application) && pid > 0)
        return pid;
    return std::nullopt;
}

QString InstanceLock::failureText() const
{
    if (!m_lock)
        return QStringLiteral("the instance lock was not tried");
    switch (m_lock->error()) {
    case QLockFile::LockFailedError:
        if (const auto pid = holderPid())
            return QStringLiteral("Tonivox is already running (process %1).").arg(*pid);
        return QStringLiteral("Tonivox is already running.");
    case QLockFile::PermissionError:
        return QStringLiteral("cannot create the lock file in %1: permission denied").arg(m_directory);
    case QLockFile::UnknownError:
        return QStringLiteral("cannot create the lock file in %1").arg(m_directory);
    case QLockFile::NoError:
        return {};
    }
    return {};
}
