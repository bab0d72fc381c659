#include "core/settings_store.h"
#include "pluginlink/plugin_installer.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// A shipped bundle with a nested file and a relative link, and a destination folder.
class Install : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(writeFile(shipped() + QStringLiteral("/Contents/x86_64-linux/Melodrix.so"), "v2 binary"));
        ASSERT_TRUE(writeFile(shipped() + QStringLiteral("/Contents/Resources/moduleinfo.json"), "{}"));
        ASSERT_TRUE(QFile::link(QStringLiteral("x86_64-linux/Melodrix.so"),
                                shipped() + QStringLiteral("/Contents/current.so")));
    }

    QString shipped() const { return m_dir.filePath(QStringLiteral("resources/Melodrix.vst3")); }
    QString components() const { return m_dir.filePath(QStringLiteral("home/.vst3")); }
    QString installed(const char* rel = "") const
    {
        return components() + QStringLiteral("/Melodrix.vst3") + QLatin1String(rel);
    }
    QString binary() const { return installed("/Contents/x86_64-linux/Melodrix.so"); }

    void run(const QString& version, std::optional<QString> bundled = std::nullopt)
    {
        PluginInstaller::installIfNeeded(components(), bundled ? bundled : shipped(), version,
                                         home.settings());
    }
    std::optional<QString> marker() { return home.settings().pluginInstalledForAppVersion(); }
    QStringList componentEntries() const
    {
        return QDir(components())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    }

    TempHome home;
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(Install, CopiesOncePerVersionAndRestoresADeletedCopy)
{
    run(QStringLiteral("1.0"));
    EXPECT_EQ(readAll(binary()), QByteArray("v2 binary"));
    EXPECT_EQ(QFileInfo(installed("/Contents/current.so")).symLinkTarget(),
              QFileInfo(binary()).absoluteFilePath());
    EXPECT_EQ(marker(), QStringLiteral("1.0"));

    // Same version, copy present: nothing is copied again.
    writeFile(binary(), "edited by hand");
    run(QStringLiteral("1.0"));
    EXPECT_EQ(readAll(binary()), QByteArray("edited by hand"));

    // Same version, copy deleted by the user: back at the next launch.
    QDir(installed()).removeRecursively();
    run(QStringLiteral("1.0"));
    EXPECT_EQ(readAll(binary()), QByteArray("v2 binary"));

    // A new version replaces the copy; no staging folder is left behind.
    writeFile(binary(), "old version");
    writeFile(installed("/Contents/stale.txt"), "from the old version");
    run(QStringLiteral("1.1"));
    EXPECT_EQ(readAll(binary()), QByteArray("v2 binary"));
    EXPECT_FALSE(QFile::exists(installed("/Contents/stale.txt")));
    EXPECT_EQ(marker(), QStringLiteral("1.1"));
    EXPECT_EQ(componentEntries(), QStringList{QStringLiteral("Melodrix.vst3")});
}

// The old-name bundle goes in every case; a link is removed as a link, its target kept.
TEST_F(Install, NothingShippedOnlyRemovesTheOldName)
{
    QTemporaryDir elsewhere;
    ASSERT_TRUE(writeFile(elsewhere.filePath(QStringLiteral("keep/me.txt")), "keep"));
    QDir().mkpath(components());
    ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("keep")),
                            components() + QStringLiteral("/Rigbox.vst3")));

    run(QStringLiteral("1.0"), m_dir.filePath(QStringLiteral("resources/missing.vst3")));
    EXPECT_TRUE(componentEntries().isEmpty()) << componentEntries().join(u' ').toStdString();
    EXPECT_EQ(readAll(elsewhere.filePath(QStringLiteral("keep/me.txt"))), QByteArray("keep"));
    EXPECT_EQ(marker(), std::nullopt);

    // A real old-name folder goes too.
    ASSERT_TRUE(writeFile(components() + QStringLiteral("/Rigbox.vst3/Contents/x.so"), "old"));
    run(QStringLiteral("1.0"));
    EXPECT_FALSE(QFile::exists(components() + QStringLiteral("/Rigbox.vst3")));
}

// A copy that cannot complete (a pipe in the bundle, which no copy should wait on) leaves
// the old copy and the marker as they were, so the next launch tries again.
TEST_F(Install, FailedCopyKeepsTheOldCopyAndTheMarker)
{
    run(QStringLiteral("1.0"));
    writeFile(binary(), "v1 binary");
    ASSERT_EQ(::mkfifo(QFile::encodeName(shipped() + QStringLiteral("/Contents/pipe")).constData(), 0600), 0);

    run(QStringLiteral("2.0"));
    EXPECT_EQ(readAll(binary()), QByteArray("v1 binary"));
    EXPECT_EQ(marker(), QStringLiteral("1.0"));
    EXPECT_EQ(componentEntries(), QStringList{QStringLiteral("Melodrix.vst3")});
}
