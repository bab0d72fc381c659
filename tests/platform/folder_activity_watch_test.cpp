#include "platform/folder_activity_watch.h"
#include "support/temp_home.h"

#include <QDir>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(FolderActivityWatch, NamesTheFilesReadOrTouchedAndAsksForEverythingWhenItCannotTell)
{
    QTemporaryDir home;
    const QString root = home.path() + QStringLiteral("/cache/");
    platform::FolderActivityWatch watch(root.chopped(1));
    const auto read = [&](const char* name) { return readAll(root + QLatin1String(name)) == "x"; };
    const auto named = [&](std::vector<QByteArray> paths) {
        const auto activity = watch.take();
        std::vector<QByteArray> seen = activity.paths;
        std::sort(seen.begin(), seen.end());
        return !activity.everything && seen == paths;
    };

    // A missing folder cannot be watched: every look is a full one until it exists.
    EXPECT_TRUE(watch.take().everything);
    const auto put = [&](const char* name) { return writeFile(root + QLatin1String(name), "x"); };
    ASSERT_TRUE(put("a/b/1-13.mgg") && put("2-13.mgg"));
    EXPECT_TRUE(watch.take().everything);
    EXPECT_TRUE(named({})) << "quiet: nothing to look at";

    // A read deep below, a read at the top (twice: named once) and a new file.
    ASSERT_TRUE(read("a/b/1-13.mgg") && read("2-13.mgg") && read("2-13.mgg"));
    ASSERT_TRUE(put("a/3-13.mgg"));
    EXPECT_TRUE(named({"2-13.mgg", "a/3-13.mgg", "a/b/1-13.mgg"}));

    // A new folder may arrive with files in it, and its own later reads are seen.
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("c")));
    EXPECT_TRUE(watch.take().everything);
    ASSERT_TRUE(put("c/4-13.mgg"));
    EXPECT_TRUE(named({"c/4-13.mgg"}));

    // A folder renamed away leaves watches with wrong names behind.
    ASSERT_TRUE(QDir(root).rename(QStringLiteral("c"), QStringLiteral("d")));
    EXPECT_TRUE(watch.take().everything);
    ASSERT_TRUE(read("d/4-13.mgg"));
    EXPECT_TRUE(named({"d/4-13.mgg"}));

    // The folder replaced as a whole.
    ASSERT_TRUE(QDir(root).removeRecursively() && put("5-13.mgg"));
    EXPECT_TRUE(watch.take().everything);
    ASSERT_TRUE(read("5-13.mgg"));
    EXPECT_TRUE(named({"5-13.mgg"}));

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
    return (fd < 0 || ::close(fd) == 0) && written;
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
            for (int look = 0;
                 look <= platform::FolderActivityWatch::kFullLookEvery && !watch.take().everything;)
                ++look;
            result.recovered = readAll(root + QStringLiteral("/b/1-13.mgg")) == "x" &&
                               watch.take().paths == std::vector<QByteArray>{"b/1-13.mgg"};
        }
        ::_exit(::write(pipeFds[1], &result, sizeof result) == sizeof result ? 0 : 1);
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
    ASSERT_TRUE(writeFile(root + QStringLiteral("/a/0-13.mgg"), "x"));
    ASSERT_TRUE(writeFile(root + QStringLiteral("/b/1-13.mgg"), "x"));
    const UnderTheLimit result = watchUnderALimit(root);
    if (!result.limited)
        GTEST_SKIP() << "no user namespace of our own here";
    // The first look and the safety net's, not every look.
    EXPECT_EQ(result.fullLooks, 2);
    EXPECT_TRUE(result.recovered);
}
