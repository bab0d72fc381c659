#include "platform/folder_activity_watch.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
