#include "pluginlink/instance_lock.h"
#include "support/temp_home.h"

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
    const QString lockFile = linkDir + QLatin1Char('/') + QLatin1String(InstanceLock::kFileName);
    {
        InstanceLock first(linkDir);
        ASSERT_EQ(first.tryLock(), InstanceLock::Outcome::acquired);
        ASSERT_TRUE(setAge(lockFile, 3600)); // older than any staleness window
        InstanceLock second(linkDir);
        EXPECT_EQ(second.tryLock(), InstanceLock::Outcome::heldElsewhere);
        EXPECT_EQ(second.holderPid(), QCoreApplication::applicationPid());
        EXPECT_TRUE(second.failureText().startsWith(QStringLiteral("Tonivox is already running")));
    }

    // A lock file naming a process that has ended.
    QProcess ended;
    ended.start(QStringLiteral("true"));
    ASSERT_TRUE(ended.waitForFinished());
    ASSERT_TRUE(writeFile(lockFile, QByteArray::number(ended.processId() > 0 ? ended.processId() : 999999) +
                                        "\ntonivox\n" + QSysInfo::machineHostName().toUtf8() + "\n"));
    EXPECT_EQ(InstanceLock(linkDir).tryLock(), InstanceLock::Outcome::acquired);

    // A link directory that cannot exist: no lock, and the caller is told it is unavailable.
    ASSERT_TRUE(writeFile(dir.path() + QStringLiteral("/file"), {}));
    EXPECT_EQ(InstanceLock(dir.path() + QStringLiteral("/file/Tonivox")).tryLock(),
              InstanceLock::Outcome::unavailable);
}
