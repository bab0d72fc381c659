// The helpers behind every file the program writes: numbers, atomic replacement, logs.
#include "core/atomic_file.h"
#include "core/capped_log.h"
#include "core/number_format.h"
#include "support/comma_locale.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>

namespace {

QStringList entries(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

// Whatever the locale (Qt sets the C locale from the environment): every file and tool
// argument the program writes takes its numbers from here.
TEST_F(CommaLocale, NumberFormatIsPrintfInTheCLocale)
{
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.4f", 0.5);
    ASSERT_STREQ(printed, "0,5000") << "the locale did not take effect";
    EXPECT_EQ(number_format::fixed(0.5, 4), "0.5000");
    EXPECT_EQ(number_format::fixed(static_cast<double>(2.0f / 14.0f), 4), "0.1429");
    EXPECT_EQ(number_format::fixed(-0.00004, 4), "-0.0000");
    EXPECT_EQ(number_format::fixed(2.5, 0), "2"); // round half to even, as printf
    EXPECT_EQ(number_format::fixed(1e6 / 3, 8), "333333.33333333");
    EXPECT_EQ(number_format::fixed(1, -3), "1");
    EXPECT_EQ(number_format::fixed(-std::numeric_limits<double>::max(), 2).size(), 1 + 309 + 3);
    EXPECT_EQ(number_format::fixed(std::numeric_limits<double>::infinity(), 4), "inf");
    EXPECT_EQ(number_format::fixed(std::nan(""), 4), "nan");
    EXPECT_EQ(number_format::fixedText(-12.25, 1), QStringLiteral("-12.2"));
}

TEST(AtomicFile, ReplacesWholeAndCleansUpOnFailure)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("state.txt"));
    ASSERT_TRUE(replaceFileAtomically(target, "first\n"));
    ASSERT_TRUE(replaceFileAtomically(target, "second\n"));
    EXPECT_EQ(readAll(target), "second\n");
    ASSERT_TRUE(replaceFileAtomically(target, QByteArray()));
    EXPECT_EQ(readAll(target), QByteArray());
    EXPECT_EQ(entries(dir), QStringList({QStringLiteral("state.txt")}));

    // The name is a folder: the rename fails, and nothing is left behind.
    const QString folder = dir.filePath(QStringLiteral("taken"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inside")));
    EXPECT_FALSE(replaceFileAtomically(folder, "x"));
    EXPECT_EQ(entries(dir), QStringList({QStringLiteral("state.txt"), QStringLiteral("taken")}));
    // No such directory.
    EXPECT_FALSE(replaceFileAtomically(dir.filePath(QStringLiteral("missing/state.txt")), "x"));
}

TEST(CappedLog, RotatesToOnePredecessorAtTheCap)
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("detect_debug.log"));
    const QString previous = capped_log::predecessorPath(log);
    EXPECT_EQ(previous, log + QStringLiteral(".1"));
    constexpr qint64 kCap = 20;

    ASSERT_TRUE(capped_log::appendLine(log, QStringLiteral("aaaaaaaa"), kCap));   // 9 bytes
    ASSERT_TRUE(capped_log::appendLine(log, QStringLiteral("bbbbbbbbbb"), kCap)); // 20 in all: fits
    EXPECT_EQ(readAll(log), "aaaaaaaa\nbbbbbbbbbb\n");
    EXPECT_FALSE(QFile::exists(previous));

    ASSERT_TRUE(capped_log::appendLine(log, QStringLiteral("c"), kCap));
    EXPECT_EQ(readAll(previous), "aaaaaaaa\nbbbbbbbbbb\n");
    EXPECT_EQ(readAll(log), "c\n");

    // A line longer than the cap still lands, alone in its file; the predecessor is replaced.
    ASSERT_TRUE(capped_log::appendLine(log, QStringLiteral("d").repeated(30), kCap));
    EXPECT_EQ(readAll(previous), "c\n");
    EXPECT_EQ(readAll(log), QByteArray(30, 'd') + '\n');
    ASSERT_TRUE(capped_log::appendLine(log, QStringLiteral("e"), kCap));
    EXPECT_EQ(readAll(previous), QByteArray(30, 'd') + '\n');
    EXPECT_EQ(readAll(log), "e\n");

    // One message, one line.
    ASSERT_TRUE(capped_log::appendLine(log, QStringLiteral("f\ng\r"), kCap));
    EXPECT_EQ(readAll(log), "e\nf g \n");
    EXPECT_EQ(entries(dir).size(), 2);

    EXPECT_FALSE(capped_log::appendLine(dir.filePath(QStringLiteral("missing/x.log")), QStringLiteral("x")));
}
