#include "ui/island_update_check.h"

#include <gtest/gtest.h>

namespace {

AppVersion version(const QString& number, const QString& url)
{
    AppVersion v;
    v.version = number;
    v.url = url;
    return v;
}

TEST(IslandUpdateCheck, SaysWhatTheAnswerMeans)
{
    using Check = IslandUpdateCheck;
    const auto failed = Check::outcomeOf(ServiceError::of(ServiceError::Kind::timedOut, {}), "1.2.0");
    EXPECT_EQ(failed.message, QString::fromUtf8("检查失败，请稍后再试"));
    EXPECT_FALSE(failed.updateAvailable);

    const auto same = Check::outcomeOf(version("1.2", "https://example.org/d"), "1.2.0");
    EXPECT_EQ(same.message, QString::fromUtf8("已是最新版本"));
    EXPECT_FALSE(same.updateAvailable);

    const auto newer = Check::outcomeOf(version("1.10.0", "https://example.org/d"), "1.9.3");
    EXPECT_EQ(newer.message, QString::fromUtf8("发现新版本"));
    EXPECT_TRUE(newer.updateAvailable);
    EXPECT_EQ(newer.version, "1.10.0");
    EXPECT_EQ(newer.url, QUrl("https://example.org/d"));
}

TEST(IslandUpdateCheck, HostileAnswersAreShownHarmlessAndNeverOpened)
{
    // A page that is not on the web is not opened by "下载".
    for (const char* url :
         {"file:///etc/passwd", "javascript:alert(1)", "", "not a url at all", "smb://host/share"}) {
        const auto outcome = IslandUpdateCheck::outcomeOf(version("9.0", url), "1.0");
        EXPECT_TRUE(outcome.updateAvailable) << url;
        EXPECT_FALSE(outcome.url.isValid()) << url;
    }
    // Control characters and a long tail never reach the label.
    const auto noisy = IslandUpdateCheck::outcomeOf(
        version(QString::fromUtf8("9.1\n\x1b[31m") + QString(200, QLatin1Char('9')), "https://e.org"), "1.0");
    EXPECT_TRUE(noisy.updateAvailable);
    EXPECT_FALSE(noisy.version.contains(QLatin1Char('\n')));
    EXPECT_FALSE(noisy.version.contains(QChar(0x1b)));
    EXPECT_LE(noisy.version.size(), 24);
}

} // namespace
