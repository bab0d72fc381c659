#include "pluginlink/instance_lock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// The lock's holder runs, however old its file; a holder that died leaves nothing behind
// that keeps the next start out.
TEST(InstanceLock, OneHolderAtATimeAndDeadHoldersAreTakenOver)
{
    QTemporaryDir dir;
    const QString linkDir = dir.path() + QStringLiteral("/Library/Application Support/Tonivox");
    {
        InstanceLock first(linkDir);
        ASSERT_EQ(first.tryLock(), InstanceLock::Outcome::acquired);

        // Older than any staleness window: still held, because its holder runs.
        QFile file(linkDir + QLatin1Char('/') + QLatin1String(InstanceLock::kFileName));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(
            file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        file.close();

        InstanceLock second(linkDir);
        EXPECT_EQ(second.tryLock(), InstanceLock::Outcome::heldElsewhere);
        EXPECT_EQ(second.holderPid(), QCoreApplication::applicationPid());
        EXPECT_TRUE(second.failureText().startsWith(QStringLiteral("Tonivox is already running")));
    }

    // A lock file naming a process that has ended.
    QProcess ended;
    ended.start(QStringLiteral("true"));
    ASSERT_TRUE(ended.waitForFinished());
    const qint64 deadPid = ended.processId() > 0 ? ended.processId() : 999999;
    QFile stale(linkDir + QLatin1Char('/') + QLatin1String(InstanceLock::kFileName));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
    stale.write(QByteArray::number(deadPid) + "\ntonivox\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    stale.close();
    InstanceLock next(linkDir);
    EXPECT_EQ(next.tryLock(), InstanceLock::Outcome::acquired);

    // A link directory that cannot exist: no lock, and the caller is told it is unavailable.
    QFile blocker(dir.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    InstanceLock nowhere(dir.path() + QStringLiteral("/file/Tonivox"));
    EXPECT_EQ(nowhere.tryLock(), InstanceLock::Outcome::unavailable);
}
