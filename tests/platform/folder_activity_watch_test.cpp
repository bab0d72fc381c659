#include "platform/folder_activity_watch.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Activity = platform::FolderActivityWatch::Activity;

bool write(const QString& path, const QByteArray& bytes = "x")
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBack(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<QByteArray> sorted(std::vector<QByteArray> paths)
{
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace

TEST(FolderActivityWatch, NamesTheFilesReadOrTouchedAndAsksForEverythingWhenItCannotTell)
{
    QTemporaryDir home;
    const QString root = home.path() + QStringLiteral("/cache");
    platform::FolderActivityWatch watch(root);

    // A missing folder cannot be watched: every look is a full one until it exists.
    EXPECT_TRUE(watch.take().everything);
    ASSERT_TRUE(write(root + QStringLiteral("/a/b/1-13.mgg")));
    ASSERT_TRUE(write(root + QStringLiteral("/2-13.mgg")));
    EXPECT_TRUE(watch.take().everything);

    // Quiet: nothing to look at.
    Activity quiet = watch.take();
    EXPECT_FALSE(quiet.everything);
    EXPECT_TRUE(quiet.paths.empty());

    // A read deep below, a read at the top (twice: named once) and a new file.
    EXPECT_EQ(readBack(root + QStringLiteral("/a/b/1-13.mgg")), "x");
    EXPECT_EQ(readBack(root + QStringLiteral("/2-13.mgg")), "x");
    EXPECT_EQ(readBack(root + QStringLiteral("/2-13.mgg")), "x");
    ASSERT_TRUE(write(root + QStringLiteral("/a/3-13.mgg")));
    const Activity active = watch.take();
    EXPECT_FALSE(active.everything);
    EXPECT_EQ(sorted(active.paths), (std::vector<QByteArray>{"2-13.mgg", "a/3-13.mgg", "a/b/1-13.mgg"}));

    // A new folder may arrive with files in it, and its own later reads are seen.
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/c")));
    EXPECT_TRUE(watch.take().everything);
    ASSERT_TRUE(write(root + QStringLiteral("/c/4-13.mgg")));
    EXPECT_EQ(watch.take().paths, std::vector<QByteArray>{"c/4-13.mgg"});

    // A folder renamed away leaves watches with wrong names behind.
    ASSERT_TRUE(QDir(root).rename(QStringLiteral("c"), QStringLiteral("d")));
    EXPECT_TRUE(watch.take().everything);
    EXPECT_EQ(readBack(root + QStringLiteral("/d/4-13.mgg")), "x");
    EXPECT_EQ(watch.take().paths, std::vector<QByteArray>{"d/4-13.mgg"});

    // The folder replaced as a whole.
    ASSERT_TRUE(QDir(root).removeRecursively());
    ASSERT_TRUE(write(root + QStringLiteral("/5-13.mgg")));
    EXPECT_TRUE(watch.take().everything);
    EXPECT_EQ(readBack(root + QStringLiteral("/5-13.mgg")), "x");
    EXPECT_EQ(watch.take().paths, std::vector<QByteArray>{"5-13.mgg"});

    // The safety net: a full look now and then, however quiet.
    int looks = 0;
    while (!watch.take().everything)
        ASSERT_LT(++looks, platform::FolderActivityWatch::kFullLookEvery);
}

namespace {

// Writes `text` to a file of /proc; false when refused.
bool writeProc(const char* path, const QByteArray& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (fd >= 0)
        ::close(fd);
    return written;
}

struct UnderTheLimit {
    bool limited = false;   // the child could set a watch limit of its own
    int fullLooks = 0;      // of two safety-net periods while refused
    bool recovered = false; // with room again, a read was named by the next quiet look
};

// Runs `root`'s watch in a child process whose own user namespace allows two inotify watches
// (the kernel counts and limits them per namespace): the root and one folder below fit, the
// second folder does not. The rest of the machine keeps its watches.
UnderTheLimit watchUnderALimit(const QString& root)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        UnderTheLimit result;
        const QByteArray uid = "0 " + QByteArray::number(::geteuid()) + " 1";
        result.limited = ::unshare(CLONE_NEWUSER) == 0 && writeProc("/proc/self/uid_map", uid) &&
                         writeProc("/proc/sys/user/max_inotify_watches", "2");
        if (result.limited) {
            platform::FolderActivityWatch watch(root);
            for (int look = 0; look < 2 * platform::FolderActivityWatch::kFullLookEvery; ++look)
                result.fullLooks += watch.take().everything ? 1 : 0;
            writeProc("/proc/sys/user/max_inotify_watches", "100");
            for (int look = 0; look <= platform::FolderActivityWatch::kFullLookEvery; ++look) {
                if (watch.take().everything)
                    break;
            }
            result.recovered = readBack(root + QStringLiteral("/b/1-13.mgg")) == "x" &&
                               watch.take().paths == std::vector<QByteArray>{"b/1-13.mgg"};
        }
        const bool sent = ::write(pipeFds[1], &result, sizeof result) == sizeof result;
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    UnderTheLimit result;
    if (child < 0 || ::read(pipeFds[0], &result, sizeof result) != sizeof result)
        result = {};
    ::close(pipeFds[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return result;
}

} // namespace

TEST(FolderActivityWatch, AtTheWatchLimitItAsksAgainOnlyAtTheSafetyNetsTurn)
{
    QTemporaryDir home;
    const QString root = home.path() + QStringLiteral("/cache");
    ASSERT_TRUE(write(root + QStringLiteral("/a/0-13.mgg")));
    ASSERT_TRUE(write(root + QStringLiteral("/b/1-13.mgg")));
    const UnderTheLimit result = watchUnderALimit(root);
    if (!result.limited)
        GTEST_SKIP() << "no user namespace of our own here";
    // The first look and the safety net's, not every look.
    EXPECT_EQ(result.fullLooks, 2);
    EXPECT_TRUE(result.recovered);
}
